#pragma once
// LZMA bodies in independent blocks: a large result cut into slices of one
// fixed size, each slice its own LZMA stream, so that the author's tool can
// code the slices side by side on several cores. The patcher decodes them in
// order, one window at a time, as it does one LZMA body of a block's size.
//
// Layout, all integers little-endian:
//
//   header (16 bytes) | sizes (16 bytes a block) | block 0 | block 1 | ...
//
//   offset size field
//        0    4 magic        "QPXB"
//        4    4 blockCount   at least 1
//        8    8 blockSize    decoded bytes of every block but the last
//       16   16 per block:   storedSize (8), then decodedSize (8)
//
// The blocks follow the sizes back to back, in order, and fill the body
// exactly; their decoded bytes, end to end, are the result. Every block but
// the last decodes to blockSize bytes, the last to 1..blockSize, so that the
// count is the least that holds the result. A block is an LZMA stream as an
// LZMA body is: its five property bytes (its dictionary at most its decoded
// size, a dictionary under 4 KiB counting as 4 KiB), then the coded data,
// with no end mark.

#include <cstddef>
#include <cstdint>

#include "src/app/codecs/common/ByteSource.h"
#include "src/app/codecs/lzma/LzmaDecoder.h"

namespace qpx {

inline constexpr char kLzmaBlocksMagic[4] = {'Q', 'P', 'X', 'B'};

struct LzmaBlocksHeader {
  uint8_t magic[4];
  uint32_t blockCount;
  uint64_t blockSize;
};
static_assert(sizeof(LzmaBlocksHeader) == 16);
static_assert(offsetof(LzmaBlocksHeader, blockCount) == 4);
static_assert(offsetof(LzmaBlocksHeader, blockSize) == 8);

struct LzmaBlockSizes {
  uint64_t storedSize;
  uint64_t decodedSize;
};
static_assert(sizeof(LzmaBlockSizes) == 16);
static_assert(offsetof(LzmaBlockSizes, decodedSize) == 8);

// The least stored size of a body of one block: its header, its sizes and
// the block's properties.
inline constexpr uint64_t kLzmaBlocksLeastSize =
    sizeof(LzmaBlocksHeader) + sizeof(LzmaBlockSizes) + kLzmaPropertiesSize;

// Decodes the body of `length` bytes at `offset` of `source` to exactly
// `resultSize` bytes, handed to `sink` in order. The header and every
// block's sizes are checked before the first block is decoded. Memory: the
// window of one block at a time (the smaller of its dictionary and its
// decoded size, so at most blockSize) and `inputPiece` bytes of input.
// Never reads outside the body; BadData for any body that breaks the
// layout above.
DecodeStatus DecodeLzmaBlocks(CByteSource& source, uint64_t offset, uint64_t length, uint64_t resultSize,
                              CByteSink& sink, std::size_t inputPiece);

}  // namespace qpx
