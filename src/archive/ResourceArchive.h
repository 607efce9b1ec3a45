#pragma once
// The game's archive as the patch run sees it: opened once, patched body by
// body, closed once.

#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "archive/ArchiveIndexEntry.h"
#include "filesystem/FileSystem.h"

namespace qpx {

// Reads the whole index (exactly kEntryCount records) from the start of an
// open index file. False when the file's length is not that of the index
// or the read falls short.
bool ReadArchiveIndex(CAbstractFile& indexFile, std::vector<ArchiveIndexEntry>& entries);

// What a body of `size` bytes for resource `number` would replace.
enum class PatchTarget {
  Entry,       // an archive entry (a body of up to 4 GiB - 1)
  LooseFile,   // a loose file (a body of up to kLooseMaxBodySize)
  OutOfRange,  // no resource has this number
  TooLarge,    // more than its resource can hold
};
PatchTarget ClassifyPatch(ResourceNumber number, uint64_t size);

// Whether a body of `size` bytes replacing `entry` goes over its old body:
// the entry has no attributes and the old length (its low 32 bits) and the
// new one take the same slot. Otherwise the body is appended.
bool GoesInPlace(const ArchiveIndexEntry& entry, uint32_t size);

// Whether the old body of an entry that goes in place (its `offset` and the
// low 32 bits of its `size`, as GoesInPlace judges it) lies inside a data
// file of `dataSize` bytes. Only then is the body written there: a record
// pointing far past the end would otherwise grow the file to any length.
// The new body may still end up to 31 bytes past the old one, in the zero
// fill of the same slot.
bool InPlaceSlotInside(const ArchiveIndexEntry& entry, int64_t dataSize);

// Where the bytes of an entry lie in a data file of `dataSize` bytes: its
// `size` bytes at its `offset`. False when they do not lie inside it.
bool EntryLiesInside(const ArchiveIndexEntry& entry, int64_t dataSize);

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

  // How OpenArchiveLocked ended.
  enum class Opening { Opened, Failed, Busy };
  // Opens the archive as OpenArchive does, holding the lock that keeps a
  // second run out of this folder for as long as the archive stays open.
  // The lock is taken before the index is read: read earlier, it could be
  // a state that the run holding the lock until now has since moved on
  // from. Busy (the index read not) when another run holds it.
  Opening OpenArchiveLocked();

  // Why the last opening failed, for a message that says so.
  struct OpeningFailure {
    enum class Reason {
      None,
      Missing,      // the file is not there (or cannot be reached at all)
      NotWritable,  // it opens for reading only: a read-only file
      NotAnIndex,   // the index file is not kEntryCount records long
      Unreadable,   // reading the index failed
    };
    Reason reason = Reason::None;
    const wchar_t* file = L"";  // the archive file it concerns
    uint32_t systemError = 0;   // the platform's reason, when it gave one
    int64_t length = 0;         // NotAnIndex: the index file's length
  };
  // Asks the file that failed to open once more, for reading alone, to
  // tell a read-only file from a missing one: only for a message, after
  // the opening has failed.
  OpeningFailure ExplainOpeningFailure();

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

  // Reading what the archive holds now, for the checks made before a
  // patch writes anything. Each needs an open archive.
  // The data file's length; false when it cannot be told.
  bool QueryDataSize(int64_t& size);
  // Fills `into` from `offset` of the data file; false unless all is read.
  bool ReadData(uint64_t offset, std::span<uint8_t> into);
  // Maps `size` bytes (at least one) from `offset` of the data file for
  // reading, where the platform can; null otherwise. The data file must
  // not shrink while the view lives.
  std::unique_ptr<CFileView> MapData(uint64_t offset, uint64_t size);
  // Opens loose file `looseIndex` as `mode` asks (never creating it).
  std::unique_ptr<CAbstractFile> OpenLooseFile(uint32_t looseIndex, OpenMode mode);

  // The primitive changes a version-2 run makes in the order its journal
  // needs, each needing an open archive.
  // Writes `bytes` at `offset` of the data file; false unless all are.
  bool WriteData(uint64_t offset, std::span<const uint8_t> bytes);
  // Writes entry `number`'s record to the index file, and takes it as the
  // entry from now on.
  bool WriteIndexRecord(uint32_t number, const ArchiveIndexEntry& entry);
  // Takes `entry` as entry `number` without writing it (yet).
  void SetEntry(uint32_t number, const ArchiveIndexEntry& entry) { entries[number] = entry; }
  // Cuts the data file back to `length` bytes.
  bool TruncateData(int64_t length);
  // Sets room aside on the disk for the data file to reach `length`.
  bool ReserveData(int64_t length);
  // Makes what was written to the data file, and to the index file, durable.
  bool FlushData();
  bool FlushIndex();
  // The file system the archive goes through, and the folder that holds
  // the archive ("" for the current directory).
  CFileSystem& FileSystem() { return fileSystem_; }
  const std::wstring& Directory() const { return directory; }

 private:
  Opening Open(bool lock);

  bool ReplaceEntry(uint32_t number, const uint8_t* body, uint32_t size);
  bool WriteLooseFile(uint32_t looseIndex, const uint8_t* body, uint32_t size);

  CFileSystem& fileSystem_;
  std::unique_ptr<CAbstractFile> dataFile;
  std::unique_ptr<CAbstractFile> indexFile;
  std::vector<ArchiveIndexEntry> entries;
  std::wstring resDirectory;
  std::wstring directory;
  bool isOpen = false;
  OpeningFailure openingFailure;  // its reason Missing until the probe of ExplainOpeningFailure
  std::wstring failedPath;
  // Entries whose record on disk may differ from the one in memory: its
  // write failed, perhaps halfway. Their record is written again by the
  // next replacement, even one that keeps the length.
  std::set<uint32_t> recordsInDoubt;
};

}  // namespace qpx
