#pragma once
// qpxtool as a whole, behind the platform's own entry point (Entry_*.cpp),
// which hands it the program's arguments.

#include <string>
#include <vector>

namespace qpx::tool {

// Runs the program on its arguments (argv[0] included) as UTF-8 text and
// returns its exit status.
int RunTool(const std::vector<std::string>& arguments);

}  // namespace qpx::tool
