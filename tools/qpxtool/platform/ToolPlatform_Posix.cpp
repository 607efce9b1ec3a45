#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "src/filesystem/posix/FileSystem_Posix.h"
#include "src/filesystem/posix/PathEncoding_Posix.h"
#include "src/paths/Paths.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

// The platform spelling of `path`, found as the file layer finds it.
bool Resolve(const std::wstring& path, bool lastMayBeMissing, std::string& resolved) {
  return !path.empty() && posix::ResolvePath(posix::EncodePath(path.c_str()), lastMayBeMissing, resolved);
}

// What an interruption removes, per slot: paths, each ended by a zero byte,
// the last by two, removed in their order (a file, or a folder once what it
// holds is gone). The handler reads only the slots, lock-free atomics; the
// paths they point to belong to the main program (qpxtool has no other
// thread), which fills a slot with the interruptions held back.
constexpr int kListed = 8;
std::atomic<const char*> g_listed[kListed];
std::string g_listedPaths[kListed];
static_assert(std::atomic<const char*>::is_always_lock_free, "the signal handler reads the slots");

// Every signal that can be caught and whose default action ends the process.
sigset_t EndingSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signalNumber : {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGUSR1,
                                 SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS}) {
    sigaddset(&set, signalNumber);
  }
  // Signals this system has beyond those every POSIX system has.
  for (const int signalNumber : {
#ifdef SIGPOLL
           SIGPOLL,
#endif
#ifdef SIGSTKFLT
           SIGSTKFLT,
#endif
#ifdef SIGPWR
           SIGPWR,
#endif
           0}) {
    if (signalNumber != 0) sigaddset(&set, signalNumber);
  }
  for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) sigaddset(&set, signalNumber);
  return set;
}

// Removes the paths of one slot in their order: a file, or a folder once
// what it holds is gone. Safe in a signal handler.
void RemovePaths(const char* paths) {
  for (const char* path = paths; path != nullptr && *path != '\0';) {
    if (unlink(path) != 0) rmdir(path);
    while (*path != '\0') ++path;
    ++path;
  }
}

extern "C" void RemoveListedAndEnd(int signalNumber) {
  for (const auto& slot : g_listed) RemovePaths(slot.load());
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
  action.sa_handler = RemoveListedAndEnd;
  action.sa_flags = SA_RESETHAND;
  action.sa_mask = EndingSignals();
  for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
    if (sigismember(&action.sa_mask, signalNumber) != 1) continue;
    struct sigaction current {};
    // nohup, or a shell's background job without job control: ignored on
    // purpose, so it stays ignored.
    if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    sigaction(signalNumber, &action, nullptr);
  }
}

// Holds the interruptions back while it lives; one that arrives meanwhile
// is handled when it ends.
class InterruptionsHeld {
 public:
  InterruptionsHeld() {
    const sigset_t held = EndingSignals();
    pthread_sigmask(SIG_BLOCK, &held, &saved_);
  }
  InterruptionsHeld(const InterruptionsHeld&) = delete;
  InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;
  ~InterruptionsHeld() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

 private:
  sigset_t saved_;
};

