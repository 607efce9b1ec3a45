#pragma once
// The abstract file layer: the only way the patcher touches files.
//
// One interface for a file system (open, delete, make a directory), one for
// an open file (reads, writes, seeks, position and size, in a 32-bit and a
// 64-bit form) and one for the description of an open file (its path). Each
// platform supplies its own implementation; the rest of the system sees only
// these interfaces. Failures are return values: Open yields null, Read and
// Write the bytes actually moved, seeks and size changes a boolean, Tell64
// and GetSize64 zero. Nothing here prints.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "src/filesystem/FileInfo.h"

namespace qpx {

// Flag word given to CFileSystem::Open: two access bits and two creation bits.
using OpenMode = uint32_t;
inline constexpr OpenMode OpenMode_Read = 0;       // read access only
inline constexpr OpenMode OpenMode_Write = 1;      // write access only
inline constexpr OpenMode OpenMode_ReadWrite = 2;  // read and write access
inline constexpr OpenMode OpenMode_AccessMask = 3; // 3 is invalid: Open fails
// Create the file when it is missing; an existing one is cut to length 0
// unless OpenMode_NoTruncate is set too.
inline constexpr OpenMode OpenMode_Create = 0x1000;
// Only with OpenMode_Create: an existing file keeps its contents.
inline constexpr OpenMode OpenMode_NoTruncate = 0x2000;
// Others may delete or rename the file while it is open (Windows; POSIX
// always allows it). For scratch files that another thread must be able to
// remove.
inline constexpr OpenMode OpenMode_ShareDelete = 0x4000;
// Only with OpenMode_Create: a new file, made under the name exactly as
// spelled; Open fails when one of that name exists. No other spelling of
// the name is looked for, on any platform: for a folder its caller made and
// fills alone, where none can be (and looking would cost a listing of the
// folder for every file made in it).
inline constexpr OpenMode OpenMode_New = 0x8000;

// Largest single platform transfer; longer reads and writes loop in chunks
// of this size, the remainder last.
inline constexpr uint32_t kMaxTransferChunk = 4u * 1024u * 1024u;

// Moves `size` bytes in order, a piece of at most `piece` bytes at a time
// (the remainder last), through `move(at, length)`, which moves the piece
// that starts `at` bytes into the whole and returns the bytes it moved. A
// piece that moves short ends it. The bytes moved.
template <typename Size, typename Move>
Size MoveInPieces(Size size, Size piece, Move move) {
  Size done = 0;
  while (done < size) {
    const Size length = size - done < piece ? size - done : piece;
    const Size moved = move(done, length);
    if (moved != length) return done + moved;
    done += length;
  }
  return done;
}

class CFileSystem;

// A read-only view of part of an open file, mapped into memory: its bytes
// are read in place, with no copy. Destroying it unmaps them.
class CFileView {
 public:
  CFileView(const CFileView&) = delete;
  CFileView& operator=(const CFileView&) = delete;
  virtual ~CFileView() = default;
  const uint8_t* Bytes() const { return bytes_; }

 protected:
  explicit CFileView(const uint8_t* bytes) : bytes_(bytes) {}

 private:
  const uint8_t* bytes_;
};

// An open file. It is open for its whole life: destroying it closes it.
class CAbstractFile {
 public:
  CAbstractFile() = default;
  CAbstractFile(const CAbstractFile&) = delete;
  CAbstractFile& operator=(const CAbstractFile&) = delete;
  virtual ~CAbstractFile();

  // Both return the bytes actually moved; a null buffer or a size of 0
  // moves nothing and makes no platform call.
  virtual uint32_t Read(void* buffer, uint32_t size) = 0;
  virtual uint32_t Write(const void* buffer, uint32_t size) = 0;

  virtual bool Seek(int32_t offset) = 0;
  virtual bool SeekCurrent(int32_t offset) = 0;
  virtual bool SeekEnd(int32_t distance) = 0;
  virtual uint32_t Tell() = 0;
  virtual uint32_t GetSize() = 0;

