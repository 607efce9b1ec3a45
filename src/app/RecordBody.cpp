#include "app/RecordBody.h"

#include <algorithm>

#include "app/ByteSource.h"
#include "app/DeltaDecoder.h"
#include "app/LzmaDecoder.h"
#include "app/ResourceState.h"

namespace qpx {
namespace {

// The input of a compressed body is read this much at a time.
constexpr uint32_t kDecodeChunk = 1u << 20;

BodyOutcome FromStatus(DecodeStatus status) {
  switch (status) {
    case DecodeStatus::Done: return BodyOutcome::Ready;
    case DecodeStatus::BadData: return BodyOutcome::Damaged;
    case DecodeStatus::ReadFailed: return BodyOutcome::CantRead;
  }
  return BodyOutcome::Damaged;
}

// Reads resource `number` whole as the run will have it: staged in its
// journal, or in the game.
bool ReadCurrentBytes(ResourceArchive& archive, RunJournal* journal, uint32_t number, std::span<uint8_t> into) {
  bool staged = false;
  if (journal != nullptr && !journal->ReadStaged(number, into, staged)) return false;
  return staged || ReadResourceBytes(archive, number, into);
}

// Whether `bytes` are the record's result.
bool ProvenResult(const PayloadRecord& record, std::span<const uint8_t> bytes) {
  // A version-1 body names no hash: its seal, where it has one, vouched for it.
  if (!record.hashed) return true;
  PayloadDigest digest;
  digest.Update(bytes);
  return digest.Finish() == record.resultHash;
}

}  // namespace

BodyOutcome ReadOwnResult(const PayloadRecord& record, ResourceArchive& archive, BodyBuffers& buffers,
                          std::span<const uint8_t>& body, RunJournal* journal) {
  const auto size = static_cast<uint32_t>(record.resultSize);
  uint8_t* const result = buffers.result.Reserve(std::max<uint32_t>(size, 1));
  if (record.resultSize > UINT32_MAX || !ReadCurrentBytes(archive, journal, record.resourceNumber, {result, size}) ||
      !ProvenResult(record, {result, size})) {
    return BodyOutcome::Damaged;
  }
  body = {result, size};
  return BodyOutcome::Ready;
}

BodyOutcome DecodeRecordBody(CAbstractFile& patch, const PayloadRecord& record, ResourceArchive& archive,
                             BodyBuffers& buffers, std::span<const uint8_t>& body, RunJournal* journal) {
  // The checks have refused results that do not fit in 32 bits.
  const auto size = static_cast<uint32_t>(record.resultSize);
  uint8_t* const result = buffers.result.Reserve(size);
  BodyOutcome outcome = BodyOutcome::Damaged;
  switch (record.encoding) {
    case BodyEncoding::Stored:
      outcome = patch.Seek64(static_cast<int64_t>(record.bodyOffset)) && patch.Read(result, size) == size
                    ? BodyOutcome::Ready
                    : BodyOutcome::CantRead;
      break;
    case BodyEncoding::Lzma: {
      FileRangeSource source(patch, record.bodyOffset, record.storedSize);
      const std::span<uint8_t> chunk(buffers.chunk.Reserve(kDecodeChunk), kDecodeChunk);
      outcome = FromStatus(DecodeLzma(source, 0, record.storedSize, {result, size}, chunk));
      break;
    }
    case BodyEncoding::Delta: {
      // The base was checked against the record's base hash before the run
      // wrote anything; the result's hash below proves the rest.
      const auto baseSize = static_cast<uint32_t>(record.baseSize);
      uint8_t* const base = buffers.base.Reserve(std::max<uint32_t>(baseSize, 1));
      if (record.baseSize > UINT32_MAX || !ReadCurrentBytes(archive, journal, record.resourceNumber, {base, baseSize})) {
        return BodyOutcome::Damaged;
      }
      FileRangeSource source(patch, record.bodyOffset, record.storedSize);
      const std::span<uint8_t> chunk(buffers.chunk.Reserve(kDecodeChunk), kDecodeChunk);
      outcome = FromStatus(ApplyDelta({base, baseSize}, source, 0, record.storedSize, {result, size}, chunk));
      break;
    }
  }
  if (outcome != BodyOutcome::Ready) return outcome;
  if (!ProvenResult(record, {result, size})) return BodyOutcome::Damaged;
  body = {result, size};
  return BodyOutcome::Ready;
}

}  // namespace qpx
