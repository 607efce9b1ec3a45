#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>

#include "src/app/codecs/delta/DeltaEncoder.h"
#include "src/app/codecs/lzma/LzmaBlocksEncoder.h"
#include "src/app/codecs/lzma/LzmaEncoder.h"
#include "src/app/payload/PayloadSeal.h"

namespace qpx::test {

ScratchDirectory::ScratchDirectory() : previous_(std::filesystem::current_path()) {
  // Suites run as several processes at once: a folder another process made
  // in the same tick is not ours, so take the first name nobody holds.
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  do {
    path_ = std::filesystem::temp_directory_path() /
            ("qpx-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  } while (!std::filesystem::create_directory(path_));
  std::filesystem::current_path(path_);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  // In one read: the crash tests compare folders of many megabytes after
  // every run, and a byte-by-byte stream read dominated their time.
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  const std::streamoff size = in.good() ? static_cast<std::streamoff>(in.tellg()) : 0;
  std::vector<uint8_t> bytes(size > 0 ? static_cast<std::size_t>(size) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  EXPECT_EQ(in.gcount(), static_cast<std::streamsize>(bytes.size())) << "cannot read all of " << path;
  return bytes;
}

std::map<std::string, std::vector<uint8_t>> ReadFolder(const std::filesystem::path& root, const std::string& except) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    if (item.is_regular_file() && (except.empty() || item.path().filename() != except)) {
      files[std::filesystem::relative(item.path(), root).generic_string()] = ReadFile(item.path());
    }
  }
  return files;
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

template <typename T>
static void AppendImage(std::vector<uint8_t>& file, const T& value) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
  file.insert(file.end(), bytes, bytes + sizeof value);
}

uint32_t AppendTable(std::vector<uint8_t>& file, const std::vector<PatchRecord>& records) {
  const auto tableOffset = static_cast<uint32_t>(file.size());
  for (const PatchRecord& record : records) AppendImage(file, record);
  return tableOffset;
}

void AppendTrailer(std::vector<uint8_t>& file, uint32_t version, uint32_t tableOffset, uint32_t recordCount,
                   uint32_t reserved) {
  PayloadTrailer trailer{{version, reserved, tableOffset, recordCount}, {}};
  std::memcpy(trailer.magic, kPayloadMagic, sizeof trailer.magic);
  AppendImage(file, trailer);
}

std::vector<uint8_t> BuildPatchFile(const std::vector<uint8_t>& image, const std::vector<TestPatch>& patches) {
  std::vector<uint8_t> file = image;
  std::vector<PatchRecord> records;
  for (const TestPatch& patch : patches) {
    records.push_back(PatchRecord{patch.resourceNumber, kRecordReservedValue, static_cast<uint32_t>(file.size()),
                                  static_cast<uint32_t>(patch.body.size())});
    file.insert(file.end(), patch.body.begin(), patch.body.end());
  }
  const uint32_t tableOffset = AppendTable(file, records);
  AppendTrailer(file, kPayloadVersion1, tableOffset, static_cast<uint32_t>(records.size()));
  return file;
}

// Zero padding, a seal over every byte from `coveredStart`, and `trailer`.
void AppendSeal(std::vector<uint8_t>& file, uint64_t coveredStart, const PayloadTrailer& trailer) {
  file.resize(file.size() + SealPadding(file.size()), 0);
  PayloadSeal seal{};
  std::memcpy(seal.magic, kSealMagic, sizeof seal.magic);
  seal.version = kSealVersion;
  seal.coveredStart = coveredStart;
  ContentDigest digest;
  digest.Update(std::span(file).subspan(coveredStart));
  const ContentDigest::Value value = FinishSealDigest(digest, seal, trailer);
  std::memcpy(seal.digest, value.data(), sizeof seal.digest);
  AppendImage(file, seal);
  AppendImage(file, trailer);
}

void AppendSealAndTrailer(std::vector<uint8_t>& file, uint64_t coveredStart, uint32_t tableOffset,
                          uint32_t recordCount) {
  AppendSeal(file, coveredStart, TrailerOf({kPayloadVersion1, kTrailerReservedValue, tableOffset, recordCount}));
}

std::vector<uint8_t> BuildSealedPatchFile(const std::vector<uint8_t>& image, const std::vector<TestPatch>& patches) {
  std::vector<uint8_t> file = BuildPatchFile(image, patches);
  PayloadTrailer trailer;
  std::memcpy(&trailer, file.data() + file.size() - sizeof trailer, sizeof trailer);
  file.erase(file.end() - sizeof trailer, file.end());
  AppendSealAndTrailer(file, image.size(), trailer.header.tableOffset, trailer.header.recordCount);
  return file;
}

void AppendCheckedTable(std::vector<uint8_t>& file, uint64_t coveredStart, const std::vector<PatchRecordV2>& records) {
  const uint64_t tableOffset = file.size();
  for (const PatchRecordV2& record : records) AppendImage(file, record);
  AppendSeal(file, coveredStart,
             TrailerOf(PayloadTrailerHeaderV2{kPayloadVersion2, static_cast<uint32_t>(records.size()), tableOffset}));
}

std::vector<uint8_t> BuildCheckedPatchFile(const std::vector<uint8_t>& image, const std::vector<CheckedPatch>& patches) {
  std::vector<uint8_t> file = image;
  std::vector<PatchRecordV2> records;
  for (const CheckedPatch& patch : patches) {
    PatchRecordV2 record{};
    record.resourceNumber = patch.resourceNumber;
    record.bodyOffset = file.size();
    record.resultSize = patch.body.size();
    std::vector<uint8_t> stored = patch.body;
    if (patch.coding == BodyEncoding::Lzma) {
      const auto coded = tool::EncodeLzma(patch.body, {}, UINT64_MAX);
      EXPECT_TRUE(coded.has_value());
      stored = *coded;
    } else if (patch.coding == BodyEncoding::LzmaBlocks) {
      // Blocks small enough that a test's body has several.
      const auto coded = tool::EncodeLzmaBlocks(patch.body, kTestLzmaBlockSize, {}, UINT64_MAX, 1);
      EXPECT_TRUE(coded.has_value());
      stored = *coded;
    } else if (patch.coding == BodyEncoding::Delta) {
      const auto coded = tool::EncodeDelta(*patch.base, patch.body, {}, UINT64_MAX);
      EXPECT_TRUE(coded.has_value());
      stored = *coded;
    }
    record.encoding = static_cast<uint16_t>(patch.coding);
    record.storedSize = stored.size();
    const ContentHash result = HashOf(patch.body);
    std::memcpy(record.resultHash, result.data(), sizeof record.resultHash);
    if (patch.base) {
      record.flags = kRecordHasBase;
      record.baseSize = patch.base->size();
      const ContentHash base = HashOf(*patch.base);
      std::memcpy(record.baseHash, base.data(), sizeof record.baseHash);
    }
    file.insert(file.end(), stored.begin(), stored.end());
    records.push_back(record);
  }
  AppendCheckedTable(file, image.size(), records);
  return file;
}

std::vector<uint8_t> Words(uint32_t seed, std::size_t size) {
  std::vector<uint8_t> bytes;
  const std::string words[] = {"alpha ", "beta ", "gamma ", "delta\n"};
  for (uint32_t i = seed; bytes.size() < size; i = i * 1103515245u + 12345u) {
    for (const char c : words[(i >> 16) % 4]) bytes.push_back(static_cast<uint8_t>(c));
  }
  bytes.resize(size);
  return bytes;
}

std::vector<uint8_t> PeImage(std::size_t length, uint32_t offset, uint32_t size, bool wide) {
  std::vector<uint8_t> image(length, 0xCC);
  const auto put32 = [&](std::size_t at, uint32_t value) { std::memcpy(image.data() + at, &value, 4); };
  const auto put16 = [&](std::size_t at, uint16_t value) { std::memcpy(image.data() + at, &value, 2); };
  image[0] = 'M', image[1] = 'Z';
  put32(0x3C, 0x80);
  std::memcpy(image.data() + 0x80, "PE\0\0", 4);
  const std::size_t coff = 0x84, optional = coff + 20;
  put16(coff + 16, wide ? 240 : 224);  // SizeOfOptionalHeader
  put16(optional, wide ? 0x20B : 0x10B);
  const std::size_t directories = optional + (wide ? 112 : 96);
  put32(directories - 4, 16);  // NumberOfRvaAndSizes
  put32(directories + 4 * 8, offset);
  put32(directories + 4 * 8 + 4, size);
  return image;
}

std::vector<uint8_t> Sign(std::vector<uint8_t> patch, bool wide) {
  const std::size_t tableAt = (patch.size() + 7) / 8 * 8;
  const std::vector<uint8_t> header = PeImage(512, static_cast<uint32_t>(tableAt), 1000, wide);
  std::copy(header.begin(), header.end(), patch.begin());
  patch.resize(tableAt, 0);
  patch.resize(tableAt + 1000, 0xA5);
  return patch;
}

namespace {

void Put32(std::vector<uint8_t>& image, std::size_t at, uint32_t value) { std::memcpy(image.data() + at, &value, 4); }
void Put16(std::vector<uint8_t>& image, std::size_t at, uint16_t value) { std::memcpy(image.data() + at, &value, 2); }

// One section header at `at`.
void PutSection(std::vector<uint8_t>& image, std::size_t at, const char* name, uint32_t virtualSize, uint32_t rva,
                uint32_t rawSize, uint32_t rawAt) {
  std::memcpy(image.data() + at, name, std::strlen(name));
  Put32(image, at + 8, virtualSize);
  Put32(image, at + 12, rva);
  Put32(image, at + 16, rawSize);
  Put32(image, at + 20, rawAt);
  Put32(image, at + 36, 0x40000040);  // initialized data, readable
}

// UTF-16LE bytes of UTF-8 text (well formed).
std::vector<uint8_t> Utf16Bytes(const std::string& text) {
  std::vector<uint8_t> out;
  const auto unit = [&](uint32_t u) { out.push_back(static_cast<uint8_t>(u)), out.push_back(static_cast<uint8_t>(u >> 8)); };
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) point = point << 6 | (text[i + k] & 0x3F);
    i += length;
    if (point > 0xFFFF) {
      unit(0xD800 + ((point - 0x10000) >> 10));
      unit(0xDC00 + ((point - 0x10000) & 0x3FF));
    } else {
      unit(point);
    }
  }
  return out;
}

}  // namespace

