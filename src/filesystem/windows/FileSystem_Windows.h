#pragma once
// The file layer over the Windows wide-character file calls.

#include "src/filesystem/FileSystem.h"

namespace qpx {

class CDiskFile_Windows final : public CAbstractFile64 {
 public:
  // `handle` is a valid HANDLE from CreateFileW, owned from here on.
  explicit CDiskFile_Windows(void* handle) : handle(handle) {}
  ~CDiskFile_Windows() override;

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
  void* const handle;
};

// What a patch run asks of the platform's files. The patcher's own file
// system: it carries none of the name operations below, which the patcher
// never asks for, so that its download does not either.
class CFileSystem_WindowsPatcher : public CFileSystem {
 public:
  std::unique_ptr<CAbstractFile> Open(const wchar_t* path, OpenMode mode) override;
  bool DeleteFile(const wchar_t* path) override;
  bool CreateDirectory(const wchar_t* path) override;
  bool QueryFreeSpace(const wchar_t* directory, VolumeSpace& space) override;
  bool FlushDirectory(const wchar_t* directory) override;
  bool MayCreateFileIn(const wchar_t* directory) override;
};

// With the name operations the author's tool asks for besides.
class CFileSystem_Windows final : public CFileSystem_WindowsPatcher {
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

}  // namespace qpx
