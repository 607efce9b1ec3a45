#pragma once
// Compresses patch bodies for the patcher's LZMA decoder: the five property
// bytes, then the coded data, with no end mark (the record states the
// decoded length).

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace qpx::tool {

// 0 (fastest) .. 9 (smallest; the default, as for a release).
inline constexpr int kDefaultCompressionLevel = 9;

struct LzmaSettings {
  int level = kDefaultCompressionLevel;
  // The coder's literal context and position bits; negative: the level's
  // defaults (3, 0, 2). Streams of mostly small numbers or aligned
  // records code smaller with other values.
  int lc = -1, lp = -1, pb = -1;
  // The largest dictionary the coder may use, for a decoder with a window
  // of that size; 0: the level's own.
  uint32_t maxDictionary = 0;
};

// The dictionary the encoder uses for `size` bytes at `level`: never larger
// than the input needs. It bounds the encoder's memory (about 11.5 times
// the dictionary, plus the input and the output).
uint32_t LzmaDictionarySize(uint64_t size, int level);

// Whether `bytes` would not compress worth the time: samples spread over
// its length do not compress by two percent at the fastest level. Data
// already compressed or random is then stored without a full attempt, which
// at the top levels runs at a megabyte or two a second. Inputs under 64 KiB
// always get the full attempt (it costs little).
bool LooksIncompressible(std::span<const uint8_t> bytes);

// `input` compressed, provided that the result is shorter than `limit`
// bytes; nullopt when it would not be (it is then better stored as it is).
// `progress`, if set, is told the input bytes done so far.
std::optional<std::vector<uint8_t>> EncodeLzma(std::span<const uint8_t> input, const LzmaSettings& settings,
                                               uint64_t limit,
                                               const std::function<void(uint64_t)>& progress = nullptr);

}  // namespace qpx::tool
