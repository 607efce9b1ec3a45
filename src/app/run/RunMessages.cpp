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
#include "src/paths/Utf8.h"

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

// Appends `byte` as \xNN (two capital hex digits).
void AppendEscaped(std::wstring& text, uint8_t byte) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  text += L"\\x";
  text += kDigits[byte >> 4];
  text += kDigits[byte & 15];
}

// Appends code point `point` as the platform's wide characters hold it.
void AppendWide(std::wstring& text, uint32_t point) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (point >= 0x10000) {
      text += static_cast<wchar_t>(0xD800 + ((point - 0x10000) >> 10));
      text += static_cast<wchar_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
      return;
    }
  }
  text += static_cast<wchar_t>(point);
}

// An argument as UTF-8 bytes, for ShownText: every wide character
// (a POSIX path's undecodable byte came as U+DC80 + byte: it goes back).
std::string NarrowForMessage(const std::wstring& wide) {
  std::string bytes;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    auto point = static_cast<uint32_t>(wide[i]);
    if (point >= 0xDC80 && point < 0xDD00) {
      bytes += static_cast<char>(point - 0xDC00);
      continue;
    }
    if (point >= 0xD800 && point < 0xDC00 && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000) {
      point = 0x10000 + ((point - 0xD800) << 10) + (static_cast<uint32_t>(wide[++i]) - 0xDC00);
    }
    AppendUtf8(bytes, point > 0x10FFFF ? 0xFFFD : point);
  }
  return bytes;
}

}  // namespace


void StdoutConsole::Write(std::wstring_view text) { WriteToStdout(text); }

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

std::wstring ResourceTarget(uint32_t number, wchar_t separator) {
  if (number < kEntryCount) return L"entry " + std::to_wstring(number);
  if (number < kResourceLimit) return std::wstring(kLooseDirectoryName) + separator + LooseFileName(number - kEntryCount);
  return L"";
}

std::wstring ShownTarget(uint32_t number) { return ResourceTarget(number, ShownPathSeparator()); }

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

