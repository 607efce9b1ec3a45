#pragma once
// Loose resource files res\D00000.bin .. res\D01507.bin: a 2048-byte block
// header, the body, and zeros up to a multiple of 128 bytes.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "src/filesystem/FileSystem.h"

namespace qpx {

inline constexpr uint32_t kLooseFileMagic = 0x0231707A;  // bytes 7A 70 31 02
inline constexpr uint32_t kLooseBlockSize = 0x40000;
inline constexpr uint32_t kLooseBlockSlots = 508;
// One slot is never used: a body may need at most 507 blocks.
inline constexpr uint32_t kLooseMaxBlocks = kLooseBlockSlots - 1;
inline constexpr uint32_t kLooseMaxBodySize = kLooseMaxBlocks * kLooseBlockSize;  // 132,907,008
inline constexpr uint32_t kLooseFileAlignment = 128;
// Zeros enough for any fill: an entry's slot (under 32) or a loose file's
// (under 128).
inline constexpr uint8_t kZeroFill[kLooseFileAlignment] = {};

struct LooseFileHeader {
  uint32_t magic;
  uint32_t totalSize;   // the body's length
  uint32_t blockSize;   // kLooseBlockSize
  uint32_t blockCount;  // blocks of the body, a partial one counting whole
  uint32_t blockSizes[kLooseBlockSlots];  // per block; unused slots 0
};
static_assert(sizeof(LooseFileHeader) == 2048);
static_assert(offsetof(LooseFileHeader, magic) == 0x000);
static_assert(offsetof(LooseFileHeader, totalSize) == 0x004);
static_assert(offsetof(LooseFileHeader, blockSize) == 0x008);
static_assert(offsetof(LooseFileHeader, blockCount) == 0x00C);
static_assert(offsetof(LooseFileHeader, blockSizes) == 0x010);

// Blocks needed by a body of `size` bytes (64-bit: never wraps).
inline constexpr uint64_t LooseBlockCount(uint64_t size) { return (size + kLooseBlockSize - 1) / kLooseBlockSize; }

// Zero bytes that follow a body of `size` bytes.
inline constexpr uint32_t LooseZeroFill(uint32_t size) {
  return (kLooseFileAlignment - size % kLooseFileAlignment) % kLooseFileAlignment;
}

// The length of the whole file holding a body of `size` bytes.
inline constexpr uint64_t LooseFileLength(uint32_t size) {
  return sizeof(LooseFileHeader) + uint64_t{size} + LooseZeroFill(size);
}

// The header for a body of `size` bytes (at most kLooseMaxBodySize). Every
// full block's slot holds kLooseBlockSize, the last one included.
LooseFileHeader MakeLooseFileHeader(uint32_t size);

// Where the body lies in a loose file: right after its header.
inline constexpr uint64_t kLooseBodyOffset = sizeof(LooseFileHeader);

// Whether `header` is the one the patcher writes for a body of `size` bytes.
bool LooseHeaderAsWritten(const LooseFileHeader& header, uint32_t size);

// Reads the zero fill that follows a body of `size` bytes, from the file's
// current position (just after the body): true when it is all there and
// all zeros.
bool LooseZeroFillFollows(CAbstractFile& file, uint32_t size);

// Whether a loose file of `length` bytes whose header is `header`, read up
// to the end of its body, is exactly what the patcher writes for that
// body: its header, zeros after the body, and nothing past them. Reads the
// fill from the file's position.
bool LooseFileAsWritten(CAbstractFile& file, int64_t length, const LooseFileHeader& header);

// Reads the header at the start of an open loose file of `length` bytes,
// from the file's current position (its start). The body is the
// `header.totalSize` bytes that follow it. False when the file holds no
// loose-file header: it is shorter than one, has another magic, or its
// header claims a body longer than the rest of the file.
bool ReadLooseFileHeader(CAbstractFile& file, int64_t length, LooseFileHeader& header);

// Writes a loose file whole, from its start, for a body of `size` bytes:
// the header, the body (`writeBody` writes it at the file's position), the
// zero fill; then cuts off whatever the old file held beyond, which would
// otherwise stay as stale bytes. `durable` first sets room aside for the
// whole file, so that a full disk fails before a byte of it has changed,
// and makes it durable at the end. The one writer of a loose file.
bool WriteLooseFileWhole(CAbstractFile& file, uint32_t size, bool durable,
                         const std::function<bool(CAbstractFile&)>& writeBody);

// "D%05d.bin" for loose index 0..1507, e.g. D00042.bin; empty if it cannot
// be formatted whole.
std::wstring LooseFileName(uint32_t looseIndex);

// res\DNNNNN.bin relative to `resDirectory`.
std::wstring LooseFilePath(const std::wstring& resDirectory, uint32_t looseIndex);

}  // namespace qpx
