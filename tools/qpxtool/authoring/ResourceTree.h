#pragma once
// A Windows program's resources as a flat list (type, name, language,
// bytes), read from its resource section's tree and laid out as one again.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qpx::tool {

// Resource types the patch's branding writes.
inline constexpr uint32_t kIconResource = 3, kGroupIconResource = 14, kVersionResource = 16;

// A type or a name in the tree: a number, or (`named`) a UTF-16 string.
struct ResourceId {
  uint32_t number = 0;
  std::u16string text;
  bool named = false;

  static ResourceId Number(uint32_t number) { return ResourceId{number, {}, false}; }
};

// The order the tree's entries must have: names first, by their letters
// with ASCII case folded, then numbers ascending.
bool operator<(const ResourceId& a, const ResourceId& b);
bool operator==(const ResourceId& a, const ResourceId& b);

struct Resource {
  ResourceId type;
  ResourceId name;
  uint32_t language = 0;
  uint32_t codePage = 0;
  std::vector<uint8_t> data;
};

// The resources of a resource section (`section`, loaded at `rva`), in the
// tree's order. Nullopt, with the reason, for a tree that is not well
// formed: an entry or a datum outside the section, more than three levels,
// or far more resources than a program carries.
std::optional<std::vector<Resource>> ReadResourceTree(std::span<const uint8_t> section, uint32_t rva,
                                                      std::string& why);

// The resource section holding `resources` loaded at `rva`: the tree's
// directories, their names, the data entries, then each datum at a
// multiple of 8. Of two resources with the same type, name and language,
// the first is kept.
std::vector<uint8_t> ResourceTreeBytes(const std::vector<Resource>& resources, uint32_t rva);

}  // namespace qpx::tool
