#pragma once
// XXH3-128 over a stream of bytes, fed in pieces of any size: the same
// bytes give the same digest however they are split, on every build. The
// one hash of the system: a payload's seal, a resource's bytes and their
// result, the journal's checks.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "src/app/payload/DigestKernel.h"

namespace qpx {

class ContentDigest {
 public:
  // The digest in the hash's canonical byte order (big-endian), so that it
  // reads the same from a file on every platform.
  using Value = std::array<uint8_t, 16>;

  // Hashes with the widest loop this processor runs.
  ContentDigest();
  // Hashes with `update`: BuildDigestUpdate() or WideDigestUpdate().
  explicit ContentDigest(DigestUpdate update);
  ~ContentDigest();
  ContentDigest(const ContentDigest&) = delete;
  ContentDigest& operator=(const ContentDigest&) = delete;

  void Update(std::span<const uint8_t> bytes);
  void Update(const void* bytes, std::size_t size) { Update({static_cast<const uint8_t*>(bytes), size}); }
  // The digest of everything fed so far; feeding may go on after it.
  Value Finish() const;

 private:
  struct State;  // the hash's own state, kept out of every other file
  std::unique_ptr<State> state_;
  DigestUpdate update_;
};

// The digest of `bytes` whole: the hash a version-2 record names a
// resource's bytes by.
ContentDigest::Value HashOf(std::span<const uint8_t> bytes);

}  // namespace qpx
