#pragma once
// Writes delta bodies (the format is described in app/DeltaDecoder.h): a
// resource's new bytes as copies of its current bytes, with the bytes that
// differ inside a copy added as small differences, and the rest as new
// bytes; the four streams compressed with LZMA.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "src/app/codecs/lzma/LzmaEncoder.h"

namespace qpx::tool {

// Whether a delta may carry a program's references along its copies.
enum class CodeDeltas : uint8_t {
  kNever,
  kWhereSmaller,  // where base and result are programs, and it is smaller
  kAlways,        // where base and result are programs (for tests)
};

struct DeltaSettings {
  // The LZMA level of the streams: 0 (fastest) .. 9 (smallest).
  int level = kDefaultCompressionLevel;
  // Threads that code the streams side by side, 1 or 2; 0: 2 where the
  // processor has two cores. The body is the same for either.
  unsigned threads = 0;
  // Where base and result are programs (ELF or PE, x86), also a delta
  // that carries their code's references along its copies (CodeDelta.h),
  // kept where it is smaller. Only patchers that read the second codings
  // take it.
  CodeDeltas code = CodeDeltas::kWhereSmaller;
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
// Memory, with B and R the sizes of the base and the result, beyond the two
// inputs themselves: while matching, the index (at most 2B) and the
// streams (at most R + 64 KiB, and up to as much again as their vectors
// grow); while coding, the streams, their coded copies (at most as large)
// and two LZMA coders of about 11.5 times their dictionary, each at most
// (B + R) / 16 or 64 KiB. So the peak, inputs included, stays under
// max(3B + 3R, 2.44B + 5.44R) + 3 MiB: under 8 (B + R) for any pair of over
// 1.2 MiB together, and a few MiB for smaller ones. Programs are matched
// a second time against a copy of the base with its references carried:
// that copy, its index and the first matching's streams add up to 3B + 2R
// more while it runs.
// `progress`, if set, is told the result bytes done so far, in steps.
std::optional<std::vector<uint8_t>> EncodeDelta(std::span<const uint8_t> base, std::span<const uint8_t> result,
                                                const DeltaSettings& settings, uint64_t limit,
                                                const std::function<void(uint64_t)>& progress = nullptr);

// One delta body for several bases of one result (the alternatives of a
// patch for several old versions share it): each base its part, and the
// new bytes that the parts add stored once. `baseHashes` name the bases as
// the records do, one for each. nullopt as for EncodeDelta, or when the
// body would not be shorter than `limit`.
std::optional<std::vector<uint8_t>> EncodeSharedDelta(std::span<const std::span<const uint8_t>> bases,
                                                      std::span<const std::array<uint8_t, 16>> baseHashes,
                                                      std::span<const uint8_t> result, const DeltaSettings& settings,
                                                      uint64_t limit);

}  // namespace qpx::tool
