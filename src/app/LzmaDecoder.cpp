#include "app/LzmaDecoder.h"

#include <algorithm>
#include <cstdlib>

#include <LzmaDec.h>

namespace qpx {
namespace {

void* Allocate(void*, size_t size) { return std::malloc(size); }
void Release(void*, void* address) { std::free(address); }
ISzAlloc g_allocator = {Allocate, Release};

// The decoder's probability tables, released on every way out.
class DecoderState {
 public:
  DecoderState() { LzmaDec_Construct(&state); }
  ~DecoderState() { LzmaDec_FreeProbs(&state, &g_allocator); }
  DecoderState(const DecoderState&) = delete;
  DecoderState& operator=(const DecoderState&) = delete;
  CLzmaDec state;
};

}  // namespace

DecodeStatus DecodeLzma(CByteSource& source, uint64_t offset, uint64_t length, std::span<uint8_t> output,
                        std::span<uint8_t> chunk) {
  uint8_t properties[kLzmaPropertiesSize];
  if (length < kLzmaPropertiesSize || chunk.empty()) return DecodeStatus::BadData;
  if (!source.ReadAt(offset, properties)) return DecodeStatus::ReadFailed;

  DecoderState decoder;
  CLzmaDec& state = decoder.state;
  if (LzmaDec_AllocateProbs(&state, properties, kLzmaPropertiesSize, &g_allocator) != SZ_OK) {
    return DecodeStatus::BadData;
  }
  // The whole output is the window, as in the one-call decoder: the stream
  // can never refer to more than what it has already written there.
  state.dic = output.data();
  state.dicBufSize = output.size();
  LzmaDec_Init(&state);

  uint64_t done = kLzmaPropertiesSize;
  ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
  while (done < length) {
    const auto piece = static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), length - done));
    if (!source.ReadAt(offset + done, chunk.first(piece))) return DecodeStatus::ReadFailed;
    SizeT consumed = piece;
    if (LzmaDec_DecodeToDic(&state, output.size(), chunk.data(), &consumed, LZMA_FINISH_END, &status) != SZ_OK) {
      return DecodeStatus::BadData;
    }
    done += consumed;
    // Input left over once the output is complete is not part of the stream.
    if (consumed < piece) break;
  }
  if (done != length || state.dicPos != output.size()) return DecodeStatus::BadData;
  if (output.empty()) return DecodeStatus::Done;
  return status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK || status == LZMA_STATUS_FINISHED_WITH_MARK
             ? DecodeStatus::Done
             : DecodeStatus::BadData;
}

}  // namespace qpx
