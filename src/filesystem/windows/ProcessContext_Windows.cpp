#include <windows.h>
#include <conio.h>

#include <cstdio>
#include <string>

#include <utility>

#include "src/filesystem/ProcessContext.h"
#include "src/paths/Utf8.h"

namespace qpx {

namespace {

// Splits a command line as the C runtime splits argv, with its rules for
// quotes and the backslashes before them, leaving out the program's name
// (which takes no escapes).
std::vector<std::wstring> SplitCommandLine(const wchar_t* p) {
  std::vector<std::wstring> words;
  if (*p == L'"') {
    for (++p; *p != L'\0' && *p != L'"'; ++p) {}
    if (*p != L'\0') ++p;
  } else {
    while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
  }
  for (;;) {
    while (*p == L' ' || *p == L'\t') ++p;
    if (*p == L'\0') return words;
    std::wstring word;
    bool quoted = false;
    while (*p != L'\0' && (quoted || (*p != L' ' && *p != L'\t'))) {
      if (*p == L'\\') {
        std::size_t count = 0;
        for (; *p == L'\\'; ++p) ++count;
        // Backslashes are themselves except before a quote: then each pair
        // is one, and an odd one makes the quote a character.
        word.append(*p == L'"' ? count / 2 : count, L'\\');
        if (*p == L'"' && count % 2 == 1) word += *p++;
      } else if (*p == L'"') {
        if (quoted && p[1] == L'"') {
          word += L'"';
          p += 2;
        } else {
          quoted = !quoted;
          ++p;
        }
      } else {
        word += *p++;
      }
    }
    words.push_back(std::move(word));
  }
}

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  const HANDLE handle = GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

std::vector<std::wstring> CommandLineArguments(int, char**) {
  // The wide command line, split here: the C runtime's argv went through
  // the ANSI code page, which loses a dropped folder's name outside it, and
  // CommandLineToArgvW would take shell32.dll into a program that imports
  // nothing beyond the kernel and the C runtime.
  const wchar_t* line = GetCommandLineW();
  return line == nullptr ? std::vector<std::wstring>() : SplitCommandLine(line);
}

bool StdoutIsTerminal() { return IsConsole(STD_OUTPUT_HANDLE); }

bool SomeoneCanAnswer() { return IsConsole(STD_INPUT_HANDLE) && IsConsole(STD_OUTPUT_HANDLE); }

void WaitForOneKey() { _getch(); }

void WriteToStdout(std::wstring_view text) {
  if (IsConsole(STD_OUTPUT_HANDLE)) {
    // The console shows every character of a name, whatever its code page.
    std::fflush(stdout);
    std::wstring lines;
    for (const wchar_t c : text) {
      if (c == L'\n') lines += L'\r';
      lines += c;
    }
    DWORD written = 0;
    WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
    return;
  }
  // A file or a pipe gets ASCII, the rest as \xNN of its UTF-8 bytes; the
  // stream's text mode turns each newline into CR LF. Built whole, a
  // message leaves in one write.
  const std::string bytes = ConsoleBytes(text, /*utf8=*/false);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

bool EnterFolder(const std::wstring& folder) { return SetCurrentDirectoryW(folder.c_str()) != 0; }

wchar_t ShownPathSeparator() { return L'\\'; }

bool SwitchesStartWithSlash() { return true; }

std::string CurrentFolderBytes() {
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  if (needed == 0) return std::string();
  std::wstring folder(needed, L'\0');
  const DWORD length = GetCurrentDirectoryW(needed, folder.data());
  if (length == 0 || length >= needed) return std::string();
  folder.resize(length);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, folder.data(), static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string text(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, folder.data(), static_cast<int>(length), text.data(), bytes, nullptr, nullptr);
  return text;
}

}  // namespace qpx