  virtual bool Seek64(int64_t offset) = 0;
  virtual bool SeekCurrent64(int64_t offset) = 0;
  virtual bool SeekEnd64(int64_t distance) = 0;
  virtual int64_t Tell64() = 0;
  virtual int64_t GetSize64() = 0;  // 0 on failure, like a real empty file

  virtual bool SetSize(uint32_t size) = 0;
  virtual bool SetSize64(int64_t size) = 0;

  // The size, told apart from a failure: GetSize64's 0 means either.
  virtual bool QuerySize64(int64_t& size) = 0;

  // Makes what was written to the file durable: true only once the bytes
  // and the length are on the disk, not just in the system's cache, so
  // that they outlive a power cut. The order of flushes is what makes a
  // change safe to stop at any point.
  virtual bool Flush() = 0;
  // Has the volume set aside room for the file to reach `length` bytes,
  // without changing its length or its bytes, so that writes up to there
  // cannot fail for want of space. True when it did, when the file is that
  // long already, or when the volume cannot set room aside (then only the
  // free space said beforehand stands for it); false when the volume is
  // too full.
  virtual bool Reserve64(int64_t length) = 0;
  // Takes the file's exclusive lock without waiting: false when another
  // open of it holds the lock. The lock goes with the file's closing, and
  // with the process however it ends, so a killed holder never blocks the
  // next one. True where the volume has no locks.
  virtual bool TryLock() = 0;

  // Maps `size` bytes (at least one) from `offset` for reading, where the
  // file and the platform allow: null otherwise (a range outside the file,
  // a file that is no disk file), and the caller reads them instead. The
  // view must not outlive the file, and the file must not shrink while it
  // lives: touching a byte that has left the file ends the process. So
  // only a file that nobody may change meanwhile is mapped.
  virtual std::unique_ptr<CFileView> MapForReading(int64_t offset, uint32_t size);

  // The file system whose Open made this file. It may be gone by now: it is
  // kept for identification only and must never be dereferenced.
  const CFileSystem* OpenedBy() const { return fileSystem; }
  // The file's description; null only for a file not made by Open.
  const CFileInfo* Info() const { return fileInfo.get(); }

  // Set once by the Open that makes the file.
  void AttachOrigin(const CFileSystem* openedBy, const CFileInfo& info) {
    fileSystem = openedBy;
    fileInfo = info.Clone();
  }

 protected:
  // Whether `size` bytes (at least one) from `offset` lie inside the file
  // as it is now: the only ranges a platform's MapForReading maps.
  bool MayMap(int64_t offset, uint32_t size);

 private:
  const CFileSystem* fileSystem = nullptr;
  std::unique_ptr<CFileInfo> fileInfo;
};

// Derives every 32-bit operation from its 64-bit counterpart, so that a
// concrete file implements only the 64-bit forms, Read and Write.
class CAbstractFile64 : public CAbstractFile {
 public:
  bool Seek(int32_t offset) override;
  bool SeekCurrent(int32_t offset) override;
  bool SeekEnd(int32_t distance) override;
  uint32_t Tell() override;
  uint32_t GetSize() override;
  bool SetSize(uint32_t size) override;  // zero-extended: up to 2^32 - 1
};

// What a volume can still take.
struct VolumeSpace {
  uint64_t freeBytes = 0;       // what this user may still write
  uint32_t allocationUnit = 1;  // a file takes whole units of this many bytes
  uint64_t largestFile = 0;     // the longest file its format holds (FAT: 4 GiB - 1); 0: no limit known
};

// What a path names, links followed.
enum class PathKind { Missing, File, Directory, Other };

// One entry of a directory: its name, what it is (links followed; a link
// that leads nowhere is Missing) and, for a file, its length.
struct DirectoryEntry {
  std::wstring name;
  PathKind kind = PathKind::Other;
  uint64_t size = 0;
};

// The bytes a file of `length` bytes takes on a volume of `unit`.
inline constexpr uint64_t AllocatedLength(uint64_t length, uint32_t unit) {
  return unit <= 1 ? length : (length / unit + (length % unit != 0)) * unit;
}

class CFileSystem {
 public:
  virtual ~CFileSystem() = default;

