// What the POSIX file layer tells of names besides their files' bytes:
// kinds, listings, identities, renames and permissions (FileSystem.h).

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "src/filesystem/posix/FileSystem_Posix.h"
#include "src/filesystem/posix/PathEncoding_Posix.h"
#include "src/paths/Paths.h"

namespace qpx {
namespace {

// The platform spelling of `path`, found as Open finds it.
bool Resolve(const wchar_t* path, bool lastMayBeMissing, std::string& resolved) {
  return path != nullptr && *path != L'\0' && posix::ResolvePath(posix::EncodePath(path), lastMayBeMissing, resolved);
}

bool StatOf(const wchar_t* path, struct stat& st) {
  std::string resolved;
  return Resolve(path, false, resolved) && stat(resolved.c_str(), &st) == 0;
}

PathKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return PathKind::File;
  if (S_ISDIR(mode)) return PathKind::Directory;
  return PathKind::Other;
}

bool SameIdentity(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// `path` without the separators it ends in, but a lone one stays.
std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (path.size() > 1 && (path.back() == L'/' || path.back() == L'\\')) path.pop_back();
  return path;
}

}  // namespace

PathKind CFileSystem_Posix::KindOf(const wchar_t* path) {
  struct stat st;
  return StatOf(path, st) ? KindOfMode(st.st_mode) : PathKind::Missing;
}

bool CFileSystem_Posix::ListDirectory(const wchar_t* directory, std::vector<DirectoryEntry>& entries) {
  std::string resolved;
  if (!Resolve(directory, false, resolved)) return false;
  DIR* const listing = opendir(resolved.c_str());
  if (listing == nullptr) return false;
  entries.clear();
  while (const dirent* entry = readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    DirectoryEntry found;
    found.name = posix::DecodePath(std::string(name));
    struct stat st;
    if (fstatat(dirfd(listing), entry->d_name, &st, 0) != 0) {
      found.kind = PathKind::Missing;  // a link that leads nowhere
    } else {
      found.kind = KindOfMode(st.st_mode);
      if (found.kind == PathKind::File) found.size = static_cast<uint64_t>(st.st_size);
    }
    entries.push_back(std::move(found));
  }
  closedir(listing);
  return true;
}

bool CFileSystem_Posix::NameExists(const wchar_t* path) {
  std::string resolved;
  struct stat st;
  return Resolve(path, false, resolved) && lstat(resolved.c_str(), &st) == 0;
}

bool CFileSystem_Posix::SameFile(const wchar_t* a, const wchar_t* b) {
  struct stat first, second;
  return StatOf(a, first) && StatOf(b, second) && SameIdentity(first, second);
}

bool CFileSystem_Posix::LiesWithin(const wchar_t* path, const wchar_t* directory) {
  struct stat folder;
  if (path == nullptr || !StatOf(directory, folder) || !S_ISDIR(folder.st_mode)) return false;
  // A directory is judged from itself, anything else from the directory
  // that holds it (its last name is not followed: a file's link is
  // replaced, never written through).
  std::wstring start = WithoutTrailingSeparators(path);
  if (KindOf(start.c_str()) != PathKind::Directory) {
    start = DirectoryOf(start);
    if (start.empty()) start = L".";
  }
  std::string here;
  if (!Resolve(start.c_str(), false, here)) return false;
  // Up through "..", as the system walks it, to the root (its own parent).
  struct stat current, parent;
  if (stat(here.c_str(), &current) != 0) return false;
  for (int depth = 0; depth < 1024; ++depth) {
    if (SameIdentity(current, folder)) return true;
    here += "/..";
    if (stat(here.c_str(), &parent) != 0 || SameIdentity(parent, current)) return false;
    current = parent;
  }
  return false;
}

bool CFileSystem_Posix::RenameReplacing(const wchar_t* from, const wchar_t* to) {
  std::string source, target;
  return Resolve(from, false, source) && Resolve(to, true, target) && rename(source.c_str(), target.c_str()) == 0;
}

bool CFileSystem_Posix::RenameDirectory(const wchar_t* from, const wchar_t* to) {
  // rename replaces an empty directory in the same step.
  return RenameReplacing(from, to);
}

bool CFileSystem_Posix::CopyPermissions(const wchar_t* from, const wchar_t* to) {
  struct stat st;
  std::string target;
  return StatOf(from, st) && Resolve(to, false, target) && chmod(target.c_str(), st.st_mode & 0777) == 0;
}

std::unique_ptr<CFileSystem> CreatePlatformFileSystem() {
  return std::make_unique<CFileSystem_Posix>();
}

}  // namespace qpx
