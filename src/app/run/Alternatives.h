#pragma once
// Version 3: one patch for several old versions of the game. Each resource
// may have several records, alternatives that rebuild the same result from
// the bytes of different old versions; the game in front of the patcher
// takes at most one of them, the one whose base it holds. Choosing them
// first leaves a payload of one record a resource, which the run then
// checks, decodes and writes as it does any version-2 payload.

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "src/app/payload/PatchPayload.h"
#include "src/app/run/Verdict.h"
#include "src/archive/ResourceArchive.h"

namespace qpx {

struct Selection {
  // The payload with the chosen record of each resource alone, in table
  // order; a resource that holds the result already, or none of the bases,
  // keeps its first record, which the checks then find applied, or from
  // another version.
  Payload payload;
  std::vector<std::size_t> chosen;  // per record of `payload`: its index in the patch's table
  // The resources looked at to choose, as they were found: the checks take
  // them from here instead of reading them again.
  std::map<uint32_t, ResourceState> inspected;
};

// Chooses the records of a version-3 payload that this game takes, reading
// each resource of more than one record once (through `chunk`); a payload
// of another version is returned whole.
Selection SelectAlternatives(ResourceArchive& archive, const Payload& payload, std::span<uint8_t> chunk);

}  // namespace qpx
