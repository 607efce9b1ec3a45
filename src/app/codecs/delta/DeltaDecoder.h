#pragma once
// Delta bodies: a resource's new bytes (the "result") rebuilt from its
// current bytes (the "base") by copying ranges of the base, with small
// differences added, and inserting bytes the base does not have.
//
// Layout of a delta body, all integers little-endian:
//
//   header (96 bytes) | stream 0 | stream 1 | stream 2 | stream 3
//
//   offset size field
//        0    4 magic        "QPXD"
//        4    1 version      1
//        5    4 coding[4]    how each stream is stored: 0 as is, 1 LZMA
//        9    7 reserved     zeros
//       16    8 baseSize     length of the base the delta applies to
//       24    8 resultSize   length of the result
//       32   64 streams[4]   per stream: storedSize (8), then decodedSize (8)
//
// The four streams follow the header back to back, in order, and fill the
// body exactly. A stream stored as is has storedSize == decodedSize; an
// empty stream is stored as is. An LZMA stream is the coder's five
// property bytes (with lc + lp <= 4), then the coded data, with no end
// mark; streams 0 to 2 are read a window at a time, so their dictionary is
// at most kDeltaWindowLimit bytes unless their decodedSize is smaller.
//
//   0 commands    for each command three varints: copyLength, baseSeek
//                 (zigzag-signed), addLength
//   1 diff gaps   one varint per diff byte: how many copied bytes before it
//                 take no diff byte (counted from the previous diff byte,
//                 or from the first copied byte)
//   2 diff bytes  the diff bytes, none of them zero
//   3 new bytes   the bytes that commands add
//
// A varint is an unsigned number in groups of 7 bits, least significant
// group first, each in a byte whose top bit says that another byte
// follows; at most 9 bytes. Zigzag maps a signed n to (n << 1) ^ (n >> 63):
// 0, -1, 1, -2, 2 become 0, 1, 2, 3, 4.
//
// The result is written front to back, and a cursor into the base starts
// at 0. Each command moves the cursor by baseSeek, copies copyLength bytes
// of the base from the cursor on (then past them), and appends the next
// addLength new bytes. The copied bytes of all commands, taken end to end,
// are the copied sequence; diff byte k is added (modulo 256) to the byte
// of the copied sequence that its gap and those before it point at.
//
// A body is well formed when: the header's fields are as above; every copy
// lies inside the base; no command is empty (copyLength + addLength > 0);
// the commands fill exactly resultSize bytes; the new bytes they add are
// exactly stream 3; every diff byte falls inside the copied sequence; and
// every stream ends exactly with its last value.

#include <cstddef>
#include <cstdint>
#include <span>

#include "src/app/codecs/common/ByteSource.h"
#include "src/app/codecs/lzma/LzmaDecoder.h"

