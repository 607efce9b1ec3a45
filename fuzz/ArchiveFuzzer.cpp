// libFuzzer target: ApplyPatch sequences on an arbitrary archive. The input
// decides the index records (and whether the index has the right length
// and the data file exists), the data file's bytes, which loose files exist
// and what they hold, and then a sequence of (resource number, body)
// patches. After every patch the files are compared with what that one
// patch may do:
// - an entry's body lands where its record will point: over the old body
//   when the slot length is unchanged and the entry may be replaced in
//   place, else at the data file's end; zeros follow up to the slot length;
//   the 32-byte record is rewritten, unless the length is exactly the old
//   one in place;
// - a loose file that exists becomes the whole image of the body; a missing
//   one stays missing;
// - no other byte of any file changes, the data file never shrinks, and a
//   refused patch changes nothing at all.
//
// Input layout (little-endian, read from the front; a short input reads as
// zeros):
//   u8 shape          0: index one record short, 1: one record long,
//                     2: no data file, otherwise a sound archive
//   u8 records        how many index records follow (at most 32)
//   per record: u16 number (mod 1207), u64 offset, u64 size, u64 secondSize,
//               u64 attributes; an offset below 2^63 is taken mod 64 KiB and
//               a size whose top byte is zero mod 4 KiB, to keep files small
//   u16 data length (mod 4 KiB), then the data bytes
//   u8 loose mask     bit i: res\D0000i.bin exists (i < 4)
//   per existing loose file: u16 length (mod 1 KiB), then its bytes
//   then patches until the input ends:
//     u8 kind (0-5 an entry of the records above or any entry, 6-7 a loose
//     file 1207..1211, else any 32-bit number), u32 number, u16 body length
//     (mod 1 KiB), the body bytes

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include "src/archive/LooseFile.h"
#include "src/archive/ResourceArchive.h"
#include "fuzz/FuzzSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx::fuzz {
namespace {

constexpr uint32_t kLooseSlots = 4;

CFileSystem& FileSystem() {
  static const std::unique_ptr<CFileSystem> fs = CreatePlatformFileSystem();
  return *fs;
}

std::optional<std::vector<uint8_t>> ReadIfThere(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(FileSystem(), path, bytes)) return std::nullopt;
  return bytes;
}

struct Files {
  std::vector<uint8_t> index;
  std::vector<uint8_t> data;
  std::map<uint32_t, std::vector<uint8_t>> loose;  // by loose index, those that exist
  bool operator==(const Files&) const = default;
};

Files ReadFiles() {
  Files files;
  files.index = ReadIfThere(kIndexFileName).value_or(std::vector<uint8_t>{});
  files.data = ReadIfThere(kDataFileName).value_or(std::vector<uint8_t>{});
  for (uint32_t i = 0; i <= kLooseSlots; ++i) {
    if (auto bytes = ReadIfThere(LooseFilePath(L"res", i))) files.loose[i] = std::move(*bytes);
  }
  return files;
}

// What replacing entry `number` with `body` must leave, given the files and
// the in-memory record before it; nullopt when it must be refused.
std::optional<Files> ExpectedEntry(const Files& before, const ArchiveIndexEntry& entry, uint32_t number,
                                   const std::vector<uint8_t>& body) {
  const auto size = static_cast<uint32_t>(body.size());
  const bool inPlace = entry.attributes == 0 && SlotLength(static_cast<uint32_t>(entry.size)) == SlotLength(size);
  // An old body that does not lie inside the data file is no slot to write in.
  if (inPlace && (entry.offset > before.data.size() ||
                  uint64_t{static_cast<uint32_t>(entry.size)} > before.data.size() - entry.offset)) {
    return std::nullopt;
  }
  const uint64_t target = inPlace ? entry.offset : before.data.size();
  const bool sameLength = inPlace && entry.size == size;
  const uint64_t written = sameLength ? size : SlotLength(size);

  Files after = before;
  // Writing nothing, even past the end, leaves the file as it is.
  if (written != 0) {
    if (after.data.size() < target + written) after.data.resize(target + written, 0);
    std::copy(body.begin(), body.end(), after.data.begin() + static_cast<std::ptrdiff_t>(target));
    std::fill(after.data.begin() + static_cast<std::ptrdiff_t>(target + size),
              after.data.begin() + static_cast<std::ptrdiff_t>(target + written), 0);
  }
  if (!sameLength) {
    const ArchiveIndexEntry record{target, size, size, 0};
    std::memcpy(after.index.data() + number * sizeof record, &record, sizeof record);
  }
  return after;
}

