#pragma once
// What a player asks of a version-2 patch on its command line. A
// version-1 patch is asked nothing: it ignores every argument.

#include <string>
#include <vector>

#include "src/app/payload/PatchPayload.h"

namespace qpx {

enum class PatcherRequest {
  Run,       // apply the patch (no argument this patcher knows)
  Describe,  // --help, -h, /?, --version: say what the patch is, change nothing
  Check,     // --check, /check: every check of the run, per record what it would do, change nothing
};

// The request among `arguments`; the others are ignored, as a launcher may
// pass its own. A description wins over a check: it touches nothing.
PatcherRequest ParseRequest(const std::vector<std::wstring>& arguments);

}  // namespace qpx
