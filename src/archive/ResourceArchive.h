#pragma once
// The game's archive as the patch run sees it: opened once, patched body by
// body, closed once.

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "src/filesystem/FileSystem.h"

namespace qpx {

// Reads the whole index (exactly kEntryCount records) from the start of an
// open index file. False when the file's length is not that of the index
// or the read falls short.
bool ReadArchiveIndex(CAbstractFile& indexFile, std::vector<ArchiveIndexEntry>& entries);

// The most bytes a body for resource `number` may have: 4 GiB - 1 for an
// entry, kLooseMaxBodySize for a loose file; 0 for a number past the
// game's resources, which no body names.
uint64_t MaxBodySize(ResourceNumber number);

// How a body of `size` bytes lands on entry `entry` of a data file of
// `dataSize` bytes: over its old body when it has no attributes and both
// take the same slot (the old length's low 32 bits judged), else at the
// end of the file. The one rule the first version's writes, the journal's
// staging and the checks all follow.
struct EntryPlacement {
  bool inPlace = false;    // over the old body
  uint64_t offset = 0;     // where the body goes
  uint32_t fill = 0;       // zeros after it, to the end of its slot
  // The same length in the same place: the index record already says it
  // all, and the slot's fill stays as it is.
  bool sameLength = false;
  ArchiveIndexEntry entry{};  // the record that names the body once it is in
  // The first byte past the slot: where the data file ends at least.
  uint64_t End() const { return offset + SlotLength(entry.size); }
};
// False when the old body of an entry that goes in place does not lie
// inside the data file: a record pointing far past the end would
// otherwise grow the file to any length. The new body may still end up to
// 31 bytes past the old one, in the zero fill of the same slot.
bool PlaceEntry(const ArchiveIndexEntry& entry, uint32_t size, uint64_t dataSize, EntryPlacement& placement);

// Where the bytes of an entry lie in a data file of `dataSize` bytes: its
// `size` bytes at its `offset`. False when they do not lie inside it.
bool EntryLiesInside(const ArchiveIndexEntry& entry, int64_t dataSize);

// Where the bytes of one resource lie now: an entry's `size` bytes at its
// `offset` in the data file, or a loose file's body after its header.
// Facts alone; what they mean for a patch is the run's to judge.
struct ResourceLocation {
  bool exists = true;    // a loose file: it opened
  bool writable = true;  // a loose file: it opened for writing (when asked)
  bool readable = true;  // its length could be told
  bool inside = true;    // an entry: its bytes lie inside the data file
  bool hasHeader = true; // a loose file: it starts with a loose-file header
  uint32_t systemError = 0;  // why it did not open for writing
  ArchiveIndexEntry entry{};  // an entry's record
  int64_t fileLength = 0;     // a loose file's length
  LooseFileHeader header{};   // a loose file's header
  uint64_t offset = 0;
  uint64_t size = 0;
  std::unique_ptr<CAbstractFile> looseFile;  // open, at its body; null for an entry

  // Whether it names bytes that can be read.
  bool Found() const { return exists && readable && inside && hasHeader; }
};

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

  // Locates resource `number` (below kResourceLimit). A loose file is
  // opened for reading, and with `tryWriting` for reading and writing
  // first (where that fails, `writable` is false and `systemError` says
  // why).
  ResourceLocation Locate(uint32_t number, bool tryWriting);
  // Reads the `piece` of located bytes that starts `done` bytes in. The
  // pieces of a loose file are read in order from the first.
  bool ReadLocated(ResourceLocation& at, uint64_t done, std::span<uint8_t> piece);
  // Reads all the located bytes through `chunk`, handing each piece to
  // `use` in order; then, for a loose file, reads on past the body to tell
  // whether it is exactly what the patcher writes (`exact`; an entry is
  // when it has no attributes). False when a read fails.
  bool ReadLocatedWhole(ResourceLocation& at, std::span<uint8_t> chunk,
                        const std::function<void(std::span<const uint8_t>)>& use, bool& exact);
  // Reads the bytes of resource `number` whole into `into`, which must be
  // exactly as long. False when they cannot all be read.
  bool ReadResourceBytes(uint32_t number, std::span<uint8_t> into);
  // The bytes of resource `number`, exactly `size` of them (at least one),
  // mapped for reading in place of a copy where the platform can; null
  // otherwise (then they are read). A loose file is kept open in `file`
  // for the view's life. Nothing may shrink the file while the view lives.
  std::unique_ptr<CFileView> MapResourceBytes(uint32_t number, uint64_t size, std::unique_ptr<CAbstractFile>& file);

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
