#pragma once
// A read-only view of a game folder for the file layer, on which the
// archive code runs exactly as the patcher runs it, but nothing is written.
//
// Relative paths are taken inside the game folder. Files asked for writing
// are opened for reading and writing, so that one the patcher could not
// write fails to open here too, but never written: every write and change
// of length is recorded instead of performed: where it went, how long it was,
// and whether it would change the file at all (a write is compared with the
// bytes already there). Only the ranges a write would have changed are
// remembered, not their bytes: a later read of such a range fails rather
// than give bytes the file would not hold. The archive reads nothing but its
// index, and that before its first write.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "src/filesystem/FileSystem.h"

namespace qpx::tool {

// One write or change of length, as the view recorded it.
struct DryRunWrite {
  std::wstring path;     // as the archive named the file
  int64_t offset = 0;    // where the write started; for SetSize, the new length
  uint64_t length = 0;   // bytes written; 0 for SetSize
  bool setSize = false;
  bool changes = false;  // whether the file would differ afterwards
};

// What the view knows of one file across every open of it.
struct DryRunFileState {
  int64_t size = 0;  // as it would be after the recorded writes
  int64_t realSize = 0;
  std::map<int64_t, int64_t> changed;  // start -> end of ranges that would hold other bytes
};

// How the view opens the game's files: as the patcher asks (for writing too,
// so that a file it could not write fails to open), or for reading alone
// (for a folder that is only read, which may be read-only).
enum class DryRunAccess { AsAsked, ReadOnly };

class CFileSystem_DryRun final : public CFileSystem {
 public:
  // `real` opens the game's files; `directory` is the game folder.
  CFileSystem_DryRun(CFileSystem& real, std::wstring directory, DryRunAccess access = DryRunAccess::AsAsked)
      : real_(real), directory_(std::move(directory)), access_(access) {}

  std::unique_ptr<CAbstractFile> Open(const wchar_t* path, OpenMode mode) override;
  bool DeleteFile(const wchar_t* path) override;        // refused: nothing is deleted
  bool CreateDirectory(const wchar_t* path) override;   // refused: nothing is created
  bool QueryFreeSpace(const wchar_t* directory, VolumeSpace& space) override;  // the game folder's volume
  bool FlushDirectory(const wchar_t* directory) override;  // nothing to flush: true
  // Queries of names are the real folder's; renames and permissions are
  // refused, as every other change is.
  PathKind KindOf(const wchar_t* path) override;
  bool ListDirectory(const wchar_t* directory, std::vector<DirectoryEntry>& entries) override;
  bool NameExists(const wchar_t* path) override;
  bool SameFile(const wchar_t* a, const wchar_t* b) override;
  bool LiesWithin(const wchar_t* path, const wchar_t* directory) override;
  bool RenameReplacing(const wchar_t* from, const wchar_t* to) override;
  bool RenameDirectory(const wchar_t* from, const wchar_t* to) override;
  bool CopyPermissions(const wchar_t* from, const wchar_t* to) override;

  // The writes recorded since the last call, in order, and the paths that
  // could not be opened.
  std::vector<DryRunWrite> TakeWrites();
  std::vector<std::wstring> TakeFailedOpens();

  // The length `path` would have now; its real length if never opened.
  int64_t SizeOf(const std::wstring& path);

 private:
  friend class DryRunFile;
  DryRunFileState& StateOf(const std::wstring& path, CAbstractFile& file);
  std::wstring Resolve(const wchar_t* path) const;

  CFileSystem& real_;
  std::wstring directory_;
  DryRunAccess access_;
  std::map<std::wstring, DryRunFileState> states_;
  std::vector<DryRunWrite> writes_;
  std::vector<std::wstring> failedOpens_;
};

}  // namespace qpx::tool
