#include "src/app/run/RecordBody.h"

#include <algorithm>
#include <limits>

#include "src/app/codecs/delta/DeltaDecoder.h"
#include "src/app/codecs/lzma/LzmaBlocks.h"
#include "src/app/codecs/lzma/LzmaDecoder.h"

namespace qpx {
namespace {

// A body's input is read, and its result handed on, this much at a time.
constexpr uint32_t kDecodeChunk = 1u << 20;

BodyOutcome FromStatus(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::Done: return BodyOutcome::Ready;
    case DecodeStatus::BadData: return BodyOutcome::Damaged;
    case DecodeStatus::ReadFailed: return BodyOutcome::CantRead;
    case DecodeStatus::SinkFailed: return BodyOutcome::WriteFailed;
  }
  return BodyOutcome::Damaged;
}

// Reads resource `number` whole as the run will have it: staged in its
// journal, or in the game.
bool ReadCurrentBytes(ResourceArchive& archive, RunJournal* journal, uint32_t number, std::span<uint8_t> into) {
  bool staged = false;
  if (journal != nullptr && !journal->ReadStaged(number, into, staged)) return false;
  return staged || archive.ReadResourceBytes(number, into);
}

// Hands bytes on to a sink, hashing and counting them on the way.
class ProvingSink final : public CByteSink {
 public:
  explicit ProvingSink(CByteSink& sink) : sink_(sink) {}
  bool Put(std::span<const uint8_t> bytes) override {
    if (!sink_.Put(bytes)) {
      failed_ = true;
      return false;
    }
    digest_.Update(bytes);
    count_ += bytes.size();
    return true;
  }
  bool Failed() const { return failed_; }
  // Whether exactly the record's result went through. A version-1 body
  // names no hash: its seal, where it has one, vouched for it.
  bool Proven(const PayloadRecord& record) const {
    return count_ == record.resultSize && (!record.hashed || digest_.Finish() == record.resultHash);
  }

 private:
  CByteSink& sink_;
  ContentDigest digest_;
  uint64_t count_ = 0;
  bool failed_ = false;
};

DecodeStatus CopyStored(CByteSource& source, uint64_t size, CByteSink& sink, std::span<uint8_t> chunk) {
  for (uint64_t done = 0; done < size;) {
    const auto piece = chunk.first(static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), size - done)));
    if (!source.ReadAt(done, piece)) return DecodeStatus::ReadFailed;
    if (!sink.Put(piece)) return DecodeStatus::SinkFailed;
    done += piece.size();
  }
  return DecodeStatus::Done;
}

// Ends a decoding: Ready only when the sink took every byte of the result.
BodyOutcome Outcome(DecodeStatus status, const ProvingSink& proving, const PayloadRecord& record) {
  if (proving.Failed()) return BodyOutcome::WriteFailed;
  const BodyOutcome outcome = FromStatus(status);
  if (outcome != BodyOutcome::Ready) return outcome;
  return proving.Proven(record) ? BodyOutcome::Ready : BodyOutcome::Damaged;
}

}  // namespace

