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

// The seal: proof that the bytes the patcher reads are the bytes its writer
// wrote. It lies between the record table and the trailer, where no record
// points, at a fixed distance from the payload's end, so a patcher that
// knows nothing of it reads the payload as it always has:
//
//   image | bodies | table | zeros (0..7) | seal (40 bytes) | trailer (24 bytes)
inline constexpr char kSealMagic[8] = {'Q', 'P', 'X', '-', 'S', 'E', 'A', 'L'};
inline constexpr uint32_t kSealVersion = 1;

struct PayloadSeal {
  char magic[8];
  uint32_t version;
  uint32_t reserved;      // 0
  uint64_t coveredStart;  // absolute offset of the first covered byte
  uint8_t digest[16];     // canonical (big-endian) XXH3-128
};
static_assert(sizeof(PayloadSeal) == 40);
static_assert(offsetof(PayloadSeal, magic) == 0);
static_assert(offsetof(PayloadSeal, version) == 8);
static_assert(offsetof(PayloadSeal, reserved) == 12);
static_assert(offsetof(PayloadSeal, coveredStart) == 16);
static_assert(offsetof(PayloadSeal, digest) == 24);

// The seal's fields that its digest covers.
inline constexpr std::size_t kSealFieldsSize = offsetof(PayloadSeal, digest);
// How far before the payload's end the seal begins.
inline constexpr uint32_t kSealDistance = sizeof(PayloadSeal) + sizeof(PayloadTrailer);  // 64

// Why a payload was refused; each has the patcher's own message.
enum class PayloadError {
  None,
  CantFind,        // no magic at the end of the file
  CantReadHeader,  // trailer header short, or a version other than 1
  CantReadInfo,    // the record table does not lie wholly inside the file
  CantReadData,    // a read of the sealed bytes failed
  Damaged,         // the seal does not hold
};

// The patcher's message for a refusal (empty for None).
const wchar_t* PayloadMessage(PayloadError error);

struct Payload {
  PayloadTrailerHeader header{};
  std::vector<PatchRecord> records;
  // Where the payload ends: the file's length when it was read, less the
  // certificate table (and its padding) that an Authenticode signature
  // appended. Every offset of the payload must lie before it. 0 if the
  // length could not be told.
  int64_t fileSize = 0;
  int64_t signatureBytes = 0;  // what signing appended after the payload
  bool sealed = false;
  PayloadSeal seal{};
};

// Finds and checks the trailer of `file`, reads its record table, and its
// seal if it has one (VerifySeal checks it). No memory is set aside for a
// table before it is known to lie inside the file.
PayloadError ReadPayload(CAbstractFile& file, Payload& payload);

// Whether `size` bytes at `offset` lie wholly inside a file of `fileSize`.
inline bool LiesInside(uint64_t offset, uint64_t size, int64_t fileSize) {
  return fileSize >= 0 && offset <= static_cast<uint64_t>(fileSize) &&
         size <= static_cast<uint64_t>(fileSize) - offset;
}

}  // namespace qpx
