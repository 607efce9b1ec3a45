#include <windows.h>

#include <utility>

#include "src/filesystem/ProcessContext.h"

namespace qpx {

std::vector<std::wstring> CommandLineArguments(int argc, char** argv) {
  // The C runtime's argv, split by its rules from the ANSI command line.
  // The words the patcher answers to are ASCII, which every code page
  // keeps; any other argument is ignored whatever it became. Splitting the
  // wide command line instead would take CommandLineToArgvW, and with it
  // shell32.dll, into a program that imports nothing beyond the kernel and
  // the C runtime.
  std::vector<std::wstring> arguments;
  for (int i = 1; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
    std::wstring word;
    for (const char* c = argv[i]; *c != '\0'; ++c) {
      const auto byte = static_cast<unsigned char>(*c);
      word += byte < 0x80 ? static_cast<wchar_t>(byte) : L'?';
    }
    arguments.push_back(std::move(word));
  }
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
