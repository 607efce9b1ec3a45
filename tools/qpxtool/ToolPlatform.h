#pragma once
// What qpxtool needs of the platform beyond the project's file layer: its
// paths typed as text, their spelling in messages, and the few
// operations on names that the file layer does not offer (kinds of path,
// identity of two paths, a fresh file removed on interruption, a replacing
// rename, permissions).
// File contents are read and written through CFileSystem only.

#include <cstdint>
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

// One entry of a folder: its name, what it is (links followed) and, for a
// file, its length.
struct FolderEntry {
  std::wstring name;
  PathKind kind = PathKind::Other;
  uint64_t size = 0;
};

// Every entry of the folder `directory` but "." and "..", in no particular
// order. False when it cannot be listed (missing, or no folder).
bool ListFolder(const std::wstring& directory, std::vector<FolderEntry>& entries);

// Whether anything at all bears the name `path`, a link that leads nowhere
// included (KindOf follows links, and finds such a one Missing).
bool NameExists(const std::wstring& path);

// Whether two existing paths name one file (hard links included).
bool SameFile(const std::wstring& a, const std::wstring& b);

// Whether `path` (which need not exist, but whose folder must) lies inside
// the folder `directory`, at any depth, or is that folder: judged by the
// identity of each folder that holds it, so that links to folders and
// other spellings of a name are seen through.
bool LiesWithin(const std::wstring& path, const std::wstring& directory);

// A new empty file that an interruption of the process removes, for as
// long as this object lives: on POSIX every signal that can be caught and
// whose default action ends the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT,
// SIGUSR1, SIGALRM, ... the real-time ones included); on Windows Ctrl-C,
// Ctrl-Break, a closed console, a log-off or a shutdown. The process then
// ends as the interruption would have ended it; a signal it was started
// ignoring stays ignored. The file is made and listed in one step, so no interruption
// can come between. Destroying the object takes the file off the list and
// nothing more: deleting or renaming it is the owner's work. Open the file
// with OpenMode_ShareDelete, so that Windows lets it go while it is open.
class InterruptibleFile {
 public:
  InterruptibleFile() = default;
  InterruptibleFile(const InterruptibleFile&) = delete;
  InterruptibleFile& operator=(const InterruptibleFile&) = delete;
  ~InterruptibleFile();

  // Makes the file, named `prefix` (a directory with its separator, or
  // empty for the current one, followed by a stem) and a unique ending.
  // Never opens an existing file. False when no file could be made.
  bool Create(const std::wstring& prefix);
  const std::wstring& Path() const { return path_; }

 private:
  std::wstring path_;
  int slot_ = -1;  // its place in the list; -1 before Create succeeds
};

// A new empty folder that an interruption removes as InterruptibleFile
// removes its file, with what the owner makes in it: `contents`, the paths
// of those files and folders relative to it, each folder after everything
// it holds. Destroying the object takes the folder off the list and nothing
// more.
class InterruptibleFolder {
 public:
  InterruptibleFolder() = default;
  InterruptibleFolder(const InterruptibleFolder&) = delete;
  InterruptibleFolder& operator=(const InterruptibleFolder&) = delete;
  ~InterruptibleFolder();

  // Makes the folder, named `prefix` (as for InterruptibleFile) and a
  // unique ending. False when none could be made.
  bool Create(const std::wstring& prefix, const std::vector<std::wstring>& contents);
  const std::wstring& Path() const { return path_; }
  // Removes the listed contents and the folder, and takes it off the list.
  void RemoveNow();

 private:
  std::wstring path_;
  int slot_ = -1;
};

// Renames the folder `from` to `to`, which is missing or an empty folder.
bool RenameFolder(const std::wstring& from, const std::wstring& to);

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

// Makes a write past the system's file size limit (POSIX RLIMIT_FSIZE)
// fail as on a full disk, reported and cleaned up, where by default its
// signal would end the process. Windows has no such limit.
void LetOversizedWritesFail();

// Writes UTF-8 text to stdout or stderr; a Windows console gets it as wide
// text, so that non-ASCII paths show as typed.
void WriteText(std::FILE* stream, std::string_view text);

}  // namespace qpx::tool
