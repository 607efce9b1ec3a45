#pragma once
// What the qpxtool test programs are told on their command line: the
// programs under test, and how to run a Windows one.

#include <string>

namespace qpx::test {

struct ToolTestConfig {
  std::string qpxtool;     // the program under test
  std::string patcher;     // the native qpxpatch: the stub of native patches
  std::string wine;        // empty natively; else the script that runs a .exe
  std::string patcherExe;  // with --wine: qpxpatch.exe, the stub of Windows patches
  // A folder that keeps every --json document the tests make qpxtool
  // write, for the check of them all against their schemas; empty: none.
  std::string jsonDocuments;
};

inline ToolTestConfig& TheToolTestConfig() {
  static ToolTestConfig config;
  return config;
}

}  // namespace qpx::test
