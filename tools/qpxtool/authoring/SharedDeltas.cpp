#include "tools/qpxtool/authoring/SharedDeltas.h"

#include <algorithm>
#include <array>
#include <span>

#include "src/app/codecs/delta/DeltaDecoder.h"
#include "src/app/codecs/delta/DeltaEncoder.h"

namespace qpx::tool {

bool ShareNewBytes(const std::vector<const BodySource*>& sources, const std::vector<EncodedBody*>& bodies,
                   const EncodeSettings& settings) {
  if (bodies.size() < 2 || bodies.size() > kSharedDeltaPartsMax || sources.size() != bodies.size()) return false;
  // Every base is held at once, and each part's streams: within the bound
  // of one pair, so that the memory stays that of one delta.
  uint64_t together = 0, held = bodies.front()->result.size();
  for (const EncodedBody* body : bodies) {
    if (body->encoding != BodyEncoding::Delta || !body->hasBase) return false;
    together += body->coded.size();
    held += body->baseSize + body->result.size();
  }
  if (held > DeltaEncoderBound()) return false;
  std::vector<std::vector<uint8_t>> bases;
  std::vector<std::array<uint8_t, 16>> hashes;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    bases.push_back(sources[i]->base());
    hashes.push_back(bodies[i]->baseHash);
  }
  const std::vector<std::span<const uint8_t>> spans(bases.begin(), bases.end());
  DeltaSettings delta;
  delta.level = settings.level;
  auto shared = EncodeSharedDelta(spans, hashes, bodies.front()->result, delta, together);
  if (!shared) return false;
  for (EncodedBody* body : bodies) body->coded = *shared;
  return true;
}

bool IsSharedDelta(const std::vector<uint8_t>& stored) {
  return stored.size() > sizeof kDeltaMagic && std::equal(kDeltaMagic, kDeltaMagic + sizeof kDeltaMagic, stored.begin()) &&
         stored[sizeof kDeltaMagic] == kDeltaSharedVersion;
}

}  // namespace qpx::tool
