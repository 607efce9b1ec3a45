#include <windows.h>

#include <string>

#include "src/filesystem/ExecutablePath.h"

namespace qpx {

std::wstring GetExecutablePath() {
  // GetModuleFileNameW cuts a long path to fit and still succeeds; a cut
  // path would open some other file, so grow the buffer up to the longest
  // path Windows has, and give up beyond it.
  constexpr DWORD kLongestPath = 32768;
  for (DWORD capacity = MAX_PATH;; capacity *= 2) {
    if (capacity > kLongestPath) capacity = kLongestPath;
    std::wstring buffer(capacity, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
    if (length == 0) return std::wstring();
    if (length < capacity) {
      buffer.resize(length);
      return buffer;
    }
    if (capacity == kLongestPath) return std::wstring();
  }
}

}  // namespace qpx
