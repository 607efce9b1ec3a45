// Measures the delta codec on one pair of files, or on a synthetic case:
//
//   delta_probe [--level N] [--threads N] [--no-code] [--streams] BASE RESULT
//   delta_probe [--level N] [--threads N] [--streams] --synthetic small|tiny|replaced
//
// Prints one line: the result's size, the delta's size (or "none" when the
// encoder declines), the seconds to encode, to apply (ApplyDelta reading
// the delta from a file), and to read the result from a file and write it
// to another (what applying a whole body costs), the peak memory of the
// process while encoding and while applying (MiB), what encoding needed
// beyond its two inputs (the growth of the peak over the memory in use
// before), and the most that ApplyDelta itself allocated through
// operator new (its windows and buffers; the coders' tables, 28 KiB each,
// come from malloc). The synthetic cases: 6 bytes changed in 100 MB,
// 1 byte in 20 MB, a 40 MB base replaced by 50 MB of new bytes. --streams
// adds a line with each stream's coded and decoded size.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstddef>
#include <new>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "src/app/codecs/delta/DeltaDecoder.h"
#include "src/app/codecs/delta/DeltaEncoder.h"
#include "src/filesystem/FileSystem.h"

// Bytes allocated through operator new, now and at the most since the last
// reset: each block carries its size in front of it.
std::size_t g_heapNow = 0, g_heapPeak = 0;
constexpr std::size_t kBlockHeader = alignof(std::max_align_t);

void* operator new(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kBlockHeader));
  if (block == nullptr) throw std::bad_alloc();
  std::memcpy(block, &size, sizeof size);
  g_heapNow += size;
  g_heapPeak = std::max(g_heapPeak, g_heapNow);
  return block + kBlockHeader;
}
void operator delete(void* address) noexcept {
  if (address == nullptr) return;
  // Through an integer: the compiler cannot see that the block starts
  // before the object it was handed.
  auto* block = reinterpret_cast<unsigned char*>(reinterpret_cast<std::uintptr_t>(address) - kBlockHeader);
  std::size_t size;
  std::memcpy(&size, block, sizeof size);
  g_heapNow -= size;
  std::free(block);
}
void operator delete(void* address, std::size_t) noexcept { operator delete(address); }

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The process's peak resident memory since the last reset, in MiB (Linux).
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }
double StatusMiB(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::atof(line.c_str() + std::strlen(field)) / 1024.0;
  }
  return 0;
}
double PeakMiB() { return StatusMiB("VmHWM:"); }
double ResidentMiB() { return StatusMiB("VmRSS:"); }

// Bytes that look like a program's: compressible, but not trivially so.
Bytes Synthetic(uint32_t seed, std::size_t size) {
  Bytes bytes(size);
  std::mt19937 random(seed);
  for (std::size_t i = 0; i < size;) {
    const std::size_t run = std::min<std::size_t>(size - i, 1 + random() % 64);
    if (i > 4096 && random() % 2 == 0) {
      std::memmove(bytes.data() + i, bytes.data() + i - 1 - random() % 4096, run);
    } else {
      for (std::size_t k = 0; k < run; ++k) bytes[i + k] = static_cast<uint8_t>(random() % 16 * 3);
    }
    i += run;
  }
  return bytes;
}

