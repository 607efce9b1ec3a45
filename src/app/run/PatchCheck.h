#pragma once
// The checks a version-2 patch makes before it writes a byte: that every
// record is meant for the game in front of it and that every write will
// succeed. They only read. The patcher refuses the whole patch when one
// fails; qpxtool plan shows the same verdicts.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "app/payload/PatchPayload.h"
#include "app/run/ResourceState.h"
#include "archive/ResourceArchive.h"

namespace qpx {

enum class CheckVerdict {
  Write,           // the record will be written
  AlreadyApplied,  // the resource holds its result already: nothing to write
  Skipped,         // a record of result size 0
  OutOfRange,      // no such resource
  TooLarge,        // more than its kind of resource can hold
  Missing,         // a loose file that is not there
  NotWritable,     // a loose file that does not open for writing
  Unreadable,      // the resource's bytes cannot be read
  OutsideData,     // an entry whose record points outside DATA1.QPX, where it must be read or written in place
  Malformed,       // a loose file without a loose-file header, where the patch needs its bytes
  AnotherVersion,  // the resource's bytes are not the ones the patch was made from
};

// Whether a verdict lets the patch go ahead.
inline bool Passes(CheckVerdict verdict) {
  return verdict == CheckVerdict::Write || verdict == CheckVerdict::AlreadyApplied ||
         verdict == CheckVerdict::Skipped;
}

struct RecordCheck {
  CheckVerdict verdict = CheckVerdict::Write;
  bool inPlace = false;  // an entry written over its old body
  // The resource holds the record's result, but not laid out as the
  // patcher lays it out (a loose file with a stale tail or a fill that is
  // not zeros, an entry with attributes): it is rewritten from its own
  // bytes, whatever the record's base.
  bool rewritesItself = false;
  uint64_t growth = 0;   // bytes the write adds to the game's files
  // What a refused resource holds (AnotherVersion), and the platform's
  // reason where it refused (NotWritable, Unreadable): for the message.
  uint64_t foundSize = 0;
  ContentHash foundHash{};
  uint32_t systemError = 0;
};

struct PatchCheck {
  std::vector<RecordCheck> records;  // one per record of the table
  uint64_t growth = 0;               // of every write together, in bytes
  // What the disk must have free for the run: every file's growth in the
  // volume's whole allocation units, and the run's journal.
  uint64_t needed = 0;
  uint64_t journalBytes = 0;  // the most the run's journal takes; 0: nothing to write
  uint64_t dataEnd = 0;       // DATA1.QPX's length once every appended body is in
  bool freeSpaceKnown = false;
  uint64_t freeSpace = 0;
  uint32_t allocationUnit = 1;

  // Bytes missing on the game's disk; 0 when the writes fit (or the free
  // space cannot be told: then the run's reservations are the judge).
  uint64_t SpaceShort() const { return freeSpaceKnown && needed > freeSpace ? needed - freeSpace : 0; }
  bool Passed() const;
  // Whether any record writes.
  bool Writes() const;
};

// The verdict that needs no game: Skipped, OutOfRange, TooLarge, or Write
// when the record's target can take its result.
CheckVerdict TargetVerdict(const PayloadRecord& record);

// Checks every record of a version-2 payload against an open archive, in
// table order, each as the game will be when its turn comes (a resource
// written by an earlier record holds that record's result by then, and
// appended bodies have grown the data file). The records of one resource
// are judged as a chain: a resource holding the result of any of them has
// that record and those before it done. Hashes what it reads through
// `chunk`.
// `inspected`, when given, holds resources inspected already (by the choice
// among a version-3 patch's alternatives), which are not read again.
PatchCheck CheckPatch(ResourceArchive& archive, const Payload& payload, std::span<uint8_t> chunk,
                      const std::map<uint32_t, ResourceState>* inspected = nullptr);

// A verdict that fails, in plain words: the one wording of each that the
// patcher's messages and qpxtool plan share ("another version of the
// game", "missing"); empty for a verdict that passes.
std::wstring VerdictWords(CheckVerdict verdict);

// A disk too small for the run, in the same plain words.
std::wstring ShortOfSpaceWords();

// The patcher's words for a record that fails its check, naming the
// resource: "Resource 747 (entry 747) is from another version of the game".
std::wstring CheckMessage(uint32_t resourceNumber, CheckVerdict verdict);

// How the messages name resource `number`: "entry 747", "res\D00002.bin";
// empty for a number past the game's.
std::wstring ResourceTarget(uint32_t number);

// `value` in decimal with a comma between each three digits: "132,907,008".
std::wstring GroupedDigits(uint64_t value);

// The patcher's words for a disk too small: how many more bytes it needs.
std::wstring SpaceMessage(const PatchCheck& check);

}  // namespace qpx
