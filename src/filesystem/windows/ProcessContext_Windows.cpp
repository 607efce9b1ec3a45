#include <windows.h>
#include <shellapi.h>

#include <memory>

#include "filesystem/ProcessContext.h"

namespace qpx {
namespace {

struct LocalFreer {
  void operator()(LPWSTR* block) const { LocalFree(block); }
};

}  // namespace

std::vector<std::wstring> CommandLineArguments(int, char**) {
  // The narrow argv went through the ANSI code page: a path or an option
  // outside it would arrive as '?'. The wide command line is the one the
  // program was given.
  std::vector<std::wstring> arguments;
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreer> words(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!words) return arguments;
  for (int i = 1; i < count; ++i) arguments.emplace_back(words.get()[i]);
  return arguments;
}

bool StdoutIsTerminal() {
  DWORD mode = 0;
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  return output != nullptr && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode) != 0;
}

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
