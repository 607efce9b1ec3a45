#pragma once
// Every line the patcher prints, and where it prints them, with the
// phrases qpxtool shares with it (resource names, grouped numbers, the
// words of each verdict): the one home of the system's words. The terse lines come first, as every version
// of the patcher prints them; then the lines a version-2 run adds after
// them, to say where and why: the folder it ran in and the reason a file
// would not open, a check failed or a write did not go through. Every text
// is ASCII but for names and the system's words, which are shown as the
// player's system shows them (see WriteToStdout); bytes that are not text
// are shown as \xNN.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "src/app/payload/PatchPayload.h"
#include "src/app/payload/PatcherBranding.h"
#include "src/app/run/PatchCheck.h"
#include "src/app/run/Verdict.h"
#include "src/archive/ResourceArchive.h"

namespace qpx {

// Where messages go. The program writes to standard output; tests collect
// the text instead.
class Console {
 public:
  virtual ~Console() = default;
  virtual void Write(std::wstring_view text) = 0;
};

// Standard output, as WriteToStdout writes it.
class StdoutConsole final : public Console {
 public:
  void Write(std::wstring_view text) override;
};

// Collects everything written, for tests.
class CapturedConsole final : public Console {
 public:
  void Write(std::wstring_view text) override { text_ += text; }
  const std::wstring& Text() const { return text_; }

