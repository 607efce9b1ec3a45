#pragma once
// The checks a version-2 patch makes before it writes a byte: every record
// judged against its resource as the game will be when its turn comes
// (the records of one resource as a chain), and the room the writes need.
// They only read. The patcher refuses the whole patch when one fails;
// qpxtool plan shows the same verdicts.

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "src/app/payload/PatchPayload.h"
#include "src/app/run/Verdict.h"
#include "src/archive/ResourceArchive.h"

namespace qpx {

// What the run will do with one record. A Rewrite: the resource holds the
// record's result, but not laid out as the patcher lays it out (a loose
// file with a stale tail or a fill that is not zeros, an entry with
// attributes); it is rewritten from its own bytes, whatever the record's
// base.
struct RecordCheck {
  Verdict verdict = Verdict::Write;
  bool inPlace = false;  // an entry written over its old body
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
  uint64_t largestFile = 0;   // the longest file the game's disk holds; 0: no limit known

  // Bytes missing on the game's disk; 0 when the writes fit (or the free
  // space cannot be told: then the run's reservations are the judge).
  uint64_t SpaceShort() const { return freeSpaceKnown && needed > freeSpace ? needed - freeSpace : 0; }
  // DATA1.QPX would grow past the longest file its disk holds (FAT32):
  // refused before a byte is written, not halfway through the run.
  bool PastLargestFile() const { return largestFile != 0 && growth != 0 && dataEnd > largestFile; }
  bool Passed() const;
  // Whether any record writes.
  bool Writes() const;
};

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

}  // namespace qpx
