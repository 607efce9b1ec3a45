#include "src/app/run/RunMessages.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <set>

#include "src/app/journal/RunJournal.h"
#include "src/archive/LooseFile.h"
#include "src/filesystem/ProcessContext.h"
#include "src/filesystem/SystemError.h"

#ifndef QPX_PATCHER_VERSION
#error "the build gives the patcher's version"
#endif

namespace qpx {
namespace {

// The first 8 bytes of a content hash in hex: enough to tell two apart.
std::wstring ShortHash(const ContentHash& hash) {
  static constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  for (std::size_t i = 0; i < 8 && i < hash.size(); ++i) {
    text += kDigits[hash[i] >> 4];
    text += kDigits[hash[i] & 15];
  }
  return text;
}

std::wstring Bytes(uint64_t count) { return GroupedDigits(count) + (count == 1 ? L" byte" : L" bytes"); }

}  // namespace


void StdoutConsole::Write(std::wstring_view text) {
  // The messages are ASCII. Written as bytes, a message leaves in one write
  // (a wide stream's conversion may split it into several); anything outside
  // ASCII shows as '?'. On Windows the stream's text mode turns each newline
  // into CR LF.
  char bytes[256];
  std::size_t length = 0;
  for (const wchar_t c : text) {
    if (length == sizeof bytes) {
      std::fwrite(bytes, 1, length, stdout);
      length = 0;
    }
    bytes[length++] = static_cast<uint32_t>(c) < 0x80 ? static_cast<char>(c) : '?';
  }
  std::fwrite(bytes, 1, length, stdout);
  std::fflush(stdout);
}

void ConsoleReport(Console& console, const wchar_t* format, ...) {
  wchar_t buffer[256];
  va_list args;
  va_start(args, format);
  const int length = std::vswprintf(buffer, sizeof buffer / sizeof buffer[0], format, args);
  va_end(args);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof buffer / sizeof buffer[0]) return;
  console.Write(std::wstring_view(buffer, static_cast<std::size_t>(length)));
}

void ConsoleLine(Console& console, std::wstring_view text) {
  std::wstring line(text);
  line += L'\n';
  console.Write(line);
}

const wchar_t* PayloadMessage(PayloadError error) {
  switch (error) {
    case PayloadError::None: return L"";
    case PayloadError::CantFind: return L"Can't find patch data\n";
    case PayloadError::CantReadHeader: return L"Can't read patch header\n";
    case PayloadError::CantReadInfo: return L"Can't read patch info\n";
    case PayloadError::CantReadData: return L"Can't read patch data\n";
    case PayloadError::Damaged: return L"Patch data is damaged\n";
  }
  return L"";
}

std::wstring GroupedDigits(uint64_t value) {
  std::wstring digits = std::to_wstring(value);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, L",");
  return digits;
}

std::wstring ResourceTarget(uint32_t number) {
  if (number < kEntryCount) return L"entry " + std::to_wstring(number);
  // Named as the game names it, with a backslash on every platform.
  if (number < kResourceLimit) return std::wstring(kLooseDirectoryName) + L"\\" + LooseFileName(number - kEntryCount);
  return L"";
}

std::wstring VerdictWords(Verdict verdict) {
  switch (verdict) {
    case Verdict::Write:
    case Verdict::Rewrite:
    case Verdict::AlreadyApplied:
    case Verdict::Skipped:
    case Verdict::Base: return L"";
    case Verdict::OutOfRange: return L"not a resource of the game";
    case Verdict::TooLarge: return L"too large";
    case Verdict::Missing: return L"missing";
    case Verdict::NotWritable: return L"not writable";
    case Verdict::Unreadable: return L"cannot be read";
    case Verdict::OutsideData: return L"points outside DATA1.QPX";
    case Verdict::Malformed: return L"not a loose resource file";
    case Verdict::AnotherVersion: return L"another version of the game";
  }
  return L"";
}

std::wstring ShortOfSpaceWords() { return L"not enough disk space"; }

