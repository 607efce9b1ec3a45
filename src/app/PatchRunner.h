#pragma once
// The patch run: validate the payload appended to the patcher's own file,
// open the game's archive in the current directory and apply every patch,
// printing a line before and after each.

#include <string>

#include "app/ConsoleReport.h"
#include "filesystem/FileSystem.h"

namespace qpx {

// Runs the whole job with the executable at `executablePath`. Returns true
// exactly when the run reported success: every patch applied. Everything it
// acquires is released, in reverse order, before it returns or unwinds.
bool RunPatcher(CFileSystem& fileSystem, const std::wstring& executablePath, Console& console);

}  // namespace qpx
