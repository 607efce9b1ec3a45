#pragma once
// Every line the patcher prints, and where it prints them, with the
// phrases qpxtool shares with it (resource names, grouped numbers, the
// words of each verdict): the one home of the system's words. The terse lines come first, as every version
// of the patcher prints them; then the lines a version-2 run adds after
// them, to say where and why: the folder it ran in and the reason a file
// would not open, a check failed or a write did not go through. Every text
// is ASCII whatever the console's code page: other bytes of a path or of
// the system's words are shown as \xNN.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "src/app/payload/PatchPayload.h"
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

// Standard output, flushed after every message, so that a prompt without a
// line end is on screen before the program waits for a key. Failed writes
// are ignored: there is nowhere else to report them.
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
// A version-2 run's endings.
inline constexpr const wchar_t* kNothingChanged = L"Nothing was changed\n";
inline constexpr const wchar_t* kRunAgain = L"Stopped: run the patch again to finish\n";
inline constexpr const wchar_t* kAnotherRun = L"Another patch is running in this folder\nNothing was changed\n";
inline constexpr const wchar_t* kCantWriteJournal = L"Can't write QPXPATCH.JNL in the game folder";
inline constexpr const wchar_t* kNoDiskSpace = L"Not enough disk space";
inline constexpr const wchar_t* kMoreRefused = L"... and %d more resources\n";
// A record's progress, redrawn in place, and the blank that clears it.
inline constexpr const wchar_t* kProgress = L"\r%3d%%";
inline constexpr const wchar_t* kProgressCleared = L"\r      \r";
}  // namespace lines

// The line a payload that cannot be used prints ("Can't find patch data",
// "Patch data is damaged"), with its line end; empty for None.
const wchar_t* PayloadMessage(PayloadError error);

// `value` in decimal with a comma between each three digits: "132,907,008".
std::wstring GroupedDigits(uint64_t value);

// How the messages name resource `number`: "entry 747", "res\D00002.bin";
// empty for a number past the game's.
std::wstring ResourceTarget(uint32_t number);

// A verdict that fails, in plain words: the one wording of each that the
// patcher's messages and qpxtool plan share ("another version of the
// game", "missing"); empty for a verdict that passes.
std::wstring VerdictWords(Verdict verdict);

// A disk too small for the run, in the same plain words.
std::wstring ShortOfSpaceWords();

// The patcher's words for a record that fails its check, naming the
// resource: "Resource 747 (entry 747) is from another version of the game".
std::wstring CheckMessage(uint32_t resourceNumber, Verdict verdict);

// The patcher's words for a disk too small: how many more bytes it needs.
std::wstring SpaceMessage(const PatchCheck& check);

// Of a patch for several old versions: the labels of the old versions in
// the mask `versions`, made console-safe ("1.0, 1.1"), and the line that
// names them all and the new one ("This patch updates 1.0, 1.1 to 1.2").
std::wstring VersionsNamed(const Payload& payload, uint64_t versions);
std::wstring UpdatesLine(const Payload& payload);

// What --help prints: the patcher's version, the payload's format, its
// records, the bytes it writes and how to run it.
std::wstring DescribePatch(const Payload& payload);

// What --check prints for a record that passes: "Patch 5 (entry 5): would
// apply (in place)"; `damaged` when its body does not decode.
std::wstring CheckedRecordLine(const PayloadRecord& record, const RecordCheck& check, bool damaged);
// --check's first line, naming the folder, and its last.
std::wstring CheckingLine(const std::wstring& folder);
const wchar_t* CheckEndLine(bool passes);
// --check on a folder holding a stopped run's journal, sealed or not.
std::wstring JournalFoundLine(bool sealed);
// The prefix of --check's refusals.
inline constexpr const wchar_t* kRefusedPrefix = L"Refused: ";

// `bytes` with every byte outside printable ASCII written as \xNN (two
// capital hex digits): a path's bytes, or UTF-8.
std::wstring ConsoleSafe(std::string_view bytes);

// The current folder's full path for a message, made console-safe; "the
// current folder" when it cannot be told.
std::wstring FolderForMessages();

// The platform's reason for `code` in parentheses, after a space:
// " (Permission denied)"; empty for 0.
std::wstring ReasonSuffix(uint32_t code);

// Lists the records that fail their checks (the first ten after `prefix`,
// then a count), the disk's shortfall, and what the first refusal found
// in the folder; a patch for several old versions that refuses a resource
// as from another version then says which versions it does take, after
// `ending` (the run's "Nothing was changed"; none for --check).
void ReportRefusals(Console& console, const Payload& payload, const PatchCheck& check, const std::wstring& prefix,
                    const wchar_t* ending);
// Of a patch for several old versions with a resource from another
// version: which versions it takes.
void ReportVersions(Console& console, const Payload& payload, const PatchCheck& check);

// Why the run's journal could not be made, or written.
enum class JournalStep { Made, Written };
std::wstring JournalLine(JournalStep step, uint32_t error, const std::wstring& folder);

// After a stopped run's journal could not be settled.
std::wstring SettlingFailedLine(uint32_t error, const std::wstring& folder);

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
std::wstring RefusalLine(const PayloadRecord& record, const RecordCheck& check, const std::wstring& folder);

// After "Not enough disk space: ...": how much more to free, in whole
// units of the disk, what it has and what the run takes.
std::wstring SpaceLine(const PatchCheck& check, const std::wstring& folder);

// After a record's "Failed": why, naming the resource and the file the
// write went to ("Resource 5 (entry 5): writing QPXPATCH.JNL in /games/x
// failed (No space left on device)").
std::wstring FailedRecordLine(const PayloadRecord& record, const RecordCheck& check, bool damaged,
                              uint32_t systemError, const std::wstring& folder);

}  // namespace qpx
