#pragma once
// Runs a program as a user would from a shell: its own current folder,
// standard input at its end, standard output and error captured whole.

#include <filesystem>
#include <string>
#include <vector>

namespace qpx::test {

struct ProcessResult {
  int exitCode = -1;  // -1 when it did not exit normally
  std::string out;
  std::string err;
  long maxResidentKiB = 0;  // peak resident memory of the child
};

// Runs `arguments` (the program first, found by path) in `directory`, with
// this process's environment plus `environment` ("NAME=value" entries).
ProcessResult RunProcess(const std::vector<std::string>& arguments, const std::filesystem::path& directory,
                         const std::vector<std::string>& environment = {});

}  // namespace qpx::test
