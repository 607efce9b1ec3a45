#include "app/run/PatchCheck.h"

#include <algorithm>
#include <map>

#include "app/journal/RunJournal.h"
#include "app/run/ResourceState.h"
#include "archive/LooseFile.h"

namespace qpx {
namespace {

// The verdict on one record given what its resource will hold when its
// turn comes.
CheckVerdict Judge(const PayloadRecord& record, const ResourceState& state, bool rewritesItself) {
  const ResourceHolding holding = JudgeResource(state, record);
  switch (holding) {
    case ResourceHolding::Missing: return CheckVerdict::Missing;
    case ResourceHolding::Unreadable: return CheckVerdict::Unreadable;
    case ResourceHolding::Result: return CheckVerdict::AlreadyApplied;
    default: break;
  }
  // A record that knows the bytes it replaces writes over those alone, or
  // over its own result laid out otherwise.
  const bool replaceable = holding == ResourceHolding::Base || holding == ResourceHolding::ResultLaidOutOtherwise;
  if (record.hasBase && !rewritesItself && !replaceable) {
    switch (holding) {
      case ResourceHolding::Outside: return CheckVerdict::OutsideData;
      case ResourceHolding::Malformed: return CheckVerdict::Malformed;
      default: return CheckVerdict::AnotherVersion;
    }
  }
  if (!state.writable) return CheckVerdict::NotWritable;
  return CheckVerdict::Write;
}

// Settles the records of one resource's chain (in table order) by what
// the resource holds before the first: the latest record whose result it
// holds is done, and so is every record before it. Where that result is
// not laid out as the patcher lays it out, that record rewrites it.
void SettleChain(const std::vector<std::size_t>& chain, const Payload& payload, const ResourceState& state,
                 std::vector<RecordCheck>& records) {
  for (std::size_t k = chain.size(); k-- > 0;) {
    const ResourceHolding holding = JudgeResource(state, payload.records[chain[k]]);
    if (holding != ResourceHolding::Result && holding != ResourceHolding::ResultLaidOutOtherwise) continue;
    for (std::size_t j = 0; j < k; ++j) records[chain[j]].verdict = CheckVerdict::AlreadyApplied;
    if (holding == ResourceHolding::Result) {
      records[chain[k]].verdict = CheckVerdict::AlreadyApplied;
    } else {
      records[chain[k]].rewritesItself = true;
    }
    return;
  }
}

}  // namespace

CheckVerdict TargetVerdict(const PayloadRecord& record) {
  if (record.Skipped()) return CheckVerdict::Skipped;
  switch (ClassifyPatch(record.resourceNumber, record.resultSize)) {
    case PatchTarget::OutOfRange: return CheckVerdict::OutOfRange;
    case PatchTarget::TooLarge: return CheckVerdict::TooLarge;
    default: return CheckVerdict::Write;
  }
}

bool PatchCheck::Writes() const {
  return std::any_of(records.begin(), records.end(),
                     [](const RecordCheck& check) { return check.verdict == CheckVerdict::Write; });
}

bool PatchCheck::Passed() const {
  return SpaceShort() == 0 &&
         std::all_of(records.begin(), records.end(), [](const RecordCheck& check) { return Passes(check.verdict); });
}

PatchCheck CheckPatch(ResourceArchive& archive, const Payload& payload, std::span<uint8_t> chunk,
                      const std::map<uint32_t, ResourceState>* inspected) {
  PatchCheck check;
  check.records.resize(payload.records.size());
  VolumeSpace space;
  check.freeSpaceKnown = archive.FileSystem().QueryFreeSpace(archive.Directory().c_str(), space);
  check.freeSpace = space.freeBytes;
  check.allocationUnit = check.freeSpaceKnown ? space.allocationUnit : 1;
  int64_t dataSize = 0;
  const bool dataSizeKnown = archive.QueryDataSize(dataSize);
  const int64_t dataSizeBefore = dataSize;
  // The records that write each resource, in table order.
  std::map<uint32_t, std::vector<std::size_t>> chains;
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    check.records[i].verdict = TargetVerdict(payload.records[i]);
    if (check.records[i].verdict == CheckVerdict::Write) chains[payload.records[i].resourceNumber].push_back(i);
  }
  // What each resource written by an earlier record will hold by then.
  std::map<uint32_t, ResourceState> written;
  // Each loose file written: its length now, and the longest it gets.
  std::map<uint32_t, std::pair<uint64_t, uint64_t>> looseLengths;

  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    RecordCheck& verdict = check.records[i];
    const uint32_t number = record.resourceNumber;
    if (verdict.verdict != CheckVerdict::Write && verdict.verdict != CheckVerdict::AlreadyApplied) continue;
    const auto earlier = written.find(number);
    ResourceState state;
    if (earlier != written.end()) {
      state = earlier->second;
    } else {
      if (inspected != nullptr && inspected->count(number) != 0) {
        state = inspected->at(number);
      } else {
        state = InspectResource(archive, number, chunk);
      }
      if (number < kEntryCount && !dataSizeKnown) state.content = ContentState::Unreadable;
      SettleChain(chains[number], payload, state, check.records);
    }
    written[number] = state;
    if (verdict.verdict == CheckVerdict::AlreadyApplied) continue;
    verdict.verdict = Judge(record, state, verdict.rewritesItself);
    verdict.foundSize = state.size;
    verdict.foundHash = state.hash;
    verdict.systemError = state.systemError;
    if (verdict.verdict != CheckVerdict::Write) continue;

