// <windows.h> maps DeleteFile and CreateDirectory to their A/W forms by
// macro; undo that before our own operations of those names are declared.
#include <windows.h>
#undef DeleteFile
#undef CreateDirectory

#include "src/filesystem/windows/FileSystem_Windows.h"

namespace qpx {
namespace {

HANDLE AsHandle(void* handle) { return static_cast<HANDLE>(handle); }

// SetFilePointer and GetFileSize return all ones both on failure and for a
// real low half of all ones; only GetLastError tells the two apart.
bool Failed(DWORD result) {
  return result == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR;
}

// One SetFilePointer call with the high half always passed, so that
// positions beyond 4 GiB work. Returns false on failure.
bool MovePointer(HANDLE handle, int64_t distance, DWORD method, int64_t* position) {
  LONG high = static_cast<LONG>(static_cast<uint64_t>(distance) >> 32);
  SetLastError(NO_ERROR);  // a stale error must not condemn a valid all-ones half
  const DWORD low = SetFilePointer(handle, static_cast<LONG>(distance & 0xFFFFFFFF), &high, method);
  if (Failed(low)) return false;
  if (position) *position = static_cast<int64_t>((static_cast<uint64_t>(static_cast<DWORD>(high)) << 32) | low);
  return true;
}

}  // namespace

CDiskFile_Windows::~CDiskFile_Windows() { CloseHandle(AsHandle(handle)); }

// One synchronous call moves a whole piece unless the file ends or the
// call fails: what a failed call moved is not counted.
uint32_t CDiskFile_Windows::Read(void* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  char* const bytes = static_cast<char*>(buffer);
  return MoveInPieces(size, kMaxTransferChunk, [&](uint32_t at, uint32_t length) -> uint32_t {
    DWORD moved = 0;
    return ReadFile(AsHandle(handle), bytes + at, length, &moved, nullptr) != 0 ? moved : 0;
  });
}

uint32_t CDiskFile_Windows::Write(const void* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  const char* const bytes = static_cast<const char*>(buffer);
  return MoveInPieces(size, kMaxTransferChunk, [&](uint32_t at, uint32_t length) -> uint32_t {
    DWORD moved = 0;
    return WriteFile(AsHandle(handle), bytes + at, length, &moved, nullptr) != 0 ? moved : 0;
  });
}

bool CDiskFile_Windows::Seek64(int64_t offset) {
  if (offset < 0) return false;
  return MovePointer(AsHandle(handle), offset, FILE_BEGIN, nullptr);
}

bool CDiskFile_Windows::SeekCurrent64(int64_t offset) {
  return MovePointer(AsHandle(handle), offset, FILE_CURRENT, nullptr);
}

bool CDiskFile_Windows::SeekEnd64(int64_t distance) {
  if (distance < 0) return false;
  // Negated as one 64-bit value: the low half negated, the high half negated
  // less the borrow, so the new position is size - distance.
  return MovePointer(AsHandle(handle), -distance, FILE_END, nullptr);
}

int64_t CDiskFile_Windows::Tell64() {
  int64_t position = 0;
  return MovePointer(AsHandle(handle), 0, FILE_CURRENT, &position) ? position : 0;
}

int64_t CDiskFile_Windows::GetSize64() {
  int64_t size = 0;
  return QuerySize64(size) ? size : 0;
}

bool CDiskFile_Windows::QuerySize64(int64_t& size) {
  DWORD high = 0;
  SetLastError(NO_ERROR);
  const DWORD low = GetFileSize(AsHandle(handle), &high);
  if (Failed(low)) return false;
  size = static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
  return true;
}

bool CDiskFile_Windows::SetSize64(int64_t size) {
  if (size < 0) return false;
  if (!MovePointer(AsHandle(handle), size, FILE_BEGIN, nullptr)) return false;
  return SetEndOfFile(AsHandle(handle)) == TRUE;
}

bool CDiskFile_Windows::Flush() { return FlushFileBuffers(AsHandle(handle)) != 0; }

bool CDiskFile_Windows::Reserve64(int64_t length) {
  int64_t size = 0;
  if (length < 0 || !QuerySize64(size)) return false;
  if (length <= size) return true;
  // Clusters past the end, the length kept: the file reads as before. An
  // allocation smaller than the file would cut it, so only ever grow it.
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = length;
  if (SetFileInformationByHandle(AsHandle(handle), FileAllocationInfo, &allocation, sizeof allocation)) return true;
  // A volume that cannot set room aside is no full one.
  const DWORD error = GetLastError();
  return error != ERROR_DISK_FULL && error != ERROR_HANDLE_DISK_FULL;
}

bool CDiskFile_Windows::TryLock() {
  // One byte far past any end: the lock keeps other runs out without
  // barring anyone's reads and writes of the file's real bytes (Windows
  // locks are mandatory for the range they cover).
  OVERLAPPED where{};
  where.Offset = 0;
  where.OffsetHigh = 0x7FFFFFFF;
  if (LockFileEx(AsHandle(handle), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) return true;
  const DWORD error = GetLastError();
  return error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING;
}

namespace {

class CFileView_Windows final : public CFileView {
 public:
  CFileView_Windows(HANDLE mapping, void* base, std::size_t skip)
      : CFileView(static_cast<const uint8_t*>(base) + skip), mapping_(mapping), base_(base) {}
  ~CFileView_Windows() override {
    UnmapViewOfFile(base_);
    CloseHandle(mapping_);
  }

 private:
  const HANDLE mapping_;
  void* const base_;
};

}  // namespace

std::unique_ptr<CFileView> CDiskFile_Windows::MapForReading(int64_t offset, uint32_t size) {
  if (!MayMap(offset, size)) return nullptr;
  // A view starts on the system's allocation granularity: it begins that
  // far into the mapped range.
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  const int64_t granularity = system.dwAllocationGranularity;
  const int64_t start = offset / granularity * granularity;
  const auto skip = static_cast<std::size_t>(offset - start);
  const HANDLE mapping = CreateFileMappingW(AsHandle(handle), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return nullptr;
  const auto first = static_cast<uint64_t>(start);
  void* const base = MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(first >> 32),
                                   static_cast<DWORD>(first & 0xFFFFFFFF), skip + size);
  if (base == nullptr) {
    CloseHandle(mapping);
    return nullptr;
  }
  return std::make_unique<CFileView_Windows>(mapping, base, skip);
}

namespace {

// How long a file held by another program is waited for before the
// refusal counts: virus scanners, indexers and backup tools open a file
// for a moment, as installers know.
constexpr DWORD kSharingPatienceMs = 2000;
constexpr DWORD kSharingRetryMs = 100;

// Calls `attempt` (true when it succeeded) again while it fails because
// another program holds the file, for up to kSharingPatienceMs; leaves the
// last failure's code.
template <class Attempt>
bool PatientlyShared(Attempt attempt) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (attempt()) return true;
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) ||
        GetTickCount() - start >= kSharingPatienceMs) {
      return false;
    }
    Sleep(kSharingRetryMs);
    SetLastError(error);
  }
}

}  // namespace

