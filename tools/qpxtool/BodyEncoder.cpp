#include "tools/qpxtool/BodyEncoder.h"

#include <algorithm>

#include "app/PayloadDigest.h"
#include "tools/qpxtool/DeltaEncoder.h"

namespace qpx::tool {
namespace {

// Bodies smaller than this are always tried whole.
constexpr std::size_t kSampledFrom = 4u << 20;
constexpr std::size_t kSampleSize = 256u << 10;
constexpr std::size_t kSamples = 4;

}  // namespace

ContentHash HashOf(std::span<const uint8_t> bytes) {
  PayloadDigest digest;
  digest.Update(bytes);
  return digest.Finish();
}

bool LooksIncompressible(std::span<const uint8_t> bytes) {
  if (bytes.size() < kSampledFrom) return false;
  const std::size_t step = (bytes.size() - kSampleSize) / (kSamples - 1);
  for (std::size_t i = 0; i < kSamples; ++i) {
    const std::span<const uint8_t> sample = bytes.subspan(i * step, kSampleSize);
    // Two percent saved in any sample is worth a full attempt.
    if (EncodeLzma(sample, LzmaSettings{0}, sample.size() - sample.size() / 50)) return false;
  }
  return true;
}

EncodedBody EncodeBody(std::vector<uint8_t> result, const std::vector<uint8_t>* base, const EncodeSettings& settings,
                       std::atomic<uint64_t>* done) {
  EncodedBody body;
  body.resultHash = HashOf(result);
  if (base != nullptr) {
    body.hasBase = true;
    body.baseSize = base->size();
    body.baseHash = HashOf(*base);
  }
  uint64_t reported = 0;
  const auto report = [&](uint64_t bytes) {
    bytes = std::min<uint64_t>(bytes, result.size() - std::min<uint64_t>(reported, result.size()));
    reported += bytes;
    if (done != nullptr) done->fetch_add(bytes);
  };
  // The size to beat: the body stored as it is.
  uint64_t best = result.size();
  if (base != nullptr && settings.delta) {
    if (base->size() + result.size() > DeltaEncoderBound()) {
      body.tooLargeForDelta = true;
    } else {
      uint64_t deltaDone = 0;
      auto delta = EncodeDelta(*base, result, DeltaSettings{settings.level, 0}, best, [&](uint64_t bytes) {
        report(bytes > deltaDone ? bytes - deltaDone : 0);
        deltaDone = std::max(deltaDone, bytes);
      });
      if (delta) {
        body.encoding = BodyEncoding::Delta;
        body.coded = std::move(*delta);
        best = body.coded.size();
      }
    }
  }
  const bool smallDelta =
      body.encoding == BodyEncoding::Delta && result.size() >= kSampledFrom && best <= result.size() / 8;
  if (!smallDelta && !LooksIncompressible(result)) {
    const uint64_t before = reported;
    auto coded = EncodeLzma(result, LzmaSettings{settings.level}, best, [&](uint64_t bytes) {
      if (reported < before + bytes) report(before + bytes - reported);
    });
    if (coded) {
      body.encoding = BodyEncoding::Lzma;
      body.coded = std::move(*coded);
    }
  }
  report(result.size());
  body.result = std::move(result);
  return body;
}

}  // namespace qpx::tool