// Whether no process of the id `pid` runs. One that runs under another
// user answers EPERM, and runs.
bool ProcessHasEnded(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

// The names in the open folder `folder` but "." and "..". Listed before any
// is removed: a folder that changes while it is read may list a name twice
// or not at all.
std::vector<std::string> NamesIn(int folder) {
  std::vector<std::string> names;
  const int listed = dup(folder);
  if (listed < 0) return names;
  DIR* const listing = fdopendir(listed);
  if (listing == nullptr) {
    close(listed);
    return names;
  }
  while (const dirent* entry = readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(listing);
  return names;
}

// Removes the entry `name` of the open folder `parent`, described by `st`
// (its links not followed): a file or a link, or a folder with what it
// holds down to `depth` levels of folders below it. A link is removed,
// never followed. Whatever lies deeper stays, and so does every folder
// above it.
void RemoveEntry(int parent, const std::string& name, const struct stat& st, int depth) {
  if (!S_ISDIR(st.st_mode)) {
    unlinkat(parent, name.c_str(), 0);
    return;
  }
  const int folder = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return;
  for (const std::string& entry : NamesIn(folder)) {
    struct stat held;
    if (fstatat(folder, entry.c_str(), &held, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(held.st_mode) || depth > 0) RemoveEntry(folder, entry, held, depth - 1);
  }
  close(folder);
  unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

// Removes what a qpxtool that no longer runs left in the folder of `prefix`
// (see InterruptibleFile::Create). Best effort: what cannot be removed now
// is left for the next run.
void RemoveStaleTemporaries(const std::wstring& prefix) {
  const std::wstring directory = DirectoryOf(prefix);
  std::string resolved;
  if (!Resolve(directory.empty() ? L"." : directory, false, resolved)) return;
  const int folder = open(resolved.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return;
  const pid_t self = getpid();
  for (const std::string& name : NamesIn(folder)) {
    if (name.find(".qpxtool-") == std::string::npos) continue;  // most names: no decoding
    const uint32_t maker = TemporaryMakerOf(posix::DecodePath(name));
    if (maker == 0 || maker > uint32_t{std::numeric_limits<pid_t>::max()} || static_cast<pid_t>(maker) == self) {
      continue;
    }
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != geteuid()) continue;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;  // qpxtool makes nothing else
    // Asked last, just before the removal: the process may have ended only now.
    if (!ProcessHasEnded(static_cast<pid_t>(maker))) continue;
    RemoveEntry(folder, name, st, 1);  // a folder: its files, and the files of "entries" and "loose"
  }
  close(folder);
}

// Makes a new file or folder named `prefix`, a unique ending and ".tmp",
// with `make`, and lists it in a free slot in the same step, after
// `contents` (paths under it). The slot, or -1.
template <typename Make>
int MakeListed(const std::wstring& prefix, const std::vector<std::wstring>& contents, Make make,
               std::wstring& made) {
  InstallInterruptHandlers();
  RemoveStaleTemporaries(prefix);
  for (uint32_t attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    const std::wstring candidate =
        prefix + std::to_wstring(getpid()) + L"-" + std::to_wstring(attempt) + L".tmp";
    // The handler removes it by the name the system knows.
    std::string resolved;
    if (!Resolve(candidate, true, resolved)) return -1;
    std::string paths;
    for (const std::wstring& content : contents) {
      paths += resolved + "/" + posix::EncodePath(content.c_str());
      paths += '\0';
    }
    paths += resolved;
    paths += '\0';
    const InterruptionsHeld held;
    int slot = 0;
    while (slot < kListed && g_listed[slot].load() != nullptr) ++slot;
    if (slot == kListed) return -1;
    const TemporaryMade result = make(candidate);
    if (result == TemporaryMade::Made) {
      g_listedPaths[slot] = std::move(paths);
      g_listed[slot].store(g_listedPaths[slot].c_str());  // its own end: the string's terminator
      made = candidate;
      return slot;
    }
    if (result == TemporaryMade::Failed) return -1;
  }
  return -1;
}

void Unlist(int slot) {
  if (slot < 0) return;
  g_listed[slot].store(nullptr);
  g_listedPaths[slot].clear();
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

bool InterruptibleFile::Create(CFileSystem& fileSystem, const std::wstring& prefix) {
  if (slot_ >= 0) return false;
  const auto make = [&](const std::wstring& path) { return MakeTemporaryFile(fileSystem, path); };
  slot_ = MakeListed(prefix, {}, make, path_);
  return slot_ >= 0;
}

InterruptibleFile::~InterruptibleFile() { Unlist(slot_); }

bool InterruptibleFolder::Create(CFileSystem& fileSystem, const std::wstring& prefix,
                                 const std::vector<std::wstring>& contents) {
  if (slot_ >= 0) return false;
  const auto make = [&](const std::wstring& path) { return MakeTemporaryFolder(fileSystem, path); };
  slot_ = MakeListed(prefix, contents, make, path_);
  return slot_ >= 0;
}

void InterruptibleFolder::RemoveNow() {
  if (slot_ < 0) return;
  RemovePaths(g_listedPaths[slot_].c_str());
  Unlist(slot_);
  slot_ = -1;
}

InterruptibleFolder::~InterruptibleFolder() { Unlist(slot_); }

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

void LetOversizedWritesFail() { signal(SIGXFSZ, SIG_IGN); }

void SetBinaryStandardOutput() {}  // POSIX streams never translate
void SetBinaryStandardInput() {}

std::wstring TemporaryDirectory() {
  const char* const given = std::getenv("TMPDIR");
  std::string folder = given != nullptr && given[0] == '/' ? given : "/tmp";
  if (!folder.ends_with('/')) folder += '/';
  return posix::DecodePath(folder);
}

void WriteText(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace qpx::tool
