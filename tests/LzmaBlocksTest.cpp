// LZMA bodies in independent blocks: exact round trips, bodies that break
// the layout in every way the decoder checks, the same bytes on one thread
// or two, and the run decoding one into the game.

#include <gtest/gtest.h>

#include <cstring>

#include "src/app/codecs/delta/DeltaDecoder.h"
#include "src/app/codecs/lzma/LzmaBlocks.h"
#include "src/app/codecs/lzma/LzmaBlocksEncoder.h"
#include "src/app/run/RunMessages.h"
#include "src/app/run/PatchRunner.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/BodyEncoder.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Words;

Bytes Encode(const Bytes& input, uint64_t blockSize, unsigned threads = 1, int level = 5) {
  const auto coded = tool::EncodeLzmaBlocks(input, blockSize, tool::LzmaSettings{level}, UINT64_MAX, threads);
  EXPECT_TRUE(coded.has_value());
  return coded.value_or(Bytes{});
}

struct Decoded {
  DecodeStatus status;
  Bytes bytes;
};

Decoded Decode(const Bytes& body, uint64_t resultSize, std::size_t piece = 1u << 20) {
  Bytes out(static_cast<std::size_t>(resultSize));
  SpanSink sink(out);
  MemorySource source(body);
  const DecodeStatus status = DecodeLzmaBlocks(source, 0, body.size(), resultSize, sink, piece);
  out.resize(sink.Filled());
  return {status, out};
}

void Put64(Bytes& body, std::size_t at, uint64_t value) { std::memcpy(body.data() + at, &value, sizeof value); }
uint64_t Get64(const Bytes& body, std::size_t at) {
  uint64_t value = 0;
  std::memcpy(&value, body.data() + at, sizeof value);
  return value;
}
constexpr std::size_t SizesAt(std::size_t block) { return sizeof(LzmaBlocksHeader) + block * sizeof(LzmaBlockSizes); }

TEST(LzmaBlocks, RoundTripsExactlyWithOneBlockSeveralAndAShortLast) {
  const struct {
    std::size_t size;
    uint64_t blockSize;
    uint32_t blocks;
  } cases[] = {
      {1, 4096, 1},           // one byte
      {3000, 4096, 1},        // one block, shorter than the block size
      {3 * 8192, 8192, 3},    // whole blocks
      {5 * 8192 + 17, 8192, 6},  // a last block of 17 bytes
      {100000, 30000, 4},     // blocks whose dictionary is below their size
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes in blocks of " + std::to_string(c.blockSize));
    const Bytes input = Words(7, c.size);
    const Bytes body = Encode(input, c.blockSize);
    uint32_t count = 0;
    std::memcpy(&count, body.data() + offsetof(LzmaBlocksHeader, blockCount), sizeof count);
    EXPECT_EQ(count, c.blocks);
    EXPECT_EQ(std::memcmp(body.data(), kLzmaBlocksMagic, 4), 0);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
      const Decoded decoded = Decode(body, input.size(), piece);
      EXPECT_EQ(decoded.status, DecodeStatus::Done) << "piece " << piece;
      EXPECT_TRUE(decoded.bytes == input) << "piece " << piece;
    }
  }
}

// A stream longer than its dictionary is read through a window that starts
// over when full; where the input is all read while the coder still holds
// the rest of a match, those bytes are still the stream's.
TEST(LzmaBlocks, AStreamEndingInAMatchAcrossItsWindowsEndDecodes) {
  for (const std::size_t size : {std::size_t{16384 + 5}, std::size_t{3 * 16384 + 100}}) {
    const Bytes input(size, 'a');
    const auto coded = tool::EncodeLzma(input, tool::LzmaSettings{0}, UINT64_MAX);  // a 16 KiB dictionary
    ASSERT_TRUE(coded.has_value());
    MemorySource source(*coded);
    LzmaStreamReader reader(source, 0, coded->size(), size);
    ASSERT_EQ(reader.Start(SIZE_MAX, 1u << 20), DecodeStatus::Done);
    Bytes out;
    for (std::span<const uint8_t> piece; out.size() < size; out.insert(out.end(), piece.begin(), piece.end())) {
      ASSERT_EQ(reader.Next(piece), DecodeStatus::Done) << size;
      ASSERT_FALSE(piece.empty()) << size;
    }
    EXPECT_EQ(reader.Finish(), DecodeStatus::Done);
    EXPECT_TRUE(out == input);
    // And as the last block of a body.
    const Bytes body = Encode(input, 16384 + 1, 1, 0);
    const Decoded decoded = Decode(body, size);
    EXPECT_EQ(decoded.status, DecodeStatus::Done) << size;
    EXPECT_TRUE(decoded.bytes == input) << size;
  }
}

