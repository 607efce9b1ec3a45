// Makes the inputs of the benchmark: a synthetic game folder, the patch
// bodies as files and a qpxtool manifest naming them.
//
//   bench_fixture large DIR   8 bodies of 64 MiB: 4 entries appended,
//                             2 in place, 2 loose files
//   bench_fixture small DIR   all 2,715 resources, bodies of 1 to 4,000 bytes
//   bench_fixture pair DIR    two game folders of over 1 GiB each, original
//                             and modified, a few percent of whose
//                             resources differ (for diff and unpack)
//   bench_fixture real OLD NEW DIR
//                             two game folders DIR/original and DIR/modified
//                             from two trees of files (two versions of a
//                             program): each file that both have is a
//                             resource, in turn an entry and a loose file
//   bench_fixture synthetic DIR
//                             DIR/original and DIR/modified: 6 bytes changed
//                             in a loose file of 100 MB, 1 byte in an entry
//                             of 20 MB, an entry of 40 MB replaced by 50 MB
//                             of new bytes (also written to DIR/new.bin)
//   bench_fixture series DIR TREE...
//                             one game folder DIR/vK for each tree of files
//                             (releases of a program, oldest first): each
//                             file that every tree has is a resource, of
//                             one number in every folder, in turn an entry
//                             and a loose file
//   bench_fixture versions DIR N
//                             DIR/v0 .. DIR/vN-1: N releases of a synthetic
//                             game, each editing a few resources of the
//                             one before (a few bytes changed, a body
//                             grown, one replaced)
//   bench_fixture text FILE BYTES
//                             BYTES of text that compresses as prose does:
//                             lines of words drawn, most often the common
//                             ones, from a vocabulary of 20,000
//   bench_fixture checks PATCH ROUNDS
//                             in the game folder that is the current
//                             directory: the version-2 checks of PATCH
//                             against reading the bytes they hash, ROUNDS
//                             times in turn; prints both medians (ms)

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>

#include "src/app/payload/PatchPayload.h"
#include "src/app/run/PatchCheck.h"
#include "src/archive/LooseFile.h"
#include "src/archive/ResourceArchive.h"
#include "tools/qpxtool/authoring/GameFolder.h"

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

// The files under `root`, by path relative to it.
std::map<std::string, std::filesystem::path> FilesUnder(const std::filesystem::path& root) {
  std::map<std::string, std::filesystem::path> files;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    if (item.is_regular_file() && !item.is_symlink()) files[std::filesystem::relative(item.path(), root).string()] = item.path();
  }
  return files;
}

std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Real(const std::filesystem::path& oldTree, const std::filesystem::path& newTree, const std::filesystem::path& dir) {
  const auto oldFiles = FilesUnder(oldTree), newFiles = FilesUnder(newTree);
  GameFolder original, modified;
  uint32_t entries = 0, loose = 0, changed = 0;
  uint64_t changedBytes = 0;
  std::ofstream list(dir / "files.txt");
  for (const auto& [name, oldPath] : oldFiles) {
    const auto other = newFiles.find(name);
    if (other == newFiles.end()) continue;
    const std::vector<uint8_t> before = ReadAll(oldPath), after = ReadAll(other->second);
    // A resource cannot be made empty, nor a loose file hold more than its limit.
    if (before.empty() || after.empty()) continue;
    const bool asLoose = (entries + loose) % 2 == 1 && before.size() <= kLooseMaxBodySize && after.size() <= kLooseMaxBodySize;
    uint32_t number = 0;
    if (asLoose) {
      original.AddLooseFile(loose, LooseFileImage(before));
      modified.AddLooseFile(loose, LooseFileImage(after));
      number = kEntryCount + loose++;
    } else {
      original.AddEntry(entries, before);
      modified.AddEntry(entries, after);
      number = entries++;
    }
    const bool differs = before != after;
    changed += differs;
    if (differs) changedBytes += after.size();
    list << number << ' ' << (differs ? "changed " : "same ") << before.size() << ' ' << after.size() << ' ' << name
         << '\n';
  }
  auto fs = CreatePlatformFileSystem();
  for (const auto& [folder, game] : {std::pair{"original", &original}, std::pair{"modified", &modified}}) {
    std::filesystem::create_directories(dir / folder);
    if (!game->Write(*fs, (dir / folder).wstring())) return 1;
  }
  std::printf("%u resources (%u entries, %u loose files), %u changed (%llu bytes after)\n", entries + loose, entries,
              loose, changed, static_cast<unsigned long long>(changedBytes));
  return 0;
}

