#include "app/run/RunMessages.h"

#include "app/journal/RunJournal.h"
#include "filesystem/ProcessContext.h"
#include "filesystem/SystemError.h"

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
    case CheckVerdict::AnotherVersion:
      return unknown + target + L" holds " + Bytes(check.foundSize) + L" (XXH3 " + ShortHash(check.foundHash) +
             L"), where the patch expects " + Bytes(record.baseSize) + L" (XXH3 " + ShortHash(record.baseHash) + L")";
    case CheckVerdict::Missing: return unknown + L"it has no " + target;
    case CheckVerdict::Malformed: return unknown + target + L" is " + VerdictWords(check.verdict);
    case CheckVerdict::OutsideData:
      return unknown + L"the index record of " + target + L" " + VerdictWords(check.verdict);
    case CheckVerdict::NotWritable:
      return target + L" in " + folder + L" cannot be written" + ReasonSuffix(check.systemError) +
             L": is the file or the folder read-only?";
    case CheckVerdict::Unreadable:
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
