#include "src/archive/ResourceArchive.h"

#include <algorithm>

#include "src/archive/LooseFile.h"
#include "src/filesystem/SystemError.h"
#include "src/paths/Paths.h"

namespace qpx {

bool ReadArchiveIndex(CAbstractFile& indexFile, std::vector<ArchiveIndexEntry>& entries) {
  // Only the low 32 bits of the length are judged: an index of 4 GiB plus
  // 38,624 bytes passes, as it always has.
  if (indexFile.GetSize() != kIndexFileSize) return false;
  entries.assign(kEntryCount, ArchiveIndexEntry{});
  return indexFile.Read(entries.data(), kIndexFileSize) == kIndexFileSize;
}

uint64_t MaxBodySize(ResourceNumber number) {
  if (number >= kResourceLimit) return 0;
  // The byte limit, not the block count: a size near 2^64 would wrap the
  // count to a few blocks.
  return number < kEntryCount ? uint64_t{UINT32_MAX} : uint64_t{kLooseMaxBodySize};
}

bool PlaceEntry(const ArchiveIndexEntry& entry, uint32_t size, uint64_t dataSize, EntryPlacement& placement) {
  placement.inPlace = entry.attributes == 0 && SlotLength(static_cast<uint32_t>(entry.size)) == SlotLength(size);
  // A slot is a place inside the data file. An old body said to lie past
  // its end names no slot: writing there would stretch the file to
  // wherever the record points (a terabyte, or a full disk).
  if (placement.inPlace && !LiesInside(entry.offset, static_cast<uint32_t>(entry.size), static_cast<int64_t>(dataSize))) {
    return false;
  }
  placement.offset = placement.inPlace ? entry.offset : dataSize;
  placement.fill = static_cast<uint32_t>(SlotLength(size) - size);
  placement.sameLength = placement.inPlace && entry.size == size;
  placement.entry = ArchiveIndexEntry{placement.offset, size, size, 0};
  return true;
}

bool EntryLiesInside(const ArchiveIndexEntry& entry, int64_t dataSize) {
  return LiesInside(entry.offset, entry.size, dataSize);
}

bool ResourceArchive::OpenArchive() { return Open(/*lock=*/false) == Opening::Opened; }

ResourceArchive::Opening ResourceArchive::OpenArchiveLocked() { return Open(/*lock=*/true); }

ResourceArchive::Opening ResourceArchive::Open(bool lock) {
  isOpen = false;
  // The data file's name carries no directory, so every path is relative
  // to the current working directory.
  directory = DirectoryOf(kDataFileName);
  const std::wstring indexPath = JoinPath(directory.c_str(), kIndexFileName);

  openingFailure = OpeningFailure{};
  failedPath.clear();
  indexFile = fileSystem_.Open(indexPath.c_str(), OpenMode_ReadWrite);
  if (!indexFile) {
    openingFailure = {OpeningFailure::Reason::Missing, kIndexFileName, LastSystemError(), 0};
    failedPath = indexPath;
    return Opening::Failed;
  }
  if (lock && !indexFile->TryLock()) return Opening::Busy;
  if (!ReadArchiveIndex(*indexFile, entries)) {
    const uint32_t error = LastSystemError();
    int64_t length = 0;
    const bool wrongLength = indexFile->GetSize() != kIndexFileSize && indexFile->QuerySize64(length);
    openingFailure = {wrongLength ? OpeningFailure::Reason::NotAnIndex : OpeningFailure::Reason::Unreadable,
                      kIndexFileName, wrongLength ? 0 : error, length};
    return Opening::Failed;
  }

  // An entry with no length at all never counts as one that must move.
  for (ArchiveIndexEntry& entry : entries) {
    if (entry.size == 0 && entry.secondSize == 0) entry.attributes = 0;
  }

  dataFile = fileSystem_.Open(kDataFileName, OpenMode_ReadWrite);
  if (!dataFile) {
    openingFailure = {OpeningFailure::Reason::Missing, kDataFileName, LastSystemError(), 0};
    failedPath = kDataFileName;
    return Opening::Failed;
  }

  resDirectory = JoinPath(directory.c_str(), kLooseDirectoryName);
  isOpen = true;
  return Opening::Opened;
}

ResourceArchive::OpeningFailure ResourceArchive::ExplainOpeningFailure() {
  OpeningFailure failure = openingFailure;
  if (!failedPath.empty() && fileSystem_.Open(failedPath.c_str(), OpenMode_Read) != nullptr) {
    failure.reason = OpeningFailure::Reason::NotWritable;
  }
  return failure;
}

void ResourceArchive::CloseArchive() {
  isOpen = false;
  resDirectory.clear();
  resDirectory.shrink_to_fit();
  entries.clear();
  entries.shrink_to_fit();
  recordsInDoubt.clear();
  indexFile.reset();
  dataFile.reset();
}

bool ResourceArchive::ApplyPatch(ResourceNumber number, const uint8_t* body, uint32_t size) {
  // Half open, an index may be loaded with no data file, or nothing at all,
  // which would make any number below 1508 a loose file in the current
  // directory.
  if (!isOpen || size > MaxBodySize(number)) return false;
  return number < kEntryCount ? ReplaceEntry(number, body, size) : WriteLooseFile(number - kEntryCount, body, size);
}

bool ResourceArchive::ReplaceEntry(uint32_t number, const uint8_t* body, uint32_t size) {
  // An unknown length is not an empty file: appending "at 0" would land
  // the body over the first resources.
  int64_t dataSize = 0;
  EntryPlacement place;
  if (!dataFile->QuerySize64(dataSize) || !PlaceEntry(entries[number], size, static_cast<uint64_t>(dataSize), place)) {
    return false;
  }
  // Writing wherever the file position happens to be would put the body
  // where no record points.
  if (!dataFile->Seek64(static_cast<int64_t>(place.offset))) return false;
  if (dataFile->Write(body, size) != size) return false;

  // The record already says it all, unless its last write failed.
  if (place.sameLength && !recordsInDoubt.contains(number)) return true;
  if (place.fill != 0 && dataFile->Write(kZeroFill, place.fill) != place.fill) return false;
  entries[number] = place.entry;

  // The record goes last, so that until it is written the index still names
  // the old body, intact.
  if (!indexFile->Seek64(int64_t{number} * int64_t{sizeof(ArchiveIndexEntry)}) ||
      indexFile->Write(&place.entry, sizeof place.entry) != sizeof place.entry) {
    recordsInDoubt.insert(number);
    return false;
  }
  recordsInDoubt.erase(number);
  return true;
}

bool ResourceArchive::WriteLooseFile(uint32_t looseIndex, const uint8_t* body, uint32_t size) {
  // The file must exist already: a loose file is never created.
  const std::unique_ptr<CAbstractFile> file = OpenLooseFile(looseIndex, OpenMode_Write);
  // Freshly opened: the position is 0, where the header goes.
  return file && WriteLooseFileWhole(*file, size, /*durable=*/false,
                                     [&](CAbstractFile& to) { return to.Write(body, size) == size; });
}

ResourceLocation ResourceArchive::Locate(uint32_t number, bool tryWriting) {
  ResourceLocation at;
  if (number < kEntryCount) {
    at.entry = entries[number];
    int64_t dataSize = 0;
    if (!QueryDataSize(dataSize)) {
      at.readable = false;
    } else if (!EntryLiesInside(at.entry, dataSize)) {
      at.inside = false;
    }
    at.offset = at.entry.offset;
    at.size = at.entry.size;
    return at;
  }
  const uint32_t looseIndex = number - kEntryCount;
  if (tryWriting) {
    at.looseFile = OpenLooseFile(looseIndex, OpenMode_ReadWrite);
    if (!at.looseFile) {
      // Read-only, or not there at all: a file that already holds what the
      // patch would write needs no writing.
      at.writable = false;
      at.systemError = LastSystemError();
    }
  }
  if (!at.looseFile) at.looseFile = OpenLooseFile(looseIndex, OpenMode_Read);
  if (!at.looseFile) {
    at.exists = false;
    return at;
  }
  if (!at.looseFile->QuerySize64(at.fileLength)) {
    at.readable = false;
  } else if (!ReadLooseFileHeader(*at.looseFile, at.fileLength, at.header)) {
    at.hasHeader = false;
  } else {
    at.offset = kLooseBodyOffset;
    at.size = at.header.totalSize;
  }
  return at;
}

bool ResourceArchive::ReadLocated(ResourceLocation& at, uint64_t done, std::span<uint8_t> piece) {
  if (!at.looseFile) return ReadData(at.offset + done, piece);
  const auto length = static_cast<uint32_t>(piece.size());
  return piece.empty() || at.looseFile->Read(piece.data(), length) == length;
}

bool ResourceArchive::ReadLocatedWhole(ResourceLocation& at, std::span<uint8_t> chunk,
                                       const std::function<void(std::span<const uint8_t>)>& use, bool& exact) {
  for (uint64_t done = 0; done < at.size;) {
    const auto piece = chunk.first(static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), at.size - done)));
    if (!ReadLocated(at, done, piece)) return false;
    use(piece);
    done += piece.size();
  }
  exact = at.looseFile ? LooseFileAsWritten(*at.looseFile, at.fileLength, at.header) : at.entry.attributes == 0;
  return true;
}

