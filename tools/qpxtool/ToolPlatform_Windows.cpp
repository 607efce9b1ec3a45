#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

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

bool SameFile(const std::wstring& a, const std::wstring& b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  return IdentityOf(a, first) && IdentityOf(b, second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

bool CreateFreshFile(const std::wstring& prefix, std::wstring& path) {
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::wstring candidate =
        prefix + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + L".tmp";
    const HANDLE handle =
        CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
      path = candidate;
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
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
