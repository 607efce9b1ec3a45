#include <signal.h>

#include "filesystem/ProcessSetup.h"

namespace qpx {

void PrepareProcess() {
  // By default the kernel kills the writer: SIGPIPE for a pipe with no
  // reader, SIGXFSZ for a write past RLIMIT_FSIZE. Ignored, the write fails
  // with EPIPE or EFBIG instead: a message that cannot be shown is dropped
  // (as on Windows) and a body that cannot be written fails its patch like
  // a full disk.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace qpx
