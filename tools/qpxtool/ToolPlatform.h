#pragma once
// What qpxtool needs of the platform beyond the project's file layer: its
// paths typed as text, their spelling in messages, and the few
// operations on names that the file layer does not offer (kinds of path,
// identity of two paths, a fresh file, a replacing rename, permissions).
// File contents are read and written through CFileSystem only.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace qpx::tool {

// A path typed by the user (an argument, or a line of a manifest) in the
// file layer's wide form: POSIX argument bytes decode exactly as the file
// layer's own paths do; on Windows the text is UTF-8.
std::wstring PathFromText(const std::string& text);

// A wide path as UTF-8 text for messages. POSIX shows its separators as '/'.
std::string PathToText(const std::wstring& path);

// Wide text as UTF-8 (no separator is changed).
std::string WideToText(std::wstring_view text);

// Whether `path` starts at a root (or, on Windows, a drive).
bool IsAbsolutePath(const std::wstring& path);

enum class PathKind { Missing, File, Directory, Other };
// What `path` names, found as the file layer finds it (on POSIX a name that
// does not exist as spelled matches its one case-insensitive twin).
PathKind KindOf(const std::wstring& path);

// Whether two existing paths name one file (hard links included).
bool SameFile(const std::wstring& a, const std::wstring& b);

// Makes a new empty file whose name starts with `prefix` (a directory with
// its separator, or empty for the current one, followed by a stem) and sets
// `path` to it. Never opens an existing file.
bool CreateFreshFile(const std::wstring& prefix, std::wstring& path);

// Renames `from` to `to`, replacing `to` if it exists, in one step.
bool RenameReplacing(const std::wstring& from, const std::wstring& to);

// Gives `to` the permission bits of `from` (POSIX); nothing to do on Windows.
bool CopyPermissions(const std::wstring& from, const std::wstring& to);

// Whether `directory` is a folder holding no entries at all.
bool IsEmptyDirectory(const std::wstring& directory);

// Whether `stream` (stdout or stderr) is a terminal or console, where
// progress may be shown.
bool IsTerminal(std::FILE* stream);

// Puts standard output in binary mode, so that bytes leave it unchanged
// (Windows would turn each LF into CR LF).
void SetBinaryStandardOutput();

// Writes UTF-8 text to stdout or stderr; a Windows console gets it as wide
// text, so that non-ASCII paths show as typed.
void WriteText(std::FILE* stream, std::string_view text);

}  // namespace qpx::tool
