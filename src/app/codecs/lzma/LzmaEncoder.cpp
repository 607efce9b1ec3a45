#include "src/app/codecs/lzma/LzmaEncoder.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include <LzmaEnc.h>

namespace qpx::tool {
namespace {

void* Allocate(void*, size_t size) { return std::malloc(size); }
void Release(void*, void* address) { std::free(address); }
ISzAlloc g_allocator = {Allocate, Release};

struct ProgressAdapter {
  ICompressProgress vtable;
  const std::function<void(uint64_t)>* report;
  uint64_t reported;
};

SRes ReportProgress(void* self, UInt64 inSize, UInt64) {
  auto* adapter = static_cast<ProgressAdapter*>(self);
  if (inSize != static_cast<UInt64>(-1) && inSize > adapter->reported) {
    (*adapter->report)(inSize - adapter->reported);
    adapter->reported = inSize;
  }
  return SZ_OK;
}

CLzmaEncProps PropsFor(uint64_t size, const LzmaSettings& settings) {
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = std::clamp(settings.level, 0, 9);
  props.reduceSize = static_cast<UInt32>(std::min<uint64_t>(size, UINT32_MAX));
  props.lc = settings.lc;
  props.lp = settings.lp;
  props.pb = settings.pb;
  props.numThreads = 1;
  LzmaEncProps_Normalize(&props);
  if (settings.maxDictionary != 0 && props.dictSize > settings.maxDictionary) {
    props.dictSize = settings.maxDictionary;
    // The coder normalizes the properties again, and would raise a
    // dictionary larger than the input to 64 KiB at least, past the cap.
    props.reduceSize = std::max(props.reduceSize, props.dictSize);
  }
  return props;
}

}  // namespace

bool LooksIncompressible(std::span<const uint8_t> bytes) {
  constexpr std::size_t kSampledFrom = 64u << 10;
  constexpr std::size_t kSamples = 4;
  if (bytes.size() < kSampledFrom) return false;
  // A sixteenth of the input at the most, in four samples of 16 to 256 KiB.
  const std::size_t sampleSize = std::clamp<std::size_t>(bytes.size() / 16 / kSamples, 16u << 10, 256u << 10);
  const std::size_t step = (bytes.size() - sampleSize) / (kSamples - 1);
  for (std::size_t i = 0; i < kSamples; ++i) {
    const std::span<const uint8_t> sample = bytes.subspan(i * step, sampleSize);
    if (EncodeLzma(sample, LzmaSettings{0}, sample.size() - sample.size() / 50)) return false;
  }
  return true;
}

uint32_t LzmaDictionarySize(uint64_t size, int level) { return PropsFor(size, LzmaSettings{level}).dictSize; }

std::optional<std::vector<uint8_t>> EncodeLzma(std::span<const uint8_t> input, const LzmaSettings& settings,
                                               uint64_t limit, const std::function<void(uint64_t)>& progress) {
  if (limit <= LZMA_PROPS_SIZE) return std::nullopt;
  const CLzmaEncProps props = PropsFor(input.size(), settings);
  // Room for a result one byte short of the limit: a coder that runs out
  // of it has shown that the input is better stored.
  const uint64_t room = std::min<uint64_t>(limit - 1, input.size() + input.size() / 16 + 1024);
  std::vector<uint8_t> out(static_cast<std::size_t>(room));
  SizeT propsSize = LZMA_PROPS_SIZE;
  SizeT coded = out.size() - LZMA_PROPS_SIZE;
  ProgressAdapter adapter{{ReportProgress}, &progress, 0};
  const SRes result = LzmaEncode(out.data() + LZMA_PROPS_SIZE, &coded, input.data(), input.size(), &props,
                                 out.data(), &propsSize, 0, progress ? &adapter.vtable : nullptr, &g_allocator,
                                 &g_allocator);
  if (result == SZ_ERROR_OUTPUT_EOF) return std::nullopt;
  if (result == SZ_ERROR_MEM) throw std::bad_alloc();
  if (result != SZ_OK || propsSize != LZMA_PROPS_SIZE) return std::nullopt;
  out.resize(LZMA_PROPS_SIZE + coded);
  if (out.size() >= limit) return std::nullopt;
  return out;
}

}  // namespace qpx::tool
