#include "tools/qpxtool/GameReader.h"

#include "app/PatchPayload.h"
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

bool GameReader::HasIndex() const { return KindOf(IndexPath()) == PathKind::File; }

ResourceBytes GameReader::Locate(uint32_t number) {
  ResourceBytes bytes;
  const std::string target = TargetName(number);
  if (number < kEntryCount) {
    OpenArchive();
    const ArchiveIndexEntry& entry = entries_[number];
    if (!LiesInside(entry.offset, entry.size, dataSize_)) {
      Fail(kExitBadInput, target + " of " + Quoted(directoryText_) + ": its index record points at " +
                              Grouped(entry.size) + " bytes from byte " + Grouped(entry.offset) +
                              ", past the end of DATA1.QPX (" + Grouped(static_cast<uint64_t>(dataSize_)) +
                              " bytes)");
    }
    bytes.path = DataPath();
    bytes.file = data_.get();
    bytes.offset = entry.offset;
    bytes.size = entry.size;
    bytes.attributes = entry.attributes;
    return bytes;
  }
  bytes.path = LoosePath(number - kEntryCount);
  // What is no file (a folder, a FIFO, a device) is no loose file either,
  // as the patcher sees it: it cannot open one.
  if (KindOf(bytes.path) != PathKind::File) {
    bytes.exists = false;
    return bytes;
  }
  bytes.owned = fileSystem_.Open(bytes.path.c_str(), OpenMode_Read);
  if (!bytes.owned) Fail(kExitBadInput, target + ": " + Describe(bytes.path) + " is missing or cannot be read");
  int64_t length = 0;
  LooseFileHeader header{};
  if (!bytes.owned->QuerySize64(length) || bytes.owned->Read(&header, sizeof header) != sizeof header ||
      header.magic != kLooseFileMagic) {
    Fail(kExitBadInput, target + ": " + Describe(bytes.path) + " is not a loose resource file (no header)");
  }
  if (header.totalSize > static_cast<uint64_t>(length) - sizeof header) {
    Fail(kExitBadInput, target + ": " + Describe(bytes.path) + ": its header says " + Grouped(header.totalSize) +
                            " bytes, the file holds only " + Grouped(static_cast<uint64_t>(length) - sizeof header) +
                            " after it");
  }
  bytes.file = bytes.owned.get();
  bytes.offset = sizeof header;
  bytes.size = header.totalSize;
  return bytes;
}

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
