#pragma once
// The patch run: validate the payload appended to the patcher's own file,
// open the game's archive in the current directory and apply every patch,
// printing a line before and after each.

#include <string>

#include "src/app/payload/PatcherBranding.h"
#include "src/app/run/RunMessages.h"
#include "src/app/run/PatcherRequest.h"
#include "src/filesystem/FileSystem.h"

namespace qpx {

// How the program was started. A version-1 payload honours none of it.
struct RunSettings {
  PatcherArguments arguments;
  // Standard output is a terminal: a large record shows its percent as it
  // is written, redrawn in place.
  bool progress = false;
  // Standard input and output are a terminal: a person can press the key
  // a run waits for at its end.
  bool someoneCanAnswer = false;
  // The publisher's name on the patch, for --help and --version.
  PatchBranding branding;
};

// How a run ended, as its exit status tells a launcher or a script. A
// version-1 payload ends Done or CannotApply alone, as it always has.
enum class RunEnd : int {
  Done = 0,          // applied or already applied; a question answered; with --check: would apply
  CannotApply = 1,   // another version, a missing or unwritable file, a body that does not decode
  Usage = 2,         // an argument the patch does not know
  TryAgain = 3,      // another run holds the folder, the game holds a file, stopped, not enough space
  DamagedPatch = 4,  // the patch file is damaged or incomplete
};

struct RunResult {
  RunEnd end = RunEnd::CannotApply;
  bool waitForKey = true;     // end with the "Press Any Key..." wait
  bool seedsWait = true;      // that wait reads a character, as the first version did (not one key)
  bool Succeeded() const { return end == RunEnd::Done; }
  int ExitStatus() const { return static_cast<int>(end); }
};

// A version-2 record at least this large shows its progress on a terminal.
inline constexpr uint64_t kProgressThreshold = 16u << 20;

// Runs the job as `settings` ask.
RunResult RunPatcher(CFileSystem& fileSystem, const std::wstring& executablePath, Console& console,
                     const RunSettings& settings);

// Runs the whole job with the executable at `executablePath`. Returns true
// exactly when the run reported success: every patch applied. Everything it
// acquires is released, in reverse order, before it returns or unwinds.
bool RunPatcher(CFileSystem& fileSystem, const std::wstring& executablePath, Console& console);

}  // namespace qpx
