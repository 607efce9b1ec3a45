#pragma once
// The game's archive as the patch run sees it: opened once, patched body by
// body, closed once.

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/ArchiveIndexEntry.h"
#include "filesystem/FileSystem.h"

namespace qpx {

// Reads the whole index (exactly kEntryCount records) from the start of an
// open index file. False when the file's length is not that of the index
// or the read falls short.
bool ReadArchiveIndex(CAbstractFile& indexFile, std::vector<ArchiveIndexEntry>& entries);

class ResourceArchive {
 public:
  // Every file goes through `fileSystem`, which must outlive the archive.
  explicit ResourceArchive(CFileSystem& fileSystem) : fileSystem_(fileSystem) {}
  ResourceArchive(const ResourceArchive&) = delete;
  ResourceArchive& operator=(const ResourceArchive&) = delete;
  ~ResourceArchive() { CloseArchive(); }

  // Opens DATA0.QPX and DATA1.QPX in the current directory for reading and
  // writing, checks and loads the index and derives the "res" path. On
  // failure whatever was opened stays held until CloseArchive, and the
  // archive counts as not open.
  bool OpenArchive();

  // Whether the last OpenArchive succeeded and CloseArchive has not run.
  bool IsOpen() const { return isOpen; }

  // Puts `body` (`size` bytes) in the place of resource `number`. True when
  // everything it had to write was written in full. Never writes a body
  // anywhere but where its record will point. An archive that is not open
  // refuses every patch and touches nothing.
  bool ApplyPatch(ResourceNumber number, const uint8_t* body, uint32_t size);

  // Releases the "res" path, the index, then the index and data files.
  void CloseArchive();

  const std::vector<ArchiveIndexEntry>& Entries() const { return entries; }
  const std::wstring& ResDirectory() const { return resDirectory; }

 private:
  bool ReplaceEntry(uint32_t number, const uint8_t* body, uint32_t size);
  bool WriteLooseFile(uint32_t looseIndex, const uint8_t* body, uint32_t size);

  CFileSystem& fileSystem_;
  std::unique_ptr<CAbstractFile> dataFile;
  std::unique_ptr<CAbstractFile> indexFile;
  std::vector<ArchiveIndexEntry> entries;
  std::wstring resDirectory;
  bool isOpen = false;
  // Entries whose record on disk may differ from the one in memory: its
  // write failed, perhaps halfway. Their record is written again by the
  // next replacement, even one that keeps the length.
  std::set<uint32_t> recordsInDoubt;
};

}  // namespace qpx
