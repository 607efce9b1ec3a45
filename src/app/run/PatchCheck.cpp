#include "src/app/run/PatchCheck.h"

#include <algorithm>
#include <map>

#include "src/app/journal/RunJournal.h"
#include "src/archive/LooseFile.h"

namespace qpx {

bool PatchCheck::Writes() const {
  return std::any_of(records.begin(), records.end(),
                     [](const RecordCheck& check) { return qpx::Writes(check.verdict); });
}

bool PatchCheck::Passed() const {
  return SpaceShort() == 0 && !PastLargestFile() &&
         std::all_of(records.begin(), records.end(), [](const RecordCheck& check) { return Passes(check.verdict); });
}

namespace {

// The game as it will be when the next record's turn comes: what each
// resource seen so far will hold, and how long its files will be.
struct GameAhead {
  int64_t dataSize = 0;
  std::map<uint32_t, ResourceState> resources;
  // Each loose file written: its length now, and the longest it gets.
  std::map<uint32_t, std::pair<uint64_t, uint64_t>> looseLengths;
};

// What a record that writes will do to the disk, and what its resource
// holds after. False when it cannot be placed: an entry that goes in place
// over an old body that does not lie inside DATA1.QPX.
bool PlanWrite(const PayloadRecord& record, RecordCheck& planned, ResourceState& state, GameAhead& ahead,
               PatchCheck& check) {
  const uint32_t number = record.resourceNumber;
  const auto size = static_cast<uint32_t>(record.resultSize);
  if (number < kEntryCount) {
    const auto dataSize = static_cast<uint64_t>(ahead.dataSize);
    EntryPlacement place;
    const bool placed = PlaceEntry(state.entry, size, dataSize, place);
    planned.inPlace = place.inPlace;
    if (!placed) return false;
    planned.growth = place.End() > dataSize ? place.End() - dataSize : 0;
    ahead.dataSize += static_cast<int64_t>(planned.growth);
    check.journalBytes += JournalBytesFor(number, size, place.inPlace);
    state.entry = place.entry;
  } else {
    const uint64_t length = LooseFileLength(size);
    const auto old = static_cast<uint64_t>(std::max<int64_t>(state.fileLength, 0));
    planned.growth = length > old ? length - old : 0;
    const auto [lengths, fresh] = ahead.looseLengths.try_emplace(number, old, old);
    lengths->second.second = std::max(lengths->second.second, length);
    check.journalBytes += JournalBytesFor(number, size, false);
    state.fileLength = static_cast<int64_t>(length);
  }
  state.readable = state.inside = state.hasHeader = true;
  state.size = size;
  state.hash = record.resultHash;
  state.exact = true;
  check.growth += planned.growth;
  return true;
}

// What the disk allocates for the run: whole units, for the data file's
// growth, each loose file's and the journal (which lives until the run
// ends).
void CountSpace(PatchCheck& check, int64_t dataSizeBefore, const GameAhead& ahead) {
  check.dataEnd = static_cast<uint64_t>(std::max<int64_t>(ahead.dataSize, 0));
  if (check.journalBytes == 0) return;
  const uint32_t unit = check.allocationUnit;
  check.journalBytes += kJournalFrameBytes;
  check.needed = AllocatedLength(check.journalBytes, unit);
  const auto before = static_cast<uint64_t>(std::max<int64_t>(dataSizeBefore, 0));
  check.needed += AllocatedLength(check.dataEnd, unit) - AllocatedLength(before, unit);
  for (const auto& [number, lengths] : ahead.looseLengths) {
    check.needed += AllocatedLength(lengths.second, unit) - AllocatedLength(lengths.first, unit);
  }
}

}  // namespace

PatchCheck CheckPatch(ResourceArchive& archive, const Payload& payload, std::span<uint8_t> chunk,
                      const std::map<uint32_t, ResourceState>* inspected) {
  PatchCheck check;
  check.records.resize(payload.records.size());
  VolumeSpace space;
  check.freeSpaceKnown = archive.FileSystem().QueryFreeSpace(archive.Directory().c_str(), space);
  check.freeSpace = space.freeBytes;
  check.allocationUnit = check.freeSpaceKnown ? space.allocationUnit : 1;
  check.largestFile = check.freeSpaceKnown ? space.largestFile : 0;
  GameAhead ahead;
  const bool dataSizeKnown = archive.QueryDataSize(ahead.dataSize);
  const int64_t dataSizeBefore = ahead.dataSize;
  // The records that write each resource, in table order.
  std::map<uint32_t, std::vector<std::size_t>> chains;
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    check.records[i].verdict = TargetVerdict(payload.records[i]);
    if (check.records[i].verdict == Verdict::Write) chains[payload.records[i].resourceNumber].push_back(i);
  }
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    RecordCheck& planned = check.records[i];
    const uint32_t number = record.resourceNumber;
    if (planned.verdict != Verdict::Write && planned.verdict != Verdict::AlreadyApplied) continue;
    auto [seen, first] = ahead.resources.try_emplace(number);
    ResourceState& state = seen->second;
    if (first) {
      const bool known = inspected != nullptr && inspected->count(number) != 0;
      state = known ? inspected->at(number) : InspectResource(archive, number, chunk);
      if (number < kEntryCount && !dataSizeKnown) state.readable = false;
      // A resource holding the result of a later record of its chain has
      // every record before that one done.
      const std::vector<std::size_t>& chain = chains[number];
      for (std::size_t k = 0, done = RecordsDone(state, payload, chain); k < done; ++k) {
        check.records[chain[k]].verdict = Verdict::AlreadyApplied;
      }
    }
    if (planned.verdict == Verdict::AlreadyApplied) continue;
    planned.verdict = RunVerdict(Judge(state, record), record, state);
    planned.foundSize = state.size;
    planned.foundHash = state.hash;
    planned.systemError = state.systemError;
    if (Writes(planned.verdict) && !PlanWrite(record, planned, state, ahead, check)) {
      planned.verdict = Verdict::OutsideData;
    }
  }
  CountSpace(check, dataSizeBefore, ahead);
  return check;
}

}  // namespace qpx
