#include "app/codecs/delta/DeltaDecoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "app/codecs/delta/CodeDelta.h"

namespace qpx {
namespace {

static_assert(std::endian::native == std::endian::little, "the header is read as an image");

// Streams 0 to 2 are read this many stored bytes at a time.
constexpr std::size_t kInputPiece = 64 << 10;

// One of streams 0 to 2, read in order a byte at a time, whether stored as
// is or coded; its status says why it stopped giving bytes.
class StreamReader {
 public:
  StreamReader(CByteSource& source, uint64_t offset, uint8_t coding, const DeltaStreamSizes& sizes)
      : source_(source), offset_(offset), stored_(sizes.storedSize), decoded_(sizes.decodedSize) {
    if (coding == kDeltaLzma) lzma_.emplace(source, offset, stored_, decoded_);
  }

  DecodeStatus Start() {
    if (lzma_) return lzma_->Start(kDeltaWindowLimit, kInputPiece);
    buffer_.resize(static_cast<std::size_t>(std::min<uint64_t>(kInputPiece, stored_)));
    return DecodeStatus::Done;
  }

  bool AtEnd() const { return pos_ == piece_.size() && taken_ == decoded_; }

  bool Byte(uint8_t& byte) {
    if (pos_ == piece_.size() && !Refill()) return false;
    byte = piece_[pos_++];
    return true;
  }

  bool Varint(uint64_t& value) {
    value = 0;
    for (uint32_t i = 0; i < kDeltaVarintMaxBytes; ++i) {
      uint8_t byte;
      if (!Byte(byte)) return false;
      value |= uint64_t{byte & 0x7Fu} << (7 * i);
      if ((byte & 0x80) == 0) return true;
    }
    status_ = DecodeStatus::BadData;  // longer than any number a delta holds
    return false;
  }

  // After the last value: Done when nothing of the stream is left over.
  DecodeStatus Finish() {
    if (status_ != DecodeStatus::Done) return status_;
    if (!AtEnd()) return DecodeStatus::BadData;
    return lzma_ ? lzma_->Finish() : DecodeStatus::Done;
  }

  DecodeStatus status() const { return status_; }

 private:
  bool Refill() {
    if (status_ != DecodeStatus::Done) return false;
    pos_ = 0;
    piece_ = {};
    if (taken_ == decoded_) {
      status_ = DecodeStatus::BadData;  // a value runs past the stream's end
      return false;
    }
    if (lzma_) {
      status_ = lzma_->Next(piece_);
    } else {
      const auto size = static_cast<std::size_t>(std::min<uint64_t>(buffer_.size(), decoded_ - taken_));
      piece_ = std::span<const uint8_t>(buffer_).first(size);
      if (!source_.ReadAt(offset_ + taken_, std::span<uint8_t>(buffer_).first(size))) {
        status_ = DecodeStatus::ReadFailed;
      }
    }
    if (status_ != DecodeStatus::Done || piece_.empty()) {
      if (status_ == DecodeStatus::Done) status_ = DecodeStatus::BadData;
      piece_ = {};
      return false;
    }
    taken_ += piece_.size();
    return true;
  }

  CByteSource& source_;
  uint64_t offset_, stored_, decoded_;
  std::optional<LzmaStreamReader> lzma_;
  std::vector<uint8_t> buffer_;
  std::span<const uint8_t> piece_;
  std::size_t pos_ = 0;
  uint64_t taken_ = 0;  // decoded bytes handed out in pieces so far
  DecodeStatus status_ = DecodeStatus::Done;
};

// Whether an LZMA stream's properties are ones a delta may use: lc + lp
// bounds the coder's tables (6 MiB at the most, 24 KiB within the rule).
DecodeStatus CheckProperties(CByteSource& source, uint64_t offset, const DeltaStreamSizes& sizes) {
  uint8_t bytes[kLzmaPropertiesSize];
  LzmaProperties properties;
  const DecodeStatus status = ReadLzmaProperties(source, offset, sizes.storedSize, bytes, properties);
  if (status != DecodeStatus::Done) return status;
  return properties.lc + properties.lp > 4 ? DecodeStatus::BadData : DecodeStatus::Done;
}

// Stream 3, the new bytes, taken in order in runs of any length: read
// straight from the source where stored as is, or decoded a window at a
// time (the smaller of the stream's dictionary and its length).
class NewBytes {
 public:
  NewBytes(CByteSource& source, uint64_t offset, uint8_t coding, const DeltaStreamSizes& sizes)
      : source_(source), offset_(offset) {
    if (coding == kDeltaLzma) lzma_.emplace(source, offset, sizes.storedSize, sizes.decodedSize);
  }

