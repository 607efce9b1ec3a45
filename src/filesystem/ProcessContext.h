#pragma once
// What the program is told by the place it was started from: its
// arguments, whether its output is a terminal, and the folder it was
// started in.

#include <string>
#include <vector>

namespace qpx {

// The program's arguments after its own name. POSIX hands them in as bytes
// (`argv`); Windows keeps its own wide command line, which is read instead
// (`argv` then goes unused).
std::vector<std::wstring> CommandLineArguments(int argc, char** argv);

// Whether standard output is a terminal (a console window), where a line
// may be redrawn in place; not a file or a pipe.
bool StdoutIsTerminal();

// The full path of the current folder as bytes for display: the path's
// own bytes on POSIX, UTF-8 on Windows. Empty when it cannot be told.
std::string CurrentFolderBytes();

}  // namespace qpx
