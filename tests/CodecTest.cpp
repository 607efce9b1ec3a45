// Compressed bodies: what qpxtool's encoder writes, the patcher's decoder
// reads back exactly, whatever pieces the input arrives in, and a stream
// that is not exactly what was written never passes for one that is.

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "src/app/codecs/lzma/LzmaDecoder.h"
#include "src/app/codecs/lzma/LzmaEncoder.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx {
namespace {

using Bytes = std::vector<uint8_t>;

// Text-like bytes that compress: words from a small vocabulary.
Bytes Compressible(uint32_t seed, std::size_t size) {
  static const char* const kWords[] = {"patch ", "entry ", "loose ", "resource ", "game ", "data ", "\n"};
  Bytes bytes;
  uint32_t state = seed * 2654435761u + 1;
  while (bytes.size() < size) {
    state = state * 1103515245u + 12345u;
    for (const char* c = kWords[(state >> 16) % 7]; *c && bytes.size() < size; ++c) bytes.push_back(uint8_t(*c));
  }
  return bytes;
}

DecodeStatus Decode(const Bytes& stored, Bytes& output, std::size_t chunkSize) {
  MemorySource source(stored);
  Bytes chunk(chunkSize);
  return DecodeLzma(source, 0, stored.size(), output, chunk);
}

TEST(LzmaTest, RoundTripsInAnyPieces) {
  for (const std::size_t size : {1u, 2u, 100u, 65536u, 1000003u}) {
    const Bytes input = Compressible(static_cast<uint32_t>(size), size);
    const auto stored = tool::EncodeLzma(input, {}, UINT64_MAX);
    ASSERT_TRUE(stored.has_value()) << size;
    if (size >= 65536) {
      EXPECT_LT(stored->size(), input.size() / 3) << size;
    }
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, stored->size()}) {
      Bytes output(size);
      EXPECT_EQ(Decode(*stored, output, chunk), DecodeStatus::Done) << size << " in pieces of " << chunk;
      EXPECT_EQ(output, input);
    }
  }
}

TEST(LzmaTest, IncompressibleInputIsLeftToBeStored) {
  const Bytes noise = SampleBody(3, 100000);
  EXPECT_FALSE(tool::EncodeLzma(noise, {}, noise.size()).has_value());
  const Bytes text = Compressible(1, 100000);
  const auto stored = tool::EncodeLzma(text, {}, text.size());
  ASSERT_TRUE(stored.has_value());
  EXPECT_FALSE(tool::EncodeLzma(text, {}, stored->size()).has_value()) << "the limit is exclusive";
}

TEST(LzmaTest, AStreamNotExactlyAsWrittenIsBadData) {
  const Bytes input = Compressible(9, 20000);
  const Bytes stored = *tool::EncodeLzma(input, {}, UINT64_MAX);
  Bytes output(input.size());

  Bytes cut(stored.begin(), stored.end() - 1);
  EXPECT_EQ(Decode(cut, output, 4096), DecodeStatus::BadData) << "a stream cut short";
  Bytes longer = stored;
  longer.push_back(0);
  EXPECT_EQ(Decode(longer, output, 4096), DecodeStatus::BadData) << "bytes after the stream's end";
  Bytes shorter(input.size() - 1), more(input.size() + 1);
  EXPECT_EQ(Decode(stored, shorter, 4096), DecodeStatus::BadData) << "more data than the output holds";
  EXPECT_EQ(Decode(stored, more, 4096), DecodeStatus::BadData) << "an output the stream does not fill";
  Bytes badProperties = stored;
  badProperties[0] = 225;  // lc, lp and pb out of range
  EXPECT_EQ(Decode(badProperties, output, 4096), DecodeStatus::BadData);
}

// Decodes `stored` with the streamed decoder, its input read `inputPiece`
// bytes at a time, into `output` (`decodedLength` bytes as the record
// states them). The first status that is not Done, else Finish's.
DecodeStatus StreamDecode(const Bytes& stored, uint64_t decodedLength, std::size_t inputPiece, Bytes& output) {
  MemorySource source(stored);
  LzmaStreamReader reader(source, 0, stored.size(), decodedLength);
  if (const DecodeStatus status = reader.Start(SIZE_MAX, inputPiece); status != DecodeStatus::Done) return status;
  output.clear();
  while (output.size() < decodedLength) {
    std::span<const uint8_t> piece;
    if (const DecodeStatus status = reader.Next(piece); status != DecodeStatus::Done) return status;
    if (piece.empty()) return DecodeStatus::BadData;
    output.insert(output.end(), piece.begin(), piece.end());
  }
  return reader.Finish();
}

// A streamed body ends exactly where its stream does, as a whole one must:
// bytes after the stream's end, a stream that goes on past the size the
// record states, or one that does not end with its last byte never pass,
// whatever the input's pieces.
TEST(LzmaTest, TheStreamedDecoderTakesExactlyTheStream) {
  const Bytes input = Compressible(4, 300000);
  const Bytes stored = *tool::EncodeLzma(input, {}, UINT64_MAX);
  Bytes longer = stored, muchLonger = stored;
  longer.push_back(0);
  muchLonger.insert(muchLonger.end(), stored.begin(), stored.end());
  const Bytes cut(stored.begin(), stored.end() - 1);
  Bytes changedEnd = stored;
  changedEnd.back() ^= 0xFF;  // every byte decoded, but the coder does not end there
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, stored.size() + 10}) {
    SCOPED_TRACE(testing::Message() << "input in pieces of " << piece);
    Bytes output;
    ASSERT_EQ(StreamDecode(stored, input.size(), piece, output), DecodeStatus::Done);
    EXPECT_EQ(output, input);
    EXPECT_EQ(StreamDecode(longer, input.size(), piece, output), DecodeStatus::BadData) << "a byte after the end";
    EXPECT_EQ(StreamDecode(muchLonger, input.size(), piece, output), DecodeStatus::BadData) << "a stream after it";
    EXPECT_EQ(StreamDecode(stored, input.size() - 1, piece, output), DecodeStatus::BadData)
        << "decoded bytes past the stated size";
    EXPECT_EQ(StreamDecode(cut, input.size(), piece, output), DecodeStatus::BadData) << "its last byte cut";
    EXPECT_EQ(StreamDecode(changedEnd, input.size(), piece, output), DecodeStatus::BadData) << "its last byte changed";
  }
}

TEST(LzmaTest, AFailingSourceIsAReadFailure) {
  class Failing final : public CByteSource {
   public:
    uint64_t Size() const override { return 100; }
    bool ReadAt(uint64_t, std::span<uint8_t>) override { return false; }
  } failing;
  Bytes output(10), chunk(16);
  EXPECT_EQ(DecodeLzma(failing, 0, 100, output, chunk), DecodeStatus::ReadFailed);
}

}  // namespace
}  // namespace qpx
