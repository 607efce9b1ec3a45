#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

#include "src/filesystem/ProcessContext.h"
#include "src/filesystem/posix/PathEncoding_Posix.h"

namespace qpx {

std::vector<std::wstring> CommandLineArguments(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
    arguments.push_back(posix::DecodePath(argv[i]));
  }
  return arguments;
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

std::string CurrentFolderBytes() {
  // getcwd with no buffer is an extension; grow one instead, as far as a
  // path can go.
  for (std::size_t capacity = 256; capacity <= (1u << 20); capacity *= 2) {
    std::string buffer(capacity, '\0');
    if (getcwd(buffer.data(), capacity) != nullptr) {
      buffer.resize(buffer.find('\0'));
      return buffer;
    }
    if (errno != ERANGE) break;
  }
  return std::string();
}

}  // namespace qpx
