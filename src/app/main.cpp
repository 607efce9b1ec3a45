// qpxpatch: applies the patch payload appended to this very executable to
// the game's archive in the current directory.

#include <cstdio>
#include <new>
#include <stdexcept>

#include "app/ConsoleReport.h"
#include "app/PatchRunner.h"
#include "filesystem/ExecutablePath.h"
#include "filesystem/ProcessSetup.h"

int main() {
  using namespace qpx;
  PrepareProcess();
  StdoutConsole console;
  bool success = false;
  try {
    const auto fileSystem = CreatePlatformFileSystem();
    success = RunPatcher(*fileSystem, GetExecutablePath(), console);
  } catch (const std::bad_alloc&) {
    // Everything the run held is released by now: its owners have unwound.
    ConsoleReport(console, L"Out of memory\n");
  } catch (const std::length_error&) {
    ConsoleReport(console, L"Out of memory\n");
  }
  ConsoleReport(console, L"Press Any Key...");
  std::getchar();
  return success ? 0 : 1;
}
