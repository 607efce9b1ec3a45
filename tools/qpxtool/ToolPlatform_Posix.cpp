#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "filesystem/posix/FileSystem_Posix.h"
#include "filesystem/posix/PathEncoding_Posix.h"
#include "tools/qpxtool/ToolPlatform.h"
#include "tools/qpxtool/ToolText.h"

namespace qpx::tool {
namespace {

// The platform spelling of `path`, found as the file layer finds it.
bool Resolve(const std::wstring& path, bool lastMayBeMissing, std::string& resolved) {
  return !path.empty() && posix::ResolvePath(posix::EncodePath(path.c_str()), lastMayBeMissing, resolved);
}

bool StatOf(const std::wstring& path, struct stat& st) {
  std::string resolved;
  return Resolve(path, false, resolved) && stat(resolved.c_str(), &st) == 0;
}

}  // namespace

std::wstring PathFromText(const std::string& text) { return posix::DecodePath(text); }

std::string PathToText(const std::wstring& path) {
  std::string text = WideToText(path);
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  return text;
}

std::string WideToText(std::wstring_view text) { return EncodeWide(text, true); }

bool IsAbsolutePath(const std::wstring& path) {
  return !path.empty() && (path[0] == L'/' || path[0] == L'\\');
}

PathKind KindOf(const std::wstring& path) {
  struct stat st;
  if (!StatOf(path, st)) return PathKind::Missing;
  if (S_ISREG(st.st_mode)) return PathKind::File;
  if (S_ISDIR(st.st_mode)) return PathKind::Directory;
  return PathKind::Other;
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  struct stat first, second;
  return StatOf(a, first) && StatOf(b, second) && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool CreateFreshFile(const std::wstring& prefix, std::wstring& path) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::wstring candidate =
        prefix + std::to_wstring(getpid()) + L"-" + std::to_wstring(attempt) + L".tmp";
    std::string resolved;
    if (!Resolve(candidate, true, resolved)) return false;
    const int fd = open(resolved.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      path = candidate;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool RenameReplacing(const std::wstring& from, const std::wstring& to) {
  std::string source, target;
  return Resolve(from, false, source) && Resolve(to, true, target) && rename(source.c_str(), target.c_str()) == 0;
}

bool CopyPermissions(const std::wstring& from, const std::wstring& to) {
  struct stat st;
  std::string target;
  return StatOf(from, st) && Resolve(to, false, target) && chmod(target.c_str(), st.st_mode & 0777) == 0;
}

bool IsEmptyDirectory(const std::wstring& directory) {
  std::string resolved;
  if (!Resolve(directory, false, resolved)) return false;
  DIR* const listing = opendir(resolved.c_str());
  if (listing == nullptr) return false;
  bool empty = true;
  while (const dirent* entry = readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      empty = false;
      break;
    }
  }
  closedir(listing);
  return empty;
}

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

void SetBinaryStandardOutput() {}  // POSIX streams never translate

void WriteText(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace qpx::tool