std::wstring CheckMessage(uint32_t number, Verdict verdict) {
  std::wstring name = L"Resource " + std::to_wstring(number);
  if (number < kResourceLimit) name += L" (" + ResourceTarget(number) + L")";
  const std::wstring words = VerdictWords(verdict);
  switch (verdict) {
    case Verdict::Write:
    case Verdict::Rewrite:
    case Verdict::AlreadyApplied:
    case Verdict::Skipped:
    case Verdict::Base: return L"";
    case Verdict::TooLarge:
      return name + L" is " + words +
             (number < kEntryCount ? L" for an entry"
                                   : L" for a loose file (at most " + GroupedDigits(kLooseMaxBodySize) + L" bytes)");
    // Not writable, a file "cannot be written": the patcher says why it may be.
    case Verdict::NotWritable: return name + L" cannot be written (is it read-only?)";
    case Verdict::Unreadable:
    case Verdict::OutsideData: return name + L" " + words;
    case Verdict::AnotherVersion: return name + L" is from " + words;
    case Verdict::OutOfRange:
    case Verdict::Missing:
    case Verdict::Malformed: return name + L" is " + words;
  }
  return L"";
}

std::wstring SpaceMessage(const PatchCheck& check) {
  std::wstring words = ShortOfSpaceWords();
  words[0] = L'N';  // the sentence's first word
  return words + L": the patch needs " + GroupedDigits(check.SpaceShort()) + L" bytes more";
}

std::wstring VersionsNamed(const Payload& payload, uint64_t versions) {
  std::wstring names;
  for (std::size_t i = 1; i < payload.labels.size() && i <= kMaxOldVersions; ++i) {
    if ((versions >> (i - 1) & 1) == 0) continue;
    if (!names.empty()) names += L", ";
    names += ConsoleSafe(payload.labels[i]);
  }
  return names;
}

std::wstring UpdatesLine(const Payload& payload) {
  if (payload.labels.size() < 2) return L"";
  return L"This patch updates " + VersionsNamed(payload, ~uint64_t{0}) + L" to " + ConsoleSafe(payload.labels[0]);
}

std::wstring DescribePatch(const Payload& payload) {
  uint64_t writes = 0;
  std::size_t records = 0;
  std::set<uint32_t> resources;
  for (const PayloadRecord& record : payload.records) {
    if (record.Skipped()) continue;
    // Alternatives for one resource write it once.
    if (payload.version == kPayloadVersion3 && !resources.insert(record.resourceNumber).second) continue;
    // Sizes a forged table may hold: the total stops at the largest count
    // rather than wrap to a small one.
    writes = record.resultSize > UINT64_MAX - writes ? UINT64_MAX : writes + record.resultSize;
    ++records;
  }
  return L"qpxpatch " QPX_PATCHER_VERSION L"\n"
         L"A patch for the game's archive (DATA0.QPX, DATA1.QPX, res\\DNNNNN.bin): payload format " +
         std::to_wstring(payload.version) + L", " + std::to_wstring(records) + (records == 1 ? L" record, " : L" records, ") +
         GroupedDigits(writes) + (writes == 1 ? L" byte" : L" bytes") + L" to write.\n"
         L"It checks every record against the game before it writes anything, and changes all or nothing.\n" +
         (payload.version == kPayloadVersion3 ? UpdatesLine(payload) + L".\n" : std::wstring()) +
         L"Usage: run it inside the game folder, with no arguments, to apply the patch.\n"
         L"  --check    check the game in the current folder and say what the patch would do; change nothing\n"
         L"  --help     show this text (also -h, /? and --version)\n"
         L"Exit status: 0 when the patch applied (with --check: would apply), 1 otherwise.\n";
}

