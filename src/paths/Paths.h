#pragma once
// Joining and splitting wide-character paths, and formatting into a fixed
// buffer. None of these touches a file.

#include <cstddef>
#include <string>

namespace qpx {

// Capacity of the buffer that loose-file names are formatted into: ten
// characters and the terminating zero.
inline constexpr std::size_t kFormatBufferLength = 11;

// `directory` + `name`, with a backslash between them unless `directory` is
// empty or already ends in one. Only the backslash counts as a separator here.
std::wstring JoinPath(const wchar_t* directory, const wchar_t* name);

// Everything up to and including the last backslash or forward slash of
// `path`; empty when there is none.
std::wstring DirectoryOf(const std::wstring& path);

// Formats into `buffer` (11 wide characters). Returns the number of
// characters written, without the terminator, or -1 when the text could not
// be formatted or would not fit; then the buffer holds the empty string.
// A name is never truncated.
int FormatToBuffer(wchar_t (&buffer)[kFormatBufferLength], const wchar_t* format, ...);

}  // namespace qpx