std::unique_ptr<CAbstractFile> CFileSystem_WindowsPatcher::Open(const wchar_t* path, OpenMode mode) {
  if (path == nullptr) return nullptr;
  DWORD access = 0;
  switch (mode & OpenMode_AccessMask) {
    case OpenMode_Read: access = GENERIC_READ; break;
    case OpenMode_Write: access = GENERIC_WRITE; break;
    case OpenMode_ReadWrite: access = GENERIC_READ | GENERIC_WRITE; break;
    default: return nullptr;
  }
  DWORD disposition = OPEN_EXISTING;
  if (mode & OpenMode_Create) disposition = (mode & OpenMode_NoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
  if ((mode & OpenMode_Create) && (mode & OpenMode_New)) disposition = CREATE_NEW;

  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(security);
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = TRUE;
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  if (mode & OpenMode_ShareDelete) share |= FILE_SHARE_DELETE;
  HANDLE handle = INVALID_HANDLE_VALUE;
  const bool opened = PatientlyShared([&] {
    handle = CreateFileW(path, access, share, &security, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle != INVALID_HANDLE_VALUE;
  });
  if (!opened) return nullptr;
  // Files on a disk only: a pipe, a console or another device fails like a
  // missing file. Their reads would block, never end or mean nothing.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }

  auto file = std::make_unique<CDiskFile_Windows>(handle);
  file->AttachOrigin(this, CFileInfo_Default(path));
  return file;
}

bool CFileSystem_WindowsPatcher::DeleteFile(const wchar_t* path) {
  return path != nullptr && PatientlyShared([&] { return DeleteFileW(path) != 0; });
}

bool CFileSystem_WindowsPatcher::CreateDirectory(const wchar_t* path) {
  if (path == nullptr) return false;
  if (CreateDirectoryW(path, nullptr) != 0) return true;
  return GetLastError() == ERROR_ALREADY_EXISTS;
}

namespace {

// The longest file the format of the volume holding `folder` takes: a FAT
// volume's lengths are 32 bits. 0 where no limit is known. Asked of the
// folder itself, not of its drive's root: the root may be a volume this
// user may not open (Wine's Z: is the whole Linux tree), and a folder may
// lie on a volume mounted inside another.
uint64_t LargestFileOn(const wchar_t* folder) {
  const HANDLE handle = CreateFileW(folder, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  wchar_t format[MAX_PATH + 1] = {};
  const BOOL told = GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, nullptr, format, MAX_PATH);
  CloseHandle(handle);
  if (!told) return 0;
  const std::wstring name(format);
  return name == L"FAT" || name == L"FAT12" || name == L"FAT16" || name == L"FAT32" ? uint64_t{0xFFFFFFFF} : 0;
}

}  // namespace

bool CFileSystem_WindowsPatcher::QueryFreeSpace(const wchar_t* directory, VolumeSpace& space) {
  if (directory == nullptr) return false;
  // The folder itself, with the separator both calls want, never the root
  // of its drive: a folder may lie on a volume mounted inside another (so
  // does every folder of a Linux disk under Wine, all on drive Z:).
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFullPathNameW(*directory != L'\0' ? directory : L".",
                                          static_cast<DWORD>(path.size()), path.data(), nullptr);
    if (length == 0) return false;
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(length);
  }
  if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
  const wchar_t* const folder = path.c_str();
  ULARGE_INTEGER available{}, total{}, free{};
  // The first figure heeds the user's disk quota.
  if (!GetDiskFreeSpaceExW(folder, &available, &total, &free)) return false;
  space.freeBytes = available.QuadPart;
  // The cluster, for a folder's volume: GetDiskFreeSpaceW wants the root
  // of a drive, but takes any folder on it from Windows 2000 on.
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  const uint64_t cluster =
      GetDiskFreeSpaceW(folder, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)
          ? uint64_t{sectorsPerCluster} * bytesPerSector
          : 0;
  space.allocationUnit = cluster > 0 && cluster <= UINT32_MAX ? static_cast<uint32_t>(cluster) : 4096;
  space.largestFile = LargestFileOn(folder);
  return true;
}

bool CFileSystem_WindowsPatcher::FlushDirectory(const wchar_t* directory) {
  if (directory == nullptr) return false;
  // NTFS logs every change of a folder's entries; flushing a handle of the
  // folder forces that log out. Where the folder cannot be opened so (no
  // right to, or a volume that will not), it is left to the volume.
  const HANDLE folder = CreateFileW(*directory != L'\0' ? directory : L".", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return true;
  FlushFileBuffers(folder);
  CloseHandle(folder);
  return true;
}

bool CFileSystem_WindowsPatcher::MayCreateFileIn(const wchar_t* directory) {
  if (directory == nullptr) return false;
  // The right to add a file to the folder, asked of the folder itself: a
  // read-only share or volume, or a folder this user may only read,
  // refuses it.
  const HANDLE folder = CreateFileW(*directory != L'\0' ? directory : L".", FILE_ADD_FILE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error != ERROR_ACCESS_DENIED && error != ERROR_WRITE_PROTECT;
  }
  CloseHandle(folder);
  return true;
}

std::unique_ptr<CFileSystem> CreatePatcherFileSystem() {
  return std::make_unique<CFileSystem_WindowsPatcher>();
}

}  // namespace qpx