BodyOutcome StreamRecordBody(CAbstractFile& patch, const PayloadRecord& record, ResourceArchive& archive,
                             BodyBuffers& buffers, CByteSink& sink, RunJournal* journal) {
  // The checks have refused results that do not fit in 32 bits.
  if (record.resultSize > UINT32_MAX) return BodyOutcome::Damaged;
  ProvingSink proving(sink);
  FileRangeSource source(patch, record.bodyOffset, record.storedSize);
  const std::span<uint8_t> chunk(buffers.chunk.Reserve(kDecodeChunk), kDecodeChunk);
  DecodeStatus status = DecodeStatus::BadData;
  switch (record.encoding) {
    case BodyEncoding::Stored: status = CopyStored(source, record.resultSize, proving, chunk); break;
    case BodyEncoding::Lzma:
      // The window is the smaller of the stream's dictionary and the result.
      status = DecodeLzmaStream(source, 0, record.storedSize, record.resultSize, std::numeric_limits<std::size_t>::max(),
                                kDecodeChunk, proving);
      break;
    case BodyEncoding::LzmaBlocks:
      status = DecodeLzmaBlocks(source, 0, record.storedSize, record.resultSize, proving, kDecodeChunk);
      break;
    case BodyEncoding::Delta: {
      // The base was checked against the record's base hash before the run
      // wrote anything; the result's hash proves the rest.
      if (record.baseSize > UINT32_MAX) return BodyOutcome::Damaged;
      const auto baseSize = static_cast<uint32_t>(record.baseSize);
      // Mapped where it lies in the game (no fresh memory to fill), read
      // where it is staged in the journal or cannot be mapped.
      std::unique_ptr<CAbstractFile> looseFile;
      std::unique_ptr<CFileView> view;
      if (journal == nullptr || !journal->HoldsStaged(record.resourceNumber)) {
        view = archive.MapResourceBytes(record.resourceNumber, baseSize, looseFile);
      }
      const uint8_t* base = view ? view->Bytes() : nullptr;
      if (base == nullptr) {
        uint8_t* const read = buffers.base.Reserve(std::max<uint32_t>(baseSize, 1));
        if (!ReadCurrentBytes(archive, journal, record.resourceNumber, {read, baseSize})) return BodyOutcome::Damaged;
        base = read;
      }
      // A delta for several bases takes the part for the record's base.
      status = ApplyDelta({base, baseSize}, source, 0, record.storedSize, record.resultSize, proving, chunk,
                          record.baseHash);
      break;
    }
  }
  return Outcome(status, proving, record);
}

BodyOutcome StreamOwnResult(const PayloadRecord& record, ResourceArchive& archive, BodyBuffers& buffers,
                            CByteSink& sink, RunJournal* journal) {
  if (record.resultSize > UINT32_MAX) return BodyOutcome::Damaged;
  const auto size = static_cast<uint32_t>(record.resultSize);
  uint8_t* const bytes = buffers.base.Reserve(std::max<uint32_t>(size, 1));
  if (!ReadCurrentBytes(archive, journal, record.resourceNumber, {bytes, size})) return BodyOutcome::Damaged;
  ProvingSink proving(sink);
  const DecodeStatus status = proving.Put({bytes, size}) ? DecodeStatus::Done : DecodeStatus::SinkFailed;
  return Outcome(status, proving, record);
}

namespace {

// Decodes into the body buffer with `stream`, which hands the result to a sink.
template <typename Stream>
BodyOutcome IntoMemory(const PayloadRecord& record, BodyBuffers& buffers, std::span<const uint8_t>& body,
                       Stream stream) {
  if (record.resultSize > UINT32_MAX) return BodyOutcome::Damaged;
  const auto size = static_cast<uint32_t>(record.resultSize);
  SpanSink sink({buffers.result.Reserve(std::max<uint32_t>(size, 1)), size});
  const BodyOutcome outcome = stream(sink);
  if (outcome == BodyOutcome::Ready) body = {buffers.result.Reserve(std::max<uint32_t>(size, 1)), size};
  return outcome;
}

}  // namespace

BodyOutcome DecodeRecordBody(CAbstractFile& patch, const PayloadRecord& record, ResourceArchive& archive,
                             BodyBuffers& buffers, std::span<const uint8_t>& body, RunJournal* journal) {
  return IntoMemory(record, buffers, body, [&](CByteSink& sink) {
    return StreamRecordBody(patch, record, archive, buffers, sink, journal);
  });
}

BodyOutcome ReadOwnResult(const PayloadRecord& record, ResourceArchive& archive, BodyBuffers& buffers,
                          std::span<const uint8_t>& body, RunJournal* journal) {
  return IntoMemory(record, buffers, body, [&](CByteSink& sink) {
    return StreamOwnResult(record, archive, buffers, sink, journal);
  });
}

}  // namespace qpx
