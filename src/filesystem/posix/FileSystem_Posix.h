#pragma once
// The file layer over POSIX descriptors, behaving as the Windows layer does:
// backslashes are separators, and a path component that does not exist as
// spelled is matched case-insensitively in its directory (exactly one match,
// else it is not found), so DATA0.QPX, data0.qpx and Data0.Qpx name one file.

#include <string>

#include "src/filesystem/FileSystem.h"

namespace qpx {

class CDiskFile_Posix final : public CAbstractFile64 {
 public:
  explicit CDiskFile_Posix(int descriptor) : fd(descriptor) {}
  ~CDiskFile_Posix() override;

  uint32_t Read(void* buffer, uint32_t size) override;
  uint32_t Write(const void* buffer, uint32_t size) override;
  bool Seek64(int64_t offset) override;
  bool SeekCurrent64(int64_t offset) override;
  bool SeekEnd64(int64_t distance) override;
  int64_t Tell64() override;
  int64_t GetSize64() override;
  bool SetSize64(int64_t size) override;
  bool QuerySize64(int64_t& size) override;
  bool Flush() override;
  bool Reserve64(int64_t length) override;
  bool TryLock() override;
  std::unique_ptr<CFileView> MapForReading(int64_t offset, uint32_t size) override;

 private:
  const int fd;
};

// What a patch run asks of the platform's files. The patcher's own file
// system: it carries none of the name operations below, which the patcher
// never asks for, so that its download does not either.
class CFileSystem_PosixPatcher : public CFileSystem {
 public:
  std::unique_ptr<CAbstractFile> Open(const wchar_t* path, OpenMode mode) override;
  bool DeleteFile(const wchar_t* path) override;
  bool CreateDirectory(const wchar_t* path) override;
  bool QueryFreeSpace(const wchar_t* directory, VolumeSpace& space) override;
  bool FlushDirectory(const wchar_t* directory) override;
  bool MayCreateFileIn(const wchar_t* directory) override;
};

// With the name operations the author's tool asks for besides.
class CFileSystem_Posix final : public CFileSystem_PosixPatcher {
 public:
  PathKind KindOf(const wchar_t* path) override;
  bool ListDirectory(const wchar_t* directory, std::vector<DirectoryEntry>& entries) override;
  bool NameExists(const wchar_t* path) override;
  bool SameFile(const wchar_t* a, const wchar_t* b) override;
  bool LiesWithin(const wchar_t* path, const wchar_t* directory) override;
  bool RenameReplacing(const wchar_t* from, const wchar_t* to) override;
  bool RenameDirectory(const wchar_t* from, const wchar_t* to) override;
  bool CopyPermissions(const wchar_t* from, const wchar_t* to) override;
};

namespace posix {
// `path` with every component that is missing as spelled replaced by its
// one case-insensitive match. When the last component has no match and
// `lastMayBeMissing` is set, it is kept as spelled (it is about to be made);
// otherwise a missing component yields false.
bool ResolvePath(const std::string& path, bool lastMayBeMissing, std::string& resolved);
}  // namespace posix

}  // namespace qpx
