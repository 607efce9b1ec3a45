#pragma once
// Wide paths on a byte-path platform. Paths travel through the system as wide
// strings; the POSIX calls take bytes. Valid UTF-8 maps to code points, and
// each byte that is not part of valid UTF-8 maps to U+DC80 + byte (a lone
// low surrogate, which valid text never holds), so every byte path survives
// the round trip exactly.

#include <string>

namespace qpx::posix {

// Wide path to platform bytes; backslashes become slashes, since the system
// writes its relative paths with backslashes.
std::string EncodePath(const wchar_t* path);

// Platform bytes to a wide string (no separator is changed).
std::wstring DecodePath(const std::string& bytes);

}  // namespace qpx::posix
