#pragma once
// Runs a program as a player or a script would: in a chosen folder, with
// standard input closed, its output captured.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qpx::test {

struct ProcessResult {
  int exitStatus = -1;  // the exit code, or -1 when the program did not exit normally
  std::string out;      // standard output, byte for byte
  std::string err;      // standard error
};

// Runs `argv` (argv[0] is the program's path) in `workingDirectory`. When
// `launcher` is not empty it runs first, given the program's path and
// arguments: how a Windows program is started under Wine. A non-zero
// `addressSpaceLimit` caps the program's virtual memory, in bytes.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::filesystem::path& workingDirectory,
                         const std::string& launcher = "", uint64_t addressSpaceLimit = 0);

}  // namespace qpx::test
