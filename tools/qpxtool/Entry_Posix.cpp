// POSIX arguments are bytes; paths decode from them as the file layer's do.

#include <string>
#include <vector>

#include "tools/qpxtool/RunTool.h"

int main(int argc, char** argv) { return qpx::tool::RunTool(std::vector<std::string>(argv, argv + argc)); }