  DecodeStatus Start() {
    return lzma_ ? lzma_->Start(std::numeric_limits<std::size_t>::max(), kInputPiece) : DecodeStatus::Done;
  }

  // Fills `into` with the next new bytes; the caller keeps within the
  // stream's length.
  DecodeStatus Take(std::span<uint8_t> into) {
    if (!lzma_) {
      if (!source_.ReadAt(offset_ + taken_, into)) return DecodeStatus::ReadFailed;
      taken_ += into.size();
      return DecodeStatus::Done;
    }
    while (!into.empty()) {
      if (pending_.empty()) {
        if (const DecodeStatus status = lzma_->Next(pending_); status != DecodeStatus::Done) return status;
        if (pending_.empty()) return DecodeStatus::BadData;
      }
      const std::size_t n = std::min(into.size(), pending_.size());
      std::memcpy(into.data(), pending_.data(), n);
      into = into.subspan(n);
      pending_ = pending_.subspan(n);
    }
    return DecodeStatus::Done;
  }

  DecodeStatus Finish() {
    if (!lzma_) return DecodeStatus::Done;
    return pending_.empty() ? lzma_->Finish() : DecodeStatus::BadData;
  }

 private:
  CByteSource& source_;
  uint64_t offset_;
  uint64_t taken_ = 0;
  std::optional<LzmaStreamReader> lzma_;
  std::span<const uint8_t> pending_;  // decoded, not yet taken
};

// The result on its way to the sink, gathered a buffer at a time.
class Output {
 public:
  Output(CByteSink& sink, std::span<uint8_t> buffer) : sink_(sink), buffer_(buffer) {}

  // Room for the next bytes, at least one; empty when the sink failed.
  std::span<uint8_t> Room() {
    if (used_ == buffer_.size() && !Flush()) return {};
    return buffer_.subspan(used_);
  }
  void Commit(std::size_t filled) { used_ += filled; }
  bool Flush() {
    if (used_ != 0 && !sink_.Put(buffer_.first(used_))) return false;
    used_ = 0;
    return true;
  }

