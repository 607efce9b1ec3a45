#pragma once
// What one resource of the game holds now, as the checks made before a
// version-2 patch writes anything see it. A resource's bytes are an entry's
// `size` bytes at its `offset` in DATA1.QPX, or a loose file's body after
// its header: what qpxtool extracts.

#include <cstdint>
#include <span>

#include "app/payload/PatchPayload.h"
#include "archive/ArchiveIndexEntry.h"
#include "archive/ResourceArchive.h"

namespace qpx {

enum class ContentState {
  Known,       // read and hashed
  Outside,     // an entry whose record points outside DATA1.QPX
  Malformed,   // a loose file without a loose-file header
  Unreadable,  // reading failed
};

struct ResourceState {
  bool exists = true;    // a loose file: it is there
  bool writable = true;  // a loose file: it opens for writing
  ContentState content = ContentState::Known;
  uint64_t size = 0;     // of the bytes, when known
  ContentHash hash{};    // of the bytes, when known
  // The resource is exactly what the patcher writes for these bytes: an
  // entry without attributes, a loose file with the header, the zero fill
  // and the length the patcher gives it.
  bool exact = false;
  ArchiveIndexEntry entry{};  // an entry's record
  int64_t fileLength = 0;     // a loose file's length
  uint32_t systemError = 0;   // why it did not open for writing, or could not be read
};

// What a resource holds against one version-2 record: the one judge of a
// resource's state, which the patcher's checks and qpxtool's verify, plan
// and reverse all go by.
enum class ResourceHolding {
  Result,           // the record's result, laid out as the patcher writes it
  ResultLaidOutOtherwise,  // the result's bytes, laid out otherwise (an entry with attributes; a loose
                           // file with another header, length or fill)
  Base,             // the bytes the record replaces (a record that knows them)
  Other,            // other bytes: another version of the game
  Missing,          // a loose file that is not there
  Unreadable,       // its bytes cannot be read
  Outside,          // an entry whose record points outside DATA1.QPX
  Malformed,        // a loose file without a loose-file header
};
ResourceHolding JudgeResource(const ResourceState& state, const PayloadRecord& record);

// Inspects resource `number` (below kResourceLimit) of an open archive,
// hashing its bytes through `chunk`. Opens a loose file for reading and
// writing, and for reading alone when that fails; writes nothing.
ResourceState InspectResource(ResourceArchive& archive, uint32_t number, std::span<uint8_t> chunk);

// Reads the bytes of resource `number` whole into `into`, which must be
// exactly as long. False when they cannot all be read.
bool ReadResourceBytes(ResourceArchive& archive, uint32_t number, std::span<uint8_t> into);

// The bytes of resource `number`, exactly `size` of them (at least one),
// mapped for reading in place of a copy where the platform can; null
// otherwise (then they are read). A loose file is kept open in `file` for
// the view's life. Nothing may shrink the file while the view lives.
std::unique_ptr<CFileView> MapResourceBytes(ResourceArchive& archive, uint32_t number, uint64_t size,
                                            std::unique_ptr<CAbstractFile>& file);

}  // namespace qpx
