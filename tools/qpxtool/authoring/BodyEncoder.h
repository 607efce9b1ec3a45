#pragma once
// What a body becomes in a version-2 payload: stored as it is, compressed,
// or (where the resource's bytes before the patch are known) a delta
// against them, whichever is smallest, with the hashes the patcher checks.

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "src/app/codecs/lzma/LzmaEncoder.h"
#include "src/app/payload/PatchPayload.h"

namespace qpx::tool {

struct EncodeSettings {
  int level = kDefaultCompressionLevel;
  bool delta = true;  // false: stored or compressed only
  // Threads that code one body's LZMA blocks side by side, 1 or 2; 0: 2
  // where the processor has two cores. The body is the same for any.
  unsigned threads = 0;
};

struct EncodedBody {
  BodyEncoding encoding = BodyEncoding::Stored;
  std::vector<uint8_t> result;  // the resource's new bytes
  std::vector<uint8_t> coded;   // what is stored, unless the encoding is Stored (then `result` is)
  ContentHash resultHash{};
  bool hasBase = false;
  uint64_t baseSize = 0;
  ContentHash baseHash{};
  bool tooLargeForDelta = false;  // the pair was beyond the delta encoder's bound

  const std::vector<uint8_t>& Stored() const { return encoding == BodyEncoding::Stored ? result : coded; }
};

// Encodes `result`, the new bytes of a resource, whose bytes before the
// patch are `base` when known. `done` is advanced by the input bytes coded
// so far (for a progress line).
//
// With a base, the delta is made first. When it is at most an eighth of a
// result of 4 MiB or more, compressing the result alone is not tried: it
// would have to beat a delta that small, which it has not done on real
// updates, and at level 9 it costs ten to twenty times the delta's time.
// (Smaller results are tried both ways: that costs little.)
//
// A result compressed alone is one LZMA stream, or, from 8 MiB on, LZMA in
// blocks coded side by side (LzmaBlocksEncoder.h). Its coders take the
// process's shared coder slots, so that two bodies encoded at once run no
// more than two coders between them.
EncodedBody EncodeBody(std::vector<uint8_t> result, const std::vector<uint8_t>* base, const EncodeSettings& settings,
                       std::atomic<uint64_t>* done = nullptr);

}  // namespace qpx::tool
