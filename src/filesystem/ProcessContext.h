#pragma once
// What the program is told by the place it was started from: its
// arguments, whether its output is a terminal, and the folder it was
// started in.

#include <string>
#include <vector>

namespace qpx {

// The program's arguments after its own name, from `argv`: on POSIX each
// byte string decoded as a path is; on Windows (where argv went through the
// ANSI code page) with every byte outside ASCII as '?'.
std::vector<std::wstring> CommandLineArguments(int argc, char** argv);

// Whether standard output is a terminal (a console window), where a line
// may be redrawn in place; not a file or a pipe.
bool StdoutIsTerminal();

// The full path of the current folder as bytes for display: the path's
// own bytes on POSIX, UTF-8 on Windows. Empty when it cannot be told.
std::string CurrentFolderBytes();

}  // namespace qpx
