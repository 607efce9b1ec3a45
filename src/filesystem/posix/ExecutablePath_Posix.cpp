#include "src/filesystem/ExecutablePath.h"

#include <unistd.h>

#include <string>

#include "src/filesystem/posix/PathEncoding_Posix.h"

namespace qpx {

std::wstring GetExecutablePath() {
  // readlink does not say whether it cut the link short, so grow the buffer
  // until the answer leaves room to spare.
  for (std::size_t capacity = 256; capacity <= 65536; capacity *= 2) {
    std::string buffer(capacity, '\0');
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), capacity);
    if (length < 0) return std::wstring();
    if (static_cast<std::size_t>(length) < capacity) {
      buffer.resize(static_cast<std::size_t>(length));
      return posix::DecodePath(buffer);
    }
  }
  return std::wstring();
}

}  // namespace qpx