std::wstring CheckMessage(uint32_t number, Verdict verdict, wchar_t separator) {
  std::wstring name = L"Resource " + std::to_wstring(number);
  if (number < kResourceLimit) name += L" (" + ResourceTarget(number, separator) + L")";
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

namespace {

// The publisher's name, version and company on one line: "Game 1.2
// (Company)"; empty for a patch without them.
std::wstring BrandingLine(const PatchBranding& branding) {
  std::wstring line = ShownText(branding.product);
  if (!branding.productVersion.empty()) line += (line.empty() ? L"" : L" ") + ShownText(branding.productVersion);
  if (!branding.company.empty()) line += (line.empty() ? L"(" : L" (") + ShownText(branding.company) + L")";
  return line;
}

}  // namespace

std::wstring DescribePatch(const Payload& payload, const std::wstring& program, const PatchBranding& branding) {
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
  std::wstring publisher = BrandingLine(branding);
  if (!publisher.empty()) publisher += L"\n";
  if (!branding.description.empty()) publisher += ShownText(branding.description) + L"\n";
  return publisher + L"qpxpatch " QPX_PATCHER_VERSION L"\n"
         L"A patch for the game's archive (DATA0.QPX, DATA1.QPX, " + std::wstring(kLooseDirectoryName) + ShownPathSeparator() +
         L"DNNNNN.bin): payload format " +
         std::to_wstring(payload.version) + L", " + std::to_wstring(records) + (records == 1 ? L" record, " : L" records, ") +
         GroupedDigits(writes) + (writes == 1 ? L" byte" : L" bytes") + L" to write.\n"
         L"It checks every record against the game before it writes anything, and changes all or nothing.\n" +
         (payload.version == kPayloadVersion3 ? UpdatesLine(payload) + L".\n" : std::wstring()) +
         UsageText(program);
}

std::wstring VersionLine(const Payload& payload, const PatchBranding& branding) {
  const std::wstring publisher = BrandingLine(branding);
  return (publisher.empty() ? L"" : publisher + L": ") + L"qpxpatch " QPX_PATCHER_VERSION L" (payload format " + std::to_wstring(payload.version) + L")\n";
}

std::wstring UsageText(const std::wstring& program) {
  return L"Usage: run it inside the game folder, or give the game folder (or drop it on the patch):\n"
         L"  " + program + L" [--check] [--no-pause] [GAME-FOLDER]\n"
         L"  --check      check the game and say what the patch would do; change nothing\n"
         L"  --no-pause   do not wait for a key at the end\n"
         L"  --help       describe the patch (also -h and /?); --version: the patcher's version\n"
         L"On Windows also /check, /nopause; --target GAME-FOLDER names the folder too.\n"
         L"Exit status: 0 applied or already applied (with --check: would apply), 1 the patch does not apply to\n"
         L"this game, 2 an unknown argument, 3 try again (another run, the game running, stopped, disk full),\n"
         L"4 the patch file is damaged or incomplete.\n";
}

std::wstring UnknownArgumentLine(const std::wstring& argument) {
  return L"Unknown argument: " + ShownText(NarrowForMessage(argument)) + L"; nothing was changed";
}

std::wstring CheckedRecordLine(const PayloadRecord& record, const RecordCheck& check, bool damaged) {
  const std::wstring target = ShownTarget(record.resourceNumber);
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

const wchar_t* CheckEndLine(bool passes, bool applied) {
  if (passes && applied) return L"Check passed: the patch is already applied: nothing to do\n";
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
                    const wchar_t* ending, const Payload* whole) {
  std::size_t refused = 0, first = payload.records.size();
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    if (Passes(check.records[i].verdict)) continue;
    if (first == payload.records.size()) first = i;
    if (refused++ < kListedRefusals) {
      ConsoleLine(console, prefix + CheckMessage(payload.records[i].resourceNumber, check.records[i].verdict,
                                                 ShownPathSeparator()));
    }
  }
  if (refused > kListedRefusals) {
    ConsoleReport(console, lines::kMoreRefused, static_cast<int32_t>(refused - kListedRefusals));
  }
  if (check.SpaceShort() != 0) ConsoleLine(console, SpaceMessage(check));
  if (first != payload.records.size()) {
    const std::wstring line = RefusalLine(payload.records[first], check.records[first], FolderForMessages(), whole);
    if (!line.empty()) ConsoleLine(console, line);
  }
  if (check.SpaceShort() != 0) ConsoleLine(console, SpaceLine(check, FolderForMessages()));
  if (check.PastLargestFile()) ConsoleLine(console, TooLargeForVolumeLine(check, FolderForMessages()));
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
  const std::wstring line = std::wstring(kJournalFileName) + L" cannot be " +
                            (step == JournalStep::Made ? L"made" : L"written") + L" in " + folder + ReasonSuffix(error);
  switch (MeaningOf(error)) {
    case ErrorMeaning::AccessDenied: return line + AccessAdvice(L"folder");
    case ErrorMeaning::DiskFull: return line + L": free some room on the disk and run the patch again";
    case ErrorMeaning::InUse: return line + L": another program holds it; close it and run the patch again";
    // The system's words say it; a guess would mislead (a failing disk is
    // neither read-only nor full).
    case ErrorMeaning::NotFound:
    case ErrorMeaning::Other: return line;
  }
  return line;
}

std::wstring AccessAdvice(const wchar_t* what) {
  if (AccessRemedyHere() == AccessRemedy::Administrator) {
    return std::wstring(L": is the ") + what + L" read-only? In a protected folder (such as Program Files), "
           L"run the patch as administrator";
  }
  return std::wstring(L": is the ") + what + L" read-only, or another user's? Run the patch as its owner";
}

std::wstring InUseLine(const std::wstring& file) {
  return file + L" is open in another program (is the game running?): close it and run the patch again";
}

std::wstring TooLargeForVolumeLine(const PatchCheck& check, const std::wstring& folder) {
  return L"DATA1.QPX would grow to " + Bytes(check.dataEnd) + L", past the largest file the disk of " + folder +
         L" holds (" + Bytes(check.largestFile) + L")";
}

std::wstring ShownText(std::string_view bytes) {
  std::wstring text;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t next = at;
    uint32_t point = 0;
    const bool decoded = NextUtf8(bytes, next, point);
    if (decoded && point >= 0x20 && point != 0x7F && (point < 0x80 || point >= 0xA0)) {
      AppendWide(text, point);
      at = next;
      continue;
    }
    // Not text, or a control character: its bytes as they are.
    for (const std::size_t end = decoded ? next : at + 1; at < end; ++at) {
      const auto byte = static_cast<uint8_t>(bytes[at]);
      AppendEscaped(text, byte);
    }
  }
  return text;
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
  std::wstring text;
  for (const char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      text += static_cast<wchar_t>(byte);
    } else {
      AppendEscaped(text, byte);
    }
  }
  return text;
}

