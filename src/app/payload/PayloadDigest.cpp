#include "src/app/payload/PayloadDigest.h"

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

struct PayloadDigest::State {
  XXH3_state_t hash;
};

PayloadDigest::PayloadDigest() : PayloadDigest(ChosenUpdate()) {}

PayloadDigest::PayloadDigest(DigestUpdate update) : state_(std::make_unique<State>()), update_(update) {
  XXH3_128bits_reset(&state_->hash);
}

PayloadDigest::~PayloadDigest() = default;

void PayloadDigest::Update(std::span<const uint8_t> bytes) {
  if (!bytes.empty()) update_(&state_->hash, bytes.data(), bytes.size());
}

PayloadDigest::Value PayloadDigest::Finish() const {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(&state_->hash));
  Value value;
  static_assert(sizeof canonical.digest == sizeof value);
  std::memcpy(value.data(), canonical.digest, value.size());
  return value;
}

PayloadDigest::Value HashOf(std::span<const uint8_t> bytes) {
  PayloadDigest digest;
  digest.Update(bytes);
  return digest.Finish();
}

}  // namespace qpx