bool MakeSynthetic(const std::string& which, Bytes& base, Bytes& result) {
  if (which == "small") {
    base = Synthetic(1, 100'000'000);
    result = base;
    for (const std::size_t at : {10u, 1'000'000u, 33'333'333u, 50'000'000u, 77'777'777u, 99'999'999u}) ++result[at];
  } else if (which == "tiny") {
    base = Synthetic(2, 20'000'000);
    result = base;
    result[12'345'678] ^= 0x40;
  } else if (which == "replaced") {
    base = Synthetic(3, 40'000'000);
    result = Synthetic(4, 50'000'000);
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qpx::tool::DeltaSettings settings;
  std::vector<std::string> args;
  std::string synthetic;
  bool streams = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--level" && i + 1 < argc) {
      settings.level = std::atoi(argv[++i]);
    } else if (arg == "--threads" && i + 1 < argc) {
      settings.threads = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (arg == "--no-code") {
      settings.code = qpx::tool::CodeDeltas::kNever;
    } else if (arg == "--streams") {
      streams = true;
    } else if (arg == "--synthetic" && i + 1 < argc) {
      synthetic = argv[++i];
    } else {
      args.push_back(arg);
    }
  }
  Bytes base, result;
  if (!synthetic.empty()) {
    if (!MakeSynthetic(synthetic, base, result)) {
      std::fprintf(stderr, "delta_probe: no synthetic case %s\n", synthetic.c_str());
      return 2;
    }
  } else if (args.size() == 2) {
    base = ReadAll(args[0]);
    result = ReadAll(args[1]);
  } else {
    std::fprintf(stderr, "usage: delta_probe [--level N] [--threads N] BASE RESULT | --synthetic CASE\n");
    return 2;
  }

  ResetPeak();
  const double beforeEncode = ResidentMiB();
  auto start = Clock::now();
  const auto delta = qpx::tool::EncodeDelta(base, result, settings, UINT64_MAX);
  const double encodeSeconds = Seconds(start);
  const double encodePeak = PeakMiB();
  if (!delta) {
    std::printf("%zu none %.3f - - %.0f -\n", result.size(), encodeSeconds, encodePeak);
    return 0;
  }

  if (streams) {
    qpx::DeltaHeader header;
    std::memcpy(&header, delta->data(), sizeof header);
    const char* names[] = {"commands", "gaps", "diffs", "new"};
    for (uint32_t i = 0; i < qpx::kDeltaStreamCount; ++i) {
      std::printf("%s %llu/%llu ", names[i], static_cast<unsigned long long>(header.streams[i].storedSize),
                  static_cast<unsigned long long>(header.streams[i].decodedSize));
    }
    std::printf("version %u\n", header.version);
  }

  const auto dir = std::filesystem::temp_directory_path() / ("delta-probe-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string deltaPath = (dir / "delta").string(), resultPath = (dir / "result").string(),
                    outPath = (dir / "out").string();
  WriteAll(deltaPath, *delta);
  WriteAll(resultPath, result);
  const Bytes expected = std::move(result);

  // Applying: the delta read from its file through the patcher's buffer,
  // the result written to a file.
  ResetPeak();
  start = Clock::now();
  Bytes rebuilt(expected.size());
  qpx::DecodeStatus status;
  std::size_t decoderHeap = 0;
  {
    auto fs = qpx::CreatePlatformFileSystem();
    auto file = fs->Open(std::filesystem::path(deltaPath).wstring().c_str(), qpx::OpenMode_Read);
    qpx::FileRangeSource source(*file, 0, delta->size());
    Bytes chunk(4 << 20);
    const std::size_t before = g_heapNow;
    g_heapPeak = before;
    status = qpx::ApplyDelta(base, source, 0, delta->size(), rebuilt, chunk);
    decoderHeap = g_heapPeak - before;
  }
  WriteAll(outPath, rebuilt);
  const double applySeconds = Seconds(start);
  const double applyPeak = PeakMiB();
  const bool same = status == qpx::DecodeStatus::Done && rebuilt == expected;
  rebuilt = Bytes();

  // The whole body: read from a file, written to another.
  start = Clock::now();
  const Bytes whole = ReadAll(resultPath);
  WriteAll(outPath, whole);
  const double copySeconds = Seconds(start);

  std::filesystem::remove_all(dir);
  const double mib = 1024.0 * 1024.0;
  std::printf("%zu %zu %.3f %.3f %.3f %.0f %.0f %.1f %.1f%s\n", expected.size(), delta->size(), encodeSeconds,
              applySeconds, copySeconds, encodePeak, applyPeak, encodePeak - beforeEncode, decoderHeap / mib,
              same ? "" : " MISMATCH");
  return same ? 0 : 1;
}
