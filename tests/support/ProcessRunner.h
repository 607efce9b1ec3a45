#pragma once
// Runs a program as a player or a script would: in a chosen folder, with
// standard input closed, its output captured. POSIX hosts only.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qpx::test {

struct ProcessResult {
  int exitCode = -1;        // -1 when the program did not exit normally
  std::string out;          // standard output, byte for byte
  std::string err;          // standard error
  long maxResidentKiB = 0;  // the program's peak resident memory
};

struct ProcessOptions {
  // Started first, given the program's path and arguments: how a Windows
  // program is started under Wine.
  std::string launcher;
  // Caps the program's virtual memory, in bytes, when not 0.
  uint64_t addressSpaceLimit = 0;
  // "NAME=value" entries set on top of this process's environment.
  std::vector<std::string> environment;
};

// Runs `argv` (argv[0] is the program's path) in `workingDirectory`.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::filesystem::path& workingDirectory,
                         const ProcessOptions& options = {});

}  // namespace qpx::test
