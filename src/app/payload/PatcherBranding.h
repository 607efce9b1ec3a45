#pragma once
// The publisher's name on a patch, in the patcher's own image: a room that
// every patcher carries (its marker, then kBrandingRoomBytes of zeros) and
// that qpxtool fills before it appends the payload. The payload never holds
// it, so a patch without a name is byte for byte the patch it always was.
// The room holds four UTF-8 texts, each ended by a zero byte:
//   product | product version | company | description | zeros
// An empty text is one not given; a room of zeros names nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "src/app/payload/PatcherMarker.h"

namespace qpx {

inline constexpr std::size_t kBrandingRoomBytes = 496;
// Marks the room's start; masked, as the patcher's own marker is.
inline constexpr auto kMaskedBrandingMarker = MaskMarker("qpxpatch:brand:7");
static_assert(kMaskedBrandingMarker.size() + kBrandingRoomBytes == 512, "the room and its marker take 512 bytes");

struct PatchBranding {
  std::string product, productVersion, company, description;
  bool Any() const { return !product.empty() || !productVersion.empty() || !company.empty() || !description.empty(); }
};

// The texts of a room (kBrandingRoomBytes, after its marker); nothing for a
// room whose texts do not end inside it.
PatchBranding ReadBrandingRoom(std::span<const uint8_t> room);

// Where the room lies in `program`: the offset just past its marker; none
// where the program has no room (a patcher older than the room), or more
// than one marker.
std::optional<std::size_t> FindBrandingRoom(std::span<const uint8_t> program);

// The room's bytes for `branding`; none when the texts do not fit in it
// (or hold a zero byte).
std::optional<std::vector<uint8_t>> BrandingRoomBytes(const PatchBranding& branding);

}  // namespace qpx
