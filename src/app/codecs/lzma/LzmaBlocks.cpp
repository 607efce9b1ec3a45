#include "src/app/codecs/lzma/LzmaBlocks.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace qpx {
namespace {

// The sizes are read this many blocks at a time while they are checked.
constexpr std::size_t kSizesAtOnce = 256;
// The coder treats a smaller dictionary as this.
constexpr uint64_t kLeastDictionary = 4096;

uint64_t Load64(const uint8_t* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// The body's layout as its header states it, once checked against the
// body's length and the result's size.
struct Layout {
  uint32_t count = 0;
  uint64_t blockSize = 0;
  uint64_t firstBlock = 0;  // offset of block 0 within the body
};

// What block `index` must decode to.
uint64_t DecodedSizeOf(const Layout& layout, uint32_t index, uint64_t resultSize) {
  return std::min(layout.blockSize, resultSize - uint64_t{index} * layout.blockSize);
}

// Whether block `index`'s sizes are the layout's, with `storedLeft` bytes
// of the body not yet taken by the blocks before it.
bool SizesFit(const Layout& layout, uint32_t index, uint64_t resultSize, const LzmaBlockSizes& sizes,
              uint64_t storedLeft) {
  return sizes.decodedSize == DecodedSizeOf(layout, index, resultSize) && sizes.storedSize >= kLzmaPropertiesSize &&
         sizes.storedSize <= storedLeft;
}

DecodeStatus ReadLayout(CByteSource& source, uint64_t offset, uint64_t length, uint64_t resultSize, Layout& layout) {
  if (length < kLzmaBlocksLeastSize || resultSize == 0) return DecodeStatus::BadData;
  std::array<uint8_t, sizeof(LzmaBlocksHeader)> bytes{};
  if (!source.ReadAt(offset, bytes)) return DecodeStatus::ReadFailed;
  if (std::memcmp(bytes.data(), kLzmaBlocksMagic, sizeof kLzmaBlocksMagic) != 0) return DecodeStatus::BadData;
  layout.count = uint32_t{bytes[4]} | uint32_t{bytes[5]} << 8 | uint32_t{bytes[6]} << 16 | uint32_t{bytes[7]} << 24;
  layout.blockSize = Load64(bytes.data() + offsetof(LzmaBlocksHeader, blockSize));
  if (layout.count == 0 || layout.blockSize == 0) return DecodeStatus::BadData;
  // Every block takes its sizes and at least its properties: so many
  // blocks fit in the body, and their sizes' end cannot wrap.
  const uint64_t perBlock = sizeof(LzmaBlockSizes) + kLzmaPropertiesSize;
  if (layout.count > (length - sizeof(LzmaBlocksHeader)) / perBlock) return DecodeStatus::BadData;
  // The least count that holds the result, so that only the last block is short.
  if (layout.count != (resultSize - 1) / layout.blockSize + 1) return DecodeStatus::BadData;
  layout.firstBlock = sizeof(LzmaBlocksHeader) + uint64_t{layout.count} * sizeof(LzmaBlockSizes);
  return DecodeStatus::Done;
}

// Reads block `index`'s sizes.
DecodeStatus ReadSizes(CByteSource& source, uint64_t offset, uint32_t index, LzmaBlockSizes& sizes) {
  std::array<uint8_t, sizeof(LzmaBlockSizes)> bytes{};
  if (!source.ReadAt(offset + sizeof(LzmaBlocksHeader) + uint64_t{index} * sizeof(LzmaBlockSizes), bytes)) {
    return DecodeStatus::ReadFailed;
  }
  sizes.storedSize = Load64(bytes.data());
  sizes.decodedSize = Load64(bytes.data() + offsetof(LzmaBlockSizes, decodedSize));
  return DecodeStatus::Done;
}

// Every block's sizes, read a piece at a time: each block as the layout
// says, and the blocks filling the body exactly.
DecodeStatus CheckAllSizes(CByteSource& source, uint64_t offset, uint64_t length, uint64_t resultSize,
                           const Layout& layout) {
  uint64_t storedLeft = length - layout.firstBlock;
  std::array<uint8_t, kSizesAtOnce * sizeof(LzmaBlockSizes)> bytes{};
  for (uint32_t first = 0; first < layout.count;) {
    const auto many = static_cast<uint32_t>(std::min<uint64_t>(kSizesAtOnce, layout.count - first));
    const std::span<uint8_t> piece = std::span<uint8_t>(bytes).first(many * sizeof(LzmaBlockSizes));
    if (!source.ReadAt(offset + sizeof(LzmaBlocksHeader) + uint64_t{first} * sizeof(LzmaBlockSizes), piece)) {
      return DecodeStatus::ReadFailed;
    }
    for (uint32_t i = 0; i < many; ++i) {
      const uint8_t* at = piece.data() + i * sizeof(LzmaBlockSizes);
      const LzmaBlockSizes sizes{Load64(at), Load64(at + offsetof(LzmaBlockSizes, decodedSize))};
      if (!SizesFit(layout, first + i, resultSize, sizes, storedLeft)) return DecodeStatus::BadData;
      storedLeft -= sizes.storedSize;
    }
    first += many;
  }
  return storedLeft == 0 ? DecodeStatus::Done : DecodeStatus::BadData;
}

// Decodes one block of `sizes` at `at` (within the source) to the sink.
DecodeStatus DecodeBlock(CByteSource& source, uint64_t at, const LzmaBlockSizes& sizes, CByteSink& sink,
                         std::size_t inputPiece) {
  uint8_t bytes[kLzmaPropertiesSize];
  LzmaProperties properties;
  if (const DecodeStatus status = ReadLzmaProperties(source, at, sizes.storedSize, bytes, properties);
      status != DecodeStatus::Done) {
    return status;
  }
  // No block needs a dictionary beyond its own bytes, and none may ask for
  // one: a block's memory is that of one LZMA body of its size.
  if (properties.dictionarySize > std::max(sizes.decodedSize, kLeastDictionary)) return DecodeStatus::BadData;
  if (static_cast<uint64_t>(static_cast<std::size_t>(sizes.decodedSize)) != sizes.decodedSize) {
    return DecodeStatus::BadData;  // more than this build can address
  }
  // The window is the smaller of the dictionary and the block: never more.
  return DecodeLzmaStream(source, at, sizes.storedSize, sizes.decodedSize, static_cast<std::size_t>(sizes.decodedSize),
                          inputPiece, sink);
}

}  // namespace

DecodeStatus DecodeLzmaBlocks(CByteSource& source, uint64_t offset, uint64_t length, uint64_t resultSize,
                              CByteSink& sink, std::size_t inputPiece) {
  if (inputPiece == 0 || offset > source.Size() || length > source.Size() - offset) return DecodeStatus::BadData;
  Layout layout;
  if (const DecodeStatus status = ReadLayout(source, offset, length, resultSize, layout);
      status != DecodeStatus::Done) {
    return status;
  }
  if (const DecodeStatus status = CheckAllSizes(source, offset, length, resultSize, layout);
      status != DecodeStatus::Done) {
    return status;
  }
  uint64_t at = layout.firstBlock;
  for (uint32_t i = 0; i < layout.count; ++i) {
    // Read again as they are decoded, and so checked again: the body is
    // read where it lies, not held.
    LzmaBlockSizes sizes{};
    if (const DecodeStatus status = ReadSizes(source, offset, i, sizes); status != DecodeStatus::Done) return status;
    if (!SizesFit(layout, i, resultSize, sizes, length - at)) return DecodeStatus::BadData;
    if (const DecodeStatus status = DecodeBlock(source, offset + at, sizes, sink, inputPiece);
        status != DecodeStatus::Done) {
      return status;
    }
    at += sizes.storedSize;
  }
  return at == length ? DecodeStatus::Done : DecodeStatus::BadData;
}

}  // namespace qpx