TEST(LzmaBlocks, TheBytesAreTheSameOnOneThreadOrTwo) {
  const Bytes input = Words(11, 300000);
  const Bytes one = Encode(input, 40000, 1), two = Encode(input, 40000, 2), any = Encode(input, 40000, 0);
  EXPECT_TRUE(one == two);
  EXPECT_TRUE(one == any);
  // And a body large enough to be blocked, as qpxtool encodes it.
  const Bytes large = Words(12, (9u << 20) + 123);
  ASSERT_NE(tool::LzmaBlockSize(large.size()), 0u);
  const tool::EncodedBody first = tool::EncodeBody(large, nullptr, {0, true, 1});
  const tool::EncodedBody second = tool::EncodeBody(large, nullptr, {0, true, 2});
  ASSERT_EQ(first.encoding, BodyEncoding::LzmaBlocks);
  EXPECT_TRUE(first.coded == second.coded);
  const Decoded decoded = Decode(first.coded, large.size());
  EXPECT_EQ(decoded.status, DecodeStatus::Done);
  EXPECT_TRUE(decoded.bytes == large);
}

TEST(LzmaBlocks, BlockSizesDependOnTheResultAlone) {
  EXPECT_EQ(tool::LzmaBlockSize(0), 0u);
  EXPECT_EQ(tool::LzmaBlockSize((8u << 20) - 1), 0u);  // one stream
  for (const uint64_t size : {uint64_t{8} << 20, uint64_t{60000000}, uint64_t{100} << 20, uint64_t{UINT32_MAX}}) {
    const uint64_t block = tool::LzmaBlockSize(size);
    SCOPED_TRACE(size);
    EXPECT_EQ(block % (1u << 20), 0u);
    EXPECT_LE(block, 32u << 20);
    const uint64_t count = (size - 1) / block + 1;
    EXPECT_GE(count, 2u);  // both cores have one
    EXPECT_LT(size - (count - 1) * block, block + 1);
  }
  for (const uint64_t size : {uint64_t{1}, uint64_t{4095}, uint64_t{5000}, uint64_t{6144}, uint64_t{15} << 20}) {
    EXPECT_LE(tool::LzmaBlockDictionary(size), std::max<uint64_t>(size, 4096)) << size;
  }
  EXPECT_EQ(tool::LzmaBlockDictionary(16u << 20), 16u << 20);
}

// A body of three blocks, the last short, for the cases below.
class LzmaBlocksBody : public ::testing::Test {
 protected:
  const Bytes input = Words(3, 2 * 2048 + 700);
  const Bytes body = Encode(input, 2048);
  static constexpr std::size_t kHeaderBytes = SizesAt(3);

  void ExpectBad(const Bytes& changed, uint64_t resultSize, const std::string& what) const {
    EXPECT_EQ(Decode(changed, resultSize).status, DecodeStatus::BadData) << what;
  }
};

TEST_F(LzmaBlocksBody, EveryChangedByteIsRefusedOrHarmless) {
  ASSERT_EQ(Decode(body, input.size()).status, DecodeStatus::Done);
  int refused = 0, decoded = 0;
  for (std::size_t at = 0; at < body.size(); ++at) {
    for (const uint8_t flip : {uint8_t{0x01}, uint8_t{0xFF}}) {
      Bytes changed = body;
      changed[at] ^= flip;
      const Decoded result = Decode(changed, input.size());
      // Under the sanitizers any read or write outside the body or the
      // result ends the run; the hash of the record catches what decodes.
      ASSERT_TRUE(result.status == DecodeStatus::Done || result.status == DecodeStatus::BadData) << at;
      if (at < kHeaderBytes) {
        EXPECT_EQ(result.status, DecodeStatus::BadData) << "header byte " << at;
      }
      if (result.status == DecodeStatus::Done) {
        EXPECT_EQ(result.bytes.size(), input.size());
        ++decoded;
      } else {
        ++refused;
      }
    }
  }
  EXPECT_GT(refused, 0);
  std::cout << "[ changed-byte cases of a blocked body: " << refused + decoded << " (" << refused << " refused, "
            << decoded << " decoded to bytes the record's hash judges) ]\n";
}

