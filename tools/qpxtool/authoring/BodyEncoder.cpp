#include "tools/qpxtool/authoring/BodyEncoder.h"

#include <algorithm>

#include "src/app/codecs/delta/DeltaEncoder.h"
#include "src/app/codecs/lzma/LzmaBlocksEncoder.h"
#include "src/app/payload/ContentDigest.h"

namespace qpx::tool {
namespace {

// From this size on, a small delta spares the attempt at compressing the
// result alone.
constexpr std::size_t kLargeResult = 4u << 20;

}  // namespace

EncodedBody EncodeBody(std::vector<uint8_t> result, const std::vector<uint8_t>* base, const EncodeSettings& settings,
                       std::atomic<uint64_t>* done) {
  EncodedBody body;
  body.resultHash = HashOf(result);
  if (base != nullptr) {
    body.hasBase = true;
    body.baseSize = base->size();
    body.baseHash = HashOf(*base);
  }
  // The coders tell the input bytes they got through since they last
  // told; the body counts as its result's size in all. Where a delta is
  // made and the result may be compressed alone too, each pass counts for
  // half of it: the second, which can take minutes, moves the line as the
  // first did.
  const uint64_t size = result.size();
  uint64_t passes = base != nullptr && settings.delta ? 2 : 1;
  uint64_t reported = 0, passStart = 0, passDone = 0;
  const auto report = [&](uint64_t bytes) {
    passDone = std::min(size, passDone + bytes);
    const uint64_t now = std::min(size, passStart + passDone / passes);
    if (now <= reported) return;
    if (done != nullptr) done->fetch_add(now - reported);
    reported = now;
  };
  const auto nextPass = [&] { passStart = reported, passDone = 0; };
  // The size to beat: the body stored as it is.
  uint64_t best = result.size();
  if (base != nullptr && settings.delta) {
    if (base->size() + result.size() > DeltaEncoderBound()) {
      body.tooLargeForDelta = true;
      passes = 1;
    } else {
      auto delta = EncodeDelta(*base, result, DeltaSettings{settings.level, 0}, best, report);
      if (delta) {
        body.encoding = BodyEncoding::Delta;
        body.coded = std::move(*delta);
        best = body.coded.size();
      }
    }
  }
  const bool smallDelta =
      body.encoding == BodyEncoding::Delta && result.size() >= kLargeResult && best <= result.size() / 8;
  if (!smallDelta && !LooksIncompressible(result)) {
    nextPass();
    const LzmaSettings lzma{settings.level};
    if (const uint64_t blockSize = LzmaBlockSize(result.size()); blockSize != 0) {
      auto coded = EncodeLzmaBlocks(result, blockSize, lzma, best, settings.threads, report);
      if (coded) {
        body.encoding = BodyEncoding::LzmaBlocks;
        body.coded = std::move(*coded);
      }
    } else {
      const LzmaCoderSlot slot;
      auto coded = EncodeLzma(result, lzma, best, report);
      if (coded) {
        body.encoding = BodyEncoding::Lzma;
        body.coded = std::move(*coded);
      }
    }
  }
  if (done != nullptr) done->fetch_add(size - reported);
  body.result = std::move(result);
  return body;
}

}  // namespace qpx::tool