std::vector<uint8_t> BrandablePeImage(const std::vector<uint8_t>& relocations, bool after) {
  const uint16_t sections = after ? 4 : 3;
  std::vector<uint8_t> image(after ? 0xA00 : 0x800, 0);
  image[0] = 'M', image[1] = 'Z';
  Put32(image, 0x3C, 0x80);
  std::memcpy(image.data() + 0x80, "PE\0\0", 4);
  const std::size_t coff = 0x84, optional = coff + 20, table = optional + 224;
  Put16(image, coff, 0x14C);  // i386
  Put16(image, coff + 2, sections);
  Put16(image, coff + 16, 224);
  Put16(image, optional, 0x10B);
  Put32(image, optional + 8, after ? 0x800 : 0x600);  // SizeOfInitializedData
  Put32(image, optional + 32, 0x1000);                // SectionAlignment
  Put32(image, optional + 36, 0x200);                 // FileAlignment
  Put32(image, optional + 56, after ? 0x5000 : 0x4000);
  Put32(image, optional + 60, 0x400);                 // SizeOfHeaders
  Put16(image, optional + 68, 3);                     // console
  Put32(image, optional + 92, 16);
  Put32(image, optional + 96 + 2 * 8, 0x2000), Put32(image, optional + 96 + 2 * 8 + 4, 16);
  Put32(image, optional + 96 + 5 * 8, 0x3000);
  Put32(image, optional + 96 + 5 * 8 + 4, static_cast<uint32_t>(relocations.size()));
  PutSection(image, table, ".text", 0x100, 0x1000, 0x200, 0x400);
  PutSection(image, table + 40, ".rsrc", 16, 0x2000, 0x200, 0x600);
  PutSection(image, table + 80, ".reloc", static_cast<uint32_t>(relocations.size()), 0x3000, 0x200, 0x800);
  if (after) PutSection(image, table + 120, ".extra", 0x10, 0x4000, 0x200, 0xA00);
  image.resize(image.size() + 0x200, 0);
  std::fill(image.begin() + 0x400, image.begin() + 0x500, 0xC3);
  Put16(image, 0x600 + 14, 0);  // the resource tree: a root of no entries
  std::copy(relocations.begin(), relocations.end(), image.begin() + 0x800);
  Put32(image, optional + 64, PeChecksumOf(image));
  return image;
}

