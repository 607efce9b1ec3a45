#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "paths/Paths.h"
#include "tools/qpxtool/ToolPlatform.h"
#include "tools/qpxtool/ToolText.h"

namespace qpx::tool {
namespace {

// An open handle on `path` with no access rights, enough to ask who it is.
HANDLE OpenForQuery(const std::wstring& path) {
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IdentityOf(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE handle = OpenForQuery(path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  CloseHandle(handle);
  return known;
}

// The files an interruption removes. The console runs its control
// handler on a thread of its own, so the list is guarded by a lock.
constexpr int kListedFiles = 8;
SRWLOCK g_listLock = SRWLOCK_INIT;
std::wstring g_listed[kListedFiles];  // empty: a free slot

BOOL WINAPI RemoveListedFiles(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  // The lock is never given back: the process ends before the program
  // could list another file. A listed file may still be open for writing;
  // it was opened to allow deletion, and goes when the process ends.
  AcquireSRWLockExclusive(&g_listLock);
  for (const std::wstring& name : g_listed) {
    if (!name.empty()) DeleteFileW(name.c_str());
  }
  return FALSE;  // on to the default handler, which ends the process
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

PathKind KindOf(const std::wstring& path) {
  if (path.empty()) return PathKind::Missing;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Directory;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return PathKind::Other;
  return PathKind::File;
}

bool NameExists(const std::wstring& path) {
  // The attributes of a link are its own: it need not lead anywhere.
  return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  return IdentityOf(a, first) && IdentityOf(b, second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

bool LiesWithin(const std::wstring& path, const std::wstring& directory) {
  BY_HANDLE_FILE_INFORMATION folder{};
  if (KindOf(directory) != PathKind::Directory || !IdentityOf(directory, folder)) return false;
  const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return false;
  std::wstring full(length, L'\0');
  full.resize(GetFullPathNameW(path.c_str(), length, full.data(), nullptr));
  // A folder is judged from itself, anything else from the folder that
  // holds it; then each folder up to the root, by its identity, which a
  // junction or link shares with the folder it leads to.
  if (KindOf(full) != PathKind::Directory) full = DirectoryOf(full);
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  while (!full.empty()) {
    BY_HANDLE_FILE_INFORMATION here{};
    if (IdentityOf(full, here) && here.dwVolumeSerialNumber == folder.dwVolumeSerialNumber &&
        here.nFileIndexHigh == folder.nFileIndexHigh && here.nFileIndexLow == folder.nFileIndexLow) {
      return true;
    }
    std::wstring trimmed = full;
    while (trimmed.size() > 1 && separator(trimmed.back())) trimmed.pop_back();
    const std::size_t cut = trimmed.find_last_of(L"\\/");
    if (cut == std::wstring::npos || cut + 1 >= full.size()) break;  // the root: nothing above
    full = trimmed.substr(0, cut + 1);  // with its separator: a drive's root keeps it
  }
  return false;
}

bool InterruptibleFile::Create(const std::wstring& prefix) {
  static const bool handled = SetConsoleCtrlHandler(RemoveListedFiles, TRUE) != 0;
  if (slot_ >= 0 || !handled) return false;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::wstring candidate =
        prefix + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + L".tmp";
    // Made and listed under the lock: an interruption meanwhile waits for
    // the listing, then removes the file.
    AcquireSRWLockExclusive(&g_listLock);
    int slot = 0;
    while (slot < kListedFiles && !g_listed[slot].empty()) ++slot;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (slot < kListedFiles) {
      handle = CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    const DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
      g_listed[slot] = candidate;
      slot_ = slot;
      path_ = candidate;
    }
    ReleaseSRWLockExclusive(&g_listLock);
    if (slot_ >= 0) return true;
    if (slot == kListedFiles || (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)) return false;
  }
  return false;
}

InterruptibleFile::~InterruptibleFile() {
  if (slot_ < 0) return;
  AcquireSRWLockExclusive(&g_listLock);
  g_listed[slot_].clear();
  ReleaseSRWLockExclusive(&g_listLock);
}

bool RenameReplacing(const std::wstring& from, const std::wstring& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool CopyPermissions(const std::wstring&, const std::wstring&) { return true; }

bool IsEmptyDirectory(const std::wstring& directory) {
  if (KindOf(directory) != PathKind::Directory) return false;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(JoinDirectory(directory, L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  bool empty = true;
  do {
    const std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") {
      empty = false;
      break;
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return empty;
}

bool IsTerminal(std::FILE* stream) {
  DWORD mode = 0;
  const HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

void LetOversizedWritesFail() {}

void SetBinaryStandardOutput() { _setmode(_fileno(stdout), _O_BINARY); }

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