int Synthetic(const std::filesystem::path& dir) {
  const std::vector<uint8_t> loose = SampleBody(1, 100000000), small = SampleBody(2, 20000000),
                             replaced = SampleBody(3, 40000000), added = SampleBody(4, 50000000);
  std::vector<uint8_t> looseAfter = loose, smallAfter = small;
  for (const std::size_t at : {std::size_t{17}, std::size_t{40000000}, std::size_t{40000001}, std::size_t{77777777},
                               std::size_t{99999998}, std::size_t{99999999}}) {
    looseAfter[at] ^= 0x20;
  }
  smallAfter[12345678] ^= 1;
  GameFolder original, modified;
  original.AddEntry(0, small);
  original.AddEntry(1, replaced);
  original.AddLooseFile(0, LooseFileImage(loose));
  modified.AddEntry(0, smallAfter);
  modified.AddEntry(1, added);
  modified.AddLooseFile(0, LooseFileImage(looseAfter));
  auto fs = CreatePlatformFileSystem();
  for (const auto& [folder, game] : {std::pair{"original", &original}, std::pair{"modified", &modified}}) {
    std::filesystem::create_directories(dir / folder);
    if (!game->Write(*fs, (dir / folder).wstring())) return 1;
  }
  return WriteBody(dir / "new.bin", added) ? 0 : 1;
}

// Words of 2 to 11 letters from a generator of `seed`, chosen with a
// frequency falling as one over their rank (as in prose), in sentences and
// lines of up to 72 characters.
int Text(const std::filesystem::path& path, uint64_t size) {
  uint32_t state = 20261211;
  const auto next = [&] { return state = state * 1664525u + 1013904223u; };
  std::vector<std::string> words(20000);
  for (std::string& word : words) {
    const std::size_t letters = 2 + (next() >> 16) % 10;
    for (std::size_t i = 0; i < letters; ++i) word += static_cast<char>('a' + (next() >> 16) % 26);
  }
  std::vector<double> cumulative(words.size());
  double total = 0;
  for (std::size_t rank = 0; rank < words.size(); ++rank) cumulative[rank] = total += 1.0 / double(rank + 1);
  std::vector<uint8_t> text;
  text.reserve(static_cast<std::size_t>(size) + 80);
  std::size_t line = 0;
  bool capital = true;
  while (text.size() < size) {
    const double pick = double(next() >> 8) / double(1u << 24) * total;
    std::string word = words[std::lower_bound(cumulative.begin(), cumulative.end(), pick) - cumulative.begin()];
    if (capital) word[0] = static_cast<char>(word[0] - 'a' + 'A');
    capital = (next() >> 16) % 12 == 0;
    if (capital) word += '.';
    else if ((next() >> 16) % 10 == 0) word += ',';
    if (line + word.size() + 1 > 72) {
      text.push_back('\n');
      line = 0;
    } else if (line != 0) {
      text.push_back(' ');
      ++line;
    }
    text.insert(text.end(), word.begin(), word.end());
    line += word.size();
  }
  text.resize(static_cast<std::size_t>(size));
  return WriteBody(path, text) ? 0 : 1;
}

double MedianMs(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  const std::size_t n = times.size();
  return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
}

int Checks(const std::filesystem::path& patchPath, int rounds) {
  auto fs = CreatePlatformFileSystem();
  const auto patch = fs->Open(std::filesystem::absolute(patchPath).wstring().c_str(), OpenMode_Read);
  Payload payload;
  if (!patch || ReadPayload(*patch, payload) != PayloadError::None || payload.version != kPayloadVersion2) return 1;
  ResourceArchive archive(*fs);
  if (!archive.OpenArchive()) return 1;
  std::vector<uint8_t> chunk(kMaxTransferChunk);
  std::vector<double> checks, reads;
  uint64_t hashed = 0;
  for (int round = 0; round < rounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    const PatchCheck check = CheckPatch(archive, payload, chunk);
    checks.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    if (!check.Passed()) return 1;
    // The same bytes read, as plainly as the file layer reads them.
    start = std::chrono::steady_clock::now();
    hashed = 0;
    for (const PayloadRecord& record : payload.records) {
      const uint32_t number = record.resourceNumber;
      if (number < kEntryCount) {
        const ArchiveIndexEntry& entry = archive.Entries()[number];
        for (uint64_t done = 0; done < entry.size; done += chunk.size()) {
          const auto piece = static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), entry.size - done));
          if (!archive.ReadData(entry.offset + done, std::span(chunk).first(piece))) return 1;
        }
        hashed += entry.size;
        continue;
      }
      const auto file = archive.OpenLooseFile(number - kEntryCount, OpenMode_Read);
      int64_t length = 0;
      LooseFileHeader header{};
      if (!file || !file->QuerySize64(length) || !ReadLooseFileHeader(*file, length, header)) return 1;
      for (uint64_t done = 0; done < header.totalSize; done += chunk.size()) {
        const auto piece = static_cast<uint32_t>(std::min<uint64_t>(chunk.size(), header.totalSize - done));
        if (file->Read(chunk.data(), piece) != piece) return 1;
      }
      hashed += header.totalSize;
    }
    reads.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::printf("%.3f %.3f %zu %llu\n", MedianMs(checks), MedianMs(reads), payload.records.size(),
              static_cast<unsigned long long>(hashed));
  return 0;
}

}  // namespace