namespace qpx {

inline constexpr uint8_t kDeltaMagic[4] = {'Q', 'P', 'X', 'D'};
inline constexpr uint8_t kDeltaVersion = 1;
// A delta that knows program code: its copies carry the code's references
// along (CodeDelta.h).
inline constexpr uint8_t kDeltaCodeVersion = 2;
// A delta for several bases, which the alternatives of a resource share:
// the new bytes they add are stored once (below).
inline constexpr uint8_t kDeltaSharedVersion = 3;
inline constexpr uint32_t kSharedDeltaPartsMax = 64;
inline constexpr uint32_t kDeltaStreamCount = 4;
// The window through which streams 0 to 2 are decoded: the most their
// dictionary may need.
inline constexpr uint32_t kDeltaWindowLimit = 2u << 20;
inline constexpr uint32_t kDeltaVarintMaxBytes = 9;

enum DeltaStreamIndex : uint32_t {
  kDeltaCommands = 0,
  kDeltaDiffGaps = 1,
  kDeltaDiffBytes = 2,
  kDeltaNewBytes = 3,
};

enum DeltaCoding : uint8_t {
  kDeltaStored = 0,
  kDeltaLzma = 1,
  kDeltaShared = 2,  // stream 3 of a part: the shared new bytes
};

struct DeltaStreamSizes {
  uint64_t storedSize;
  uint64_t decodedSize;
};

struct DeltaHeader {
  uint8_t magic[4];
  uint8_t version;
  uint8_t coding[kDeltaStreamCount];
  uint8_t reserved[7];
  uint64_t baseSize;
  uint64_t resultSize;
  DeltaStreamSizes streams[kDeltaStreamCount];
};
static_assert(sizeof(DeltaStreamSizes) == 16);
static_assert(sizeof(DeltaHeader) == 96);
static_assert(offsetof(DeltaHeader, version) == 4);
static_assert(offsetof(DeltaHeader, coding) == 5);
static_assert(offsetof(DeltaHeader, reserved) == 9);
static_assert(offsetof(DeltaHeader, baseSize) == 16);
static_assert(offsetof(DeltaHeader, resultSize) == 24);
static_assert(offsetof(DeltaHeader, streams) == 32);

// A delta for several bases (version 3), one body for all the alternatives
// of a resource:
//
//   header (48 bytes) | parts (32 bytes each) | runs | part 0 | part 1 | ... | shared new bytes
//
//   offset size field
//        0    4 magic        "QPXD"
//        4    1 version      3
//        5    1 coding       of the shared new bytes: 0 as is, 1 LZMA
//        6    2 reserved     zeros
//        8    4 partCount    2..kSharedDeltaPartsMax
//       12    4 reserved     zero
//       16    8 resultSize
//       24    8 runsBytes
//       32   16 shared       storedSize, then decodedSize
//
// Each part names the base it is for (baseSize, baseHash: the record's base
// hash) and its length; the part is a delta body of version 1 or 2 whose
// stream 3 has coding kDeltaShared, no stored bytes, and as decodedSize the
// new bytes its commands add. Those are taken from the shared new bytes:
// the result's bytes at the positions the runs name, in order. The runs
// are varint pairs (as the streams' numbers), the gap from the end of the
// run before (or from 0) and a length of at least 1, within the result,
// their lengths adding up to no more than the shared bytes' decodedSize.
// A part's new bytes at result position p are the shared byte that stands
// for p; every byte it adds must have one. The pieces fill the body
// exactly, and exactly one part is for the base given.
struct SharedDeltaHeader {
  uint8_t magic[4];
  uint8_t version;
  uint8_t coding;
  uint8_t reserved[2];
  uint32_t partCount;
  uint32_t reserved2;
  uint64_t resultSize;
  uint64_t runsBytes;
  DeltaStreamSizes shared;
};
static_assert(sizeof(SharedDeltaHeader) == 48);
static_assert(offsetof(SharedDeltaHeader, partCount) == 8);
static_assert(offsetof(SharedDeltaHeader, resultSize) == 16);
static_assert(offsetof(SharedDeltaHeader, runsBytes) == 24);
static_assert(offsetof(SharedDeltaHeader, shared) == 32);

struct SharedDeltaPart {
  uint64_t baseSize;
  uint8_t baseHash[16];
  uint64_t bodySize;
};
static_assert(sizeof(SharedDeltaPart) == 32);
static_assert(offsetof(SharedDeltaPart, baseHash) == 8);
static_assert(offsetof(SharedDeltaPart, bodySize) == 24);

// Rebuilds exactly `resultSize` bytes from `base` and the delta body of
// `length` bytes at `offset` of `source`, handing them to `sink` in order,
// a piece of at most `chunk.size()` bytes at a time (gathered in `chunk`).
// Every command is checked against the base and the result before it is
// carried out, so no input makes it read outside the base or give more
// bytes than the result's; a body that is not well formed (or was made for
// a base of another length) is BadData, and what the sink was given by
// then is no result. Besides `chunk` it needs less than 8 MiB for streams
// 0 to 2, and a window for the new bytes: the smaller of their LZMA
// dictionary and their length (none when they are stored as is). `base`
// must not overlap `chunk`. A delta for several bases takes the part whose
// base hash is `baseHash` (the record's): without it, it is BadData.
DecodeStatus ApplyDelta(std::span<const uint8_t> base, CByteSource& source, uint64_t offset, uint64_t length,
                        uint64_t resultSize, CByteSink& sink, std::span<uint8_t> chunk,
                        std::span<const uint8_t> baseHash = {});

// The same into `result`, exactly `result.size()` bytes, which must not
// overlap `base` or `chunk`; on any status but Done its contents are
// unspecified.
DecodeStatus ApplyDelta(std::span<const uint8_t> base, CByteSource& source, uint64_t offset, uint64_t length,
                        std::span<uint8_t> result, std::span<uint8_t> chunk, std::span<const uint8_t> baseHash = {});

}  // namespace qpx