// Says where two sets of files part, before the check that fails on it.
void Describe(uint32_t number, const Files& actual, const Files& expected) {
  const auto part = [](const char* name, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a == b) return;
    const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    std::fprintf(stderr, "%s: length %zu, expected %zu; first difference at %td\n", name, a.size(), b.size(),
                 at.first - a.begin());
  };
  std::fprintf(stderr, "patch of resource %u\n", number);
  part("index", actual.index, expected.index);
  part("data", actual.data, expected.data);
  if (actual.loose.size() != expected.loose.size()) std::fprintf(stderr, "loose files differ in number\n");
  for (const auto& [i, bytes] : actual.loose) {
    if (expected.loose.contains(i)) part("loose", bytes, expected.loose.at(i));
  }
}

// Writes the archive that the front of the input describes.
void WriteArchive(InputReader& in) {
  GameFolder game;
  const uint8_t shape = in.U8();
  const uint8_t records = in.U8() % 33;
  for (uint8_t i = 0; i < records; ++i) {
    const uint32_t number = in.U16() % kEntryCount;
    ArchiveIndexEntry entry{in.U64(), in.U64(), in.U64(), in.U64()};
    if (entry.offset <= uint64_t{INT64_MAX}) entry.offset %= 65536;
    if ((entry.size >> 56) == 0) entry.size %= 4096;
    game.index[number] = entry;
  }
  if (shape == 0 || shape == 1) {
    const uint32_t length = shape == 0 ? kIndexFileSize - 32 : kIndexFileSize + 32;
    std::vector<uint8_t> bytes(length, 0);
    std::memcpy(bytes.data(), game.index.data(), std::min(length, kIndexFileSize));
    game.indexOverride = bytes;
  }
  game.writeData = shape != 2;
  const std::vector<uint8_t> data = in.Bytes(in.U16() % 4096);
  game.PutData(0, data);

  const uint8_t looseMask = in.U8();
  for (uint32_t i = 0; i < kLooseSlots; ++i) {
    if ((looseMask >> i) & 1) game.AddLooseFile(i, in.Bytes(in.U16() % 1024));
  }

  // Every input starts from an empty folder.
  std::filesystem::remove_all("res");
  std::filesystem::remove(std::filesystem::path(kDataFileName));
  FUZZ_CHECK(game.Write(FileSystem(), L""));
}

}  // namespace
}  // namespace qpx::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qpx::fuzz::EnterWorkFolder("archive");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qpx;
  using namespace qpx::fuzz;
  InputReader in(std::span<const uint8_t>(data, size));
  WriteArchive(in);

  ResourceArchive archive(FileSystem());
  if (!archive.OpenArchive()) {
    // Refused: only a wrong index length or a missing data file does that.
    const Files files = ReadFiles();
    FUZZ_CHECK(files.index.size() != kIndexFileSize || !std::filesystem::exists(std::filesystem::path(kDataFileName)));
    return 0;
  }

  Files before = ReadFiles();
  std::vector<uint32_t> recorded;
  for (uint32_t number = 0; number < kEntryCount; ++number) {
    if (archive.Entries()[number].size != 0 || archive.Entries()[number].offset != 0) recorded.push_back(number);
  }
  while (!in.Empty()) {
    const uint8_t kind = in.U8() % 9;
    const uint32_t raw = in.U32();
    uint32_t number = raw;
    if (kind <= 5) {
      number = (kind <= 3 && !recorded.empty()) ? recorded[raw % recorded.size()] : raw % kEntryCount;
    } else if (kind <= 7) {
      number = kEntryCount + raw % (kLooseSlots + 1);
    }
    const std::vector<uint8_t> body = in.Bytes(in.U16() % 1024);

    std::optional<Files> expected;
    if (number < kEntryCount) {
      expected = ExpectedEntry(before, archive.Entries()[number], number, body);
    } else if (number < kResourceLimit && before.loose.contains(number - kEntryCount)) {
      expected = before;
      expected->loose[number - kEntryCount] = LooseFileImage(body);
    }

    const ArchiveIndexEntry recordBefore = number < kEntryCount ? archive.Entries()[number] : ArchiveIndexEntry{};
    const bool applied = archive.ApplyPatch(number, body.data(), static_cast<uint32_t>(body.size()));
    const Files after = ReadFiles();
    FUZZ_CHECK(applied == expected.has_value());
    FUZZ_CHECK(after.data.size() >= before.data.size());
    if (after != (expected ? *expected : before)) Describe(number, after, expected ? *expected : before);
    FUZZ_CHECK(after == (expected ? *expected : before));
    if (number < kEntryCount) {
      // A record that changed in memory was written as it stands.
      const ArchiveIndexEntry& record = archive.Entries()[number];
      if (std::memcmp(&record, &recordBefore, sizeof record) != 0) {
        FUZZ_CHECK(applied);
        FUZZ_CHECK(std::memcmp(&record, after.index.data() + number * sizeof record, sizeof record) == 0);
      }
    }
    before = after;
  }
  return 0;
}