std::wstring CheckedRecordLine(const PayloadRecord& record, const RecordCheck& check, bool damaged) {
  const std::wstring target = ResourceTarget(record.resourceNumber);
  const std::wstring name = L"Patch " + std::to_wstring(static_cast<int32_t>(record.resourceNumber)) +
                            (target.empty() ? L"" : L" (" + target + L")");
  std::wstring what;
  if (check.verdict == Verdict::AlreadyApplied) {
    what = L"already applied";
  } else if (damaged) {
    what = L"would fail: its body does not decode to the bytes the patch names (the patch is faulty)";
  } else if (record.resourceNumber >= kEntryCount) {
    what = L"would apply (rewrites " + target + L")";
  } else {
    what = check.inPlace ? L"would apply (in place)" : L"would apply (appended to DATA1.QPX)";
  }
  return name + L": " + what;
}

std::wstring CheckingLine(const std::wstring& folder) {
  return L"Checking the game in " + folder + L"; nothing will be changed";
}

const wchar_t* CheckEndLine(bool passes) {
  return passes ? L"Check passed: the patch would apply; nothing was changed\n"
                : L"Check failed: the patch would not apply; nothing was changed\n";
}

std::wstring JournalFoundLine(bool sealed) {
  return std::wstring(kJournalFileName) +
         (sealed ? L" holds the changes of a run that was stopped: the patch writes them first; this "
                   L"check sees the game without them"
                 : L" holds a run that was stopped before its changes were sealed: the patch takes it "
                   L"back first");
}

// Failed checks are listed up to this many; the rest are counted.
constexpr std::size_t kListedRefusals = 10;

void ReportRefusals(Console& console, const Payload& payload, const PatchCheck& check, const std::wstring& prefix,
                    const wchar_t* ending) {
  std::size_t refused = 0, first = payload.records.size();
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    if (Passes(check.records[i].verdict)) continue;
    if (first == payload.records.size()) first = i;
    if (refused++ < kListedRefusals) {
      ConsoleLine(console, prefix + CheckMessage(payload.records[i].resourceNumber, check.records[i].verdict));
    }
  }
  if (refused > kListedRefusals) {
    ConsoleReport(console, lines::kMoreRefused, static_cast<int32_t>(refused - kListedRefusals));
  }
  if (check.SpaceShort() != 0) ConsoleLine(console, SpaceMessage(check));
  if (first != payload.records.size()) {
    const std::wstring line = RefusalLine(payload.records[first], check.records[first], FolderForMessages());
    if (!line.empty()) ConsoleLine(console, line);
  }
  if (check.SpaceShort() != 0) ConsoleLine(console, SpaceLine(check, FolderForMessages()));
  if (ending == nullptr) return;
  ConsoleReport(console, ending);
  ReportVersions(console, payload, check);
}

void ReportVersions(Console& console, const Payload& payload, const PatchCheck& check) {
  if (payload.version != kPayloadVersion3) return;
  for (const RecordCheck& record : check.records) {
    if (record.verdict == Verdict::AnotherVersion) {
      ConsoleLine(console, UpdatesLine(payload));
      return;
    }
  }
}

std::wstring JournalLine(JournalStep step, uint32_t error, const std::wstring& folder) {
  return std::wstring(kJournalFileName) + L" cannot be " + (step == JournalStep::Made ? L"made" : L"written") + L" in " + folder + ReasonSuffix(error) +
         L": is the folder read-only, or the disk full?";
}

std::wstring SettlingFailedLine(uint32_t error, const std::wstring& folder) {
  return L"Settling " + std::wstring(kJournalFileName) + L" in " + folder +
         L", left by a run that was stopped, failed" + ReasonSuffix(error);
}

std::wstring NoRoomLine(uint32_t error, const std::wstring& folder) {
  return L"The disk of " + folder + L" has no room for what the patch adds" + ReasonSuffix(error);
}

std::wstring WritingGameFailedLine(uint32_t error, const std::wstring& folder) {
  return L"Writing the game in " + folder + L" failed" + ReasonSuffix(error);
}

std::wstring ConsoleSafe(std::string_view bytes) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  for (const char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      text += static_cast<wchar_t>(byte);
    } else {
      text += L"\\x";
      text += kDigits[byte >> 4];
      text += kDigits[byte & 15];
    }
  }
  return text;
}

