#include "src/app/codecs/lzma/LzmaBlocksEncoder.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "src/app/codecs/lzma/LzmaBlocks.h"

namespace qpx::tool {
namespace {

constexpr uint64_t kMiB = 1u << 20;
// Smaller results are one stream: blocks of under 4 MiB lose more than 1%
// on text to the dictionary and the models starting over.
constexpr uint64_t kBlocksFrom = 8 * kMiB;
// Larger blocks would leave a core idle on results of a few blocks; smaller
// ones cost size (60 MB of text: 3.4% more than one stream in blocks of
// 15 MiB, 1.6% in blocks of 30 MiB, in about the same time on two cores).
constexpr uint64_t kLargestBlock = 32 * kMiB;
constexpr unsigned kCoderSlots = 2;

void Store64(uint8_t* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

class CoderSlots {
 public:
  void Acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    freed_.wait(lock, [&] { return taken_ < kCoderSlots; });
    ++taken_;
  }
  void Release() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      --taken_;
    }
    freed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  unsigned taken_ = 0;
};

CoderSlots& Slots() {
  static CoderSlots slots;
  return slots;
}

}  // namespace

LzmaCoderSlot::LzmaCoderSlot() { Slots().Acquire(); }
LzmaCoderSlot::~LzmaCoderSlot() { Slots().Release(); }

uint64_t LzmaBlockSize(uint64_t size) {
  if (size < kBlocksFrom) return 0;
  const uint64_t count = 2 * ((size + 2 * kLargestBlock - 1) / (2 * kLargestBlock));
  const uint64_t share = (size + count - 1) / count;
  return (share + kMiB - 1) / kMiB * kMiB;
}

uint32_t LzmaBlockDictionary(uint64_t size) {
  for (unsigned i = 30; i >= 11; --i) {
    if ((uint64_t{3} << i) <= size) return uint32_t{3} << i;
    if ((uint64_t{2} << i) <= size) return uint32_t{2} << i;
  }
  return 4096;
}

std::optional<std::vector<uint8_t>> EncodeLzmaBlocks(std::span<const uint8_t> input, uint64_t blockSize,
                                                     const LzmaSettings& settings, uint64_t limit, unsigned threads,
                                                     const std::function<void(uint64_t)>& progress) {
  if (input.empty() || blockSize == 0) return std::nullopt;
  const uint64_t count64 = (input.size() - 1) / blockSize + 1;
  if (count64 > UINT32_MAX) return std::nullopt;
  const auto count = static_cast<std::size_t>(count64);
  const uint64_t headerBytes = sizeof(LzmaBlocksHeader) + count64 * sizeof(LzmaBlockSizes);
  if (limit <= headerBytes) return std::nullopt;

  std::vector<std::optional<std::vector<uint8_t>>> blocks(count);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex reporting;
  const auto code = [&] {
    for (std::size_t i; !failed && (i = next.fetch_add(1)) < count;) {
      const auto start = static_cast<std::size_t>(i * blockSize);
      const std::span<const uint8_t> block =
          input.subspan(start, static_cast<std::size_t>(std::min<uint64_t>(blockSize, input.size() - start)));
      LzmaSettings own = settings;
      const uint32_t dictionary = LzmaBlockDictionary(block.size());
      if (own.maxDictionary == 0 || own.maxDictionary > dictionary) own.maxDictionary = dictionary;
      const auto report = [&](uint64_t bytes) {
        const std::lock_guard<std::mutex> lock(reporting);
        progress(bytes);
      };
      // No block can be worth keeping once it alone reaches the limit.
      const LzmaCoderSlot slot;
      blocks[i] = EncodeLzma(block, own, limit - headerBytes, progress ? report : std::function<void(uint64_t)>());
      if (!blocks[i]) failed = true;
    }
  };
  if (threads == 0) threads = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
  threads = std::min<unsigned>({threads, 2u, static_cast<unsigned>(count)});
  if (threads > 1) {
    auto other = std::async(std::launch::async, code);
    code();
    other.get();
  } else {
    code();
  }
  if (failed) return std::nullopt;

  uint64_t total = headerBytes;
  for (const auto& block : blocks) total += block->size();
  if (total >= limit) return std::nullopt;
  std::vector<uint8_t> body(static_cast<std::size_t>(total));
  std::memcpy(body.data(), kLzmaBlocksMagic, sizeof kLzmaBlocksMagic);
  const auto count32 = static_cast<uint32_t>(count);
  for (int i = 0; i < 4; ++i) body[offsetof(LzmaBlocksHeader, blockCount) + i] = static_cast<uint8_t>(count32 >> (8 * i));
  Store64(body.data() + offsetof(LzmaBlocksHeader, blockSize), blockSize);
  auto at = static_cast<std::size_t>(headerBytes);
  for (std::size_t i = 0; i < count; ++i) {
    uint8_t* sizes = body.data() + sizeof(LzmaBlocksHeader) + i * sizeof(LzmaBlockSizes);
    Store64(sizes, blocks[i]->size());
    Store64(sizes + offsetof(LzmaBlockSizes, decodedSize), std::min<uint64_t>(blockSize, input.size() - i * blockSize));
    std::memcpy(body.data() + at, blocks[i]->data(), blocks[i]->size());
    at += blocks[i]->size();
  }
  return body;
}

}  // namespace qpx::tool
