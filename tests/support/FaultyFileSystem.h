#pragma once
// A file system for tests that wraps a real one and makes one chosen
// operation fail, the way a disk, a network share or a full volume would:
// every operation on the file system and on the files it opened is counted,
// and the Nth one fails in the style of the plan. Test code only: the
// patcher never links it.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "src/filesystem/FileSystem.h"

namespace qpx::test {

// What is counted. The 32-bit forms count as their 64-bit counterparts.
enum class FileOperation : uint32_t {
  Open = 1u << 0,
  Read = 1u << 1,
  Write = 1u << 2,
  Seek = 1u << 3,  // Seek64, SeekCurrent64, SeekEnd64
  Tell = 1u << 4,
  Size = 1u << 5,  // GetSize64, QuerySize64
  SetSize = 1u << 6,
  Delete = 1u << 7,
  CreateDirectory = 1u << 8,
  FreeSpace = 1u << 9,
  Flush = 1u << 10,  // Flush, FlushDirectory
  Reserve = 1u << 11,
  Lock = 1u << 12,
  // Asked by the author's tool alone, never by the patcher:
  Query = 1u << 13,  // KindOf, ListDirectory, NameExists, SameFile, LiesWithin
  Rename = 1u << 14,  // RenameReplacing, RenameDirectory
  Permissions = 1u << 15,
};
inline constexpr uint32_t kAllFileOperations = 0xFFFF;

const char* OperationName(FileOperation operation);

enum class FaultStyle {
  // The Nth operation fails outright: Open yields null, Read and Write move
  // nothing, seeks and SetSize64 return false (the file untouched), Tell64
  // and GetSize64 return 0, QuerySize64 false, DeleteFile and
  // CreateDirectory false; KindOf says Missing, every other query,
  // rename and change of permissions false (the name untouched).
  Fail,
  // As Fail, except that a Read or Write moves the first half of its bytes
  // (rounded down) and reports that count: a cut-off read or a write that
  // ran out of room.
  Short,
  // The Nth operation and every counted one after it fail as with Fail:
  // the disk is gone or full for good.
  Persistent,
};

// Shared by the file system and every file it opened.
struct FaultPlan {
  uint64_t failAt = 0;  // 1-based; 0 never fails
  FaultStyle style = FaultStyle::Fail;
  uint32_t counted = kAllFileOperations;  // FileOperation bits that count

  // Filled in as the run goes.
  uint64_t operations = 0;  // counted operations so far
  bool struck = false;      // the fault has been met
  FileOperation struckOperation = FileOperation::Open;
  std::wstring struckPath;  // the file (or path) it struck
  uint64_t opensForWriting = 0;  // Opens asking for write access, failed or not
  // Called once, when the fault strikes (to take note of the run's state).
  std::function<void()> onStrike;
  // When set, the free space every query reports: a small disk.
  std::optional<uint64_t> freeSpace;
  // When set, the allocation unit every query reports.
  std::optional<uint32_t> allocationUnit;
  // When set, the longest file every query says the volume holds (FAT32).
  std::optional<uint64_t> largestFile;
  // Paths (as opened) another program holds open for reading alone, as a
  // running game holds its data: opening them to write is a sharing
  // violation.
  std::set<std::wstring> heldOpen;
  // Paths (as opened) that refuse to open for writing, as a read-only file
  // does, whoever runs the test (root writes every file).
  std::set<std::wstring> readOnly;
  // The game folder is read-only: no file can be made in it (whoever runs
  // the test), though its files may still be written.
  bool readOnlyFolder = false;
  // Paths (as opened) whose every read fails, as on a failing disk.
  std::set<std::wstring> unreadable;

  // Counts one operation; true when it must fail.
  bool Count(FileOperation operation, const wchar_t* path);
};

// A file opened through CFileSystem_Faulty: forwards to the real file.
class CFaultyFile final : public CAbstractFile64 {
 public:
  CFaultyFile(std::unique_ptr<CAbstractFile> inner, FaultPlan& plan, std::wstring path)
      : inner_(std::move(inner)), plan_(plan), path_(std::move(path)) {}

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

 private:
  bool Fails(FileOperation operation) { return plan_.Count(operation, path_.c_str()); }

  std::unique_ptr<CAbstractFile> inner_;
  FaultPlan& plan_;
  const std::wstring path_;
};

class CFileSystem_Faulty final : public CFileSystem {
 public:
  // Both must outlive this file system and every file it opens.
  CFileSystem_Faulty(CFileSystem& real, FaultPlan& plan) : real_(real), plan_(plan) {}

  std::unique_ptr<CAbstractFile> Open(const wchar_t* path, OpenMode mode) override;
  bool DeleteFile(const wchar_t* path) override;
  bool CreateDirectory(const wchar_t* path) override;
  bool QueryFreeSpace(const wchar_t* directory, VolumeSpace& space) override;
  bool FlushDirectory(const wchar_t* directory) override;
  bool MayCreateFileIn(const wchar_t* directory) override;
  PathKind KindOf(const wchar_t* path) override;
  bool ListDirectory(const wchar_t* directory, std::vector<DirectoryEntry>& entries) override;
  bool NameExists(const wchar_t* path) override;
  bool SameFile(const wchar_t* a, const wchar_t* b) override;
  bool LiesWithin(const wchar_t* path, const wchar_t* directory) override;
  bool RenameReplacing(const wchar_t* from, const wchar_t* to) override;
  bool RenameDirectory(const wchar_t* from, const wchar_t* to) override;
  bool CopyPermissions(const wchar_t* from, const wchar_t* to) override;

 private:
  CFileSystem& real_;
  FaultPlan& plan_;
};

}  // namespace qpx::test
