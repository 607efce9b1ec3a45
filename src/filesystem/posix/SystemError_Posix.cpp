#include <cerrno>
#include <cstring>

#include "src/filesystem/SystemError.h"

namespace qpx {

uint32_t LastSystemError() { return static_cast<uint32_t>(errno); }
void SetLastSystemError(uint32_t code) { errno = static_cast<int>(code); }

std::string SystemErrorText(uint32_t code) {
  if (code == 0) return std::string();
  // strerror's buffer is shared, but the program is single-threaded.
  return std::strerror(static_cast<int>(code));
}

bool SystemErrorMeansNotFound(uint32_t code) { return code == ENOENT || code == ENOTDIR; }

uint32_t SystemErrorNotFound() { return ENOENT; }
uint32_t SystemErrorAccessDenied() { return EACCES; }
uint32_t SystemErrorIo() { return EIO; }
uint32_t SystemErrorDiskFull() { return ENOSPC; }

}  // namespace qpx
