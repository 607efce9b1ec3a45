#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

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

}  // namespace qpx::test
