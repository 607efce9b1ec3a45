#pragma once
// The hash's inner loop, compiled for wider vector units than the build
// assumes and chosen at run time when the processor has them: the seal's
// check hashes every byte of a patch, and the wider loop halves its cost.
// The digest does not depend on the choice.

#include <cstddef>

namespace qpx {

// Feeds `size` bytes to an XXH3 state (an `XXH3_state_t`, passed untyped so
// that the hash's header stays in the files that compile it).
using DigestUpdate = void (*)(void* state, const void* bytes, std::size_t size);

// The loop as the build's own flags compile it; runs on every processor.
DigestUpdate BuildDigestUpdate();

// The wider loop, or null when this processor (or this build) has none.
DigestUpdate WideDigestUpdate();

}  // namespace qpx