 private:
  CByteSink& sink_;
  std::span<uint8_t> buffer_;
  std::size_t used_ = 0;
};

// The bytes of the code layout that follow a version-2 header.
uint64_t LayoutBytes(const DeltaHeader& header) {
  if (header.version != kDeltaCodeVersion) return 0;
  return header.reserved[3] | uint64_t{header.reserved[4]} << 8;
}

// The header's own checks: the fields, and streams that fill the body.
bool HeaderHolds(const DeltaHeader& header, uint64_t length, std::size_t baseSize, std::size_t resultSize) {
  if (std::memcmp(header.magic, kDeltaMagic, sizeof header.magic) != 0) return false;
  if (header.version != kDeltaVersion && header.version != kDeltaCodeVersion) return false;
  // Version 2 says in its first five reserved bytes how to read the code.
  const std::size_t layoutFields = header.version == kDeltaCodeVersion ? 5 : 0;
  for (std::size_t i = layoutFields; i < sizeof header.reserved; ++i) {
    if (header.reserved[i] != 0) return false;
  }
  if (header.baseSize != baseSize || header.resultSize != resultSize) return false;
  const uint64_t layoutBytes = LayoutBytes(header);
  if (length - sizeof(DeltaHeader) < layoutBytes) return false;
  uint64_t left = length - sizeof(DeltaHeader) - layoutBytes;
  for (uint32_t i = 0; i < kDeltaStreamCount; ++i) {
    const DeltaStreamSizes& sizes = header.streams[i];
    if (sizes.storedSize > left) return false;
    left -= sizes.storedSize;
    switch (header.coding[i]) {
      case kDeltaStored:
        if (sizes.storedSize != sizes.decodedSize) return false;
        break;
      case kDeltaLzma:
        if (sizes.decodedSize == 0) return false;  // an empty stream is stored as is
        break;
      default:
        return false;
    }
  }
  return left == 0 && header.streams[kDeltaNewBytes].decodedSize <= resultSize;
}

// A version-2 body's code layout, read and checked.
DecodeStatus ReadLayout(const DeltaHeader& header, CByteSource& source, uint64_t offset, uint64_t baseSize,
                        uint64_t resultSize, CodeLayout& layout) {
  layout.machine = header.reserved[0];
  std::vector<uint8_t> bytes(static_cast<std::size_t>(LayoutBytes(header)));
  if (!source.ReadAt(offset, bytes)) return DecodeStatus::ReadFailed;
  return ReadCodeRanges(bytes, header.reserved[1], header.reserved[2], layout) &&
                 CodeLayoutHolds(layout, baseSize, resultSize)
             ? DecodeStatus::Done
             : DecodeStatus::BadData;
}

// Where the copies of a version-2 body take the base's bytes: a first pass
// over its commands. One that breaks the rules ends the pass; the decoding
// that follows refuses it.
DecodeStatus MapCopies(CByteSource& source, uint64_t offset, uint8_t coding, const DeltaStreamSizes& sizes,
                       uint64_t baseSize, uint64_t resultSize, CopyMap& map) {
  StreamReader commands(source, offset, coding, sizes);
  if (const DecodeStatus status = commands.Start(); status != DecodeStatus::Done) return status;
  uint64_t cursor = 0, written = 0;
  while (written < resultSize) {
    uint64_t copyLength, seek, addLength;
    if (!commands.Varint(copyLength) || !commands.Varint(seek) || !commands.Varint(addLength)) break;
    const uint64_t distance = (seek >> 1) + (seek & 1);
    if ((seek & 1) != 0 ? distance > cursor : distance > baseSize - cursor) break;
    cursor = (seek & 1) != 0 ? cursor - distance : cursor + distance;
    if (copyLength > baseSize - cursor || copyLength > resultSize - written) break;
    map.Add(cursor, written, copyLength);
    cursor += copyLength;
    written += copyLength;
    if (addLength > resultSize - written) break;
    written += addLength;
  }
  map.Seal();
  return commands.status() == DecodeStatus::ReadFailed ? DecodeStatus::ReadFailed : DecodeStatus::Done;
}

}  // namespace

DecodeStatus ApplyDelta(std::span<const uint8_t> base, CByteSource& source, uint64_t offset, uint64_t length,
                        uint64_t resultSize, CByteSink& sink, std::span<uint8_t> chunk) {
  DeltaHeader header;
  if (length < sizeof header || chunk.empty()) return DecodeStatus::BadData;
  if (!source.ReadAt(offset, std::span<uint8_t>(reinterpret_cast<uint8_t*>(&header), sizeof header))) {
    return DecodeStatus::ReadFailed;
  }
  if (!HeaderHolds(header, length, base.size(), resultSize)) return DecodeStatus::BadData;

  uint64_t streamOffset[kDeltaStreamCount];
  streamOffset[0] = offset + sizeof header + LayoutBytes(header);
  for (uint32_t i = 1; i < kDeltaStreamCount; ++i) {
    streamOffset[i] = streamOffset[i - 1] + header.streams[i - 1].storedSize;
  }
  for (uint32_t i = 0; i < kDeltaStreamCount; ++i) {
    if (header.coding[i] != kDeltaLzma) continue;
    if (const DecodeStatus status = CheckProperties(source, streamOffset[i], header.streams[i]);
        status != DecodeStatus::Done) {
      return status;
    }
  }

  // A delta that knows code carries the base's references along its copies.
  CodeLayout layout;
  CopyMap map;
  const bool code = header.version == kDeltaCodeVersion;
  if (code) {
    if (const DecodeStatus status = ReadLayout(header, source, offset + sizeof header, base.size(), resultSize, layout);
        status != DecodeStatus::Done) {
      return status;
    }
    if (const DecodeStatus status = MapCopies(source, streamOffset[kDeltaCommands], header.coding[kDeltaCommands],
                                              header.streams[kDeltaCommands], base.size(), resultSize, map);
        status != DecodeStatus::Done) {
      return status;
    }
  }
  ReferenceCarrier carrier(base, layout, map);

  const uint64_t newSize = header.streams[kDeltaNewBytes].decodedSize;
  const uint64_t copySize = resultSize - newSize;  // the copied sequence's length
  NewBytes newBytes(source, streamOffset[kDeltaNewBytes], header.coding[kDeltaNewBytes],
                    header.streams[kDeltaNewBytes]);
  if (const DecodeStatus status = newBytes.Start(); status != DecodeStatus::Done) return status;
  std::optional<StreamReader> streams[kDeltaNewBytes];
  for (uint32_t i = 0; i < kDeltaNewBytes; ++i) {
    streams[i].emplace(source, streamOffset[i], header.coding[i], header.streams[i]);
    if (const DecodeStatus status = streams[i]->Start(); status != DecodeStatus::Done) return status;
  }
  StreamReader& commands = *streams[kDeltaCommands];
  StreamReader& gaps = *streams[kDeltaDiffGaps];
  StreamReader& diffs = *streams[kDeltaDiffBytes];
  // Whichever stream stopped first says why.
  const auto failure = [&] {
    for (auto& stream : streams) {
      if (stream->status() != DecodeStatus::Done) return stream->status();
    }
    return DecodeStatus::BadData;
  };

  // The next diff byte's place in the copied sequence, while one is left.
  uint64_t diffsLeft = header.streams[kDeltaDiffBytes].decodedSize;
  uint64_t nextDiff = 0;
  if (diffsLeft > 0) {
    if (!gaps.Varint(nextDiff)) return failure();
    if (nextDiff >= copySize) return DecodeStatus::BadData;
  }

  Output out(sink, chunk);
  uint64_t written = 0;   // result bytes done, from the front
  uint64_t copied = 0;    // of the copied sequence
  uint64_t taken = 0;     // new bytes taken
  uint64_t cursor = 0;    // in the base
  const uint64_t baseSize = base.size();
  while (written < resultSize) {
    uint64_t copyLength, seek, addLength;
    if (!commands.Varint(copyLength) || !commands.Varint(seek) || !commands.Varint(addLength)) return failure();
    if (copyLength == 0 && addLength == 0) return DecodeStatus::BadData;

    // Zigzag: the low bit is the sign.
    const uint64_t distance = (seek >> 1) + (seek & 1);
    if ((seek & 1) != 0 ? distance > cursor : distance > baseSize - cursor) return DecodeStatus::BadData;
    cursor = (seek & 1) != 0 ? cursor - distance : cursor + distance;
    if (copyLength > baseSize - cursor || copyLength > copySize - copied) return DecodeStatus::BadData;
    if (addLength > newSize - taken) return DecodeStatus::BadData;

    // The copy, a buffer at a time, each diff byte added where it falls.
    if (code) carrier.Begin(cursor, written, copyLength);
    for (uint64_t left = copyLength; left > 0;) {
      const std::span<uint8_t> room = out.Room();
      if (room.empty()) return DecodeStatus::SinkFailed;
      const auto n = static_cast<std::size_t>(std::min<uint64_t>(room.size(), left));
      if (code) {
        carrier.Put(room.first(n));
      } else {
        std::memcpy(room.data(), base.data() + cursor, n);
      }
      while (diffsLeft > 0 && nextDiff - copied < n) {
        uint8_t diff;
        if (!diffs.Byte(diff)) return failure();
        if (diff == 0) return DecodeStatus::BadData;
        room[nextDiff - copied] = static_cast<uint8_t>(room[nextDiff - copied] + diff);
        if (--diffsLeft > 0) {
          uint64_t gap;
          if (!gaps.Varint(gap)) return failure();
          if (gap >= copySize - nextDiff - 1) return DecodeStatus::BadData;
          nextDiff += gap + 1;
        }
      }
      out.Commit(n);
      cursor += n;
      copied += n;
      written += n;
      left -= n;
    }
    for (uint64_t left = addLength; left > 0;) {
      const std::span<uint8_t> room = out.Room();
      if (room.empty()) return DecodeStatus::SinkFailed;
      const auto n = static_cast<std::size_t>(std::min<uint64_t>(room.size(), left));
      if (const DecodeStatus status = newBytes.Take(room.first(n)); status != DecodeStatus::Done) return status;
      out.Commit(n);
      taken += n;
      written += n;
      left -= n;
    }
  }
  // A command's lengths were each checked against what is left, so the
  // result is full exactly when every copy and every new byte is used.
  if (copied != copySize || taken != newSize || diffsLeft != 0) return DecodeStatus::BadData;
  for (auto& stream : streams) {
    if (const DecodeStatus status = stream->Finish(); status != DecodeStatus::Done) return status;
  }
  if (const DecodeStatus status = newBytes.Finish(); status != DecodeStatus::Done) return status;
  return out.Flush() ? DecodeStatus::Done : DecodeStatus::SinkFailed;
}

DecodeStatus ApplyDelta(std::span<const uint8_t> base, CByteSource& source, uint64_t offset, uint64_t length,
                        std::span<uint8_t> result, std::span<uint8_t> chunk) {
  SpanSink sink(result);
  return ApplyDelta(base, source, offset, length, result.size(), sink, chunk);
}

}  // namespace qpx
