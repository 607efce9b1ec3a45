#pragma once
// Writes delta bodies (the format is described in app/DeltaDecoder.h): a
// resource's new bytes as copies of its current bytes, with the bytes that
// differ inside a copy added as small differences, and the rest as new
// bytes; the four streams compressed with LZMA.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "tools/qpxtool/LzmaEncoder.h"

namespace qpx::tool {

struct DeltaSettings {
  // The LZMA level of the streams: 0 (fastest) .. 9 (smallest).
  int level = kDefaultCompressionLevel;
  // Threads that code the streams side by side; 0: as many as the
  // processor has, at most the four streams. The body is the same for any
  // number.
  unsigned threads = 0;
};

// The largest base + result, in bytes, that EncodeDelta takes on this
// build; larger pairs are better stored compressed.
uint64_t DeltaEncoderBound();

// The delta that rebuilds `result` from `base`, provided that it is shorter
// than `limit` bytes; nullopt when it would not be, when the pair is larger
// than DeltaEncoderBound(), or when so little of the result is found in
// the base that compressing the result alone does as well (found out
// before any compression starts).
//
// Memory, beyond the two inputs: an index of 2 bytes per base byte while
// matching, the streams (about as large as the result's changed part),
// and the LZMA coders of the streams (see DeltaEncoder.cpp).
// `progress`, if set, is told the result bytes done so far, in steps.
std::optional<std::vector<uint8_t>> EncodeDelta(std::span<const uint8_t> base, std::span<const uint8_t> result,
                                                const DeltaSettings& settings, uint64_t limit,
                                                const std::function<void(uint64_t)>& progress = nullptr);

}  // namespace qpx::tool
