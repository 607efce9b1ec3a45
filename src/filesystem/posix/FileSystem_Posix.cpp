#include "src/filesystem/posix/FileSystem_Posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "src/filesystem/posix/PathEncoding_Posix.h"

static_assert(sizeof(off_t) == 8, "file positions beyond 2 GiB need a 64-bit off_t");

namespace qpx {
namespace {

// Moves all `size` bytes of one piece with `transfer` (read or write): a
// regular file moves a whole piece per call unless it hits its end or
// fails; a signal may still split one, so it is finished here, the way one
// synchronous Windows call would. The bytes moved.
template <typename Transfer, typename Pointer>
uint32_t WholePiece(Transfer transfer, Pointer buffer, uint32_t size) {
  uint32_t moved = 0;
  while (moved < size) {
    const ssize_t n = transfer(buffer + moved, size - moved);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    moved += static_cast<uint32_t>(n);
  }
  return moved;
}

bool SameLetters(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    const unsigned char x = static_cast<unsigned char>(*a);
    const unsigned char y = static_cast<unsigned char>(*b);
    const auto fold = [](unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 32 : c; };
    if (fold(x) != fold(y)) return false;
  }
  return *a == *b;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The one entry of `directory` whose name equals `name` but for ASCII case.
bool FindFolded(const std::string& directory, const std::string& name, std::string& match) {
  DIR* dir = opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return false;
  int matches = 0;
  while (const dirent* entry = readdir(dir)) {
    if (SameLetters(entry->d_name, name.c_str())) {
      match = entry->d_name;
      ++matches;
    }
  }
  closedir(dir);
  return matches == 1;
}

}  // namespace

namespace posix {

bool ResolvePath(const std::string& path, bool lastMayBeMissing, std::string& resolved) {
  std::string result = path.starts_with('/') ? "/" : "";
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string component = path.substr(start, end - start);
    const bool last = end == path.size();
    start = end + 1;
    if (component.empty()) continue;

    std::string candidate = result + component;
    if (component != "." && component != ".." && !Exists(candidate)) {
      std::string match;
      if (FindFolded(result, component, match)) {
        candidate = result + match;
      } else if (!(last && lastMayBeMissing)) {
        return false;
      }
    }
    result = last ? candidate : candidate + '/';
  }
  resolved = result;
  return true;
}

}  // namespace posix

CDiskFile_Posix::~CDiskFile_Posix() { close(fd); }

uint32_t CDiskFile_Posix::Read(void* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  char* const bytes = static_cast<char*>(buffer);
  return MoveInPieces(size, kMaxTransferChunk, [&](uint32_t at, uint32_t length) {
    return WholePiece([this](char* p, uint32_t n) { return read(fd, p, n); }, bytes + at, length);
  });
}

uint32_t CDiskFile_Posix::Write(const void* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  const char* const bytes = static_cast<const char*>(buffer);
  return MoveInPieces(size, kMaxTransferChunk, [&](uint32_t at, uint32_t length) {
    return WholePiece([this](const char* p, uint32_t n) { return write(fd, p, n); }, bytes + at, length);
  });
}

bool CDiskFile_Posix::Seek64(int64_t offset) {
  if (offset < 0) return false;
  return lseek(fd, offset, SEEK_SET) >= 0;
}

bool CDiskFile_Posix::SeekCurrent64(int64_t offset) {
  return lseek(fd, offset, SEEK_CUR) >= 0;
}

bool CDiskFile_Posix::SeekEnd64(int64_t distance) {
  if (distance < 0) return false;
  return lseek(fd, -distance, SEEK_END) >= 0;
}

int64_t CDiskFile_Posix::Tell64() {
  const off_t position = lseek(fd, 0, SEEK_CUR);
  return position < 0 ? 0 : position;
}

int64_t CDiskFile_Posix::GetSize64() {
  int64_t size = 0;
  return QuerySize64(size) ? size : 0;
}

bool CDiskFile_Posix::QuerySize64(int64_t& size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  size = st.st_size;
  return true;
}

