#include "tools/qpxtool/commands/ToolJson.h"

#include <cstdio>

#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {

void StartJsonReport() { SetTextReport(false); }

void WriteJsonReport(const Json& document) {
  WriteText(stdout, document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
  std::fflush(stdout);
}

}  // namespace qpx::tool
