#include "tools/qpxtool/GameReader.h"

#include "archive/LooseFile.h"
#include "archive/ResourceArchive.h"
#include "tools/qpxtool/ToolPlatform.h"
#include "tools/qpxtool/ToolText.h"

namespace qpx::tool {

GameReader::GameReader(CFileSystem& fileSystem, const std::wstring& directory, const std::string& directoryText)
    : fileSystem_(fileSystem), directory_(directory), directoryText_(directoryText) {
  if (KindOf(directory) != PathKind::Directory) {
    Fail(kExitBadInput, "game folder " + Quoted(directoryText) + ": no such folder");
  }
}

std::wstring GameReader::IndexPath() const { return JoinDirectory(directory_, kIndexFileName); }
std::wstring GameReader::DataPath() const { return JoinDirectory(directory_, kDataFileName); }
std::wstring GameReader::LoosePath(uint32_t looseIndex) const {
  return JoinDirectory(JoinDirectory(directory_, kLooseDirectoryName), LooseFileName(looseIndex));
}

std::string GameReader::Describe(const std::wstring& path) const { return Quoted(PathToText(path)); }

void GameReader::OpenArchive() {
  if (opened_) return;
  const std::wstring indexPath = IndexPath();
  const auto index = fileSystem_.Open(indexPath.c_str(), OpenMode_Read);
  if (!index) Fail(kExitBadInput, Describe(indexPath) + ": cannot be opened; is this a game folder?");
  if (!ReadArchiveIndex(*index, entries_)) {
    Fail(kExitBadInput, Describe(indexPath) + ": is not an index of " + std::to_string(kEntryCount) +
                            " records (" + Grouped(kIndexFileSize) + " bytes)");
  }
  const std::wstring dataPath = DataPath();
  data_ = fileSystem_.Open(dataPath.c_str(), OpenMode_Read);
  if (!data_ || !data_->QuerySize64(dataSize_)) Fail(kExitBadInput, Describe(dataPath) + ": cannot be opened");
  opened_ = true;
}

}  // namespace qpx::tool