// Each tree of `trees` laid out as the game folder DIR/vK, the files all of
// them hold as resources numbered alike.
int Series(const std::filesystem::path& dir, const std::vector<std::filesystem::path>& trees) {
  std::vector<std::map<std::string, std::filesystem::path>> files;
  for (const auto& tree : trees) files.push_back(FilesUnder(tree));
  std::vector<GameFolder> games(trees.size());
  uint32_t entries = 0, loose = 0;
  std::ofstream list(dir / "files.txt");
  for (const auto& [name, firstPath] : files.front()) {
    std::vector<std::vector<uint8_t>> bodies;
    for (const auto& release : files) {
      const auto found = release.find(name);
      if (found == release.end()) break;
      bodies.push_back(ReadAll(found->second));
    }
    const bool everywhere = bodies.size() == trees.size() &&
                            std::none_of(bodies.begin(), bodies.end(), [](const auto& b) { return b.empty(); });
    if (!everywhere) continue;
    const bool fits = std::all_of(bodies.begin(), bodies.end(), [](const auto& b) { return b.size() <= kLooseMaxBodySize; });
    const bool asLoose = (entries + loose) % 2 == 1 && fits;
    const uint32_t number = asLoose ? kEntryCount + loose : entries;
    for (std::size_t k = 0; k < games.size(); ++k) games[k].AddResource(number, bodies[k]);
    asLoose ? ++loose : ++entries;
    list << number;
    for (const auto& body : bodies) list << ' ' << body.size();
    list << ' ' << name << '\n';
  }
  auto fs = CreatePlatformFileSystem();
  for (std::size_t k = 0; k < games.size(); ++k) {
    const auto folder = dir / ("v" + std::to_string(k));
    std::filesystem::create_directories(folder);
    if (!games[k].Write(*fs, folder.wstring())) return 1;
  }
  std::printf("%zu releases of %u resources (%u entries, %u loose files)\n", trees.size(), entries + loose, entries,
              loose);
  return 0;
}

// `count` releases of a synthetic game of 200 resources (entries of 4 to
// 400 KB, loose files of 1 to 100 KB): each release edits four resources of
// the one before, in turn a few bytes changed in place, a body grown by
// new bytes at its middle, a body replaced by new bytes, and a few bytes
// changed again in one edited by an earlier release.
int Versions(const std::filesystem::path& dir, int count) {
  std::map<uint32_t, std::vector<uint8_t>> resources;
  for (uint32_t i = 0; i < 200; ++i) {
    const uint32_t number = i % 4 == 3 ? kEntryCount + i / 4 : i;
    const uint32_t size = number < kEntryCount ? 4000 + (i * 7919u) % 396000 : 1000 + (i * 7919u) % 99000;
    resources[number] = SampleBody(1000 + i, size);
  }
  std::vector<uint32_t> numbers;
  for (const auto& [number, body] : resources) numbers.push_back(number);
  auto fs = CreatePlatformFileSystem();
  for (int k = 0; k < count; ++k) {
    if (k > 0) {
      const auto pick = [&](int j) { return numbers[(static_cast<std::size_t>(k) * 37 + static_cast<std::size_t>(j) * 11) % numbers.size()]; };
      std::vector<uint8_t>& changed = resources[pick(0)];
      for (std::size_t at = 100; at < changed.size(); at += changed.size() / 5) changed[at] ^= 0x5A;
      std::vector<uint8_t>& grown = resources[pick(1)];
      const std::vector<uint8_t> inserted = SampleBody(5000 + static_cast<uint32_t>(k), 2000);
      grown.insert(grown.begin() + static_cast<std::ptrdiff_t>(grown.size() / 2), inserted.begin(), inserted.end());
      resources[pick(2)] = SampleBody(6000 + static_cast<uint32_t>(k), static_cast<uint32_t>(resources[pick(2)].size()));
      std::vector<uint8_t>& again = resources[numbers[static_cast<std::size_t>(k - 1) * 37 % numbers.size()]];
      again[again.size() / 3] ^= 0x01;
    }
    GameFolder game;
    for (const auto& [number, body] : resources) game.AddResource(number, body);
    const auto folder = dir / ("v" + std::to_string(k));
    std::filesystem::create_directories(folder);
    if (!game.Write(*fs, folder.wstring())) return 1;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "real") == 0) return Real(argv[2], argv[3], argv[4]);
  if (argc == 4 && std::strcmp(argv[1], "checks") == 0) return Checks(argv[2], std::atoi(argv[3]));
  if (argc >= 4 && std::strcmp(argv[1], "series") == 0) {
    return Series(argv[2], std::vector<std::filesystem::path>(argv + 3, argv + argc));
  }
  if (argc == 4 && std::strcmp(argv[1], "versions") == 0) return Versions(argv[2], std::atoi(argv[3]));
  if (argc == 3 && std::strcmp(argv[1], "synthetic") == 0) return Synthetic(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "large") == 0) return Large(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "text") == 0) return Text(argv[2], std::strtoull(argv[3], nullptr, 10));
  if (argc == 3 && std::strcmp(argv[1], "small") == 0) return Small(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "pair") == 0) return Pair(argv[2]);
  std::fprintf(stderr, "usage: bench_fixture large|small|pair|synthetic DIR | real OLD NEW DIR | series DIR TREE... | "
               "versions DIR N | checks PATCH ROUNDS\n");
  return 2;
}