 private:
  std::wstring text_;
};

// Formats `format` (printf style: %d a signed 32-bit integer, %ls a wide
// string) and writes the text to `console`. Messages are short; one that
// cannot be formatted is not written.
void ConsoleReport(Console& console, const wchar_t* format, ...);

// Writes `text` and a line end, whatever its length (a folder's path may
// be longer than a formatted message may be).
void ConsoleLine(Console& console, std::wstring_view text);


// The terse lines, each as the first version of the patcher printed it
// (the formats take the resource's number).
namespace lines {
inline constexpr const wchar_t* kProcessing = L"Processing patch %d\n";
inline constexpr const wchar_t* kDone = L"Done\n";
inline constexpr const wchar_t* kFailed = L"Failed\n";
inline constexpr const wchar_t* kFailedPatches = L"Failed patches: %d\n";
inline constexpr const wchar_t* kSuccess = L"Success!\n";
inline constexpr const wchar_t* kAlreadyApplied = L"Already applied\n";
inline constexpr const wchar_t* kCantOpenPatchData = L"Can't open patch data\n";
inline constexpr const wchar_t* kCantReadPatchData = L"Can't read patch data\n";
inline constexpr const wchar_t* kCantOpenArchive = L"Can't open %ls\n";  // the data file's name
inline constexpr const wchar_t* kOutOfMemory = L"Out of memory\n";
inline constexpr const wchar_t* kPressAnyKey = L"Press Any Key...";
inline constexpr const wchar_t* kAfterKey = L"\n";  // the key pressed: the prompt's line ends
// A version-2 run's endings.
inline constexpr const wchar_t* kNothingChanged = L"Nothing was changed\n";
inline constexpr const wchar_t* kRunAgain = L"Stopped: run the patch again to finish\n";
inline constexpr const wchar_t* kAnotherRun = L"Another patch is running in this folder\nNothing was changed\n";
inline constexpr const wchar_t* kCantWriteJournal = L"Can't write QPXPATCH.JNL in the game folder";
inline constexpr const wchar_t* kNoDiskSpace = L"Not enough disk space";
inline constexpr const wchar_t* kMoreRefused = L"... and %d more resources\n";
// After a version-2 payload that cannot be used.
inline constexpr const wchar_t* kDownloadAgain = L"Download the patch again; nothing was changed\n";
// Ctrl+C (or a request to end) noted, and where the stop leaves the game.
inline constexpr const wchar_t* kStopping = L"Stopping after this resource...\n";
inline constexpr const wchar_t* kStoppedAsItWas = L"Stopped: the game is as it was\n";
// The endings of a run that settled a stopped run's journal first and then
// changed nothing of its own.
inline constexpr const wchar_t* kStoppedRunFinished =
    L"The stopped run's changes were written; nothing else was changed\n";
inline constexpr const wchar_t* kStoppedRunUndone = L"The stopped run was taken back; nothing else was changed\n";
inline constexpr const wchar_t* kNoFolder = L"Can't open the game folder\n";
// A record's progress, redrawn in place, and the blank that clears it.
inline constexpr const wchar_t* kProgress = L"\r%3d%%";
inline constexpr const wchar_t* kProgressCleared = L"\r      \r";
}  // namespace lines

// The line a payload that cannot be used prints ("Can't find patch data",
// "Patch data is damaged"), with its line end; empty for None.
const wchar_t* PayloadMessage(PayloadError error);

// `value` in decimal with a comma between each three digits: "132,907,008".
std::wstring GroupedDigits(uint64_t value);

// How resource `number` is named: "entry 747", "res\D00002.bin" (as the
// game names it, with a backslash, unless `separator` says otherwise);
// empty for a number past the game's.
std::wstring ResourceTarget(uint32_t number, wchar_t separator = L'\\');
// As the patcher's messages name it, with the separator of the player's
// system ("res/D00002.bin" on POSIX).
std::wstring ShownTarget(uint32_t number);

// A verdict that fails, in plain words: the one wording of each that the
// patcher's messages and qpxtool plan share ("another version of the
// game", "missing"); empty for a verdict that passes.
std::wstring VerdictWords(Verdict verdict);

// A disk too small for the run, in the same plain words.
std::wstring ShortOfSpaceWords();

// The patcher's words for a record that fails its check, naming the
// resource: "Resource 747 (entry 747) is from another version of the game".
// `separator` as in ResourceTarget: qpxtool quotes the Windows patcher.
std::wstring CheckMessage(uint32_t resourceNumber, Verdict verdict, wchar_t separator = L'\\');

// The patcher's words for a disk too small: how many more bytes it needs.
std::wstring SpaceMessage(const PatchCheck& check);

// Of a patch for several old versions: the labels of the old versions in
// the mask `versions`, made console-safe ("1.0, 1.1"), and the line that
// names them all and the new one ("This patch updates 1.0, 1.1 to 1.2").
std::wstring VersionsNamed(const Payload& payload, uint64_t versions);
std::wstring UpdatesLine(const Payload& payload);

// What --help prints: the patcher's version, the payload's format, its
// records, the bytes it writes and how to run it.
// A patch that carries its publisher's name opens with it.
std::wstring DescribePatch(const Payload& payload, const std::wstring& program = L"patch",
                           const PatchBranding& branding = {});
// What --version prints: one line ("Game 1.2 (Company): qpxpatch 1.0.0
// (payload format 2)").
std::wstring VersionLine(const Payload& payload, const PatchBranding& branding = {});
// How to run the patch (named `program`), and its exit statuses: what an
// unknown argument gets, after UnknownArgumentLine.
std::wstring UsageText(const std::wstring& program);
std::wstring UnknownArgumentLine(const std::wstring& argument);

// What --check prints for a record that passes: "Patch 5 (entry 5): would
// apply (in place)"; `damaged` when its body does not decode.
std::wstring CheckedRecordLine(const PayloadRecord& record, const RecordCheck& check, bool damaged);
// --check's first line, naming the folder, and its last.
std::wstring CheckingLine(const std::wstring& folder);
// `applied`: the check passed with nothing to write.
const wchar_t* CheckEndLine(bool passes, bool applied = false);
// --check on a folder holding a stopped run's journal, sealed or not.
std::wstring JournalFoundLine(bool sealed);
// The prefix of --check's refusals.
inline constexpr const wchar_t* kRefusedPrefix = L"Refused: ";

// `bytes` with every byte outside printable ASCII written as \xNN (two
// capital hex digits): a path's bytes, or UTF-8.
std::wstring ConsoleSafe(std::string_view bytes);

// `bytes` (a path, the system's words) as the player's system shows it:
// well-formed UTF-8 as its characters, every other byte, and control
// characters, as \xNN.
std::wstring ShownText(std::string_view bytes);

// The current folder's full path for a message, shown as ShownText
// shows it; "the current folder" when it cannot be told.
std::wstring FolderForMessages();

// The platform's reason for `code` in parentheses, after a space:
// " (Permission denied)"; empty for 0.
std::wstring ReasonSuffix(uint32_t code);

// Lists the records that fail their checks (the first ten after `prefix`,
// then a count), the disk's shortfall, and what the first refusal found
// in the folder; a patch for several old versions that refuses a resource
// as from another version then says which versions it does take, after
// `ending` (the run's "Nothing was changed"; none for --check).
// `whole`, when given, is the patch before its alternatives were chosen:
// the refusal then says what each old version holds where the game
// differs.
void ReportRefusals(Console& console, const Payload& payload, const PatchCheck& check, const std::wstring& prefix,
                    const wchar_t* ending, const Payload* whole = nullptr);
// Of a patch for several old versions with a resource from another
// version: which versions it takes.
void ReportVersions(Console& console, const Payload& payload, const PatchCheck& check);

// Why the run's journal could not be made, or written.
enum class JournalStep { Made, Written };
std::wstring JournalLine(JournalStep step, uint32_t error, const std::wstring& folder);

// After a stopped run's journal could not be settled.
std::wstring SettlingFailedLine(uint32_t error, const std::wstring& folder);

// What to do where this user may not write `what` ("file or the folder"):
// ": is the folder read-only? ... run the patch as administrator".
std::wstring AccessAdvice(const wchar_t* what);

// `file` held open by another program: "DATA1.QPX is open in another
// program (is the game running?): close it and run the patch again".
std::wstring InUseLine(const std::wstring& file);

// A data file that would grow past the largest file its disk holds
// (4 GiB - 1 on FAT32).
std::wstring TooLargeForVolumeLine(const PatchCheck& check, const std::wstring& folder);

// After "Not enough disk space", where the run's reservation failed.
std::wstring NoRoomLine(uint32_t error, const std::wstring& folder);

// After the commit, where writing the game in place failed.
std::wstring WritingGameFailedLine(uint32_t error, const std::wstring& folder);

// After "Can't open DATA1.QPX": which archive file, in which folder, and
// why ("No DATA1.QPX in /games/x: run the patch inside the game folder").
std::wstring OpeningFailureLine(const ResourceArchive::OpeningFailure& failure, const std::wstring& folder);

// After the refusals: what the first refused record found in the folder;
// empty when its refusal is the patch's own (a resource the game has not,
// a body too large).
std::wstring RefusalLine(const PayloadRecord& record, const RecordCheck& check, const std::wstring& folder,
                         const Payload* whole = nullptr);

// After "Can't open the game folder": which, and why.
std::wstring NoFolderLine(const std::wstring& folder, uint32_t error);

// After "Not enough disk space: ...": how much more to free, in whole
// units of the disk, what it has and what the run takes.
std::wstring SpaceLine(const PatchCheck& check, const std::wstring& folder);

// After a record's "Failed": why, naming the resource and the file the
// write went to ("Resource 5 (entry 5): writing QPXPATCH.JNL in /games/x
// failed (No space left on device)").
std::wstring FailedRecordLine(const PayloadRecord& record, const RecordCheck& check, bool damaged,
                              uint32_t systemError, const std::wstring& folder);

}  // namespace qpx
