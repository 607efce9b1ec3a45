#include "tools/qpxtool/ToolJson.h"

#include <cstdio>

#include "tools/qpxtool/ToolPlatform.h"
#include "tools/qpxtool/ToolText.h"

namespace qpx::tool {

void StartJsonReport() { SetTextReport(false); }

void WriteJsonReport(const Json& document) {
  WriteText(stdout, document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n");
  std::fflush(stdout);
}

}  // namespace qpx::tool
