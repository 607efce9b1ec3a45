// Wide arguments, so that every path reaches the program as typed (as WTF-8
// text in between, which keeps even unpaired surrogates).

#include <string>
#include <vector>

#include "tools/qpxtool/RunTool.h"
#include "tools/qpxtool/platform/ToolPlatform.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(qpx::tool::WideToText(argv[i]));
  return qpx::tool::RunTool(arguments);
}
