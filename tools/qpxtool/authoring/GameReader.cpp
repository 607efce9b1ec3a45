#include "tools/qpxtool/authoring/GameReader.h"

#include <cstring>

#include "src/app/payload/PatchPayload.h"
#include "src/archive/LooseFile.h"
#include "src/archive/ResourceArchive.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {

GameReader::GameReader(CFileSystem& fileSystem, const std::wstring& directory, const std::string& directoryText)
    : fileSystem_(fileSystem), directory_(directory), directoryText_(directoryText) {
  switch (fileSystem_.KindOf(directory.c_str())) {
    case PathKind::Directory: return;
    case PathKind::File: Fail(kExitBadInput, "game folder " + Quoted(directoryText) + ": is a file, not a folder");
    case PathKind::Missing: Fail(kExitBadInput, "game folder " + Quoted(directoryText) + ": no such folder");
    default: Fail(kExitBadInput, "game folder " + Quoted(directoryText) + ": is not a folder");
  }
}

std::wstring GameReader::IndexPath() const { return JoinDirectory(directory_, kIndexFileName); }
std::wstring GameReader::DataPath() const { return JoinDirectory(directory_, kDataFileName); }
std::wstring GameReader::LoosePath(uint32_t looseIndex) const {
  return JoinDirectory(JoinDirectory(directory_, kLooseDirectoryName), LooseFileName(looseIndex));
}

std::string GameReader::Describe(const std::wstring& path) const { return Quoted(PathToText(path)); }

bool GameReader::HasIndex() const { return fileSystem_.KindOf(IndexPath().c_str()) == PathKind::File; }

namespace {

std::wstring InCapitals(std::wstring name) {
  for (wchar_t& c : name) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return name;
}

}  // namespace

FolderListing::FolderListing(CFileSystem& fileSystem, const std::wstring& directory) : directory_(directory) {
  if (!fileSystem.ListDirectory(directory.c_str(), entries_)) entries_.clear();
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    exact_.emplace(entries_[i].name, i);
    folded_[InCapitals(entries_[i].name)].push_back(i);
  }
}

const DirectoryEntry* FolderListing::Find(const std::wstring& name) const {
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
  if (!res_) res_ = std::make_unique<FolderListing>(fileSystem_, JoinDirectory(directory_, kLooseDirectoryName));
  const std::wstring name = LooseFileName(number - kEntryCount);
  const DirectoryEntry* const found = res_->Find(name);
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
  if (!res_) res_ = std::make_unique<FolderListing>(fileSystem_, JoinDirectory(directory_, kLooseDirectoryName));
  for (uint32_t looseIndex = 0; looseIndex < kLooseFileCount; ++looseIndex) {
    const DirectoryEntry* const found = res_->Find(LooseFileName(looseIndex));
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

ResourceArchive& GameReader::PatcherView(DryRunAccess access, const std::string& refusal) {
  if (!archive_) {
    view_ = std::make_unique<CFileSystem_DryRun>(fileSystem_, directory_, access);
    archive_ = std::make_unique<ResourceArchive>(*view_);
    if (!archive_->OpenArchive()) Fail(kExitBadInput, refusal);
  }
  return *archive_;
}

namespace {

// Compares the `size` bytes of the patch body at `bodyOffset` with `game`
// from its position on. Empty when equal; otherwise what differs.
std::string CompareBody(CAbstractFile& patch, uint64_t bodyOffset, uint64_t size, CAbstractFile& game,
                        const std::string& where, uint64_t gameOffset, std::span<uint8_t> ours,
                        std::span<uint8_t> theirs) {
  std::string difference;
  const bool read = ReadPieces(patch, bodyOffset, size, ours, [&](uint64_t done, std::span<const uint8_t> piece) {
    const auto length = static_cast<uint32_t>(piece.size());
    if (game.Read(theirs.data(), length) != length) {
      difference = where + " cannot be read at byte " + Grouped(gameOffset + done);
      return false;
    }
    if (std::memcmp(piece.data(), theirs.data(), length) != 0) {
      uint32_t at = 0;
      while (piece[at] == theirs[at]) ++at;
      difference = where + " differs from the body at byte " + Grouped(done + at) + " of the body (byte " +
                   Grouped(gameOffset + done + at) + " of the file)";
      return false;
    }
    return true;
  });
  if (!read && difference.empty()) difference = "the patch cannot be read";
  return difference;
}

}  // namespace

std::string GameReader::CompareWithBody(CAbstractFile& patch, const PayloadRecord& record) {
  if (!ours_) {
    ours_ = std::make_unique<CopyBuffer>();
    theirs_ = std::make_unique<CopyBuffer>();
  }
  const uint32_t number = record.resourceNumber;
  if (number < kEntryCount) {
    OpenArchive();
    const ArchiveIndexEntry& entry = entries_[number];
    const std::string data = "DATA1.QPX";
    if (entry.size != record.storedSize) {
      return "its index record says " + Grouped(entry.size) + " bytes, the body has " + Grouped(record.storedSize);
    }
    // A replaced record has attributes 0; one left as it was (same length
    // in place) had 0 already, or the body could not have gone in place.
    if (entry.attributes != 0) return "its index record has attributes " + std::to_string(entry.attributes);
    if (!LiesInside(entry.offset, record.storedSize, dataSize_)) {
      return "its index record points past the end of " + data;
    }
    if (!data_->Seek64(static_cast<int64_t>(entry.offset))) return data + " cannot be read";
    return CompareBody(patch, record.bodyOffset, record.storedSize, *data_, data, entry.offset, ours_->Span(),
                       theirs_->Span());
  }
  const std::wstring path = LoosePath(number - kEntryCount);
  const std::string name = TargetName(number);
  const auto file = fileSystem_.Open(path.c_str(), OpenMode_Read);
  if (!file) return name + " is missing or cannot be read";
  // A version-1 record's body is at most kLooseMaxBodySize: the patcher
  // fails a larger one before it is compared.
  const auto size = static_cast<uint32_t>(record.storedSize);
  int64_t length = 0;
  const uint64_t expected = LooseFileLength(size);
  if (!file->QuerySize64(length)) return name + " cannot be read";
  if (static_cast<uint64_t>(length) != expected) {
    return name + " is " + Grouped(static_cast<uint64_t>(length)) + " bytes, not " + Grouped(expected);
  }
  LooseFileHeader header{};
  if (file->Read(&header, sizeof header) != sizeof header) return name + " cannot be read";
  if (!LooseHeaderAsWritten(header, size)) {
    return name + "'s header is not the one for this body (it says " + Grouped(header.totalSize) + " bytes)";
  }
  std::string difference = CompareBody(patch, record.bodyOffset, size, *file, name, kLooseBodyOffset,
                                       ours_->Span(), theirs_->Span());
  if (!difference.empty()) return difference;
  if (!LooseZeroFillFollows(*file, size)) return name + " has other bytes than zeros after the body";
  return "";
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
