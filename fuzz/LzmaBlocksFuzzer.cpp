// libFuzzer target: an LZMA-blocks body decoded. The input is
//
//   mode (1 byte) | result length (4, little-endian) | body
//
// The result gets that length (at most 1 MiB), and the body is read
// through pieces of 2^(mode % 16) bytes. Under the sanitizers any read or
// write outside the body or the result ends the run; besides, a body in
// memory can only be decoded or refused, never fail to be read, and the
// decoder hands on no more than the result's bytes. The seeds in
// fuzz/corpus/lzma_blocks are bodies that qpxtool's encoder wrote, in this
// layout.
//
// With the mode's top bit set, the rest of the input is a result instead:
// the encoder's body in blocks of 64 << (mode % 8) bytes must rebuild it,
// and be the same coded on one thread or two.

#include <algorithm>
#include <vector>

#include "src/app/codecs/lzma/LzmaBlocks.h"
#include "src/app/codecs/lzma/LzmaBlocksEncoder.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qpx;
  fuzz::InputReader input(std::span<const uint8_t>(data, size));
  const uint8_t mode = input.U8();
  const std::size_t piece = std::size_t{1} << (mode % 16);
  uint32_t resultSize = std::min<uint32_t>(input.U32(), 1u << 20);
  std::vector<uint8_t> body = input.Bytes(size);
  std::vector<uint8_t> wanted;
  if ((mode & 0x80) != 0) {
    if (body.empty()) return 0;
    wanted = std::move(body);
    const uint64_t blockSize = uint64_t{64} << (mode % 8);
    const auto one = tool::EncodeLzmaBlocks(wanted, blockSize, tool::LzmaSettings{0}, UINT64_MAX, 1);
    const auto two = tool::EncodeLzmaBlocks(wanted, blockSize, tool::LzmaSettings{0}, UINT64_MAX, 2);
    FUZZ_CHECK(one.has_value() && two.has_value() && *one == *two);
    body = *one;
    resultSize = static_cast<uint32_t>(wanted.size());
  }

  std::vector<uint8_t> result(resultSize);
  SpanSink sink(result);
  MemorySource source(body);
  const DecodeStatus status = DecodeLzmaBlocks(source, 0, body.size(), resultSize, sink, piece);
  FUZZ_CHECK(status == DecodeStatus::Done || status == DecodeStatus::BadData);
  FUZZ_CHECK(status != DecodeStatus::Done || sink.Filled() == resultSize);
  if ((mode & 0x80) != 0) FUZZ_CHECK(status == DecodeStatus::Done && result == wanted);
  return 0;
}