uint32_t PeChecksumOf(const std::vector<uint8_t>& image) {
  std::vector<uint8_t> copy = image;
  uint32_t lfanew = 0;
  std::memcpy(&lfanew, copy.data() + 0x3C, 4);
  std::fill_n(copy.begin() + lfanew + 24 + 64, 4, 0);
  if (copy.size() % 2 != 0) copy.push_back(0);
  uint32_t sum = 0;
  for (std::size_t i = 0; i < copy.size(); i += 2) {
    sum += copy[i] | copy[i + 1] << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return ((sum & 0xFFFF) + (sum >> 16)) + static_cast<uint32_t>(image.size());
}

std::vector<uint8_t> IconFile(const std::vector<std::vector<uint8_t>>& images, uint8_t size) {
  std::vector<uint8_t> file(6 + 16 * images.size(), 0);
  Put16(file, 2, 1);
  Put16(file, 4, static_cast<uint16_t>(images.size()));
  for (std::size_t i = 0; i < images.size(); ++i) {
    const std::size_t entry = 6 + 16 * i;
    file[entry] = file[entry + 1] = size;
    Put16(file, entry + 4, 1);
    Put16(file, entry + 6, 32);
    Put32(file, entry + 8, static_cast<uint32_t>(images[i].size()));
    Put32(file, entry + 12, static_cast<uint32_t>(file.size()));
    file.insert(file.end(), images[i].begin(), images[i].end());
  }
  return file;
}

bool HasVersionText(const std::vector<uint8_t>& exe, const std::string& key, const std::string& value) {
  std::vector<uint8_t> wantKey = Utf16Bytes(key), wantValue = Utf16Bytes(value);
  wantKey.insert(wantKey.end(), {0, 0});
  wantValue.insert(wantValue.end(), {0, 0});
  for (auto at = std::search(exe.begin(), exe.end(), wantKey.begin(), wantKey.end()); at != exe.end();
       at = std::search(at + 1, exe.end(), wantKey.begin(), wantKey.end())) {
    auto valueAt = at + static_cast<std::ptrdiff_t>(wantKey.size());
    // The key starts 6 bytes after its block: its value at the next multiple of 4.
    while ((valueAt - exe.begin() - (at - exe.begin() - 6)) % 4 != 0 && valueAt != exe.end()) ++valueAt;
    if (exe.end() - valueAt >= static_cast<std::ptrdiff_t>(wantValue.size()) &&
        std::equal(wantValue.begin(), wantValue.end(), valueAt)) {
      return true;
    }
  }
  return false;
}

}  // namespace qpx::test