TEST_F(LzmaBlocksBody, HeadersThatDoNotFitTheBodyOrTheResultAreRefused) {
  // Every truncation, and a byte more.
  for (std::size_t length = 0; length < body.size(); ++length) {
    ExpectBad(Bytes(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(length)), input.size(),
              "cut to " + std::to_string(length));
  }
  Bytes longer = body;
  longer.push_back(0);
  ExpectBad(longer, input.size(), "a byte past the blocks");
  ExpectBad(body, input.size() + 1, "a result longer than the blocks");
  ExpectBad(body, input.size() - 1, "a result shorter than the blocks");
  ExpectBad(body, 0, "no result");

  const auto with = [&](auto edit) {
    Bytes changed = body;
    edit(changed);
    return changed;
  };
  const auto count = [](uint32_t value) {
    return [value](Bytes& b) { std::memcpy(b.data() + offsetof(LzmaBlocksHeader, blockCount), &value, 4); };
  };
  ExpectBad(with(count(0)), input.size(), "no blocks");
  ExpectBad(with(count(2)), input.size(), "fewer blocks than the result needs");
  ExpectBad(with(count(4)), input.size(), "more blocks than the result needs");
  ExpectBad(with(count(UINT32_MAX)), input.size(), "a count whose sizes pass the body's end");
  const auto blockSize = [](uint64_t value) {
    return [value](Bytes& b) { Put64(b, offsetof(LzmaBlocksHeader, blockSize), value); };
  };
  ExpectBad(with(blockSize(0)), input.size(), "blocks of no bytes");
  ExpectBad(with(blockSize(2049)), input.size(), "a block size its blocks do not have");
  ExpectBad(with(blockSize(UINT64_MAX)), input.size(), "a block size that wraps");
  // Stored sizes that wrap when summed, or take bytes from a neighbour.
  ExpectBad(with([](Bytes& b) { Put64(b, SizesAt(0), UINT64_MAX); }), input.size(), "a stored size past the body");
  ExpectBad(with([&](Bytes& b) {
              Put64(b, SizesAt(0), Get64(body, SizesAt(0)) + (uint64_t{1} << 63));
              Put64(b, SizesAt(1), Get64(body, SizesAt(1)) + (uint64_t{1} << 63));
            }),
            input.size(), "two stored sizes whose sum wraps to the body's");
  ExpectBad(with([&](Bytes& b) {
              Put64(b, SizesAt(0), Get64(body, SizesAt(0)) + 1);
              Put64(b, SizesAt(1), Get64(body, SizesAt(1)) - 1);
            }),
            input.size(), "a block boundary moved");
  ExpectBad(with([](Bytes& b) { Put64(b, SizesAt(2), 4); }), input.size(), "a block too short for its properties");
  ExpectBad(with([](Bytes& b) {
              Put64(b, SizesAt(1) + 8, 2048 + 700);
              Put64(b, SizesAt(2) + 8, 2048);
            }),
            input.size(), "the short block not last");
  ExpectBad(with([](Bytes& b) { Put64(b, SizesAt(2) + 8, UINT64_MAX); }), input.size(), "a decoded size that wraps");
  ExpectBad(with([](Bytes& b) { b[0] = 'X'; }), input.size(), "another magic");
  // A dictionary larger than its block would ask for memory no block needs.
  ExpectBad(with([](Bytes& b) {
              const uint32_t dictionary = 1u << 20;
              std::memcpy(b.data() + kHeaderBytes + 1, &dictionary, sizeof dictionary);
            }),
            input.size(), "a dictionary beyond its block");
}

TEST_F(LzmaBlocksBody, AFailingSourceOrSinkIsReportedAsSuch) {
  class Failing final : public CByteSource {
   public:
    Failing(const Bytes& bytes, uint64_t from) : bytes_(bytes), from_(from) {}
    uint64_t Size() const override { return bytes_.size(); }
    bool ReadAt(uint64_t offset, std::span<uint8_t> into) override {
      if (offset + into.size() > from_) return false;
      return MemorySource(bytes_).ReadAt(offset, into);
    }

   private:
    const Bytes& bytes_;
    uint64_t from_;
  };
  for (const uint64_t from : {uint64_t{0}, uint64_t{20}, uint64_t{kHeaderBytes + 3}, uint64_t{body.size() - 1}}) {
    Failing source(body, from);
    Bytes out(input.size());
    SpanSink sink(out);
    EXPECT_EQ(DecodeLzmaBlocks(source, 0, body.size(), input.size(), sink, 64), DecodeStatus::ReadFailed) << from;
  }
  Bytes small(3000);
  SpanSink sink(small);
  MemorySource source(body);
  EXPECT_EQ(DecodeLzmaBlocks(source, 0, body.size(), input.size(), sink, 64), DecodeStatus::SinkFailed);
  // A range that does not lie in the source.
  EXPECT_EQ(DecodeLzmaBlocks(source, 1, body.size(), input.size(), sink, 64), DecodeStatus::BadData);
}

