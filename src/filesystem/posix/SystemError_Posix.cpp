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

ErrorMeaning MeaningOf(uint32_t code) {
  switch (code) {
    case 0: return ErrorMeaning::Other;
    case ENOENT:
    case ENOTDIR: return ErrorMeaning::NotFound;
    case ETXTBSY:
    case EBUSY: return ErrorMeaning::InUse;
    case EACCES:
    case EPERM:
    case EROFS: return ErrorMeaning::AccessDenied;
    case ENOSPC:
    case EDQUOT: return ErrorMeaning::DiskFull;
    default: return ErrorMeaning::Other;
  }
}

AccessRemedy AccessRemedyHere() { return AccessRemedy::Owner; }

uint32_t SystemErrorNotFound() { return ENOENT; }
uint32_t SystemErrorAccessDenied() { return EACCES; }
uint32_t SystemErrorIo() { return EIO; }
uint32_t SystemErrorDiskFull() { return ENOSPC; }
uint32_t SystemErrorInUse() { return ETXTBSY; }

}  // namespace qpx
