#pragma once
// Compressed patch bodies: an LZMA stream (its five property bytes, then the
// coded data, no end mark) whose decoded length the record states.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "src/app/codecs/common/ByteSource.h"

namespace qpx {

inline constexpr uint32_t kLzmaPropertiesSize = 5;

enum class DecodeStatus {
  Done,        // exactly the expected bytes, and the stream ends with them
  BadData,     // the stream is not what the encoder writes
  ReadFailed,  // the source could not be read
  SinkFailed,  // the decoded bytes' sink refused them (a write failed)
};

// Decodes the `length` bytes at `offset` of `source` into exactly
// `output.size()` bytes. The output is the decoder's only window, so no
// memory beyond it and `chunk` (through which the input is read, a piece
// at a time) is needed, whatever the stream's stated dictionary. Never
// writes outside `output`; on BadData its contents are unspecified.
DecodeStatus DecodeLzma(CByteSource& source, uint64_t offset, uint64_t length, std::span<uint8_t> output,
                        std::span<uint8_t> chunk);

// An LZMA stream's properties: the five bytes in front of its coded data.
struct LzmaProperties {
  uint32_t lc, lp, pb;  // literal context, literal position and position bits
  uint32_t dictionarySize;
};
// False when the bytes are not properties that the decoder takes.
bool ParseLzmaProperties(std::span<const uint8_t, kLzmaPropertiesSize> bytes, LzmaProperties& properties);

// Reads into `bytes` and parses the properties of the stream of `length`
// bytes at `offset` of `source`: BadData when the stream is too short to
// hold them or they are not properties that the decoder takes, ReadFailed
// when they cannot be read.
DecodeStatus ReadLzmaProperties(CByteSource& source, uint64_t offset, uint64_t length,
                                std::span<uint8_t, kLzmaPropertiesSize> bytes, LzmaProperties& properties);

// Decodes a stream like DecodeLzma, but a window at a time, into a window of
// its own no larger than the stream's dictionary (or its decoded length,
// when that is smaller): for streams whose bytes are used once, in order,
// and may be larger than the memory a decoder is allowed.
class LzmaStreamReader {
 public:
  LzmaStreamReader(CByteSource& source, uint64_t offset, uint64_t length, uint64_t decodedLength);
  ~LzmaStreamReader();
  LzmaStreamReader(const LzmaStreamReader&) = delete;
  LzmaStreamReader& operator=(const LzmaStreamReader&) = delete;

  // Reads the properties and sets up the window, reading the input
  // `inputPiece` bytes at a time. BadData when the window would have to be
  // larger than `maxWindow` bytes.
  DecodeStatus Start(std::size_t maxWindow, std::size_t inputPiece);
  // The next decoded bytes: at least one while the stream has any left,
  // none once all `decodedLength` have been given. They stay valid until
  // the next call.
  DecodeStatus Next(std::span<const uint8_t>& piece);
  // Once every decoded byte has been taken: Done when the stream ended
  // exactly there, with its last input byte.
  DecodeStatus Finish();

 private:
  class State;
  CByteSource& source_;
  uint64_t offset_, length_, decodedLength_;
  uint64_t read_ = 0, decoded_ = 0;  // input given to the coder; output taken
  std::unique_ptr<State> state_;
  std::vector<uint8_t> window_, input_;
  std::size_t inputPos_ = 0, inputEnd_ = 0;
  bool finished_ = false;  // the coder said that the stream may end here
};

// Decodes the LZMA stream of `length` bytes at `offset` of `source` into
// exactly `decodedLength` bytes handed to `sink` in order, through a window
// of at most `maxWindow` bytes, reading `inputPiece` bytes at a time.
DecodeStatus DecodeLzmaStream(CByteSource& source, uint64_t offset, uint64_t length, uint64_t decodedLength,
                              std::size_t maxWindow, std::size_t inputPiece, CByteSink& sink);

}  // namespace qpx
