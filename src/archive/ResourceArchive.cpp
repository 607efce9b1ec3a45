#include "archive/ResourceArchive.h"

#include "paths/Paths.h"

namespace qpx {

bool ReadArchiveIndex(CAbstractFile& indexFile, std::vector<ArchiveIndexEntry>& entries) {
  // Only the low 32 bits of the length are judged: an index of 4 GiB plus
  // 38,624 bytes passes, as it always has.
  if (indexFile.GetSize() != kIndexFileSize) return false;
  entries.assign(kEntryCount, ArchiveIndexEntry{});
  return indexFile.Read(entries.data(), kIndexFileSize) == kIndexFileSize;
}

bool ResourceArchive::OpenArchive() {
  isOpen = false;
  // The data file's name carries no directory, so every path is relative
  // to the current working directory.
  const std::wstring directory = DirectoryOf(kDataFileName);
  const std::wstring indexPath = JoinPath(directory.c_str(), kIndexFileName);

  indexFile = fileSystem_.Open(indexPath.c_str(), OpenMode_ReadWrite);
  if (!indexFile) return false;
  if (!ReadArchiveIndex(*indexFile, entries)) return false;

  // An entry with no length at all never counts as one that must move.
  for (ArchiveIndexEntry& entry : entries) {
    if (entry.size == 0 && entry.secondSize == 0) entry.attributes = 0;
  }

  dataFile = fileSystem_.Open(kDataFileName, OpenMode_ReadWrite);
  if (!dataFile) return false;

  resDirectory = JoinPath(directory.c_str(), kLooseDirectoryName);
  isOpen = true;
  return true;
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
  if (!isOpen) return false;
  const auto count = static_cast<uint32_t>(entries.size());
  if (number >= count + kLooseFileCount) return false;
  if (number >= count) return WriteLooseFile(number - count, body, size);
  return ReplaceEntry(number, body, size);
}

bool ResourceArchive::ReplaceEntry(uint32_t number, const uint8_t* body, uint32_t size) {
  ArchiveIndexEntry& entry = entries[number];
  const bool movable = entry.attributes == 0;
  const bool fitsInPlace = movable && SlotLength(static_cast<uint32_t>(entry.size)) == SlotLength(size);

  // An unknown length is not an empty file: appending "at 0" would land
  // the body over the first resources.
  int64_t dataSize = 0;
  if (!dataFile->QuerySize64(dataSize)) return false;
  int64_t target = dataSize;
  if (fitsInPlace) {
    // A slot is a place inside the data file. An old body said to lie past
    // its end names no slot: writing there would stretch the file to
    // wherever the record points (a terabyte, or a full disk).
    const uint64_t oldLength = static_cast<uint32_t>(entry.size);
    if (entry.offset > static_cast<uint64_t>(dataSize) || oldLength > static_cast<uint64_t>(dataSize) - entry.offset) {
      return false;
    }
    target = static_cast<int64_t>(entry.offset);
  }
  // Writing wherever the file position happens to be would put the body
  // where no record points.
  if (!dataFile->Seek64(target)) return false;
  if (dataFile->Write(body, size) != size) return false;

  // The same length in the same place: the record already says it all,
  // unless its last write failed.
  if (fitsInPlace && entry.size == size && !recordsInDoubt.contains(number)) return true;

  static constexpr uint8_t kZeros[32] = {};
  const auto fill = static_cast<uint32_t>(SlotLength(size) - size);
  if (fill != 0 && dataFile->Write(kZeros, fill) != fill) return false;

  entry.offset = static_cast<uint64_t>(target);
  entry.size = size;
  entry.secondSize = size;
  entry.attributes = 0;

  // The record goes last, so that until it is written the index still names
  // the old body, intact.
  if (!indexFile->Seek64(int64_t{number} * int64_t{sizeof(ArchiveIndexEntry)}) ||
      indexFile->Write(&entry, sizeof entry) != sizeof entry) {
    recordsInDoubt.insert(number);
    return false;
  }
  recordsInDoubt.erase(number);
  return true;
}

}  // namespace qpx
