#include "tools/qpxtool/authoring/GameReader.h"

#include "app/payload/PatchPayload.h"
#include "archive/LooseFile.h"
#include "archive/ResourceArchive.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

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

namespace {

std::wstring InCapitals(std::wstring name) {
  for (wchar_t& c : name) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return name;
}

}  // namespace

FolderListing::FolderListing(const std::wstring& directory) : directory_(directory) {
  if (!ListFolder(directory, entries_)) entries_.clear();
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    exact_.emplace(entries_[i].name, i);
    folded_[InCapitals(entries_[i].name)].push_back(i);
  }
}

const FolderEntry* FolderListing::Find(const std::wstring& name) const {
  if (const auto exact = exact_.find(name); exact != exact_.end()) return &entries_[exact->second];
  const auto folded = folded_.find(InCapitals(name));
  return folded != folded_.end() && folded->second.size() == 1 ? &entries_[folded->second.front()] : nullptr;
}

ResourceBytes GameReader::Locate(uint32_t number) {
  ResourceBytes bytes = LocateFile(number);
  std::string why;
  if (number >= kEntryCount && bytes.exists && !FindLooseBody(bytes, why)) {
    Fail(kExitBadInput, TargetName(number) + ": " + Describe(bytes.path) + why);
  }
  return bytes;
}

ResourceBytes GameReader::LocateFile(uint32_t number) {
  ResourceBytes bytes;
  const std::string target = TargetName(number);
  if (number < kEntryCount) {
    OpenArchive();
    const ArchiveIndexEntry& entry = entries_[number];
    if (!EntryLiesInside(entry, dataSize_)) {
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
  if (!res_) res_ = std::make_unique<FolderListing>(JoinDirectory(directory_, kLooseDirectoryName));
  const std::wstring name = LooseFileName(number - kEntryCount);
  const FolderEntry* const found = res_->Find(name);
  // What is no file (a folder, a FIFO, a device) is no loose file either,
  // as the patcher sees it: it cannot open one.
  if (found == nullptr || found->kind != PathKind::File) {
    bytes.exists = false;
    bytes.path = LoosePath(number - kEntryCount);
    return bytes;
  }
  bytes.path = JoinDirectory(res_->Directory(), found->name);
  bytes.owned = fileSystem_.Open(bytes.path.c_str(), OpenMode_Read);
  int64_t length = 0;
  if (!bytes.owned || !bytes.owned->QuerySize64(length)) {
    Fail(kExitBadInput, target + ": " + Describe(bytes.path) + " is missing or cannot be read");
  }
  bytes.file = bytes.owned.get();
  bytes.size = static_cast<uint64_t>(length);
  return bytes;
}

uint64_t GameReader::TotalBytes() {
  OpenArchive();
  uint64_t total = 0;
  for (const ArchiveIndexEntry& entry : entries_) total += entry.size;
  if (!res_) res_ = std::make_unique<FolderListing>(JoinDirectory(directory_, kLooseDirectoryName));
  for (uint32_t looseIndex = 0; looseIndex < kLooseFileCount; ++looseIndex) {
    const FolderEntry* const found = res_->Find(LooseFileName(looseIndex));
    if (found != nullptr && found->kind == PathKind::File) total += found->size;
  }
  return total;
}

bool GameReader::FindLooseBody(ResourceBytes& bytes, std::string& why) const {
  // The patcher's own reading of the header, with the reason it fails.
  LooseFileHeader header{};
  if (!bytes.file->Seek64(0) || !ReadLooseFileHeader(*bytes.file, static_cast<int64_t>(bytes.size), header)) {
    why = bytes.size >= sizeof header && header.magic == kLooseFileMagic
              ? ": its header says " + Grouped(header.totalSize) + " bytes, the file holds only " +
                    Grouped(bytes.size - sizeof header) + " after it"
              : " is not a loose resource file (no header)";
    return false;
  }
  bytes.offset = sizeof header;
  bytes.size = header.totalSize;
  return true;
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
