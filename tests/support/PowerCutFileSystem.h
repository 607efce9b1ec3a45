#pragma once
// A file system for tests that wraps a real one and models the system's
// page cache, so that a test can cut the power at any point of a run and
// then see what the disk might hold.
//
// Every operation goes through to the real file at once: the run reads
// what it wrote, as it would from the cache. Beside that the layer keeps,
// per file, what has reached the disk: its bytes, as of its last Flush,
// and whether it exists, as of the last FlushDirectory of its folder.
// Every change since is kept in order. Crash then rewrites the real files
// into a state the disk could hold after the power went: the durable
// bytes with each later change kept, lost, or (a write) torn at 512-byte
// sectors. Test code only: the patcher never links it.

#include <cstdint>
#include <memory>

#include "src/filesystem/FileSystem.h"

namespace qpx::test {

// What the disk keeps of the changes no flush made durable.
enum class CrashMode {
  KeepAll,  // every change reached the disk: what a killed process leaves
  LoseAll,  // none did: the disk holds what was flushed, nothing more
  Random,   // each on its own, from a seed: kept, lost, or a write torn
};

const char* CrashModeName(CrashMode mode);

// The bytes a disk sector holds: a write that the power cuts short keeps
// or loses each sector of the file it covers on its own.
inline constexpr uint64_t kSectorSize = 512;

// What the layer knows of every file and what it counts; shared by the
// file system and every file it opened.
struct PowerCutState;

class CFileSystem_PowerCut final : public CFileSystem {
 public:
  // `real` must outlive this file system and every file it opens. With
  // `cutAt` N, the Nth counted operation and everything after it fail.
  explicit CFileSystem_PowerCut(CFileSystem& real, uint64_t cutAt = 0);
  ~CFileSystem_PowerCut() override;

  std::unique_ptr<CAbstractFile> Open(const wchar_t* path, OpenMode mode) override;
  bool DeleteFile(const wchar_t* path) override;
  bool CreateDirectory(const wchar_t* path) override;
  bool QueryFreeSpace(const wchar_t* directory, VolumeSpace& space) override;
  bool FlushDirectory(const wchar_t* directory) override;
  // Queries go through while the power is on. A file's rename is counted
  // and modelled as a delete of its old name and a create of its new one,
  // each kept or lost on its own until the folder is flushed; a folder's
  // rename and permissions are passed on, not modelled.
  PathKind KindOf(const wchar_t* path) override;
  bool ListDirectory(const wchar_t* directory, std::vector<DirectoryEntry>& entries) override;
  bool NameExists(const wchar_t* path) override;
  bool SameFile(const wchar_t* a, const wchar_t* b) override;
  bool LiesWithin(const wchar_t* path, const wchar_t* directory) override;
  bool RenameReplacing(const wchar_t* from, const wchar_t* to) override;
  bool RenameDirectory(const wchar_t* from, const wchar_t* to) override;
  bool CopyPermissions(const wchar_t* from, const wchar_t* to) override;

  // Counted so far: Opens that may create, writes, size changes,
  // reservations, flushes of files and folders, deletes, renames (a read, a seek or
  // a size query changes nothing: a cut there is a cut at the next counted
  // one). A whole run's count is the last N worth cutting at.
  uint64_t Operations() const;
  bool PowerWentOff() const;

  // Rewrites every real file the run changed into a state the disk could
  // hold after a power cut now, as `mode` says (the same `seed`, the same
  // state). Every file opened through this layer must be closed. After it,
  // what is there counts as durable and the power stays on. False when a
  // real file could not be rewritten.
  bool Crash(CrashMode mode, uint64_t seed = 0);

 private:
  CFileSystem& real_;
  std::unique_ptr<PowerCutState> state_;
};

}  // namespace qpx::test
