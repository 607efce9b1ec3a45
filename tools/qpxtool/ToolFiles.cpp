#include "tools/qpxtool/ToolFiles.h"

#include <algorithm>

#include "paths/Paths.h"
#include "tools/qpxtool/ToolPlatform.h"
#include "tools/qpxtool/ToolText.h"

namespace qpx::tool {

CopyResult CopyBytes(CAbstractFile& source, uint64_t offset, uint64_t size, CAbstractFile& target,
                     std::span<uint8_t> buffer) {
  bool writeShort = false;
  const bool done = ReadPieces(source, offset, size, buffer, [&](uint64_t, std::span<const uint8_t> piece) {
    const auto length = static_cast<uint32_t>(piece.size());
    writeShort = target.Write(piece.data(), length) != length;
    return !writeShort;
  });
  if (done) return CopyResult::Done;
  return writeShort ? CopyResult::WriteShort : CopyResult::ReadShort;
}

ReplacingOutput::ReplacingOutput(CFileSystem& fileSystem, const std::wstring& target)
    : fileSystem_(fileSystem), target_(target) {
  const std::wstring directory = DirectoryOf(target);
  const std::wstring name = target.substr(directory.size());
  if (!CreateFreshFile(directory + L"." + name + L".qpxtool-", temporary_)) {
    Fail(kExitFailedCheck, "cannot create a file beside " + Quoted(PathToText(target)));
  }
  file_ = fileSystem_.Open(temporary_.c_str(), OpenMode_Write);
  if (!file_) {
    fileSystem_.DeleteFile(temporary_.c_str());
    Fail(kExitFailedCheck, "cannot open " + Quoted(PathToText(temporary_)) + " for writing");
  }
}

ReplacingOutput::~ReplacingOutput() {
  if (committed_) return;
  file_.reset();
  fileSystem_.DeleteFile(temporary_.c_str());
}

void ReplacingOutput::Commit(const std::wstring& permissionsFrom) {
  file_.reset();
  if (!permissionsFrom.empty() && !CopyPermissions(permissionsFrom, temporary_)) {
    Fail(kExitFailedCheck, "cannot give " + Quoted(PathToText(target_)) + " the permissions of " +
                               Quoted(PathToText(permissionsFrom)));
  }
  if (!RenameReplacing(temporary_, target_)) {
    Fail(kExitFailedCheck, "cannot rename " + Quoted(PathToText(temporary_)) + " to " +
                               Quoted(PathToText(target_)));
  }
  committed_ = true;
}

bool ReadSmallFile(CFileSystem& fileSystem, const std::wstring& path, uint32_t limit, std::string& text) {
  const auto file = fileSystem.Open(path.c_str(), OpenMode_Read);
  int64_t size = 0;
  if (!file || !file->QuerySize64(size) || size > int64_t{limit}) return false;
  text.resize(static_cast<std::size_t>(size));
  const auto length = static_cast<uint32_t>(size);
  return file->Read(text.data(), length) == length;
}

}  // namespace qpx::tool
