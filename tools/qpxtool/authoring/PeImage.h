#pragma once
// The resource section of a Windows program (PE32 or PE32+), found and
// replaced whole, for the publisher's name and icon on a patch.
//
// A patch's payload follows the program, so the program may grow: the
// resource section is rewritten where it stands and every section after it
// is moved along. Only a section nothing points into but its own data
// directory can move (the base relocations, which the linker puts after
// the resources); a program laid out otherwise, or carrying bytes after its
// last section, is refused rather than guessed at.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qpx::tool {

// Whether `size` bytes at `offset` lie inside `total` bytes, without a sum
// that can wrap.
inline bool Within(uint64_t offset, uint64_t size, uint64_t total) {
  return offset <= total && size <= total - offset;
}

// A program's resource section: its bytes (as far as it has any, by its
// virtual size) and the address (RVA) they are loaded at, which every data
// entry of its tree names.
struct ResourceSection {
  std::vector<uint8_t> bytes;
  uint32_t rva = 0;
};

// The resource section of `image`. Nullopt, with the reason in `why`
// ("is not a Windows program", ...), for an image whose resource section
// cannot be found.
std::optional<ResourceSection> FindResourceSection(std::span<const uint8_t> image, std::string& why);

// `image` with its resource section's bytes replaced by `section` (laid
// out for the section's unchanged RVA): the section's sizes, the sections
// after it moved, the resource and relocation directories, the image's
// size and, where the program has one, its checksum all set anew.
// Nullopt, with the reason, for an image laid out so that its resources
// cannot grow.
std::optional<std::vector<uint8_t>> ReplaceResourceSection(std::span<const uint8_t> image,
                                                           std::span<const uint8_t> section, std::string& why);

// The PE checksum of `image`, whose checksum field is the 4 bytes at
// `checksumAt` (counted as zero).
uint32_t PeChecksum(std::span<const uint8_t> image, std::size_t checksumAt);

}  // namespace qpx::tool
