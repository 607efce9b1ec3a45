#pragma once
// What one resource of the game holds against one record: the one
// judgement that the patcher's checks and run, and qpxtool's plan, verify
// and reverse, all go by. A resource's bytes are an entry's `size` bytes at
// its `offset` in DATA1.QPX, or a loose file's body after its header: what
// qpxtool extracts. The words for each verdict are the run's messages'.

#include <cstdint>
#include <span>
#include <vector>

#include "src/app/payload/PatchPayload.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/ResourceArchive.h"

namespace qpx {

enum class Verdict : uint8_t {
  // The record goes ahead.
  Write,           // it writes: over its base, or over what a record that names none finds
  Rewrite,         // it holds the result's bytes laid out otherwise (an entry with attributes; a loose
                   // file with another header, length or fill): rewritten from its own bytes
  AlreadyApplied,  // it holds the result, laid out as the patcher writes it: nothing to write
  Skipped,         // a record of result size 0
  Base,            // it holds the bytes the record replaces (the judge's word; the run then writes)
  // The record is refused.
  OutOfRange,      // no such resource
  TooLarge,        // more than its kind of resource can hold
  Missing,         // a loose file that is not there
  NotWritable,     // a loose file that does not open for writing
  Unreadable,      // the resource's bytes cannot be read
  OutsideData,     // an entry whose record points outside DATA1.QPX, where it must be read or written in place
  Malformed,       // a loose file without a loose-file header, where the patch needs its bytes
  AnotherVersion,  // other bytes than the record's base and result: another version of the game
};

// Whether a verdict lets the patch go ahead.
inline bool Passes(Verdict verdict) { return verdict <= Verdict::Base; }
// Whether the record writes.
inline bool Writes(Verdict verdict) { return verdict == Verdict::Write || verdict == Verdict::Rewrite; }

// What one resource holds now, as the checks made before a version-2 patch
// writes anything see it.
struct ResourceState {
  bool exists = true;     // a loose file: it is there
  bool writable = true;   // a loose file: it opens for writing
  bool readable = true;   // its bytes could be read
  bool inside = true;     // an entry: its record points inside DATA1.QPX
  bool hasHeader = true;  // a loose file: it has a loose-file header
  uint64_t size = 0;      // of the bytes, when known
  ContentHash hash{};     // of the bytes, when known
  // The resource is exactly what the patcher writes for these bytes: an
  // entry without attributes, a loose file with the header, the zero fill
  // and the length the patcher gives it.
  bool exact = false;
  ArchiveIndexEntry entry{};  // an entry's record
  int64_t fileLength = 0;     // a loose file's length
  uint32_t systemError = 0;   // why it did not open for writing, or could not be read

  bool Known() const { return exists && readable && inside && hasHeader; }
};

// Inspects resource `number` (below kResourceLimit) of an open archive,
// hashing its bytes through `chunk`. Opens a loose file for reading and
// writing, and for reading alone when that fails; writes nothing.
ResourceState InspectResource(ResourceArchive& archive, uint32_t number, std::span<uint8_t> chunk);

// The judge: what `state` holds against `record`. AlreadyApplied, Rewrite,
// Base or AnotherVersion for bytes it could read; Missing, Unreadable,
// OutsideData or Malformed where there are none to read.
Verdict Judge(const ResourceState& state, const PayloadRecord& record);

// Of a resource's chain (the indices in `payload` of the records that
// write it, in table order), judged by what the resource holds before the
// first: how many records come before the latest whose result it holds,
// and are done. That record itself, judged in its turn, finds its result
// applied, or to be rewritten from its own bytes.
std::size_t RecordsDone(const ResourceState& state, const Payload& payload, const std::vector<std::size_t>& chain);

// The verdict that needs no game: Skipped, OutOfRange, TooLarge, or Write
// when the record's resource can take its result.
Verdict TargetVerdict(const PayloadRecord& record);

// What the run does with `record` given what its resource holds (`state`,
// judged `holding`): a record that names its base writes over that base,
// or over its own result laid out otherwise, and nothing else; one that
// names none writes over whatever can be read; a file that does not open
// for writing refuses both. Write, Rewrite, AlreadyApplied or a refusal.
Verdict RunVerdict(Verdict holding, const PayloadRecord& record, const ResourceState& state);

}  // namespace qpx
