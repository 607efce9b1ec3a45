#pragma once
// Compressed patch bodies: an LZMA stream (its five property bytes, then the
// coded data, no end mark) whose decoded length the record states.

#include <cstdint>
#include <span>

#include "app/ByteSource.h"

namespace qpx {

inline constexpr uint32_t kLzmaPropertiesSize = 5;

enum class DecodeStatus {
  Done,        // exactly the expected bytes, and the stream ends with them
  BadData,     // the stream is not what the encoder writes
  ReadFailed,  // the source could not be read
};

// Decodes the `length` bytes at `offset` of `source` into exactly
// `output.size()` bytes. The output is the decoder's only window, so no
// memory beyond it and `chunk` (through which the input is read, a piece
// at a time) is needed, whatever the stream's stated dictionary. Never
// writes outside `output`; on BadData its contents are unspecified.
DecodeStatus DecodeLzma(CByteSource& source, uint64_t offset, uint64_t length, std::span<uint8_t> output,
                        std::span<uint8_t> chunk);

}  // namespace qpx
