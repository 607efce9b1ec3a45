#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "filesystem/posix/FileSystem_Posix.h"
#include "filesystem/posix/PathEncoding_Posix.h"
#include "paths/Paths.h"
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

// The files an interruption removes. The handler reads only the slots,
// lock-free atomics; the names they point to belong to the main program
// (qpxtool has no other thread), which fills a slot with the interruptions
// held back.
constexpr int kListedFiles = 8;
std::atomic<const char*> g_listed[kListedFiles];
std::string g_listedNames[kListedFiles];
static_assert(std::atomic<const char*>::is_always_lock_free, "the signal handler reads the slots");

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemoveListedFilesAndEnd(int signalNumber) {
  for (const auto& slot : g_listed) {
    if (const char* name = slot.load()) unlink(name);
  }
  // SA_RESETHAND restored the default action on entry, and the signal is
  // held until the handler returns: then it ends the process as it would
  // have, and whoever waits for it sees that signal.
  raise(signalNumber);
}

void InstallInterruptHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_handler = RemoveListedFilesAndEnd;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (const int signalNumber : kInterruptions) sigaddset(&action.sa_mask, signalNumber);
  for (const int signalNumber : kInterruptions) {
    struct sigaction current {};
    // nohup, or a shell's background job without job control: ignored on
    // purpose, so it stays ignored.
    if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaction(signalNumber, &action, nullptr);
  }
}

// Holds the interruptions back while it lives; one that arrives meanwhile
// is handled when it ends.
class InterruptionsHeld {
 public:
  InterruptionsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signalNumber : kInterruptions) sigaddset(&held, signalNumber);
    pthread_sigmask(SIG_BLOCK, &held, &saved_);
  }
  InterruptionsHeld(const InterruptionsHeld&) = delete;
  InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;
  ~InterruptionsHeld() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

 private:
  sigset_t saved_;
};

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

bool NameExists(const std::wstring& path) {
  std::string resolved;
  struct stat st;
  return Resolve(path, false, resolved) && lstat(resolved.c_str(), &st) == 0;
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  struct stat first, second;
  return StatOf(a, first) && StatOf(b, second) && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool LiesWithin(const std::wstring& path, const std::wstring& directory) {
  struct stat folder;
  if (!StatOf(directory, folder) || !S_ISDIR(folder.st_mode)) return false;
  // A folder is judged from itself, anything else from the folder that
  // holds it (its last name is not followed: a file's link is replaced,
  // never written through).
  std::wstring start = path;
  while (start.size() > 1 && (start.back() == L'/' || start.back() == L'\\')) start.pop_back();
  if (KindOf(start) != PathKind::Directory) {
    start = DirectoryOf(start);
    if (start.empty()) start = L".";
  }
  std::string here;
  if (!Resolve(start, false, here)) return false;
  // Up through "..", as the system walks it, to the root (its own parent).
  struct stat current, parent;
  if (stat(here.c_str(), &current) != 0) return false;
  for (int depth = 0; depth < 1024; ++depth) {
    if (current.st_dev == folder.st_dev && current.st_ino == folder.st_ino) return true;
    here += "/..";
    if (stat(here.c_str(), &parent) != 0 || (parent.st_dev == current.st_dev && parent.st_ino == current.st_ino)) {
      return false;
    }
    current = parent;
  }
  return false;
}

bool InterruptibleFile::Create(const std::wstring& prefix) {
  if (slot_ >= 0) return false;
  InstallInterruptHandlers();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::wstring candidate =
        prefix + std::to_wstring(getpid()) + L"-" + std::to_wstring(attempt) + L".tmp";
    std::string resolved;
    if (!Resolve(candidate, true, resolved)) return false;
    const InterruptionsHeld held;
    int slot = 0;
    while (slot < kListedFiles && g_listed[slot].load() != nullptr) ++slot;
    if (slot == kListedFiles) return false;
    const int fd = open(resolved.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      g_listedNames[slot] = std::move(resolved);
      g_listed[slot].store(g_listedNames[slot].c_str());
      slot_ = slot;
      path_ = candidate;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

InterruptibleFile::~InterruptibleFile() {
  if (slot_ < 0) return;
  g_listed[slot_].store(nullptr);
  g_listedNames[slot_].clear();
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

void LetOversizedWritesFail() { signal(SIGXFSZ, SIG_IGN); }

void SetBinaryStandardOutput() {}  // POSIX streams never translate

void WriteText(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace qpx::tool