    // What the write will do to the disk, and what the resource holds after.
    const auto size = static_cast<uint32_t>(record.resultSize);
    if (number < kEntryCount) {
      ArchiveIndexEntry& entry = state.entry;
      verdict.inPlace = GoesInPlace(entry, size);
      if (verdict.inPlace && !InPlaceSlotInside(entry, dataSize)) {
        verdict.verdict = CheckVerdict::OutsideData;
        continue;
      }
      const uint64_t target = verdict.inPlace ? entry.offset : static_cast<uint64_t>(dataSize);
      const uint64_t end = target + SlotLength(size);
      verdict.growth = end > static_cast<uint64_t>(dataSize) ? end - static_cast<uint64_t>(dataSize) : 0;
      dataSize += static_cast<int64_t>(verdict.growth);
      check.journalBytes += JournalBytesFor(number, size, verdict.inPlace);
      entry = ArchiveIndexEntry{target, size, size, 0};
    } else {
      const uint64_t length = LooseFileLength(size);
      const auto old = static_cast<uint64_t>(std::max<int64_t>(state.fileLength, 0));
      verdict.growth = length > old ? length - old : 0;
      const auto [lengths, fresh] = looseLengths.try_emplace(number, old, old);
      lengths->second.second = std::max(lengths->second.second, length);
      check.journalBytes += JournalBytesFor(number, size, false);
      state.fileLength = static_cast<int64_t>(length);
    }
    state.content = ContentState::Known;
    state.size = size;
    state.hash = record.resultHash;
    state.exact = true;
    written[number] = state;
    check.growth += verdict.growth;
  }
  check.dataEnd = static_cast<uint64_t>(std::max<int64_t>(dataSize, 0));
  if (check.journalBytes == 0) return check;
  // What the disk allocates: whole units, for the data file's growth, each
  // loose file's and the journal (which lives until the run ends).
  const uint32_t unit = check.allocationUnit;
  check.journalBytes += kJournalFrameBytes;
  check.needed = AllocatedLength(check.journalBytes, unit);
  const auto before = static_cast<uint64_t>(std::max<int64_t>(dataSizeBefore, 0));
  check.needed += AllocatedLength(check.dataEnd, unit) - AllocatedLength(before, unit);
  for (const auto& [number, lengths] : looseLengths) {
    check.needed += AllocatedLength(lengths.second, unit) - AllocatedLength(lengths.first, unit);
  }
  return check;
}

std::wstring GroupedDigits(uint64_t value) {
  std::wstring digits = std::to_wstring(value);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, L",");
  return digits;
}

std::wstring ResourceTarget(uint32_t number) {
  if (number < kEntryCount) return L"entry " + std::to_wstring(number);
  if (number < kResourceLimit) return LooseFilePath(kLooseDirectoryName, number - kEntryCount);
  return L"";
}

std::wstring VerdictWords(CheckVerdict verdict) {
  switch (verdict) {
    case CheckVerdict::Write:
    case CheckVerdict::AlreadyApplied:
    case CheckVerdict::Skipped: return L"";
    case CheckVerdict::OutOfRange: return L"not a resource of the game";
    case CheckVerdict::TooLarge: return L"too large";
    case CheckVerdict::Missing: return L"missing";
    case CheckVerdict::NotWritable: return L"not writable";
    case CheckVerdict::Unreadable: return L"cannot be read";
    case CheckVerdict::OutsideData: return L"points outside DATA1.QPX";
    case CheckVerdict::Malformed: return L"not a loose resource file";
    case CheckVerdict::AnotherVersion: return L"another version of the game";
  }
  return L"";
}

std::wstring ShortOfSpaceWords() { return L"not enough disk space"; }

std::wstring CheckMessage(uint32_t number, CheckVerdict verdict) {
  std::wstring name = L"Resource " + std::to_wstring(number);
  if (number < kResourceLimit) name += L" (" + ResourceTarget(number) + L")";
  const std::wstring words = VerdictWords(verdict);
  switch (verdict) {
    case CheckVerdict::Write:
    case CheckVerdict::AlreadyApplied:
    case CheckVerdict::Skipped: return L"";
    case CheckVerdict::TooLarge:
      return name + L" is " + words +
             (number < kEntryCount ? L" for an entry"
                                   : L" for a loose file (at most " + GroupedDigits(kLooseMaxBodySize) + L" bytes)");
    // Not writable, a file "cannot be written": the patcher says why it may be.
    case CheckVerdict::NotWritable: return name + L" cannot be written (is it read-only?)";
    case CheckVerdict::Unreadable:
    case CheckVerdict::OutsideData: return name + L" " + words;
    case CheckVerdict::AnotherVersion: return name + L" is from " + words;
    case CheckVerdict::OutOfRange:
    case CheckVerdict::Missing:
    case CheckVerdict::Malformed: return name + L" is " + words;
  }
  return L"";
}

std::wstring SpaceMessage(const PatchCheck& check) {
  std::wstring words = ShortOfSpaceWords();
  words[0] = L'N';  // the sentence's first word
  return words + L": the patch needs " + GroupedDigits(check.SpaceShort()) + L" bytes more";
}

}  // namespace qpx
