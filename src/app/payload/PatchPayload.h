#pragma once
// The patch payload appended to the patcher's own executable: the bodies,
// a table of records and a 24-byte trailer ending in the magic. Every offset
// is absolute from the start of the file; every integer is little-endian,
// and the records are read as raw images. Version 1 has 32-bit fields and
// bodies stored as they are; version 2 (below) knows the game it is for.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "src/app/payload/ContentDigest.h"
#include "src/filesystem/FileSystem.h"

namespace qpx {

static_assert(std::endian::native == std::endian::little,
              "payload records are read as little-endian images");

inline constexpr char kPayloadMagic[8] = {'P', 'A', 'T', 'C', 'H', 'D', 'A', 'T'};
inline constexpr uint32_t kPayloadVersion1 = 1;
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

// ---------------------------------------------------------------------------
// Version 2: a patch that knows the game it is for.
//
//   image | bodies | table | zeros (0..7) | seal (40 bytes) | trailer (24 bytes)
//
// Offsets and sizes are 64-bit. Each record names how its body is stored
// and carries the XXH3-128 of the resource's bytes after the patch (its
// result) and, for a patch made against a known game, before it (its
// base). The seal is the version-1 seal, in the same place, but it is not
// optional: a version-2 payload without an intact seal is damaged.
inline constexpr uint32_t kPayloadVersion2 = 2;

// The first 16 bytes of a version-2 trailer (the magic follows, as in
// version 1). A patcher that knows only version 1 stops at `version`.
struct PayloadTrailerHeaderV2 {
  uint32_t version;      // 2
  uint32_t recordCount;
  uint64_t tableOffset;  // absolute offset of the first PatchRecordV2
};
static_assert(sizeof(PayloadTrailerHeaderV2) == sizeof(PayloadTrailerHeader));
static_assert(offsetof(PayloadTrailerHeaderV2, version) == 0);
static_assert(offsetof(PayloadTrailerHeaderV2, recordCount) == 4);
static_assert(offsetof(PayloadTrailerHeaderV2, tableOffset) == 8);

// How a body is stored in the patch.
enum class BodyEncoding : uint16_t {
  Stored = 0,  // the resource's new bytes as they are
  Lzma = 1,    // an LZMA stream of them (LzmaDecoder.h)
  Delta = 2,   // the difference from the resource's current bytes (needs a base)
  LzmaBlocks = 3,  // LZMA streams of fixed-size slices of them (LzmaBlocks.h)
};

// Whether a body of `encoding`, stored as `stored`, is one of the second
// body codings, which only a patcher carrying the codecs-2 marker reads
// (PatcherMarker.h): LZMA in blocks, or a delta whose header's version is
// kDeltaCodeVersion or later. Older patchers refuse such a body as damaged.
bool NeedsCodecs2(BodyEncoding encoding, std::span<const uint8_t> stored);

// PatchRecordV2::flags
inline constexpr uint16_t kRecordHasBase = 0x0001;
inline constexpr uint16_t kRecordKnownFlags = kRecordHasBase;

// A content hash: XXH3-128 in its canonical (big-endian) byte order.
using ContentHash = ContentDigest::Value;

struct PatchRecordV2 {
  uint32_t resourceNumber;
  uint16_t encoding;     // a BodyEncoding
  uint16_t flags;        // kRecordHasBase
  uint64_t bodyOffset;   // absolute offset of the stored body
  uint64_t storedSize;   // bytes of the body in the patch
  uint64_t resultSize;   // bytes of the resource after the patch; 0: the record is skipped
  uint64_t baseSize;     // bytes of the resource before it (with kRecordHasBase)
  uint8_t resultHash[16];
  uint8_t baseHash[16];  // zeros without kRecordHasBase
  uint64_t reserved;     // 0
};
static_assert(sizeof(PatchRecordV2) == 80);
static_assert(offsetof(PatchRecordV2, resourceNumber) == 0);
static_assert(offsetof(PatchRecordV2, encoding) == 4);
static_assert(offsetof(PatchRecordV2, flags) == 6);
static_assert(offsetof(PatchRecordV2, bodyOffset) == 8);
static_assert(offsetof(PatchRecordV2, storedSize) == 16);
static_assert(offsetof(PatchRecordV2, resultSize) == 24);
static_assert(offsetof(PatchRecordV2, baseSize) == 32);
static_assert(offsetof(PatchRecordV2, resultHash) == 40);
static_assert(offsetof(PatchRecordV2, baseHash) == 56);
static_assert(offsetof(PatchRecordV2, reserved) == 72);

// ---------------------------------------------------------------------------
// Version 3: one patch for several older versions of the game.
//
//   image | bodies | table | versions | zeros (0..7) | seal (40 bytes) | trailer (24 bytes)
//
// The trailer is version 2's with version 3, so that a patcher that knows
// only versions 1 and 2 refuses it before it writes anything. The records
// are version 2's, but every record has a base, and the records of one
// resource are alternatives: each names the bytes of some older versions
// (`versions`) and rebuilds the same result from them; the patcher writes
// the one whose base the game holds. Alternatives that rebuild their result
// from a whole body (stored or compressed) share its bytes in the payload.
// The versions block names the versions, for the patcher's messages.
inline constexpr uint32_t kPayloadVersion3 = 3;

struct PatchRecordV3 {
  uint32_t resourceNumber;
  uint16_t encoding;     // a BodyEncoding
  uint16_t flags;        // kRecordHasBase, always
  uint64_t bodyOffset;   // absolute offset of the stored body (alternatives may share one)
  uint64_t storedSize;
  uint64_t resultSize;   // 0: the record is skipped
  uint64_t baseSize;
  uint8_t resultHash[16];
  uint8_t baseHash[16];
  uint64_t versions;     // bit i: the old version of label i + 1 holds the base
};
static_assert(sizeof(PatchRecordV3) == sizeof(PatchRecordV2));
static_assert(offsetof(PatchRecordV3, resourceNumber) == offsetof(PatchRecordV2, resourceNumber));
static_assert(offsetof(PatchRecordV3, encoding) == offsetof(PatchRecordV2, encoding));
static_assert(offsetof(PatchRecordV3, flags) == offsetof(PatchRecordV2, flags));
static_assert(offsetof(PatchRecordV3, bodyOffset) == offsetof(PatchRecordV2, bodyOffset));
static_assert(offsetof(PatchRecordV3, storedSize) == offsetof(PatchRecordV2, storedSize));
static_assert(offsetof(PatchRecordV3, resultSize) == offsetof(PatchRecordV2, resultSize));
static_assert(offsetof(PatchRecordV3, baseSize) == offsetof(PatchRecordV2, baseSize));
static_assert(offsetof(PatchRecordV3, resultHash) == offsetof(PatchRecordV2, resultHash));
static_assert(offsetof(PatchRecordV3, baseHash) == offsetof(PatchRecordV2, baseHash));
static_assert(offsetof(PatchRecordV3, versions) == 72);

// The versions block, right after the table: this header, then `count`
// labels, each one byte of length (1..kMaxLabelLength) and its bytes. The
// first label is the new version's, then each old version's in the order
// of the records' `versions` bits.
inline constexpr char kVersionsMagic[8] = {'Q', 'P', 'X', '-', 'V', 'E', 'R', 'S'};
inline constexpr uint32_t kMaxOldVersions = 64;  // the bits of a record's `versions`
inline constexpr uint32_t kMaxLabelLength = 32;
inline constexpr uint32_t kMaxLabelBytes = (kMaxOldVersions + 1) * (kMaxLabelLength + 1);

struct PayloadVersionsHeader {
  char magic[8];
  uint32_t count;  // labels: 1 + the old versions (2..65 of them)
  uint32_t bytes;  // of the labels that follow, length bytes included
};
static_assert(sizeof(PayloadVersionsHeader) == 16);
static_assert(offsetof(PayloadVersionsHeader, magic) == 0);
static_assert(offsetof(PayloadVersionsHeader, count) == 8);
static_assert(offsetof(PayloadVersionsHeader, bytes) == 12);

// Whether `version` is a payload whose records carry hashes, checked
// against the game before anything is written (versions 2 and 3).
inline bool IsCheckedVersion(uint32_t version) { return version == kPayloadVersion2 || version == kPayloadVersion3; }

// Why a payload was refused; each has the patcher's own message.
enum class PayloadError {
  None,
  CantFind,        // no magic at the end of the file
  CantReadHeader,  // trailer header short, or a version this patcher does not read
  CantReadInfo,    // the record table does not lie wholly inside the file
  CantReadData,    // a read of the sealed bytes failed
  Damaged,         // the seal does not hold (or, in version 2, is missing)
};

// One record as the run uses it, read from a table of either version. A
// version-1 record is a stored body with no hashes.
struct PayloadRecord {
  uint32_t resourceNumber = 0;
  BodyEncoding encoding = BodyEncoding::Stored;
  bool hasBase = false;
  bool flagsKnown = true;  // no flag this patcher does not know
  uint64_t bodyOffset = 0;
  uint64_t storedSize = 0;
  uint64_t resultSize = 0;  // 0: skipped without a word
  uint64_t baseSize = 0;
  bool hashed = false;  // `resultHash` names the result (version 2); version 1 names none
  ContentHash resultHash{};
  ContentHash baseHash{};
  uint64_t versions = 0;  // version 3: the old versions (bit i: label i + 1) that hold the base

