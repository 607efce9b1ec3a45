#pragma once
// Version-3 test patches: one patch for several old versions of a game,
// laid out as qpxtool lays it out.

#include <cstdint>
#include <string>
#include <vector>

#include "src/app/payload/PatchPayload.h"
#include "tools/qpxtool/authoring/PayloadWriter.h"

namespace qpx::test {

// One way to a resource's new bytes: from `base`, the bytes that the old
// versions named by `versions` hold (bit i: label i + 1), as `coding` says.
struct Alternative {
  std::vector<uint8_t> base;
  uint64_t versions = 0;
  BodyEncoding coding = BodyEncoding::Delta;
};

struct MultiVersionPatch {
  uint32_t resourceNumber = 0;
  std::vector<uint8_t> result;
  std::vector<Alternative> alternatives;
};

// `image` followed by a sealed version-3 payload: the bodies (a resource's
// whole body, stored or compressed, once for all its alternatives), the
// table of 80-byte records, the versions block of `labels` (the new
// version's first), zeros to a multiple of 8, the seal, the trailer.
std::vector<uint8_t> BuildMultiVersionPatchFile(const std::vector<uint8_t>& image, const std::vector<std::string>& labels,
                                                const std::vector<MultiVersionPatch>& patches);

// The versions block of `labels`, as a payload holds it.
using tool::VersionsBlock;

// Appends `records`, `versions` (a versions block, or any bytes a forger
// puts there), zero padding, a seal over every byte from `coveredStart`,
// and a version-3 trailer.
void AppendMultiVersionTable(std::vector<uint8_t>& file, uint64_t coveredStart,
                             const std::vector<PatchRecordV3>& records, const std::vector<uint8_t>& versions);

// The records of a version-3 patch file made by BuildMultiVersionPatchFile.
std::vector<PatchRecordV3> RecordsOf(const std::vector<uint8_t>& patch);

}  // namespace qpx::test
