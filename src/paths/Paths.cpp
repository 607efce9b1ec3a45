#include "src/paths/Paths.h"

#include <cstdarg>
#include <cwchar>

namespace qpx {

std::wstring JoinPath(const wchar_t* directory, const wchar_t* name) {
  std::wstring result(directory);
  if (!result.empty() && result.back() != L'\\') result += L'\\';
  result += name;
  return result;
}

std::wstring DirectoryOf(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return std::wstring();
  return path.substr(0, separator + 1);
}

int FormatToBuffer(wchar_t (&buffer)[kFormatBufferLength], const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  // vswprintf fails (negative) rather than truncating when the text does not
  // fit, unlike its narrow counterpart; the empty string then stands in, so
  // that a partial name can never be used.
  const int written = std::vswprintf(buffer, kFormatBufferLength, format, args);
  va_end(args);
  if (written < 0 || static_cast<std::size_t>(written) >= kFormatBufferLength) {
    buffer[0] = L'\0';
    return -1;
  }
  return written;
}

}  // namespace qpx