  bool Skipped() const { return resultSize == 0; }
};

// A record of either table as the rest of the system sees it: a version-1
// record is a stored body that names no hash.
PayloadRecord FromVersion1(const PatchRecord& record);
PayloadRecord FromVersion2(const PatchRecordV2& record);
PayloadRecord FromVersion3(const PatchRecordV3& record);

struct Payload {
  uint32_t version = 0;
  uint64_t tableOffset = 0;
  PayloadTrailer trailer{};  // as read: the seal's digest covers it
  std::vector<PayloadRecord> records;
  // Where the payload ends: the file's length when it was read, less the
  // certificate table (and its padding) that an Authenticode signature
  // appended. Every offset of the payload must lie before it. 0 if the
  // length could not be told.
  int64_t fileSize = 0;
  int64_t signatureBytes = 0;  // what signing appended after the payload
  bool sealed = false;
  PayloadSeal seal{};
  // Version 3: the versions block as read (its header's `bytes` follow the
  // header), and its labels when they are laid out as they must be (else
  // empty, and RecordsWellFormed refuses the payload).
  PayloadVersionsHeader versionsHeader{};
  std::vector<std::string> labels;  // the new version's, then each old version's

  // Bytes of the record table.
  uint64_t TableBytes() const {
    return records.size() * (IsCheckedVersion(version) ? sizeof(PatchRecordV2) : sizeof(PatchRecord));
  }
  // Bytes of the versions block (version 3; 0 otherwise).
  uint64_t VersionsBytes() const {
    return version == kPayloadVersion3 ? sizeof(PayloadVersionsHeader) + uint64_t{versionsHeader.bytes} : 0;
  }
};

// Finds and checks the trailer of `file`, reads its record table, and its
// seal if it has one (VerifySeal checks it). No memory is set aside for a
// table before it is known to lie inside the file.
PayloadError ReadPayload(CAbstractFile& file, Payload& payload);

// Whether the body of `record` lies inside the payload's file: a version-1
// run stops at the first one that does not.
inline bool BodyLiesInside(const PayloadRecord& record, const Payload& payload) {
  return LiesInside(record.bodyOffset, record.storedSize, payload.fileSize);
}

}  // namespace qpx
