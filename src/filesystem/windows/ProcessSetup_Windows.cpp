#include "filesystem/ProcessSetup.h"

namespace qpx {

// Windows ends no process for a failed write: a closed output or a full
// disk already fail the write itself.
void PrepareProcess() {}

}  // namespace qpx
