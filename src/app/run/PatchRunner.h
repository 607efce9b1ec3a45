#pragma once
// The patch run: validate the payload appended to the patcher's own file,
// open the game's archive in the current directory and apply every patch,
// printing a line before and after each.

#include <string>

#include "src/app/run/RunMessages.h"
#include "src/app/run/PatcherRequest.h"
#include "src/filesystem/FileSystem.h"

namespace qpx {

// How the program was started. A version-1 payload honours neither.
struct RunSettings {
  PatcherRequest request = PatcherRequest::Run;
  // Standard output is a terminal: a large record shows its percent as it
  // is written, redrawn in place.
  bool progress = false;
};

struct RunResult {
  bool success = false;  // the run succeeded; with --check, the run would
  bool waitForKey = true;  // end with the "Press Any Key..." wait: every run but a version-2 answer
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
