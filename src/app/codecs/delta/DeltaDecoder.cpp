#include "src/app/codecs/delta/DeltaDecoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "src/app/codecs/delta/CodeDelta.h"

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

// Where a part of the result's new bytes come from: `at` is the result
// position they go to.
class CNewBytesSource {
 public:
  virtual ~CNewBytesSource() = default;
  virtual DecodeStatus Take(uint64_t at, std::span<uint8_t> into) = 0;
  virtual DecodeStatus Finish() = 0;
};

// Stream 3, the new bytes, taken in order in runs of any length: read
// straight from the source where stored as is, or decoded a window at a
// time (the smaller of the stream's dictionary and its length).
class NewBytes final : public CNewBytesSource {
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
  DecodeStatus Take(uint64_t, std::span<uint8_t> into) override {
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

  DecodeStatus Finish() override {
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

// The new bytes of a delta for several bases, which its parts share: the
// result's bytes at the positions the runs name, in order. Each part takes
// those it adds, front to back; the ones it skips are decoded and dropped.
class SharedNewBytes final : public CNewBytesSource {
 public:
  SharedNewBytes(CByteSource& source, uint64_t runsOffset, uint64_t runsBytes, uint64_t offset, uint8_t coding,
                 const DeltaStreamSizes& sizes, uint64_t resultSize)
      : runs_(source, runsOffset, kDeltaStored, {runsBytes, runsBytes}),
        bytes_(source, offset, coding, sizes),
        size_(sizes.decodedSize),
        resultSize_(resultSize) {}

  DecodeStatus Start() {
    if (const DecodeStatus status = runs_.Start(); status != DecodeStatus::Done) return status;
    return bytes_.Start();
  }

  DecodeStatus Take(uint64_t at, std::span<uint8_t> into) override {
    while (at >= runEnd_) {
      if (!NextRun()) return runs_.status() != DecodeStatus::Done ? runs_.status() : DecodeStatus::BadData;
    }
    if (at < runStart_ || into.size() > runEnd_ - at) return DecodeStatus::BadData;
    const uint64_t wanted = runShared_ + (at - runStart_);
    if (wanted < taken_) return DecodeStatus::BadData;  // the runs go forward only
    for (uint64_t skip = wanted - taken_; skip > 0;) {
      uint8_t dropped[4096];
      const auto n = static_cast<std::size_t>(std::min<uint64_t>(skip, sizeof dropped));
      if (const DecodeStatus status = bytes_.Take(0, {dropped, n}); status != DecodeStatus::Done) return status;
      skip -= n;
    }
    if (const DecodeStatus status = bytes_.Take(0, into); status != DecodeStatus::Done) return status;
    taken_ = wanted + into.size();
    return DecodeStatus::Done;
  }

  // A part need not take the shared bytes after its last.
  DecodeStatus Finish() override { return DecodeStatus::Done; }

 private:
  bool NextRun() {
    uint64_t gap, length;
    if (!runs_.Varint(gap) || !runs_.Varint(length)) return false;
    if (length == 0 || gap > resultSize_ - runEnd_ || length > resultSize_ - runEnd_ - gap ||
        length > size_ - runShared_ - (runEnd_ - runStart_)) {
      return false;
    }
    runShared_ += runEnd_ - runStart_;
    runStart_ = runEnd_ + gap;
    runEnd_ = runStart_ + length;
    return true;
  }

  StreamReader runs_;
  NewBytes bytes_;
  uint64_t size_, resultSize_;
  uint64_t runStart_ = 0, runEnd_ = 0;  // the run read last, in the result
  uint64_t runShared_ = 0;              // its first byte's place among the shared bytes
  uint64_t taken_ = 0;                  // shared bytes decoded so far
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
// In a part of a delta for several bases, stream 3 is the shared one: no
// bytes of its own, and as many as the part adds.
bool HeaderHolds(const DeltaHeader& header, uint64_t length, std::size_t baseSize, std::size_t resultSize,
                 bool part) {
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
    if (part && i == kDeltaNewBytes) {
      if (header.coding[i] != kDeltaShared || sizes.storedSize != 0) return false;
      continue;
    }
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

// What the header of one delta body (or part) says, checked: where its
// streams lie and, for a delta that knows code, its layout and where its
// copies take the base.
struct PartLayout {
  DeltaHeader header;
  uint64_t streamOffset[kDeltaStreamCount];
  CodeLayout layout;
  CopyMap map;
  bool code = false;
};

DecodeStatus ReadPartLayout(std::span<const uint8_t> base, CByteSource& source, uint64_t offset, uint64_t length,
                            uint64_t resultSize, bool shared, PartLayout& part) {
  DeltaHeader& header = part.header;
  if (length < sizeof header) return DecodeStatus::BadData;
  if (!source.ReadAt(offset, std::span<uint8_t>(reinterpret_cast<uint8_t*>(&header), sizeof header))) {
    return DecodeStatus::ReadFailed;
  }
  if (!HeaderHolds(header, length, base.size(), resultSize, shared)) return DecodeStatus::BadData;
  part.streamOffset[0] = offset + sizeof header + LayoutBytes(header);
  for (uint32_t i = 1; i < kDeltaStreamCount; ++i) {
    part.streamOffset[i] = part.streamOffset[i - 1] + header.streams[i - 1].storedSize;
  }
  for (uint32_t i = 0; i < kDeltaStreamCount; ++i) {
    if (header.coding[i] != kDeltaLzma) continue;
    if (const DecodeStatus status = CheckProperties(source, part.streamOffset[i], header.streams[i]);
        status != DecodeStatus::Done) {
      return status;
    }
  }
  // A delta that knows code carries the base's references along its copies.
  part.code = header.version == kDeltaCodeVersion;
  if (!part.code) return DecodeStatus::Done;
  if (const DecodeStatus status = ReadLayout(header, source, offset + sizeof header, base.size(), resultSize,
                                             part.layout);
      status != DecodeStatus::Done) {
    return status;
  }
  return MapCopies(source, part.streamOffset[kDeltaCommands], header.coding[kDeltaCommands],
                   header.streams[kDeltaCommands], base.size(), resultSize, part.map);
}

// Why a stream that refused a read stopped; BadData where it holds no
// more than the body said it would.
DecodeStatus StoppedBy(const StreamReader& stream) {
  return stream.status() != DecodeStatus::Done ? stream.status() : DecodeStatus::BadData;
}

// The diff bytes, each added to the copied sequence where its gap puts it.
class DiffAdder {
 public:
  DiffAdder(StreamReader& gaps, StreamReader& diffs, uint64_t count, uint64_t copySize)
      : gaps_(gaps), diffs_(diffs), left_(count), copySize_(copySize) {}

  // Finds the first diff's place, while one is left.
  DecodeStatus Start() {
    if (left_ == 0) return DecodeStatus::Done;
    if (!gaps_.Varint(next_)) return StoppedBy(gaps_);
    return next_ < copySize_ ? DecodeStatus::Done : DecodeStatus::BadData;
  }
  // Adds the diffs that fall in `room`, which holds the copied sequence
  // from its `copied`-th byte.
  DecodeStatus AddTo(std::span<uint8_t> room, uint64_t copied) {
    while (left_ > 0 && next_ - copied < room.size()) {
      uint8_t diff;
      if (!diffs_.Byte(diff)) return StoppedBy(diffs_);
      if (diff == 0) return DecodeStatus::BadData;
      room[next_ - copied] = static_cast<uint8_t>(room[next_ - copied] + diff);
      if (--left_ == 0) break;
      uint64_t gap;
      if (!gaps_.Varint(gap)) return StoppedBy(gaps_);
      if (gap >= copySize_ - next_ - 1) return DecodeStatus::BadData;
      next_ += gap + 1;
    }
    return DecodeStatus::Done;
  }
  bool AllAdded() const { return left_ == 0; }

 private:
  StreamReader& gaps_;
  StreamReader& diffs_;
  uint64_t left_;
  uint64_t copySize_;
  uint64_t next_ = 0;  // the next diff's place in the copied sequence
};

// Puts `length` new bytes into the result, from its `written`-th byte on
// (which it moves past them).
DecodeStatus AddNewBytes(Output& out, CNewBytesSource& newBytes, uint64_t length, uint64_t& written) {
  for (uint64_t left = length; left > 0;) {
    const std::span<uint8_t> room = out.Room();
    if (room.empty()) return DecodeStatus::SinkFailed;
    const auto n = static_cast<std::size_t>(std::min<uint64_t>(room.size(), left));
    if (const DecodeStatus status = newBytes.Take(written, room.first(n)); status != DecodeStatus::Done) return status;
    out.Commit(n);
    written += n;
    left -= n;
  }
  return DecodeStatus::Done;
}

// A delta body of version 1 or 2, or one part of a delta for several bases
// (then `shared` gives its new bytes). The decoder's inner loop: each
// command's copy, a buffer at a time with its diffs added, then its new
// bytes; kept whole, as every length it checks bounds the next step.
DecodeStatus ApplyPart(std::span<const uint8_t> base, CByteSource& source, uint64_t offset, uint64_t length,
                       uint64_t resultSize, CByteSink& sink, std::span<uint8_t> chunk, CNewBytesSource* shared) {
  if (chunk.empty()) return DecodeStatus::BadData;
  PartLayout part;
  if (const DecodeStatus status = ReadPartLayout(base, source, offset, length, resultSize, shared != nullptr, part);
      status != DecodeStatus::Done) {
    return status;
  }
  const DeltaHeader& header = part.header;
  ReferenceCarrier carrier(base, part.layout, part.map);
  const uint64_t newSize = header.streams[kDeltaNewBytes].decodedSize;
  const uint64_t copySize = resultSize - newSize;  // the copied sequence's length
  std::optional<NewBytes> own;
  if (shared == nullptr) {
    own.emplace(source, part.streamOffset[kDeltaNewBytes], header.coding[kDeltaNewBytes],
                header.streams[kDeltaNewBytes]);
    if (const DecodeStatus status = own->Start(); status != DecodeStatus::Done) return status;
  }
  CNewBytesSource& newBytes = shared != nullptr ? *shared : *own;
  std::optional<StreamReader> streams[kDeltaNewBytes];
  for (uint32_t i = 0; i < kDeltaNewBytes; ++i) {
    streams[i].emplace(source, part.streamOffset[i], header.coding[i], header.streams[i]);
    if (const DecodeStatus status = streams[i]->Start(); status != DecodeStatus::Done) return status;
  }
  StreamReader& commands = *streams[kDeltaCommands];
  DiffAdder diffs(*streams[kDeltaDiffGaps], *streams[kDeltaDiffBytes], header.streams[kDeltaDiffBytes].decodedSize,
                  copySize);
  if (const DecodeStatus status = diffs.Start(); status != DecodeStatus::Done) return status;

  Output out(sink, chunk);
  uint64_t written = 0;   // result bytes done, from the front
  uint64_t copied = 0;    // of the copied sequence
  uint64_t taken = 0;     // new bytes taken
  uint64_t cursor = 0;    // in the base
  const uint64_t baseSize = base.size();
  while (written < resultSize) {
    uint64_t copyLength, seek, addLength;
    if (!commands.Varint(copyLength) || !commands.Varint(seek) || !commands.Varint(addLength)) {
      return StoppedBy(commands);
    }
    if (copyLength == 0 && addLength == 0) return DecodeStatus::BadData;
    // Zigzag: the low bit is the sign.
    const uint64_t distance = (seek >> 1) + (seek & 1);
    if ((seek & 1) != 0 ? distance > cursor : distance > baseSize - cursor) return DecodeStatus::BadData;
    cursor = (seek & 1) != 0 ? cursor - distance : cursor + distance;
    if (copyLength > baseSize - cursor || copyLength > copySize - copied) return DecodeStatus::BadData;
    if (addLength > newSize - taken) return DecodeStatus::BadData;

    if (part.code) carrier.Begin(cursor, written, copyLength);
    for (uint64_t left = copyLength; left > 0;) {
      const std::span<uint8_t> room = out.Room();
      if (room.empty()) return DecodeStatus::SinkFailed;
      const auto n = static_cast<std::size_t>(std::min<uint64_t>(room.size(), left));
      if (part.code) {
        carrier.Put(room.first(n));
      } else {
        std::memcpy(room.data(), base.data() + cursor, n);
      }
      if (const DecodeStatus status = diffs.AddTo(room.first(n), copied); status != DecodeStatus::Done) return status;
      out.Commit(n);
      cursor += n;
      copied += n;
      written += n;
      left -= n;
    }
    if (const DecodeStatus status = AddNewBytes(out, newBytes, addLength, written); status != DecodeStatus::Done) {
      return status;
    }
    taken += addLength;
  }
  // A command's lengths were each checked against what is left, so the
  // result is full exactly when every copy and every new byte is used.
  if (copied != copySize || taken != newSize || !diffs.AllAdded()) return DecodeStatus::BadData;
  for (auto& stream : streams) {
    if (const DecodeStatus status = stream->Finish(); status != DecodeStatus::Done) return status;
  }
  if (const DecodeStatus status = newBytes.Finish(); status != DecodeStatus::Done) return status;
  return out.Flush() ? DecodeStatus::Done : DecodeStatus::SinkFailed;
}

// A delta for several bases: the part made for `baseHash`, with the shared
// new bytes. Every size is checked against the body before it is used.
DecodeStatus ApplyShared(std::span<const uint8_t> base, CByteSource& source, uint64_t offset, uint64_t length,
                         uint64_t resultSize, CByteSink& sink, std::span<uint8_t> chunk,
                         std::span<const uint8_t> baseHash) {
  SharedDeltaHeader header;
  if (length < sizeof header) return DecodeStatus::BadData;
  if (!source.ReadAt(offset, std::span<uint8_t>(reinterpret_cast<uint8_t*>(&header), sizeof header))) {
    return DecodeStatus::ReadFailed;
  }
  if (header.reserved[0] != 0 || header.reserved[1] != 0 || header.reserved2 != 0 ||
      header.partCount < 2 || header.partCount > kSharedDeltaPartsMax || header.resultSize != resultSize ||
      header.shared.decodedSize > resultSize || baseHash.size() != sizeof(SharedDeltaPart::baseHash)) {
    return DecodeStatus::BadData;
  }
  if (header.coding == kDeltaStored ? header.shared.storedSize != header.shared.decodedSize
                                    : header.coding != kDeltaLzma || header.shared.decodedSize == 0) {
    return DecodeStatus::BadData;
  }
  std::vector<SharedDeltaPart> parts(header.partCount);
  const uint64_t partsBytes = uint64_t{header.partCount} * sizeof(SharedDeltaPart);
  if (length - sizeof header < partsBytes) return DecodeStatus::BadData;
  if (!source.ReadAt(offset + sizeof header,
                     std::span<uint8_t>(reinterpret_cast<uint8_t*>(parts.data()), partsBytes))) {
    return DecodeStatus::ReadFailed;
  }
  // The pieces fill the body exactly, in order.
  uint64_t left = length - sizeof header - partsBytes;
  if (header.runsBytes > left) return DecodeStatus::BadData;
  left -= header.runsBytes;
  const uint64_t runsOffset = offset + sizeof header + partsBytes;
  uint64_t at = runsOffset + header.runsBytes;
  uint64_t partOffset = 0, partSize = 0;
  bool found = false;
  for (const SharedDeltaPart& part : parts) {
    if (part.bodySize > left) return DecodeStatus::BadData;
    left -= part.bodySize;
    if (part.baseSize == base.size() && std::memcmp(part.baseHash, baseHash.data(), sizeof part.baseHash) == 0) {
      if (found) return DecodeStatus::BadData;  // two parts for one base
      found = true;
      partOffset = at;
      partSize = part.bodySize;
    }
    at += part.bodySize;
  }
  if (left != header.shared.storedSize || !found) return DecodeStatus::BadData;
  if (header.coding == kDeltaLzma) {
    if (const DecodeStatus status = CheckProperties(source, at, header.shared); status != DecodeStatus::Done) {
      return status;
    }
  }
  SharedNewBytes shared(source, runsOffset, header.runsBytes, at, header.coding, header.shared, resultSize);
  if (const DecodeStatus status = shared.Start(); status != DecodeStatus::Done) return status;
  return ApplyPart(base, source, partOffset, partSize, resultSize, sink, chunk, &shared);
}

}  // namespace

DecodeStatus ApplyDelta(std::span<const uint8_t> base, CByteSource& source, uint64_t offset, uint64_t length,
                        uint64_t resultSize, CByteSink& sink, std::span<uint8_t> chunk,
                        std::span<const uint8_t> baseHash) {
  uint8_t start[5];
  if (length < sizeof start || chunk.empty()) return DecodeStatus::BadData;
  if (!source.ReadAt(offset, start)) return DecodeStatus::ReadFailed;
  if (std::memcmp(start, kDeltaMagic, sizeof kDeltaMagic) == 0 && start[4] == kDeltaSharedVersion) {
    return ApplyShared(base, source, offset, length, resultSize, sink, chunk, baseHash);
  }
  return ApplyPart(base, source, offset, length, resultSize, sink, chunk, nullptr);
}

DecodeStatus ApplyDelta(std::span<const uint8_t> base, CByteSource& source, uint64_t offset, uint64_t length,
                        std::span<uint8_t> result, std::span<uint8_t> chunk, std::span<const uint8_t> baseHash) {
  SpanSink sink(result);
  return ApplyDelta(base, source, offset, length, result.size(), sink, chunk, baseHash);
}

}  // namespace qpx
