#pragma once
// The game's archive: the index file DATA0.QPX (1207 records of 32 bytes),
// the data file DATA1.QPX (bodies at the index's offsets) and the folder
// "res" of loose resource files. Records are read and written as raw images.

#include <bit>
#include <cstddef>
#include <cstdint>

namespace qpx {

static_assert(std::endian::native == std::endian::little,
              "index records are read as little-endian images");

// Names one game resource: below kEntryCount an archive entry, then
// kLooseFileCount loose files, and nothing above. Compared unsigned.
using ResourceNumber = uint32_t;

inline constexpr uint32_t kEntryCount = 1207;
inline constexpr uint32_t kLooseFileCount = 1508;
inline constexpr uint32_t kResourceLimit = kEntryCount + kLooseFileCount;  // 2715

inline constexpr const wchar_t* kIndexFileName = L"DATA0.QPX";
inline constexpr const wchar_t* kDataFileName = L"DATA1.QPX";
inline constexpr const wchar_t* kLooseDirectoryName = L"res";

struct ArchiveIndexEntry {
  uint64_t offset;      // where the body starts in DATA1.QPX
  uint64_t size;        // the body's length in bytes
  uint64_t secondSize;  // a second length, written equal to size on replacement
  uint64_t attributes;  // non-zero: a replacement never goes in place
};
static_assert(sizeof(ArchiveIndexEntry) == 32);
static_assert(offsetof(ArchiveIndexEntry, offset) == 0);
static_assert(offsetof(ArchiveIndexEntry, size) == 8);
static_assert(offsetof(ArchiveIndexEntry, secondSize) == 16);
static_assert(offsetof(ArchiveIndexEntry, attributes) == 24);

inline constexpr uint32_t kIndexFileSize = kEntryCount * sizeof(ArchiveIndexEntry);  // 38,624

// A length raised to the next multiple of 32: the room a body takes in the
// data file. Computed in 64 bits, so no length near 4 GiB wraps to a small one.
inline constexpr uint64_t SlotLength(uint64_t length) { return (length + 31) & ~uint64_t{31}; }

}  // namespace qpx
