#include "src/app/payload/PatcherBranding.h"

namespace qpx {

PatchBranding ReadBrandingRoom(std::span<const uint8_t> room) {
  PatchBranding branding;
  std::string* const fields[] = {&branding.product, &branding.productVersion, &branding.company,
                                 &branding.description};
  std::size_t field = 0;
  for (const uint8_t byte : room) {
    if (field == 4) break;
    if (byte == 0) {
      ++field;
    } else {
      *fields[field] += static_cast<char>(byte);
    }
  }
  // Texts that do not all end inside the room are none qpxtool wrote.
  return field == 4 ? branding : PatchBranding{};
}

}  // namespace qpx
