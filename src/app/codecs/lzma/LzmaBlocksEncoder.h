#pragma once
// Writes LZMA bodies in independent blocks (the layout is in LzmaBlocks.h):
// the slices of a large result coded side by side, on up to two cores,
// into bytes that do not depend on how many coded them.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "src/app/codecs/lzma/LzmaEncoder.h"

namespace qpx::tool {

// The block size for a result of `size` bytes; 0 when the result is better
// one LZMA stream (under 8 MiB, where blocks would cost more than 1% in
// size). It depends on the size alone: an even number of blocks of at
// most 32 MiB, as near equal as whole MiB allow, so that two coders finish
// together.
uint64_t LzmaBlockSize(uint64_t size);

// The largest dictionary an LZMA stream of `size` decoded bytes may state
// in a block (the coder writes its dictionary rounded up to 2^n or 3 * 2^n
// bytes, and none below 4 KiB).
uint32_t LzmaBlockDictionary(uint64_t size);

// `input` (of at least one byte) in blocks of `blockSize` bytes, each coded
// with `settings` (its dictionary at most the block's size), provided that
// the body is shorter than `limit`; nullopt when it would not be. `threads`
// blocks are coded at once, 1 or 2 (0: 2 where the processor has two
// cores), each in one of the process's shared coder slots; the body is the
// same for any. `progress`, if set, is told the input bytes done so far,
// from one thread at a time.
std::optional<std::vector<uint8_t>> EncodeLzmaBlocks(std::span<const uint8_t> input, uint64_t blockSize,
                                                     const LzmaSettings& settings, uint64_t limit, unsigned threads,
                                                     const std::function<void(uint64_t)>& progress = nullptr);

// One of the process's two coder slots, held while one LZMA coder runs, so
// that bodies encoded side by side, each in blocks coded side by side,
// still run no more coders at once than a small machine has cores.
class LzmaCoderSlot {
 public:
  LzmaCoderSlot();
  ~LzmaCoderSlot();
  LzmaCoderSlot(const LzmaCoderSlot&) = delete;
  LzmaCoderSlot& operator=(const LzmaCoderSlot&) = delete;
};

}  // namespace qpx::tool
