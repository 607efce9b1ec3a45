#include "src/app/codecs/lzma/LzmaDecoder.h"

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
  if (chunk.empty()) return DecodeStatus::BadData;
  uint8_t bytes[kLzmaPropertiesSize];
  LzmaProperties properties;
  if (const DecodeStatus status = ReadLzmaProperties(source, offset, length, bytes, properties);
      status != DecodeStatus::Done) {
    return status;
  }

  DecoderState decoder;
  CLzmaDec& state = decoder.state;
  if (LzmaDec_AllocateProbs(&state, bytes, kLzmaPropertiesSize, &g_allocator) != SZ_OK) {
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

bool ParseLzmaProperties(std::span<const uint8_t, kLzmaPropertiesSize> bytes, LzmaProperties& properties) {
  // The first byte is (pb * 5 + lp) * 9 + lc; the next four the dictionary.
  uint32_t packed = bytes[0];
  if (packed >= 9 * 5 * 5) return false;
  properties.lc = packed % 9;
  packed /= 9;
  properties.lp = packed % 5;
  properties.pb = packed / 5;
  properties.dictionarySize = uint32_t{bytes[1]} | uint32_t{bytes[2]} << 8 | uint32_t{bytes[3]} << 16 |
                              uint32_t{bytes[4]} << 24;
  return true;
}

DecodeStatus ReadLzmaProperties(CByteSource& source, uint64_t offset, uint64_t length,
                                std::span<uint8_t, kLzmaPropertiesSize> bytes, LzmaProperties& properties) {
  if (length < kLzmaPropertiesSize) return DecodeStatus::BadData;
  if (!source.ReadAt(offset, bytes)) return DecodeStatus::ReadFailed;
  return ParseLzmaProperties(bytes, properties) ? DecodeStatus::Done : DecodeStatus::BadData;
}

class LzmaStreamReader::State : public DecoderState {};

LzmaStreamReader::LzmaStreamReader(CByteSource& source, uint64_t offset, uint64_t length, uint64_t decodedLength)
    : source_(source), offset_(offset), length_(length), decodedLength_(decodedLength) {}

LzmaStreamReader::~LzmaStreamReader() = default;

DecodeStatus LzmaStreamReader::Start(std::size_t maxWindow, std::size_t inputPiece) {
  if (inputPiece == 0) return DecodeStatus::BadData;
  uint8_t bytes[kLzmaPropertiesSize];
  LzmaProperties properties;
  if (const DecodeStatus status = ReadLzmaProperties(source_, offset_, length_, bytes, properties);
      status != DecodeStatus::Done) {
    return status;
  }
  // The coder never refers further back than its dictionary, nor to bytes
  // before the first; so a window of the smaller of the two always holds
  // what it refers to. (The coder treats a dictionary under 4 KiB as 4 KiB.)
  const uint64_t dictionary = std::max<uint64_t>(properties.dictionarySize, 4096);
  const uint64_t window = std::min(dictionary, decodedLength_);
  if (window > maxWindow) return DecodeStatus::BadData;

  state_ = std::make_unique<State>();
  CLzmaDec& state = state_->state;
  if (LzmaDec_AllocateProbs(&state, bytes, kLzmaPropertiesSize, &g_allocator) != SZ_OK) {
    return DecodeStatus::BadData;
  }
  window_.resize(static_cast<std::size_t>(window));
  input_.resize(static_cast<std::size_t>(std::min<uint64_t>(inputPiece, length_ - kLzmaPropertiesSize)));
  state.dic = window_.data();
  state.dicBufSize = window_.size();
  LzmaDec_Init(&state);
  read_ = kLzmaPropertiesSize;
  return DecodeStatus::Done;
}

DecodeStatus LzmaStreamReader::Next(std::span<const uint8_t>& piece) {
  piece = {};
  if (decoded_ == decodedLength_) return DecodeStatus::Done;
  if (!state_) return DecodeStatus::BadData;
  CLzmaDec& state = state_->state;
  // The bytes given last time have been used: the window starts over once full.
  if (state.dicPos == state.dicBufSize) state.dicPos = 0;
  const std::size_t start = state.dicPos;
  const uint64_t left = decodedLength_ - decoded_;
  const std::size_t limit = start + static_cast<std::size_t>(std::min<uint64_t>(window_.size() - start, left));
  const ELzmaFinishMode mode = limit - start == left ? LZMA_FINISH_END : LZMA_FINISH_ANY;
  while (state.dicPos == start) {
    // Once every input byte is in, the coder may still hold output: the
    // rest of a match cut off where the window filled. So it is asked
    // with no input before the stream counts as ending short.
    const bool inputLeft = read_ < length_;
    if (inputPos_ == inputEnd_ && inputLeft) {
      const auto size = static_cast<std::size_t>(std::min<uint64_t>(input_.size(), length_ - read_));
      if (!source_.ReadAt(offset_ + read_, std::span<uint8_t>(input_).first(size))) return DecodeStatus::ReadFailed;
      read_ += size;
      inputPos_ = 0;
      inputEnd_ = size;
    }
    SizeT consumed = inputEnd_ - inputPos_;
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    if (LzmaDec_DecodeToDic(&state, limit, input_.data() + inputPos_, &consumed, mode, &status) != SZ_OK) {
      return DecodeStatus::BadData;
    }
    inputPos_ += consumed;
    finished_ = status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK || status == LZMA_STATUS_FINISHED_WITH_MARK;
    if (finished_ && state.dicPos != limit) return DecodeStatus::BadData;  // an end mark too early
    if (state.dicPos == start && !inputLeft && inputPos_ == inputEnd_) {
      return DecodeStatus::BadData;  // the stream ends short of its length
    }
  }
  piece = std::span<const uint8_t>(window_.data() + start, state.dicPos - start);
  decoded_ += piece.size();
  return DecodeStatus::Done;
}

DecodeStatus LzmaStreamReader::Finish() {
  const bool exact = decoded_ == decodedLength_ && read_ == length_ && inputPos_ == inputEnd_;
  return exact && (finished_ || decodedLength_ == 0) ? DecodeStatus::Done : DecodeStatus::BadData;
}

DecodeStatus DecodeLzmaStream(CByteSource& source, uint64_t offset, uint64_t length, uint64_t decodedLength,
                              std::size_t maxWindow, std::size_t inputPiece, CByteSink& sink) {
  LzmaStreamReader reader(source, offset, length, decodedLength);
  if (const DecodeStatus status = reader.Start(maxWindow, inputPiece); status != DecodeStatus::Done) return status;
  for (uint64_t done = 0; done < decodedLength;) {
    std::span<const uint8_t> piece;
    if (const DecodeStatus status = reader.Next(piece); status != DecodeStatus::Done) return status;
    if (piece.empty()) return DecodeStatus::BadData;
    if (!sink.Put(piece)) return DecodeStatus::SinkFailed;
    done += piece.size();
  }
  return reader.Finish();
}

}  // namespace qpx
