// <windows.h> maps DeleteFile and CreateDirectory to their A/W forms by
// macro; undo that before the file layer's operations of those names are
// declared.
#include <windows.h>
#undef DeleteFile
#undef CreateDirectory

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "src/paths/Paths.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

// What an interruption removes, per slot: paths removed in their order (a
// file, or a folder once what it holds is gone); an empty slot is free. The
// console runs its control handler on a thread of its own, so the list is
// guarded by a lock.
constexpr int kListed = 8;
SRWLOCK g_listLock = SRWLOCK_INIT;
std::vector<std::wstring> g_listed[kListed];

void RemovePaths(const std::vector<std::wstring>& paths) {
  for (const std::wstring& path : paths) {
    if (!DeleteFileW(path.c_str())) RemoveDirectoryW(path.c_str());
  }
}

BOOL WINAPI RemoveListedFiles(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT && event != CTRL_LOGOFF_EVENT &&
      event != CTRL_SHUTDOWN_EVENT) {
    return FALSE;
  }
  // The lock is never given back: the process ends before the program
  // could list another file. A listed file may still be open for writing;
  // it was opened to allow deletion, and goes when the process ends.
  AcquireSRWLockExclusive(&g_listLock);
  for (const std::vector<std::wstring>& paths : g_listed) RemovePaths(paths);
  return FALSE;  // on to the default handler, which ends the process
}

// Whether the process `pid` has ended: no process has that id (Windows
// says so as an invalid parameter), or the one that has it has exited and
// is only kept for its exit code. Any other answer (no right to ask, a
// process still active) counts as running.
bool ProcessHasEnded(DWORD pid) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  DWORD code = STILL_ACTIVE;
  const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  CloseHandle(process);
  return ended;
}

// One entry of a folder, as a search finds it.
struct FoundEntry {
  std::wstring name;
  DWORD attributes = 0;
};

// The entries of `folder` whose names match `pattern`, but "." and "..".
// Listed before any is removed.
std::vector<FoundEntry> EntriesOf(const std::wstring& folder, const wchar_t* pattern) {
  std::vector<FoundEntry> entries;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return entries;
  do {
    const std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") entries.push_back(FoundEntry{found.cFileName, found.dwFileAttributes});
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return entries;
}

// Removes `entry` of `folder` (with its separator, or empty): a file, or a
// folder with what it holds down to `depth` levels of folders below it. A
// link or junction is removed itself, never followed. Whatever lies deeper
// stays, and so does every folder above it.
void RemoveEntry(const std::wstring& folder, const FoundEntry& entry, int depth) {
  const std::wstring path = folder + entry.name;
  if (!(entry.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(path.c_str());
    return;
  }
  if (!(entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    const std::wstring inside = path + L"\\";
    for (const FoundEntry& held : EntriesOf(inside, L"*")) {
      if (!(held.attributes & FILE_ATTRIBUTE_DIRECTORY) || depth > 0) RemoveEntry(inside, held, depth - 1);
    }
  }
  RemoveDirectoryW(path.c_str());
}

// Removes what a qpxtool that no longer runs left in the folder of `prefix`
// (see InterruptibleFile::Create). Best effort: what cannot be removed now
// is left for the next run.
void RemoveStaleTemporaries(const std::wstring& prefix) {
  const std::wstring folder = DirectoryOf(prefix);
  const DWORD self = GetCurrentProcessId();
  // The search narrows the listing; TemporaryMakerOf judges each name.
  for (const FoundEntry& entry : EntriesOf(folder, L".*.qpxtool-*.tmp")) {
    const DWORD maker = TemporaryMakerOf(entry.name);
    if (maker == 0 || maker == self || !ProcessHasEnded(maker)) continue;
    RemoveEntry(folder, entry, 1);  // a folder: its files, and the files of "entries" and "loose"
  }
}

// Makes a new file or folder named `prefix`, a unique ending and ".tmp",
// with `make`, and lists it in a free slot under the lock, after
// `contents` (paths under it). The slot, or -1.
template <typename Make>
int MakeListed(const std::wstring& prefix, const std::vector<std::wstring>& contents, Make make, std::wstring& made) {
  static const bool handled = SetConsoleCtrlHandler(RemoveListedFiles, TRUE) != 0;
  if (!handled) return -1;
  RemoveStaleTemporaries(prefix);
  for (uint32_t attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    const std::wstring candidate =
        prefix + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + L".tmp";
    std::vector<std::wstring> paths;
    for (const std::wstring& content : contents) paths.push_back(JoinDirectory(candidate, content));
    paths.push_back(candidate);
    // Made and listed under the lock: an interruption meanwhile waits for
    // the listing, then removes it.
    AcquireSRWLockExclusive(&g_listLock);
    int slot = 0;
    while (slot < kListed && !g_listed[slot].empty()) ++slot;
    const TemporaryMade result = slot < kListed ? make(candidate) : TemporaryMade::Failed;
    if (result == TemporaryMade::Made) {
      g_listed[slot] = std::move(paths);
      made = candidate;
    }
    ReleaseSRWLockExclusive(&g_listLock);
    if (result == TemporaryMade::Made) return slot;
    if (result == TemporaryMade::Failed) return -1;
  }
  return -1;
}

void Unlist(int slot) {
  if (slot < 0) return;
  AcquireSRWLockExclusive(&g_listLock);
  g_listed[slot].clear();
  ReleaseSRWLockExclusive(&g_listLock);
}

}  // namespace

std::wstring PathFromText(const std::string& text) { return DecodeUtf8(text); }

std::string PathToText(const std::wstring& path) { return WideToText(path); }

std::string WideToText(std::wstring_view text) { return EncodeWide(text, false); }

bool IsAbsolutePath(const std::wstring& path) {
  if (path.empty()) return false;
  if (path[0] == L'\\' || path[0] == L'/') return true;
  const wchar_t drive = path[0];
  return path.size() >= 2 && path[1] == L':' && ((drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z'));
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
  AcquireSRWLockExclusive(&g_listLock);
  RemovePaths(g_listed[slot_]);
  g_listed[slot_].clear();
  ReleaseSRWLockExclusive(&g_listLock);
  slot_ = -1;
}

InterruptibleFolder::~InterruptibleFolder() { Unlist(slot_); }

bool IsTerminal(std::FILE* stream) {
  DWORD mode = 0;
  const DWORD which = stream == stderr ? STD_ERROR_HANDLE : stream == stdin ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE;
  const HANDLE handle = GetStdHandle(which);
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

void LetOversizedWritesFail() {}

void SetBinaryStandardOutput() { _setmode(_fileno(stdout), _O_BINARY); }
void SetBinaryStandardInput() { _setmode(_fileno(stdin), _O_BINARY); }

std::wstring TemporaryDirectory() {
  wchar_t folder[MAX_PATH + 2] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH + 1) return L".\\";
  return std::wstring(folder, length);  // it ends in a separator
}

void WriteText(std::FILE* stream, std::string_view text) {
  const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode)) {
    std::fflush(stream);
    const std::wstring wide = DecodeUtf8(text);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace qpx::tool