bool ResourceArchive::ReadResourceBytes(uint32_t number, std::span<uint8_t> into) {
  ResourceLocation at = Locate(number, /*tryWriting=*/false);
  return at.Found() && at.size == into.size() && ReadLocated(at, 0, into);
}

std::unique_ptr<CFileView> ResourceArchive::MapResourceBytes(uint32_t number, uint64_t size,
                                                             std::unique_ptr<CAbstractFile>& file) {
  if (size == 0) return nullptr;
  ResourceLocation at = Locate(number, /*tryWriting=*/false);
  if (!at.Found() || at.size != size) return nullptr;
  if (!at.looseFile) return MapData(at.offset, size);
  file = std::move(at.looseFile);
  return file->MapForReading(static_cast<int64_t>(at.offset), static_cast<uint32_t>(size));
}

}  // namespace qpx

namespace qpx {

bool ResourceArchive::QueryDataSize(int64_t& size) { return isOpen && dataFile->QuerySize64(size); }

bool ResourceArchive::ReadData(uint64_t offset, std::span<uint8_t> into) {
  if (!isOpen || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  if (into.empty()) return true;
  const auto size = static_cast<uint32_t>(into.size());
  return into.size() <= UINT32_MAX && dataFile->Seek64(static_cast<int64_t>(offset)) &&
         dataFile->Read(into.data(), size) == size;
}

std::unique_ptr<CFileView> ResourceArchive::MapData(uint64_t offset, uint64_t size) {
  if (!isOpen || offset > static_cast<uint64_t>(INT64_MAX) || size == 0 || size > UINT32_MAX) return nullptr;
  return dataFile->MapForReading(static_cast<int64_t>(offset), static_cast<uint32_t>(size));
}

std::unique_ptr<CAbstractFile> ResourceArchive::OpenLooseFile(uint32_t looseIndex, OpenMode mode) {
  const std::wstring name = LooseFileName(looseIndex);
  if (!isOpen || name.empty()) return nullptr;
  return fileSystem_.Open(JoinPath(resDirectory.c_str(), name.c_str()).c_str(), mode & OpenMode_AccessMask);
}

}  // namespace qpx

namespace qpx {

bool ResourceArchive::WriteData(uint64_t offset, std::span<const uint8_t> bytes) {
  if (!isOpen || offset > static_cast<uint64_t>(INT64_MAX) || bytes.size() > UINT32_MAX) return false;
  if (bytes.empty()) return true;
  const auto size = static_cast<uint32_t>(bytes.size());
  return dataFile->Seek64(static_cast<int64_t>(offset)) && dataFile->Write(bytes.data(), size) == size;
}

bool ResourceArchive::WriteIndexRecord(uint32_t number, const ArchiveIndexEntry& entry) {
  if (!isOpen || number >= kEntryCount) return false;
  entries[number] = entry;
  return indexFile->Seek64(int64_t{number} * int64_t{sizeof entry}) &&
         indexFile->Write(&entry, sizeof entry) == sizeof entry;
}

bool ResourceArchive::TruncateData(int64_t length) { return isOpen && dataFile->SetSize64(length); }
bool ResourceArchive::ReserveData(int64_t length) { return isOpen && dataFile->Reserve64(length); }
bool ResourceArchive::FlushData() { return isOpen && dataFile->Flush(); }
bool ResourceArchive::FlushIndex() { return isOpen && indexFile->Flush(); }

}  // namespace qpx
