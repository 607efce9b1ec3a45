#include "app/ConsoleReport.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace qpx {

void StdoutConsole::Write(std::wstring_view text) {
  // Wide output keeps the text one wide string from format to console; on
  // Windows the stream's text mode turns each newline into CR LF.
  std::fwprintf(stdout, L"%.*ls", static_cast<int>(text.size()), text.data());
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

}  // namespace qpx
