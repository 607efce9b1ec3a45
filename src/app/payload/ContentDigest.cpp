#include "src/app/payload/ContentDigest.h"

// The hash is used header-only, compiled into this one file. GCC 12 sees
// out-of-bounds accesses in the inlined code of the i686 build that cannot
// happen (its accumulators are indexed within bounds); the warning is off
// for the header alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#define XXH_INLINE_ALL
#include <xxhash.h>
#pragma GCC diagnostic pop

#include <cstring>

namespace qpx {
namespace {

void BuildUpdate(void* state, const void* bytes, std::size_t size) {
  XXH3_128bits_update(static_cast<XXH3_state_t*>(state), bytes, size);
}

// Asked once: the processor does not change while the program runs.
DigestUpdate ChosenUpdate() {
  static const DigestUpdate chosen = [] {
    const DigestUpdate wide = WideDigestUpdate();
    return wide != nullptr ? wide : BuildUpdate;
  }();
  return chosen;
}

}  // namespace

DigestUpdate BuildDigestUpdate() { return BuildUpdate; }

struct ContentDigest::State {
  XXH3_state_t hash;
};

ContentDigest::ContentDigest() : ContentDigest(ChosenUpdate()) {}

ContentDigest::ContentDigest(DigestUpdate update) : state_(std::make_unique<State>()), update_(update) {
  XXH3_128bits_reset(&state_->hash);
}

ContentDigest::~ContentDigest() = default;

void ContentDigest::Update(std::span<const uint8_t> bytes) {
  if (!bytes.empty()) update_(&state_->hash, bytes.data(), bytes.size());
}

ContentDigest::Value ContentDigest::Finish() const {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state_->hash));
  Value value;
  static_assert(sizeof canonical.digest == sizeof value);
  std::memcpy(value.data(), canonical.digest, value.size());
  return value;
}

ContentDigest::Value HashOf(std::span<const uint8_t> bytes) {
  ContentDigest digest;
  digest.Update(bytes);
  return digest.Finish();
}

}  // namespace qpx
