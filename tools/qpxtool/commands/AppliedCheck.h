#pragma once
// Whether a game folder holds exactly what one record of a patch writes,
// judged as verify judges it. A version-1 record: an entry by its index
// record and its bytes in DATA1.QPX, a loose file by its header, body, zero
// fill and length, each compared with the body in the patch. A version-2
// record: by the patcher's own inspection, the resource's bytes hashing to
// the record's result and laid out as the patcher writes them.

#include <memory>
#include <string>

#include "app/payload/PatchPayload.h"
#include "filesystem/FileSystem.h"
#include "tools/qpxtool/authoring/GameReader.h"

namespace qpx::tool {

class AppliedCheck {
 public:
  // Reads only. Throws ToolError (bad input) when a version-2 patch's game
  // folder has no readable archive.
  AppliedCheck(CFileSystem& fileSystem, CAbstractFile& patch, const Payload& payload, GameReader& game,
               const std::wstring& directory, const std::string& directoryText);
  ~AppliedCheck();
  AppliedCheck(const AppliedCheck&) = delete;
  AppliedCheck& operator=(const AppliedCheck&) = delete;

  // Empty when the folder holds exactly what `record` writes; otherwise
  // what it holds instead.
  std::string WhyNotApplied(const PayloadRecord& record);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qpx::tool
