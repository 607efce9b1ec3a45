#pragma once
// The checks a version-2 patch makes before it writes a byte: that every
// record is meant for the game in front of it and that every write will
// succeed. They only read. The patcher refuses the whole patch when one
// fails; qpxtool plan shows the same verdicts.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/PatchPayload.h"
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
  uint64_t growth = 0;   // bytes the write adds to the game's disk
};

struct PatchCheck {
  std::vector<RecordCheck> records;  // one per record of the table
  uint64_t growth = 0;               // of every write together
  bool freeSpaceKnown = false;
  uint64_t freeSpace = 0;

  // Bytes missing on the game's disk; 0 when the writes fit (or the free
  // space cannot be told).
  uint64_t SpaceShort() const { return freeSpaceKnown && growth > freeSpace ? growth - freeSpace : 0; }
  bool Passed() const;
};

// The verdict that needs no game: Skipped, OutOfRange, TooLarge, or Write
// when the record's target can take its result.
CheckVerdict TargetVerdict(const PayloadRecord& record);

// Checks every record of a version-2 payload against an open archive, in
// table order, each as the game will be when its turn comes (a resource
// written by an earlier record holds that record's result by then).
// Hashes what it reads through `chunk`.
PatchCheck CheckPatch(ResourceArchive& archive, const Payload& payload, std::span<uint8_t> chunk);

// The patcher's words for a record that fails its check, naming the
// resource: "Resource 747 (entry 747) is from another version of the game".
std::wstring CheckMessage(uint32_t resourceNumber, CheckVerdict verdict);

// The patcher's words for a disk too small: how many more bytes it needs.
std::wstring SpaceMessage(const PatchCheck& check);

}  // namespace qpx