std::wstring FolderForMessages() {
  const std::string folder = CurrentFolderBytes();
  return folder.empty() ? L"the current folder" : ConsoleSafe(folder);
}

std::wstring ReasonSuffix(uint32_t code) {
  const std::string words = SystemErrorText(code);
  return words.empty() ? L"" : L" (" + ConsoleSafe(words) + L")";
}

std::wstring OpeningFailureLine(const ResourceArchive::OpeningFailure& failure, const std::wstring& folder) {
  using Reason = ResourceArchive::OpeningFailure::Reason;
  const std::wstring file = failure.file;
  switch (failure.reason) {
    case Reason::None: return L"";
    case Reason::Missing:
      if (failure.systemError == 0 || SystemErrorMeansNotFound(failure.systemError)) {
        return L"No " + file + L" in " + folder + L": run the patch inside the game folder";
      }
      return file + L" in " + folder + L" cannot be opened" + ReasonSuffix(failure.systemError);
    case Reason::NotWritable:
      return file + L" in " + folder + L" cannot be written" + ReasonSuffix(failure.systemError) +
             L": is the file or the folder read-only?";
    case Reason::NotAnIndex:
      return file + L" in " + folder + L" is " + Bytes(static_cast<uint64_t>(failure.length)) + L", not the " +
             GroupedDigits(kIndexFileSize) + L" of the game's index: run the patch inside the game folder";
    case Reason::Unreadable: return file + L" in " + folder + L" cannot be read" + ReasonSuffix(failure.systemError);
  }
  return L"";
}

std::wstring RefusalLine(const PayloadRecord& record, const RecordCheck& check, const std::wstring& folder) {
  const std::wstring target = ResourceTarget(record.resourceNumber);
  const std::wstring unknown = L"The game in " + folder + L" is not one this patch knows: ";
  switch (check.verdict) {
    case Verdict::AnotherVersion:
      return unknown + target + L" holds " + Bytes(check.foundSize) + L" (XXH3 " + ShortHash(check.foundHash) +
             L"), where the patch expects " + Bytes(record.baseSize) + L" (XXH3 " + ShortHash(record.baseHash) + L")";
    case Verdict::Missing: return unknown + L"it has no " + target;
    case Verdict::Malformed: return unknown + target + L" is " + VerdictWords(check.verdict);
    case Verdict::OutsideData:
      return unknown + L"the index record of " + target + L" " + VerdictWords(check.verdict);
    case Verdict::NotWritable:
      return target + L" in " + folder + L" cannot be written" + ReasonSuffix(check.systemError) +
             L": is the file or the folder read-only?";
    case Verdict::Unreadable:
      return target + L" in " + folder + L" " + VerdictWords(check.verdict) + ReasonSuffix(check.systemError);
    default: return L"";
  }
}

std::wstring SpaceLine(const PatchCheck& check, const std::wstring& folder) {
  const uint32_t unit = check.allocationUnit;
  const uint64_t more = AllocatedLength(check.SpaceShort(), unit);
  std::wstring line = L"Free " + Bytes(more) + L" more on the disk of " + folder + L": it has " +
                      GroupedDigits(check.freeSpace) + L" free, the run takes " + GroupedDigits(check.needed);
  if (unit > 1) line += L" (in whole units of " + Bytes(unit) + L")";
  return line;
}

std::wstring FailedRecordLine(const PayloadRecord& record, const RecordCheck& check, bool damaged,
                              uint32_t systemError, const std::wstring& folder) {
  const uint32_t number = record.resourceNumber;
  const std::wstring name = L"Resource " + std::to_wstring(number) + L" (" + ResourceTarget(number) + L")";
  if (damaged) return name + L": its body does not decode to the bytes the patch names (the patch is faulty)";
  // An entry that does not go in place is appended to the data file at
  // once; everything else is staged in the journal first.
  const std::wstring file = number < kEntryCount && !check.inPlace ? L"DATA1.QPX" : kJournalFileName;
  return name + L": writing " + file + L" in " + folder + L" failed" + ReasonSuffix(systemError);
}

}  // namespace qpx