bool CDiskFile_Posix::SetSize64(int64_t size) {
  if (size < 0) return false;
  // Position first, as the Windows layer must: it is left at the new size
  // even when the size change itself fails.
  if (lseek(fd, size, SEEK_SET) < 0) return false;
  return ftruncate(fd, size) == 0;
}

bool CDiskFile_Posix::Flush() {
  // The data and the length; the modification time may lag behind.
  int result;
  do result = fdatasync(fd);
  while (result != 0 && errno == EINTR);
  return result == 0;
}

bool CDiskFile_Posix::Reserve64(int64_t length) {
  int64_t size = 0;
  if (length < 0 || !QuerySize64(size)) return false;
  if (length <= size) return true;
  // Blocks past the end, the length kept: the file reads as before.
  int result;
  do result = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length);
  while (result != 0 && errno == EINTR);
  if (result == 0) return true;
  // A volume that cannot set room aside is no full one: the free space
  // judged beforehand is all there is to go by.
  return errno != ENOSPC && errno != EDQUOT && errno != EFBIG;
}

bool CDiskFile_Posix::TryLock() {
  // flock belongs to this open of the file, not to the process: no other
  // descriptor's closing drops it, and the process's end always does.
  int result;
  do result = flock(fd, LOCK_EX | LOCK_NB);
  while (result != 0 && errno == EINTR);
  return result == 0 || errno != EWOULDBLOCK;
}

namespace {

class CFileView_Posix final : public CFileView {
 public:
  CFileView_Posix(void* base, std::size_t length, std::size_t skip)
      : CFileView(static_cast<const uint8_t*>(base) + skip), base_(base), length_(length) {}
  ~CFileView_Posix() override { munmap(base_, length_); }

 private:
  void* const base_;
  const std::size_t length_;
};

}  // namespace

std::unique_ptr<CFileView> CDiskFile_Posix::MapForReading(int64_t offset, uint32_t size) {
  if (!MayMap(offset, size)) return nullptr;
  // A mapping starts on a page: the view begins that far into it.
  const auto page = static_cast<int64_t>(sysconf(_SC_PAGESIZE));
  if (page <= 0) return nullptr;
  const int64_t start = offset / page * page;
  const auto skip = static_cast<std::size_t>(offset - start);
  const std::size_t length = skip + size;
  void* const base = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, start);
  if (base == MAP_FAILED) return nullptr;
  return std::make_unique<CFileView_Posix>(base, length, skip);
}

std::unique_ptr<CAbstractFile> CFileSystem_PosixPatcher::Open(const wchar_t* path, OpenMode mode) {
  if (path == nullptr) return nullptr;
  // Without blocking: opening a FIFO would otherwise wait for a writer (or
  // a reader) that may never come. Only regular files are kept below.
  int flags = O_CLOEXEC | O_NONBLOCK;
  switch (mode & OpenMode_AccessMask) {
    case OpenMode_Read: flags |= O_RDONLY; break;
    case OpenMode_Write: flags |= O_WRONLY; break;
    case OpenMode_ReadWrite: flags |= O_RDWR; break;
    default: return nullptr;
  }
  const bool create = (mode & OpenMode_Create) != 0;
  if (create) flags |= O_CREAT | ((mode & OpenMode_NoTruncate) ? 0 : O_TRUNC);

  std::string native = posix::EncodePath(path);
  int fd = -1;
  if (create && (mode & OpenMode_New) != 0) {
    // The name as spelled; only a folder that is missing as spelled is
    // looked for in another case.
    flags = (flags & ~O_TRUNC) | O_EXCL;
    fd = open(native.c_str(), flags, 0666);
    std::string resolved;
    if (fd < 0 && errno == ENOENT && posix::ResolvePath(native, true, resolved) && resolved != native) {
      fd = open(resolved.c_str(), flags, 0666);
    }
  } else if (create) {
    // Creating under the spelled name while another case of it exists would
    // make a second file where Windows opens the first: resolve beforehand.
    std::string resolved;
    if (!posix::ResolvePath(native, true, resolved)) return nullptr;
    fd = open(resolved.c_str(), flags, 0666);
  } else {
    // The exact spelling is the common case and costs one call.
    fd = open(native.c_str(), flags);
    std::string resolved;
    if (fd < 0 && errno == ENOENT && posix::ResolvePath(native, false, resolved) &&
        resolved != native) {
      fd = open(resolved.c_str(), flags);
    }
  }
  if (fd < 0) return nullptr;

  // Files only: a directory (which opens read-only on POSIX, never on
  // Windows), a FIFO, a device or a socket fails like a missing file. Their
  // reads would block, never end or mean nothing. A file's reads and writes
  // block as ever (F_SETFL changes the status flags alone: the access mode
  // and the creation flags in `flags` are not among them).
  struct stat st;
  const bool described = fstat(fd, &st) == 0;
  if (!described || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    // The reason goes with the failure, not whatever close leaves.
    const int reason = described && !S_ISREG(st.st_mode) ? (S_ISDIR(st.st_mode) ? EISDIR : ENXIO) : errno;
    close(fd);
    errno = reason;
    return nullptr;
  }

  auto file = std::make_unique<CDiskFile_Posix>(fd);
  file->AttachOrigin(this, CFileInfo_Default(path));
  return file;
}

