// Asks the processor whether it has the extension the wider loop was built
// for (QPX_DIGEST_FEATURE, set by the build: "avx2" on x86-64, "sse2" on
// 32-bit x86). Built without that extension, so that asking is safe.

#include "src/app/payload/DigestKernel.h"

namespace qpx {

void WideDigestUpdateUnchecked(void* state, const void* bytes, std::size_t size);

DigestUpdate WideDigestUpdate() {
  __builtin_cpu_init();
  return __builtin_cpu_supports(QPX_DIGEST_FEATURE) ? WideDigestUpdateUnchecked : nullptr;
}

}  // namespace qpx
