#pragma once
// What the program is told by the place it was started from: its
// arguments, whether its output is a terminal, and the folder it was
// started in.

#include <string>
#include <string_view>
#include <vector>

namespace qpx {

// The program's arguments after its own name, from `argv`: on POSIX each
// byte string decoded as a path is; on Windows (where argv went through the
// ANSI code page) with every byte outside ASCII as '?'.
std::vector<std::wstring> CommandLineArguments(int argc, char** argv);

// Whether standard output is a terminal (a console window), where a line
// may be redrawn in place; not a file or a pipe.
bool StdoutIsTerminal();

// Whether a person can answer at this program's console: standard input
// and standard output both a terminal (a console window), not a file, a
// pipe or a launcher's capture.
bool SomeoneCanAnswer();

// Waits for one key at the terminal (not a line: a POSIX terminal is put
// out of line mode for the wait, and back); returns at once when standard
// input ends.
void WaitForOneKey();

// Writes `text` to standard output as the player's system shows it: on a
// Windows console through its wide characters; elsewhere as UTF-8 where
// the locale says the output takes it (Windows: never), with every other
// character outside ASCII as \xNN of its UTF-8 bytes. Flushed, so that a
// prompt without a line end is on screen before a wait. Failed writes are
// ignored: there is nowhere else to report them.
void WriteToStdout(std::wstring_view text);

// Makes `folder` the current folder, so that the run works on it exactly
// as if started there. False, with the platform's reason left, when it
// cannot.
bool EnterFolder(const std::wstring& folder);

// The separator the player's system shows between a folder's name and a
// file's: a backslash on Windows, '/' elsewhere.
wchar_t ShownPathSeparator();

// Whether a switch may start with '/' (Windows), where no path does.
bool SwitchesStartWithSlash();

// The full path of the current folder as bytes for display: the path's
// own bytes on POSIX, UTF-8 on Windows. Empty when it cannot be told.
std::string CurrentFolderBytes();

}  // namespace qpx
