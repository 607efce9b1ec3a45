#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "src/filesystem/ProcessContext.h"
#include "src/filesystem/posix/PathEncoding_Posix.h"
#include "src/paths/Utf8.h"

namespace qpx {

std::vector<std::wstring> CommandLineArguments(int argc, char** argv) {
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
    arguments.push_back(posix::DecodePath(argv[i]));
  }
  return arguments;
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool SomeoneCanAnswer() { return isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1; }

void WaitForOneKey() {
  termios saved{};
  const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  char key = 0;
  ssize_t got;
  do got = read(STDIN_FILENO, &key, 1);
  while (got < 0 && errno == EINTR);
  if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

namespace {

// Whether the locale the player runs under takes UTF-8, read as the C
// library would pick it, without setting the process's locale.
bool LocaleTakesUtf8() {
  const char* name = nullptr;
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    name = std::getenv(variable);
    if (name != nullptr && *name != '\0') break;
  }
  if (name == nullptr) return false;
  std::string lower;
  for (const char* c = name; *c != '\0'; ++c) lower += static_cast<char>(*c >= 'A' && *c <= 'Z' ? *c + 32 : *c);
  return lower.find("utf-8") != std::string::npos || lower.find("utf8") != std::string::npos;
}

}  // namespace

void WriteToStdout(std::wstring_view text) {
  static const bool utf8 = LocaleTakesUtf8();
  // Built whole, a message leaves in one write.
  const std::string bytes = ConsoleBytes(text, utf8);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

bool EnterFolder(const std::wstring& folder) { return chdir(posix::EncodePath(folder.c_str()).c_str()) == 0; }

wchar_t ShownPathSeparator() { return L'/'; }

bool SwitchesStartWithSlash() { return false; }

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
