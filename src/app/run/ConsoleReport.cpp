#include "app/run/ConsoleReport.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cwchar>

namespace qpx {

void StdoutConsole::Write(std::wstring_view text) {
  // The messages are ASCII. Written as bytes, a message leaves in one write
  // (a wide stream's conversion may split it into several); anything outside
  // ASCII shows as '?'. On Windows the stream's text mode turns each newline
  // into CR LF.
  char bytes[256];
  std::size_t length = 0;
  for (const wchar_t c : text) {
    if (length == sizeof bytes) {
      std::fwrite(bytes, 1, length, stdout);
      length = 0;
    }
    bytes[length++] = static_cast<uint32_t>(c) < 0x80 ? static_cast<char>(c) : '?';
  }
  std::fwrite(bytes, 1, length, stdout);
  std::fflush(stdout);
}

void ConsoleReport(Console& console, const wchar_t* format, ...) {
  wchar_t buffer[256];
  va_list args;
  va_start(args, format);
  const int length = std::vswprintf(buffer, sizeof buffer / sizeof buffer[0], format, args);
  va_end(args);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof buffer / sizeof buffer[0]) return;
  console.Write(std::wstring_view(buffer, static_cast<std::size_t>(length)));
}

void ConsoleLine(Console& console, std::wstring_view text) {
  std::wstring line(text);
  line += L'\n';
  console.Write(line);
}

}  // namespace qpx
