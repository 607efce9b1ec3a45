#pragma once
// The patch payload appended to the patcher's own executable: the bodies,
// a table of PatchRecord entries and a 24-byte trailer ending in the magic.
// Every integer is unsigned 32-bit little-endian; every offset is absolute
// from the start of the file. The records are read as raw images.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "filesystem/FileSystem.h"

namespace qpx {

static_assert(std::endian::native == std::endian::little,
              "payload records are read as little-endian images");

inline constexpr char kPayloadMagic[8] = {'P', 'A', 'T', 'C', 'H', 'D', 'A', 'T'};
inline constexpr uint32_t kPayloadVersion = 1;
// What a payload writer puts in the reserved words; the patcher reads neither.
inline constexpr uint32_t kTrailerReservedValue = 1;
inline constexpr uint32_t kRecordReservedValue = 0;

struct PatchRecord {
  uint32_t resourceNumber;  // the resource the body replaces
  uint32_t reserved;
  uint32_t bodyOffset;      // absolute offset of the body's first byte
  uint32_t bodySize;        // 0: the record is skipped
};
static_assert(sizeof(PatchRecord) == 16);
static_assert(offsetof(PatchRecord, resourceNumber) == 0);
static_assert(offsetof(PatchRecord, reserved) == 4);
static_assert(offsetof(PatchRecord, bodyOffset) == 8);
static_assert(offsetof(PatchRecord, bodySize) == 12);

// The first 16 bytes of the trailer, read as one block.
struct PayloadTrailerHeader {
  uint32_t version;
  uint32_t reserved;
  uint32_t tableOffset;
  uint32_t recordCount;
};
static_assert(sizeof(PayloadTrailerHeader) == 16);
static_assert(offsetof(PayloadTrailerHeader, version) == 0);
static_assert(offsetof(PayloadTrailerHeader, reserved) == 4);
static_assert(offsetof(PayloadTrailerHeader, tableOffset) == 8);
static_assert(offsetof(PayloadTrailerHeader, recordCount) == 12);

struct PayloadTrailer {
  PayloadTrailerHeader header;
  char magic[8];
};
static_assert(sizeof(PayloadTrailer) == 24);
static_assert(offsetof(PayloadTrailer, magic) == 16);

// Why a payload was refused; each has the patcher's own message.
enum class PayloadError {
  None,
  CantFind,        // no magic at the end of the file
  CantReadHeader,  // trailer header short, or a version other than 1
  CantReadInfo,    // the record table does not lie wholly inside the file
};

// The patcher's message for a refusal (empty for None).
const wchar_t* PayloadMessage(PayloadError error);

struct Payload {
  PayloadTrailerHeader header{};
  std::vector<PatchRecord> records;
  int64_t fileSize = 0;  // of the file when it was read; 0 if it could not be told
};

// Finds and checks the trailer of `file` and reads its record table. No
// memory is set aside for a table before it is known to lie inside the file.
PayloadError ReadPayload(CAbstractFile& file, Payload& payload);

// Whether `size` bytes at `offset` lie wholly inside a file of `fileSize`.
inline bool LiesInside(uint64_t offset, uint64_t size, int64_t fileSize) {
  return fileSize >= 0 && offset <= static_cast<uint64_t>(fileSize) &&
         size <= static_cast<uint64_t>(fileSize) - offset;
}

}  // namespace qpx
