// What the Windows file layer tells of names besides their files' bytes:
// kinds, listings, identities, renames and permissions (FileSystem.h).

// <windows.h> maps DeleteFile and CreateDirectory to their A/W forms by
// macro; undo that before our own operations of those names are declared.
#include <windows.h>
#undef DeleteFile
#undef CreateDirectory

#include <string>
#include <string_view>
#include <vector>

#include "src/filesystem/windows/FileSystem_Windows.h"
#include "src/paths/Paths.h"

namespace qpx {
namespace {

bool Named(const wchar_t* path) { return path != nullptr && *path != L'\0'; }

// An open handle on `path` with no access rights, enough to ask who it is.
HANDLE OpenForQuery(const wchar_t* path) {
  return CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IdentityOf(const wchar_t* path, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE handle = OpenForQuery(path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  return known;
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// `directory` and `name` with a separator between them unless `directory`
// is empty or ends in one.
std::wstring Joined(const std::wstring& directory, const wchar_t* name) {
  if (directory.empty() || directory.back() == L'\\' || directory.back() == L'/') return directory + name;
  return directory + L'\\' + name;
}

// `path` without the separators it ends in, but a lone one stays.
std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (path.size() > 1 && (path.back() == L'/' || path.back() == L'\\')) path.pop_back();
  return path;
}

}  // namespace

PathKind CFileSystem_Windows::KindOf(const wchar_t* path) {
  if (!Named(path)) return PathKind::Missing;
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Directory;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return PathKind::Other;
  return PathKind::File;
}

bool CFileSystem_Windows::ListDirectory(const wchar_t* directory, std::vector<DirectoryEntry>& entries) {
  if (KindOf(directory) != PathKind::Directory) return false;
  entries.clear();
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(Joined(directory, L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    const std::wstring_view name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    DirectoryEntry entry;
    entry.name = found.cFileName;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      entry.kind = PathKind::Directory;
    } else if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE)) {
      entry.kind = PathKind::File;
      entry.size = (uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
    }
    entries.push_back(std::move(entry));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return true;
}

bool CFileSystem_Windows::NameExists(const wchar_t* path) {
  // The attributes of a link are its own: it need not lead anywhere.
  return Named(path) && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool CFileSystem_Windows::SameFile(const wchar_t* a, const wchar_t* b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  return Named(a) && Named(b) && IdentityOf(a, first) && IdentityOf(b, second) && SameIdentity(first, second);
}

bool CFileSystem_Windows::LiesWithin(const wchar_t* path, const wchar_t* directory) {
  BY_HANDLE_FILE_INFORMATION folder{};
  if (!Named(path) || KindOf(directory) != PathKind::Directory || !IdentityOf(directory, folder)) return false;
  const DWORD length = GetFullPathNameW(path, 0, nullptr, nullptr);
  if (length == 0) return false;
  std::wstring full(length, L'\0');
  full.resize(GetFullPathNameW(path, length, full.data(), nullptr));
  // A directory is judged from itself, anything else from the directory
  // that holds it; then each directory up to the root, by its identity,
  // which a junction or link shares with the directory it leads to.
  if (KindOf(full.c_str()) != PathKind::Directory) full = DirectoryOf(full);
  while (!full.empty()) {
    BY_HANDLE_FILE_INFORMATION here{};
    if (IdentityOf(full.c_str(), here) && SameIdentity(here, folder)) return true;
    const std::wstring trimmed = WithoutTrailingSeparators(full);
    const std::size_t cut = trimmed.find_last_of(L"\\/");
    if (cut == std::wstring::npos || cut + 1 >= full.size()) break;  // the root: nothing above
    full = trimmed.substr(0, cut + 1);  // with its separator: a drive's root keeps it
  }
  return false;
}

bool CFileSystem_Windows::RenameReplacing(const wchar_t* from, const wchar_t* to) {
  return Named(from) && Named(to) &&
         MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool CFileSystem_Windows::RenameDirectory(const wchar_t* from, const wchar_t* to) {
  if (!Named(from) || !Named(to)) return false;
  // A directory is never renamed over another: an empty one is taken away first.
  if (KindOf(to) == PathKind::Directory && !RemoveDirectoryW(to)) return false;
  return MoveFileExW(from, to, MOVEFILE_WRITE_THROUGH) != 0;
}

bool CFileSystem_Windows::CopyPermissions(const wchar_t*, const wchar_t*) { return true; }

std::unique_ptr<CFileSystem> CreatePlatformFileSystem() {
  return std::make_unique<CFileSystem_Windows>();
}

}  // namespace qpx
