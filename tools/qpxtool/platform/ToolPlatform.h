#pragma once
// What qpxtool needs of the platform beyond the project's file layer: its
// paths typed as text, their spelling in messages, fresh files and folders
// removed on interruption, and the console.
// Files and their names are reached through CFileSystem only: a fresh file
// or folder is made through it too, so that a test's file layer sees it.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "src/filesystem/FileSystem.h"

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

// How many names InterruptibleFile and InterruptibleFolder try before they
// give up: their endings count from 0 to one below it.
inline constexpr uint32_t kTemporaryAttempts = 1000;

// The process that made the temporary file or folder `name` (no folder
// before it), when the name has the one form qpxtool gives its temporaries,
// a prefix "." NAME ".qpxtool-" (NAME not empty) followed by the unique
// ending Create adds, "PID-K.tmp": PID and K in decimal without leading
// zeros, PID a process id other than 0, K below kTemporaryAttempts. 0 for
// every other name, however much it looks like one: a name qpxtool did not
// make is never taken for one of its own.
inline uint32_t TemporaryMakerOf(std::wstring_view name) {
  constexpr std::wstring_view kStem = L".qpxtool-", kEnd = L".tmp";
  if (name.size() < 2 || name.front() != L'.' || !name.ends_with(kEnd)) return 0;
  name.remove_suffix(kEnd.size());
  const std::size_t stem = name.rfind(kStem);
  if (stem == std::wstring_view::npos || stem < 2) return 0;
  const std::wstring_view ending = name.substr(stem + kStem.size());
  const std::size_t dash = ending.find(L'-');
  if (dash == std::wstring_view::npos) return 0;
  const auto number = [](std::wstring_view digits, uint64_t limit, uint64_t& value) {
    if (digits.empty() || digits.size() > 10 || (digits.front() == L'0' && digits.size() > 1)) return false;
    value = 0;
    for (const wchar_t digit : digits) {
      if (digit < L'0' || digit > L'9') return false;
      value = value * 10 + static_cast<uint64_t>(digit - L'0');
    }
    return value <= limit;
  };
  uint64_t pid = 0, attempt = 0;
  if (!number(ending.substr(0, dash), UINT32_MAX, pid) || pid == 0 ||
      !number(ending.substr(dash + 1), kTemporaryAttempts - 1, attempt)) {
    return 0;
  }
  return static_cast<uint32_t>(pid);
}

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

  // Makes the file through `fileSystem`, named `prefix` (a directory with
  // its separator, or empty for the current one, followed by a stem) and a
  // unique ending. Never opens an existing file. False when no file could
  // be made.
  //
  // First it removes that directory's temporaries that a process which no
  // longer runs left there (killed outright, or by a power cut, it had no
  // chance to): every file or folder whose name TemporaryMakerOf knows
  // (so give a prefix of that form, "." NAME ".qpxtool-"), made by
  // another process than this one, that no process of that id runs. A
  // folder goes with the files it holds and the files of its folders, as
  // InterruptibleFolder's owner fills one; anything deeper stays, and the
  // folder with it. On POSIX only what belongs to this user is removed. A
  // link is removed as a name, never followed.
  bool Create(CFileSystem& fileSystem, const std::wstring& prefix);
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

  // Makes the folder through `fileSystem`, named `prefix` (as for
  // InterruptibleFile, stale temporaries removed first as it removes them)
  // and a unique ending. False when none could be made.
  bool Create(CFileSystem& fileSystem, const std::wstring& prefix, const std::vector<std::wstring>& contents);
  const std::wstring& Path() const { return path_; }
  // Removes the listed contents and the folder, and takes it off the list.
  void RemoveNow();

 private:
  std::wstring path_;
  int slot_ = -1;
};

// How one try at making a temporary under a name went: made, the name
// taken already (try the next), or failed for good.
enum class TemporaryMade { Made, Taken, Failed };
// One try of InterruptibleFile and InterruptibleFolder, through the file
// layer: a new empty file, or a new folder, named `path`.
TemporaryMade MakeTemporaryFile(CFileSystem& fileSystem, const std::wstring& path);
TemporaryMade MakeTemporaryFolder(CFileSystem& fileSystem, const std::wstring& path);

// Whether `stream` (stdin, stdout or stderr) is a terminal or console:
// where progress may be shown, and where no binary bytes are written or
// read.
bool IsTerminal(std::FILE* stream);

// Puts standard output (input) in binary mode, so that bytes leave (reach)
// it unchanged (Windows would turn each LF into CR LF, and stop at ^Z).
void SetBinaryStandardOutput();
void SetBinaryStandardInput();

// The folder for a temporary copy of what standard input holds, with its
// separator: $TMPDIR or /tmp on POSIX, the user's temporary folder on
// Windows.
std::wstring TemporaryDirectory();

// Makes a write past the system's file size limit (POSIX RLIMIT_FSIZE)
// fail as on a full disk, reported and cleaned up, where by default its
// signal would end the process. Windows has no such limit.
void LetOversizedWritesFail();

// Writes UTF-8 text to stdout or stderr; a Windows console gets it as wide
// text, so that non-ASCII paths show as typed.
void WriteText(std::FILE* stream, std::string_view text);

}  // namespace qpx::tool
