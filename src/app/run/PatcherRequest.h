#pragma once
// What a player asks of a version-2 patch on its command line. A
// version-1 patch is asked nothing: it ignores every argument.

#include <string>
#include <vector>

namespace qpx {

enum class PatcherRequest {
  Run,       // apply the patch
  Describe,  // --help, -h, /?: say what the patch is, change nothing
  Version,   // --version: the patcher's version in one line
  Check,     // --check, /check: every check of the run, per record what it would do, change nothing
  Usage,     // an argument the patch does not know: the usage, change nothing
};

struct PatcherArguments {
  PatcherRequest request = PatcherRequest::Run;
  bool noPause = false;    // --no-pause, /nopause: never wait for a key at the end
  std::wstring folder;     // the game folder given (or dropped on the patch); empty: the current one
  std::wstring unknown;    // Usage: the first argument not understood
};

// Reads `arguments`. The switches a Windows player types (/check,
// /nopause, /?) are matched case-blind, on every platform: no POSIX path
// is that short. Where `slashSwitches` (Windows), any other argument
// starting with '/' is an unknown switch; elsewhere it is a folder. Any
// argument it does not know asks for the usage: a player who typed
// --dry-run must not find the game patched. A description wins over a
// check, and both over a run: they touch nothing.
PatcherArguments ParseArguments(const std::vector<std::wstring>& arguments, bool slashSwitches);

}  // namespace qpx
