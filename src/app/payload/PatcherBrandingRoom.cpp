// Finding and filling the room: qpxtool's part, in a file of its own so
// that the patcher, which only reads its room, links none of it.
#include <algorithm>
#include <array>

#include "src/app/payload/PatcherBranding.h"

namespace qpx {

std::optional<std::size_t> FindBrandingRoom(std::span<const uint8_t> program) {
  // Unmasked here, at run time, so that no image holding this code holds
  // the marker too (a patcher would then carry two).
  const volatile uint8_t mask = kPatcherMarkerMask;
  std::array<uint8_t, kMaskedBrandingMarker.size()> marker{};
  for (std::size_t i = 0; i < marker.size(); ++i) marker[i] = kMaskedBrandingMarker[i] ^ mask;
  const auto found = std::search(program.begin(), program.end(), marker.begin(), marker.end());
  if (found == program.end()) return std::nullopt;
  // One room, or none: texts written to the wrong one would overwrite the
  // program's own bytes.
  if (std::search(found + 1, program.end(), marker.begin(), marker.end()) != program.end()) return std::nullopt;
  const auto room = static_cast<std::size_t>(found - program.begin()) + marker.size();
  if (program.size() - room < kBrandingRoomBytes) return std::nullopt;
  return room;
}

std::optional<std::vector<uint8_t>> BrandingRoomBytes(const PatchBranding& branding) {
  std::vector<uint8_t> room;
  for (const std::string* text : {&branding.product, &branding.productVersion, &branding.company,
                                  &branding.description}) {
    if (text->find('\0') != std::string::npos) return std::nullopt;
    room.insert(room.end(), text->begin(), text->end());
    room.push_back(0);
  }
  if (room.size() > kBrandingRoomBytes) return std::nullopt;
  room.resize(kBrandingRoomBytes, 0);
  return room;
}

}  // namespace qpx
