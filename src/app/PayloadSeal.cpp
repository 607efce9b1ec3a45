#include "app/PayloadSeal.h"

#include <algorithm>
#include <cstring>

namespace qpx {

PayloadDigest::Value FinishSealDigest(PayloadDigest& digest, const PayloadSeal& seal, const PayloadTrailer& trailer) {
  digest.Update(&seal, kSealFieldsSize);
  digest.Update(&trailer, sizeof trailer);
  return digest.Finish();
}

PayloadTrailer TrailerOf(const PayloadTrailerHeader& header) {
  PayloadTrailer trailer{header, {}};
  std::memcpy(trailer.magic, kPayloadMagic, sizeof trailer.magic);
  return trailer;
}

namespace {

// Whether every byte the run will read, the table and each body, lies in
// the covered range [start, end).
bool CoversWhatTheRunReads(const Payload& payload, uint64_t start, uint64_t end) {
  const auto within = [&](uint64_t offset, uint64_t size) { return offset >= start && offset <= end && size <= end - offset; };
  const uint64_t tableBytes = uint64_t{payload.header.recordCount} * sizeof(PatchRecord);
  if (!within(payload.header.tableOffset, tableBytes)) return false;
  return std::all_of(payload.records.begin(), payload.records.end(), [&](const PatchRecord& record) {
    return record.bodySize == 0 || within(record.bodyOffset, record.bodySize);
  });
}

}  // namespace

PayloadError VerifySeal(CAbstractFile& file, const Payload& payload, CTransferBuffer& buffer, bool mapFile) {
  if (!payload.sealed) return PayloadError::None;
  const PayloadSeal& seal = payload.seal;
  const uint64_t sealStart = static_cast<uint64_t>(payload.fileSize) - kSealDistance;
  if (seal.version != kSealVersion || seal.coveredStart > sealStart ||
      !CoversWhatTheRunReads(payload, seal.coveredStart, sealStart)) {
    return PayloadError::Damaged;
  }

  // One pass, in the order the bytes lie: in views of the file where it
  // maps them, else through the buffer the bodies use afterwards.
  PayloadDigest digest;
  uint64_t at = seal.coveredStart;
  uint64_t left = sealStart - seal.coveredStart;
  while (mapFile && left != 0) {
    const auto size = static_cast<uint32_t>(std::min<uint64_t>(left, kSealViewSize));
    const std::unique_ptr<CFileView> view = file.MapForReading(static_cast<int64_t>(at), size);
    if (!view) break;
    digest.Update(view->Bytes(), size);
    at += size;
    left -= size;
  }
  if (left != 0) {
    uint8_t* const chunk = buffer.Reserve(static_cast<uint32_t>(std::min<uint64_t>(left, kMaxTransferChunk)));
    if (!file.Seek64(static_cast<int64_t>(at))) return PayloadError::CantReadData;
    while (left != 0) {
      const auto size = static_cast<uint32_t>(std::min<uint64_t>(left, kMaxTransferChunk));
      if (file.Read(chunk, size) != size) return PayloadError::CantReadData;
      digest.Update(chunk, size);
      left -= size;
    }
  }
  const PayloadDigest::Value value = FinishSealDigest(digest, seal, TrailerOf(payload.header));
  return std::memcmp(value.data(), seal.digest, sizeof seal.digest) == 0 ? PayloadError::None
                                                                         : PayloadError::Damaged;
}

}  // namespace qpx
