#pragma once

#include <string>

namespace qpx {

// The full path of the running program's own file, or the empty string
// when the platform cannot tell it whole (a cut path is never returned).
std::wstring GetExecutablePath();

}  // namespace qpx