std::wstring FolderForMessages() {
  const std::string folder = CurrentFolderBytes();
  return folder.empty() ? L"the current folder" : ShownText(folder);
}

std::wstring ReasonSuffix(uint32_t code) {
  const std::string words = SystemErrorText(code);
  return words.empty() ? L"" : L" (" + ShownText(words) + L")";
}

std::wstring OpeningFailureLine(const ResourceArchive::OpeningFailure& failure, const std::wstring& folder) {
  using Reason = ResourceArchive::OpeningFailure::Reason;
  const std::wstring file = failure.file;
  if (MeaningOf(failure.systemError) == ErrorMeaning::InUse) return InUseLine(file);
  switch (failure.reason) {
    case Reason::None: return L"";
    case Reason::Missing:
      if (failure.systemError == 0 || SystemErrorMeansNotFound(failure.systemError)) {
        return L"No " + file + L" in " + folder + L": run the patch inside the game folder";
      }
      return file + L" in " + folder + L" cannot be opened" + ReasonSuffix(failure.systemError);
    case Reason::NotWritable:
      return file + L" in " + folder + L" cannot be written" + ReasonSuffix(failure.systemError) +
             AccessAdvice(L"file or the folder");
    case Reason::NotAnIndex:
      return file + L" in " + folder + L" is " + Bytes(static_cast<uint64_t>(failure.length)) + L", not the " +
             GroupedDigits(kIndexFileSize) + L" of the game's index: run the patch inside the game folder";
    case Reason::Unreadable: return file + L" in " + folder + L" cannot be read" + ReasonSuffix(failure.systemError);
  }
  return L"";
}

std::wstring NoFolderLine(const std::wstring& folder, uint32_t error) {
  return L"The game folder " + ShownText(NarrowForMessage(folder)) + L" cannot be opened" + ReasonSuffix(error) +
         L": give the folder that holds DATA0.QPX and DATA1.QPX";
}

// What each old version of a patch for several holds where resource
// `number` is: "1.0 holds 100 bytes (XXH3 ...), 1.1 holds ...".
std::wstring WhatOldVersionsHold(const Payload& whole, uint32_t number) {
  std::wstring held;
  for (const PayloadRecord& record : whole.records) {
    if (record.resourceNumber != number || record.Skipped()) continue;
    if (!held.empty()) held += L", ";
    const std::wstring versions = VersionsNamed(whole, record.versions);
    held += (versions.empty() ? std::wstring(L"an old version") : versions) + L" holds " + Bytes(record.baseSize) +
            L" (XXH3 " + ShortHash(record.baseHash) + L")";
  }
  return held;
}

std::wstring RefusalLine(const PayloadRecord& record, const RecordCheck& check, const std::wstring& folder,
                         const Payload* whole) {
  const std::wstring target = ShownTarget(record.resourceNumber);
  const std::wstring unknown = L"The game in " + folder + L" is not one this patch knows: ";
  switch (check.verdict) {
    case Verdict::AnotherVersion: {
      const std::wstring found = unknown + target + L" holds " + Bytes(check.foundSize) + L" (XXH3 " +
                                 ShortHash(check.foundHash) + L")";
      if (whole != nullptr && whole->version == kPayloadVersion3) {
        return found + L", where " + WhatOldVersionsHold(*whole, record.resourceNumber);
      }
      return found + L", where the patch expects " + Bytes(record.baseSize) + L" (XXH3 " + ShortHash(record.baseHash) +
             L")";
    }
    case Verdict::Missing: return unknown + L"it has no " + target;
    case Verdict::Malformed: return unknown + target + L" is " + VerdictWords(check.verdict);
    case Verdict::OutsideData:
      return unknown + L"the index record of " + target + L" " + VerdictWords(check.verdict);
    case Verdict::NotWritable:
      if (MeaningOf(check.systemError) == ErrorMeaning::InUse) return InUseLine(target);
      return target + L" in " + folder + L" cannot be written" + ReasonSuffix(check.systemError) +
             AccessAdvice(L"file or the folder");
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
  const std::wstring name = L"Resource " + std::to_wstring(number) + L" (" + ShownTarget(number) + L")";
  if (damaged) return name + L": its body does not decode to the bytes the patch names (the patch is faulty)";
  // An entry that does not go in place is appended to the data file at
  // once; everything else is staged in the journal first.
  const std::wstring file = number < kEntryCount && !check.inPlace ? L"DATA1.QPX" : kJournalFileName;
  return name + L": writing " + file + L" in " + folder + L" failed" + ReasonSuffix(systemError);
}

}  // namespace qpx
