// Makes the inputs of the benchmark: a synthetic game folder, the patch
// bodies as files and a qpxtool manifest naming them.
//
//   bench_fixture large DIR   8 bodies of 64 MiB: 4 entries appended,
//                             2 in place, 2 loose files
//   bench_fixture small DIR   all 2,715 resources, bodies of 1 to 4,000 bytes
//   bench_fixture pair DIR    two game folders of over 1 GiB each, original
//                             and modified, a few percent of whose
//                             resources differ (for diff and unpack)

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/LooseFile.h"
#include "tools/common/GameFolder.h"

namespace {

using namespace qpx;

constexpr uint32_t kLargeBody = 64u << 20;

bool WriteBody(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return out.good();
}

int Large(const std::filesystem::path& dir) {
  GameFolder game;
  // Entries 10..13 are small: their 64 MiB bodies must be appended.
  for (uint32_t n = 10; n < 14; ++n) game.AddEntry(n, SampleBody(n, 1000));
  // Entries 20 and 21 already hold 64 MiB: their new bodies go in place.
  for (uint32_t n = 20; n < 22; ++n) game.AddEntry(n, SampleBody(n, kLargeBody));
  game.AddLooseFile(0, LooseFileImage(SampleBody(1, 5000)));
  game.AddLooseFile(1, LooseFileImage(SampleBody(2, 5000)));
  auto fs = CreatePlatformFileSystem();
  std::filesystem::create_directories(dir / "game");
  std::filesystem::create_directories(dir / "bodies");
  if (!game.Write(*fs, (dir / "game").wstring())) return 1;

  std::ofstream manifest(dir / "large.manifest");
  // The same bodies twice over make a patch of 1 GiB for the writer's memory.
  std::ofstream gib(dir / "gib.manifest");
  const uint32_t numbers[] = {10, 11, 12, 13, 20, 21, kEntryCount + 0, kEntryCount + 1};
  for (uint32_t i = 0; i < 8; ++i) {
    const std::string name = "bodies/b" + std::to_string(i) + ".bin";
    if (!WriteBody(dir / name, SampleBody(100 + i, kLargeBody))) return 1;
    manifest << numbers[i] << ' ' << name << '\n';
    gib << numbers[i] << ' ' << name << '\n' << numbers[i] << ' ' << name << '\n';
  }
  return manifest.good() && gib.good() ? 0 : 1;
}

int Small(const std::filesystem::path& dir) {
  const GameFolder game = MakeSampleGame(kLooseFileCount);
  auto fs = CreatePlatformFileSystem();
  std::filesystem::create_directories(dir / "game");
  std::filesystem::create_directories(dir / "bodies");
  if (!game.Write(*fs, (dir / "game").wstring())) return 1;

  // All resources, and the entries and the loose files alone, so that the
  // system calls of each kind of patch can be counted apart; a patch of one
  // entry and one of one loose file give the cost of starting up.
  std::ofstream all(dir / "small.manifest");
  std::ofstream entries(dir / "entries.manifest");
  std::ofstream loose(dir / "loose.manifest");
  std::ofstream oneEntry(dir / "one-entry.manifest");
  std::ofstream oneLoose(dir / "one-loose.manifest");
  for (uint32_t n = 0; n < kResourceLimit; ++n) {
    const uint32_t size = 1 + (n * 7919u) % 4000;
    const std::string name = "bodies/s" + std::to_string(n) + ".bin";
    if (!WriteBody(dir / name, SampleBody(5000 + n, size))) return 1;
    all << n << ' ' << name << '\n';
    (n < kEntryCount ? entries : loose) << n << ' ' << name << '\n';
    if (n == 0) oneEntry << n << ' ' << name << '\n';
    if (n == kEntryCount) oneLoose << n << ' ' << name << '\n';
  }
  return all.good() && entries.good() && loose.good() && oneEntry.good() && oneLoose.good() ? 0 : 1;
}

// Entries of 900 KiB make a data file of 1.04 GiB. Every 30th entry and
// two of the eight loose files differ in the modified folder: entries in
// turn rewritten in place and grown.
int Pair(const std::filesystem::path& dir) {
  constexpr uint32_t kEntrySize = 900u << 10;
  constexpr uint32_t kLooseSize = 1u << 20;
  auto fs = CreatePlatformFileSystem();
  for (const bool modified : {false, true}) {
    GameFolder game;
    for (uint32_t n = 0; n < kEntryCount; ++n) {
      const bool changed = modified && n % 30 == 7;
      const uint32_t size = changed && n % 60 == 37 ? kEntrySize + 5000 : kEntrySize;
      game.AddEntry(n, SampleBody(changed ? n + 100000 : n, size));
    }
    for (uint32_t i = 0; i < 8; ++i) {
      const bool changed = modified && i % 4 == 1;
      game.AddLooseFile(i, LooseFileImage(SampleBody(changed ? 200000 + i : 300000 + i, kLooseSize)));
    }
    const std::filesystem::path folder = dir / (modified ? "modified" : "original");
    std::filesystem::create_directories(folder);
    if (!game.Write(*fs, folder.wstring())) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "large") == 0) return Large(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "small") == 0) return Small(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "pair") == 0) return Pair(argv[2]);
  std::fprintf(stderr, "usage: bench_fixture large|small|pair DIR\n");
  return 2;
}
