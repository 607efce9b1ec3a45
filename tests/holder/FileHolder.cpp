// Holds a file open for reading, sharing it for reading alone, as a running
// game holds its data, or as a virus scanner holds a file for a moment:
//   file_holder.exe FILE MILLISECONDS MARKER
// It makes the file MARKER once FILE is open (so that a test knows), keeps
// FILE for MILLISECONDS (0: until its standard input ends), then closes it
// and exits.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  const HANDLE marker = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(marker);
  const long milliseconds = std::wcstol(argv[2], nullptr, 10);
  if (milliseconds > 0) {
    Sleep(static_cast<DWORD>(milliseconds));
  } else {
    while (std::getchar() != EOF) {
    }
  }
  CloseHandle(file);
  return 0;
}