  // Opens `path` (zero-terminated) as `mode` says. The new file is owned by
  // the caller and positioned at 0; null when the path is null, the access
  // bits are 3, or the platform refuses.
  virtual std::unique_ptr<CAbstractFile> Open(const wchar_t* path, OpenMode mode) = 0;
  // True when the platform deleted the file.
  virtual bool DeleteFile(const wchar_t* path) = 0;
  // Makes one directory (not its parents); true when made or already there.
  virtual bool CreateDirectory(const wchar_t* path) = 0;
  // What this user may still write to the volume that holds `directory`
  // (empty: the current directory), and its allocation unit. False when
  // the platform cannot tell.
  virtual bool QueryFreeSpace(const wchar_t* directory, VolumeSpace& space) = 0;
  // Makes the entries of `directory` (empty: the current directory)
  // durable: a file created, renamed or deleted there stays so after a
  // power cut. True where the platform keeps them without being asked.
  virtual bool FlushDirectory(const wchar_t* directory) = 0;
  // Whether this user may make a file in `directory` (empty: the current
  // directory), told without making one, for a check that must change
  // nothing. True where it cannot be told: then making the file is the
  // judge. A layer that only wraps another need not tell.
  virtual bool MayCreateFileIn(const wchar_t* directory);

  // What the author's tool asks of names besides their files' bytes. The
  // patcher asks none of them. Paths are found as Open finds them (on
  // POSIX a name missing as spelled matches its one case-insensitive
  // twin). A layer that does not offer one answers as a refusing platform
  // would: Missing, or false.
  //
  // What `path` names.
  virtual PathKind KindOf(const wchar_t* path);
  // Every entry of `directory` but "." and "..", in no particular order.
  // False when it cannot be listed (missing, or no directory).
  virtual bool ListDirectory(const wchar_t* directory, std::vector<DirectoryEntry>& entries);
  // Whether anything at all bears the name `path`, a link that leads
  // nowhere included (KindOf follows links, and finds such a one Missing).
  virtual bool NameExists(const wchar_t* path);
  // Whether two existing paths name one file (hard links included).
  virtual bool SameFile(const wchar_t* a, const wchar_t* b);
  // Whether `path` (which need not exist, but whose directory must) lies
  // inside `directory`, at any depth, or is that directory: judged by the
  // identity of each directory that holds it, so that links to directories
  // and other spellings of a name are seen through.
  virtual bool LiesWithin(const wchar_t* path, const wchar_t* directory);
  // Renames the file `from` to `to`, replacing `to` if it exists, in one
  // step: whoever looks finds the old file or the new one, never neither.
  // Windows does not return before the change is on the disk; elsewhere the
  // caller flushes the directory that holds `to`.
  virtual bool RenameReplacing(const wchar_t* from, const wchar_t* to);
  // Renames the directory `from` to `to`, which is missing or an empty
  // directory; made durable as RenameReplacing is.
  virtual bool RenameDirectory(const wchar_t* from, const wchar_t* to);
  // Gives `to` the permission bits of `from`; true where files have none
  // (Windows).
  virtual bool CopyPermissions(const wchar_t* from, const wchar_t* to);
};

// The file system of the platform this program was built for.
std::unique_ptr<CFileSystem> CreatePlatformFileSystem();
// The same for a patch run alone: it answers none of the name operations
// (as a layer that does not offer them), and the patcher that makes it
// links none of their code.
std::unique_ptr<CFileSystem> CreatePatcherFileSystem();

// Whether `size` bytes at `offset` lie wholly inside a file of `fileSize`.
inline bool LiesInside(uint64_t offset, uint64_t size, int64_t fileSize) {
  return fileSize >= 0 && offset <= static_cast<uint64_t>(fileSize) &&
         size <= static_cast<uint64_t>(fileSize) - offset;
}

}  // namespace qpx
