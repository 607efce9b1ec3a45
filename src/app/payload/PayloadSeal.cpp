#include "src/app/payload/PayloadSeal.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "src/app/codecs/delta/DeltaDecoder.h"
#include "src/app/codecs/lzma/LzmaBlocks.h"
#include "src/app/codecs/lzma/LzmaDecoder.h"

namespace qpx {

ContentDigest::Value FinishSealDigest(ContentDigest& digest, const PayloadSeal& seal, const PayloadTrailer& trailer) {
  digest.Update(&seal, kSealFieldsSize);
  digest.Update(&trailer, sizeof trailer);
  return digest.Finish();
}

PayloadTrailer TrailerOf(const PayloadTrailerHeader& header) {
  PayloadTrailer trailer{header, {}};
  std::memcpy(trailer.magic, kPayloadMagic, sizeof trailer.magic);
  return trailer;
}

PayloadTrailer TrailerOf(const PayloadTrailerHeaderV2& header) {
  PayloadTrailer trailer{};
  std::memcpy(&trailer.header, &header, sizeof header);
  std::memcpy(trailer.magic, kPayloadMagic, sizeof trailer.magic);
  return trailer;
}

namespace {

// Whether every byte the run will read, the table and each body, lies in
// the covered range [start, end).
bool CoversWhatTheRunReads(const Payload& payload, uint64_t start, uint64_t end) {
  const auto within = [&](uint64_t offset, uint64_t size) { return offset >= start && offset <= end && size <= end - offset; };
  if (!within(payload.tableOffset, payload.TableBytes())) return false;
  // The versions block follows the table (ReadPayload read it there).
  if (payload.VersionsBytes() != 0 &&
      !within(payload.tableOffset + payload.TableBytes(), payload.VersionsBytes())) {
    return false;
  }
  return std::all_of(payload.records.begin(), payload.records.end(), [&](const PayloadRecord& record) {
    return record.Skipped() || within(record.bodyOffset, record.storedSize);
  });
}

}  // namespace

namespace {

// What one record of a version-2 or version-3 payload must be: flags and an
// encoding the patcher knows, with sizes that fit it.
bool RecordWellFormed(const PayloadRecord& record) {
  if (record.Skipped()) return true;
  if (!record.flagsKnown) return false;
  switch (record.encoding) {
    case BodyEncoding::Stored: return record.storedSize == record.resultSize;
    case BodyEncoding::Lzma: return record.storedSize >= kLzmaPropertiesSize;
    case BodyEncoding::LzmaBlocks: return record.storedSize >= kLzmaBlocksLeastSize;
    // A delta is read against the resource's current bytes: only a
    // record that names them, and so has them checked, may carry one.
    case BodyEncoding::Delta: return record.hasBase && record.storedSize >= sizeof(DeltaHeader);
  }
  return false;
}

// Version 3: labels laid out as they must be, and every resource's records
// true alternatives: each with a base that some named old versions hold, and
// no old version named twice, nor one base hash, so that at most one of them
// can match what the game holds; all rebuilding one result.
bool AlternativesWellFormed(const Payload& payload) {
  if (payload.labels.size() < 2) return false;
  const std::size_t olds = payload.labels.size() - 1;
  const uint64_t named = olds >= 64 ? ~uint64_t{0} : (uint64_t{1} << olds) - 1;
  std::map<uint32_t, std::vector<const PayloadRecord*>> resources;
  for (const PayloadRecord& record : payload.records) {
    if (record.Skipped()) continue;
    if (!record.hasBase || record.versions == 0 || (record.versions & ~named) != 0) return false;
    resources[record.resourceNumber].push_back(&record);
  }
  for (const auto& [number, alternatives] : resources) {
    uint64_t seen = 0;
    for (std::size_t i = 0; i < alternatives.size(); ++i) {
      const PayloadRecord& record = *alternatives[i];
      if ((record.versions & seen) != 0) return false;
      seen |= record.versions;
      const PayloadRecord& first = *alternatives.front();
      if (record.resultSize != first.resultSize || record.resultHash != first.resultHash) return false;
      for (std::size_t j = 0; j < i; ++j) {
        if (alternatives[j]->baseSize == record.baseSize && alternatives[j]->baseHash == record.baseHash) return false;
      }
    }
  }
  return true;
}

}  // namespace

bool RecordsWellFormed(const Payload& payload) {
  if (!IsCheckedVersion(payload.version)) return true;
  if (!std::all_of(payload.records.begin(), payload.records.end(), RecordWellFormed)) return false;
  return payload.version != kPayloadVersion3 || AlternativesWellFormed(payload);
}

PayloadError VerifySeal(CAbstractFile& file, const Payload& payload, CTransferBuffer& buffer, bool mapFile) {
  // Version 2 is never without its seal: a damaged magic must not make a
  // damaged patch pass for one that was never sealed.
  if (!payload.sealed) return IsCheckedVersion(payload.version) ? PayloadError::Damaged : PayloadError::None;
  const PayloadSeal& seal = payload.seal;
  const uint64_t sealStart = static_cast<uint64_t>(payload.fileSize) - kSealDistance;
  if (seal.version != kSealVersion || seal.coveredStart > sealStart ||
      !CoversWhatTheRunReads(payload, seal.coveredStart, sealStart)) {
    return PayloadError::Damaged;
  }

  // One pass, in the order the bytes lie: in views of the file where it
  // maps them, else through the buffer the bodies use afterwards.
  ContentDigest digest;
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
  const ContentDigest::Value value = FinishSealDigest(digest, seal, payload.trailer);
  if (std::memcmp(value.data(), seal.digest, sizeof seal.digest) != 0) return PayloadError::Damaged;
  // The bytes are as written; what they say must still make sense, or the
  // writer was at fault.
  return RecordsWellFormed(payload) ? PayloadError::None : PayloadError::Damaged;
}

}  // namespace qpx