TEST(LzmaBlocks, OnlyTheSecondCodingsNeedThePatcherThatSaysItReadsThem) {
  Bytes delta(sizeof(DeltaHeader), 0);
  std::memcpy(delta.data(), "QPXD", 4);
  EXPECT_TRUE(NeedsCodecs2(BodyEncoding::LzmaBlocks, {}));
  EXPECT_FALSE(NeedsCodecs2(BodyEncoding::Lzma, delta));
  EXPECT_FALSE(NeedsCodecs2(BodyEncoding::Stored, delta));
  delta[offsetof(DeltaHeader, version)] = 1;
  EXPECT_FALSE(NeedsCodecs2(BodyEncoding::Delta, delta));
  delta[offsetof(DeltaHeader, version)] = kDeltaCodeVersion;
  EXPECT_TRUE(NeedsCodecs2(BodyEncoding::Delta, delta));
  delta[offsetof(DeltaHeader, version)] = kDeltaCodeVersion + 1;
  EXPECT_TRUE(NeedsCodecs2(BodyEncoding::Delta, delta));
  EXPECT_FALSE(NeedsCodecs2(BodyEncoding::Delta, std::span(delta).first(offsetof(DeltaHeader, version))));
}

// The run decodes a blocked body into the game, and refuses a record too
// short to be one before it opens the game.
TEST(LzmaBlocksRun, ABlockedBodyReachesTheGameAndAMalformedRecordIsDamage) {
  test::ScratchDirectory dir;
  const auto fs = CreatePlatformFileSystem();
  GameFolder game;
  game.AddEntry(5, Words(3, 3000));
  ASSERT_TRUE(game.Write(*fs, dir.Path().wstring()));
  const Bytes image(500, 0x4D);
  const Bytes result = Words(13, 5 * test::kTestLzmaBlockSize + 99);
  const Bytes patch = test::BuildCheckedPatchFile(image, {{5, result, BodyEncoding::LzmaBlocks, Words(3, 3000)}});

  PayloadTrailerHeaderV2 trailer;
  std::memcpy(&trailer, patch.data() + patch.size() - sizeof(PayloadTrailer), sizeof trailer);
  PatchRecordV2 record;
  std::memcpy(&record, patch.data() + trailer.tableOffset, sizeof record);
  ASSERT_EQ(record.encoding, static_cast<uint16_t>(BodyEncoding::LzmaBlocks));
  record.storedSize = kLzmaBlocksLeastSize - 1;
  Bytes malformed(patch.begin(), patch.begin() + static_cast<std::ptrdiff_t>(trailer.tableOffset));
  test::AppendCheckedTable(malformed, image.size(), {record});
  const Bytes before = test::ReadFile(dir.Path() / "DATA1.QPX");
  test::WriteFile(dir.Path() / "patch.exe", malformed);
  CapturedConsole refused;
  EXPECT_FALSE(RunPatcher(*fs, dir.Wide("patch.exe"), refused));
  EXPECT_EQ(refused.Text(), L"Patch data is damaged\nDownload the patch again; nothing was changed\n");
  EXPECT_TRUE(test::ReadFile(dir.Path() / "DATA1.QPX") == before);

  test::WriteFile(dir.Path() / "patch.exe", patch);
  CapturedConsole console;
  ASSERT_TRUE(RunPatcher(*fs, dir.Wide("patch.exe"), console));
  const Bytes index = test::ReadFile(dir.Path() / "DATA0.QPX");
  ArchiveIndexEntry entry;
  std::memcpy(&entry, index.data() + 5 * sizeof entry, sizeof entry);
  const Bytes data = test::ReadFile(dir.Path() / "DATA1.QPX");
  ASSERT_LE(uint64_t{entry.offset} + entry.size, data.size());
  EXPECT_TRUE(Bytes(data.begin() + entry.offset, data.begin() + entry.offset + entry.size) == result);
}

}  // namespace
}  // namespace qpx
