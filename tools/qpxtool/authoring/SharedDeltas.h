#pragma once
// In a patch for several old versions, the alternatives of one resource
// rebuild one result, and the bytes that none of their bases holds are the
// same for all of them: one delta for all the bases stores them once
// (DeltaDecoder.h, a delta for several bases).

#include <vector>

#include "tools/qpxtool/authoring/BodyEncoder.h"
#include "tools/qpxtool/authoring/BodyList.h"

namespace qpx::tool {

// Gives the encoded alternatives `bodies` of one resource (made from
// `sources`, one each) one delta for all their bases, where each of them is
// a delta and the one body is smaller than their bodies together; each then
// holds that body, which the payload stores once. False, with nothing
// changed, otherwise, and where the bases and the result (which it holds
// all at once) come to more than the delta encoder takes for one pair.
bool ShareNewBytes(const std::vector<const BodySource*>& sources, const std::vector<EncodedBody*>& bodies,
                   const EncodeSettings& settings);

// Whether `stored`, a delta body, is one for several bases.
bool IsSharedDelta(const std::vector<uint8_t>& stored);

}  // namespace qpx::tool
