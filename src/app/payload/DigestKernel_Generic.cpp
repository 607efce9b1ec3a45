// Processors without a wider loop to choose: the build's own one serves.

#include "src/app/payload/DigestKernel.h"

namespace qpx {

DigestUpdate WideDigestUpdate() { return nullptr; }

}  // namespace qpx
