// libFuzzer target: a delta body applied to a base. The input is
//
//   mode (1 byte) | base length (4, little-endian) | base | delta body
//
// The result gets the length the body's header states (at most 1 MiB), and
// the body is read through a buffer of 2^(mode % 16) bytes. Under the
// sanitizers any read or write outside the base, the result or the body
// ends the run; besides, a body in memory can only be applied or refused,
// never fail to be read. The seeds in fuzz/corpus/delta are deltas that
// qpxtool's encoder wrote, in this layout.
//
// With the mode's top bit set, the rest of the input after the base is a
// result instead: the encoder's delta from the base to it must rebuild it.
// With bit 6 set (and the top bit clear), 16 bytes after the base are the
// record's base hash, which a delta for several bases picks its part by.

#include <algorithm>
#include <cstring>
#include <vector>

#include "src/app/codecs/delta/DeltaDecoder.h"
#include "src/app/codecs/delta/DeltaEncoder.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qpx;
  fuzz::InputReader input(std::span<const uint8_t>(data, size));
  const uint8_t mode = input.U8();
  const std::size_t chunkSize = std::size_t{1} << (mode % 16);
  const std::vector<uint8_t> base = input.Bytes(std::min<uint32_t>(input.U32(), 1u << 20));
  const std::vector<uint8_t> baseHash = (mode & 0xC0) == 0x40 ? input.Bytes(16) : std::vector<uint8_t>{};
  std::vector<uint8_t> body = input.Bytes(size);
  std::vector<uint8_t> wanted;
  if ((mode & 0x80) != 0) {
    wanted = std::move(body);
    const auto delta = tool::EncodeDelta(base, wanted, {0, 1}, UINT64_MAX);
    FUZZ_CHECK(delta.has_value());
    body = *delta;
  }

  uint64_t resultSize = 0;
  const bool shared = body.size() > 4 && body[4] == kDeltaSharedVersion;
  const std::size_t sizeAt = shared ? offsetof(SharedDeltaHeader, resultSize) : offsetof(DeltaHeader, resultSize);
  if (body.size() >= sizeAt + sizeof resultSize) std::memcpy(&resultSize, body.data() + sizeAt, sizeof resultSize);
  std::vector<uint8_t> result(static_cast<std::size_t>(std::min<uint64_t>(resultSize, 1u << 20)));
  std::vector<uint8_t> chunk(chunkSize);
  MemorySource source(body);
  const DecodeStatus status = ApplyDelta(base, source, 0, body.size(), result, chunk, baseHash);
  FUZZ_CHECK(status == DecodeStatus::Done || status == DecodeStatus::BadData);
  if ((mode & 0x80) != 0) FUZZ_CHECK(status == DecodeStatus::Done && result == wanted);
  return 0;
}
