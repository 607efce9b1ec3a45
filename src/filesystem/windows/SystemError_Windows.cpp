#include <windows.h>

#include <string>

#include "src/filesystem/SystemError.h"

namespace qpx {

uint32_t LastSystemError() { return GetLastError(); }
void SetLastSystemError(uint32_t code) { SetLastError(code); }

std::string SystemErrorText(uint32_t code) {
  if (code == 0) return std::string();
  char text[512];
  DWORD length = 0;
  // English where the system has it, whatever the console's code page: the
  // patcher's own messages are English too.
  for (const DWORD language : {DWORD{MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)}, DWORD{0}}) {
    length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, language, text,
                            sizeof text, nullptr);
    if (length != 0) break;
  }
  std::string words(text, length);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' || words.back() == '.')) {
    words.pop_back();
  }
  if (words.empty()) words = "error " + std::to_string(code);
  return words;
}

bool SystemErrorMeansNotFound(uint32_t code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

ErrorMeaning MeaningOf(uint32_t code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ErrorMeaning::NotFound;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE: return ErrorMeaning::InUse;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: return ErrorMeaning::AccessDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ErrorMeaning::DiskFull;
    default: return ErrorMeaning::Other;
  }
}

AccessRemedy AccessRemedyHere() { return AccessRemedy::Administrator; }

uint32_t SystemErrorNotFound() { return ERROR_FILE_NOT_FOUND; }
uint32_t SystemErrorAccessDenied() { return ERROR_ACCESS_DENIED; }
uint32_t SystemErrorIo() { return ERROR_IO_DEVICE; }
uint32_t SystemErrorDiskFull() { return ERROR_DISK_FULL; }
uint32_t SystemErrorInUse() { return ERROR_SHARING_VIOLATION; }

}  // namespace qpx
