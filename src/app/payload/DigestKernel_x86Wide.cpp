// The hash's inner loop built with the extension named by QPX_DIGEST_FEATURE
// turned on. Nothing here may run before the processor has said it has it.

#include <cstddef>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"  // see ContentDigest.cpp
#define XXH_INLINE_ALL
#include <xxhash.h>
#pragma GCC diagnostic pop

namespace qpx {

void WideDigestUpdateUnchecked(void* state, const void* bytes, std::size_t size) {
  XXH3_128bits_update(static_cast<XXH3_state_t*>(state), bytes, size);
}

}  // namespace qpx
