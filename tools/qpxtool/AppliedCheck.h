#pragma once
// Whether a game folder holds exactly one record's body, judged as verify
// judges it: an entry by its index record and its bytes in DATA1.QPX, a
// loose file by its header, body, zero fill and length.

#include <string>

#include "app/PatchPayload.h"
#include "filesystem/FileSystem.h"
#include "tools/qpxtool/GameReader.h"

namespace qpx::tool {

// Empty when `game` holds exactly the body of `record` (read from
// `patch`); otherwise why not.
std::string WhyNotApplied(CFileSystem& fileSystem, CAbstractFile& patch, GameReader& game, const PatchRecord& record);

}  // namespace qpx::tool