bool CFileSystem_PosixPatcher::DeleteFile(const wchar_t* path) {
  if (path == nullptr) return false;
  std::string resolved;
  if (!posix::ResolvePath(posix::EncodePath(path), false, resolved)) return false;
  struct stat st;
  // Like DeleteFileW, this removes files only, never a directory.
  if (lstat(resolved.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
  return unlink(resolved.c_str()) == 0;
}

bool CFileSystem_PosixPatcher::CreateDirectory(const wchar_t* path) {
  if (path == nullptr) return false;
  std::string resolved;
  if (!posix::ResolvePath(posix::EncodePath(path), true, resolved)) return false;
  return mkdir(resolved.c_str(), 0777) == 0 || errno == EEXIST;
}

namespace {

// The folder as the platform spells it: "." for the current one.
bool ResolveDirectory(const wchar_t* directory, std::string& resolved) {
  if (directory == nullptr) return false;
  resolved = ".";
  return *directory == L'\0' || posix::ResolvePath(posix::EncodePath(directory), false, resolved);
}

}  // namespace

namespace {

// The longest file the format of the volume holding `path` takes: a FAT
// volume's lengths are 32 bits. 0 where no limit is known.
uint64_t LargestFileOf(const char* path) {
  constexpr decltype(statfs::f_type) kMsdosMagic = 0x4d44;  // vfat and msdos
  struct statfs volume;
  return statfs(path, &volume) == 0 && volume.f_type == kMsdosMagic ? uint64_t{0xFFFFFFFF} : 0;
}

}  // namespace

bool CFileSystem_PosixPatcher::QueryFreeSpace(const wchar_t* directory, VolumeSpace& space) {
  std::string resolved;
  struct statvfs volume;
  if (!ResolveDirectory(directory, resolved) || statvfs(resolved.c_str(), &volume) != 0) return false;
  // What an unprivileged writer may use: the blocks kept back for root
  // are not counted.
  space.freeBytes = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
  space.allocationUnit = volume.f_frsize > 0 && volume.f_frsize <= UINT32_MAX
                             ? static_cast<uint32_t>(volume.f_frsize) : 1;
  space.largestFile = LargestFileOf(resolved.c_str());
  return true;
}

bool CFileSystem_PosixPatcher::FlushDirectory(const wchar_t* directory) {
  std::string resolved;
  if (!ResolveDirectory(directory, resolved)) return false;
  const int fd = open(resolved.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int result;
  do result = fsync(fd);
  while (result != 0 && errno == EINTR);
  // Some file systems keep directories without being asked, and say so.
  const bool flushed = result == 0 || errno == EINVAL;
  close(fd);
  return flushed;
}

bool CFileSystem_PosixPatcher::MayCreateFileIn(const wchar_t* directory) {
  std::string resolved;
  if (!ResolveDirectory(directory, resolved)) return false;
  // Write and search rights on the folder, and a volume mounted for
  // writing (root has every right, but not that).
  return access(resolved.c_str(), W_OK | X_OK) == 0;
}

std::unique_ptr<CFileSystem> CreatePatcherFileSystem() {
  return std::make_unique<CFileSystem_PosixPatcher>();
}

}  // namespace qpx
