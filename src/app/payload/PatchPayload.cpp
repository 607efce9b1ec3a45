#include "src/app/payload/PatchPayload.h"

#include <cstring>
#include <vector>

#include "src/app/codecs/delta/DeltaDecoder.h"
#include "src/app/payload/SignedImage.h"

namespace qpx {

bool NeedsCodecs2(BodyEncoding encoding, std::span<const uint8_t> stored) {
  switch (encoding) {
    case BodyEncoding::LzmaBlocks: return true;
    case BodyEncoding::Delta:
      return stored.size() > offsetof(DeltaHeader, version) && stored[offsetof(DeltaHeader, version)] >= kDeltaCodeVersion;
    default: return false;
  }
}

PayloadRecord FromVersion1(const PatchRecord& record) {
  PayloadRecord converted;
  converted.resourceNumber = record.resourceNumber;
  converted.bodyOffset = record.bodyOffset;
  converted.storedSize = record.bodySize;
  converted.resultSize = record.bodySize;
  return converted;
}

PayloadRecord FromVersion2(const PatchRecordV2& record) {
  PayloadRecord converted;
  converted.resourceNumber = record.resourceNumber;
  converted.encoding = static_cast<BodyEncoding>(record.encoding);
  converted.hasBase = (record.flags & kRecordHasBase) != 0;
  converted.flagsKnown = (record.flags & ~kRecordKnownFlags) == 0;
  converted.bodyOffset = record.bodyOffset;
  converted.storedSize = record.storedSize;
  converted.resultSize = record.resultSize;
  converted.baseSize = record.baseSize;
  converted.hashed = true;
  std::memcpy(converted.resultHash.data(), record.resultHash, sizeof record.resultHash);
  std::memcpy(converted.baseHash.data(), record.baseHash, sizeof record.baseHash);
  return converted;
}

PayloadRecord FromVersion3(const PatchRecordV3& record) {
  PatchRecordV2 shape;
  static_assert(sizeof shape == sizeof record);
  std::memcpy(&shape, &record, sizeof shape);
  PayloadRecord converted = FromVersion2(shape);
  converted.versions = record.versions;
  return converted;
}

namespace {

// Positions `file` `distance` bytes before the payload's end. Where the
// payload ends the file, the seek is relative to the end, as it always was;
// a payload that a signature follows is found at its absolute end.
bool SeekBeforeEnd(CAbstractFile& file, const Payload& payload, int64_t length, uint32_t distance) {
  if (payload.signatureBytes == 0) return file.SeekEnd(static_cast<int32_t>(distance));
  return payload.fileSize >= int64_t{distance} && file.Seek64(length - payload.signatureBytes - distance);
}

// Reads `count` raw records of type `Record` at `offset` and converts each.
// A table that does not lie wholly inside the file is refused before any
// memory is set aside for it: a forged count must not become a huge
// allocation, nor a short read into garbage.
template <typename Record, typename Convert>
PayloadError ReadTable(CAbstractFile& file, uint64_t offset, uint32_t count, Payload& payload, Convert convert) {
  const uint64_t tableBytes = uint64_t{count} * sizeof(Record);
  // A table of 4 GiB or more cannot be read in one piece, wherever it lies.
  if (tableBytes > UINT32_MAX || (tableBytes != 0 && !LiesInside(offset, tableBytes, payload.fileSize))) {
    return PayloadError::CantReadInfo;
  }
  std::vector<Record> table(count);
  const auto bytes = static_cast<uint32_t>(tableBytes);
  if (!file.Seek64(static_cast<int64_t>(offset)) || file.Read(table.data(), bytes) != bytes) {
    return PayloadError::CantReadInfo;
  }
  payload.records.reserve(count);
  for (const Record& record : table) payload.records.push_back(convert(record));
  return PayloadError::None;
}

// The labels of a versions block: `count` of them, each a length byte of
// 1..kMaxLabelLength and its bytes, filling `bytes` exactly. Empty when
// they are laid out otherwise.
std::vector<std::string> ParseLabels(const std::vector<uint8_t>& bytes, uint32_t count) {
  std::vector<std::string> labels;
  std::size_t at = 0;
  while (at < bytes.size() && labels.size() < count) {
    const std::size_t length = bytes[at++];
    if (length == 0 || length > kMaxLabelLength || length > bytes.size() - at) return {};
    labels.emplace_back(reinterpret_cast<const char*>(bytes.data() + at), length);
    at += length;
  }
  if (at != bytes.size() || labels.size() != count) return {};
  return labels;
}

// Reads the versions block that follows a version-3 table. A block that does
// not lie inside the file, or is larger than any writer makes it, is refused
// before memory is set aside for it; what it says is judged with the records.
PayloadError ReadVersions(CAbstractFile& file, Payload& payload) {
  const uint64_t at = payload.tableOffset + payload.TableBytes();  // both checked by ReadTable
  PayloadVersionsHeader& header = payload.versionsHeader;
  if (!LiesInside(at, sizeof header, payload.fileSize) || !file.Seek64(static_cast<int64_t>(at)) ||
      file.Read(&header, sizeof header) != sizeof header || header.bytes > kMaxLabelBytes ||
      !LiesInside(at + sizeof header, header.bytes, payload.fileSize)) {
    return PayloadError::CantReadInfo;
  }
  std::vector<uint8_t> bytes(header.bytes);
  if (!bytes.empty() && file.Read(bytes.data(), header.bytes) != header.bytes) return PayloadError::CantReadInfo;
  if (std::memcmp(header.magic, kVersionsMagic, sizeof kVersionsMagic) == 0 && header.count >= 2 &&
      header.count <= kMaxOldVersions + 1) {
    payload.labels = ParseLabels(bytes, header.count);
  }
  return PayloadError::None;
}

}  // namespace

PayloadError ReadPayload(CAbstractFile& file, Payload& payload) {
  int64_t length = 0;
  if (file.QuerySize64(length)) {
    payload.fileSize = FindPayloadEnd(file, length);
    payload.signatureBytes = length - payload.fileSize;
  }

  // The magic closes the payload; nothing in the image points to it.
  // Every read below is taken only from the place it was sought to: a
  // refused seek would leave the bytes of some other place to be judged.
  char magic[sizeof kPayloadMagic + 1] = {};
  if (!SeekBeforeEnd(file, payload, length, sizeof kPayloadMagic) ||
      file.Read(magic, sizeof magic - 1) != sizeof kPayloadMagic ||
      std::memcmp(magic, kPayloadMagic, sizeof kPayloadMagic) != 0) {
    return PayloadError::CantFind;
  }

  PayloadTrailerHeader header{};
  if (!SeekBeforeEnd(file, payload, length, sizeof(PayloadTrailer)) ||
      file.Read(&header, sizeof header) != sizeof header) {
    return PayloadError::CantReadHeader;
  }
  payload.trailer.header = header;
  std::memcpy(payload.trailer.magic, kPayloadMagic, sizeof kPayloadMagic);

  PayloadError error = PayloadError::None;
  if (header.version == kPayloadVersion1) {
    payload.version = kPayloadVersion1;
    payload.tableOffset = header.tableOffset;
    error = ReadTable<PatchRecord>(file, header.tableOffset, header.recordCount, payload, FromVersion1);
  } else if (IsCheckedVersion(header.version)) {
    // Versions 2 and 3 share the trailer's layout and the records' size.
    PayloadTrailerHeaderV2 checked;
    std::memcpy(&checked, &header, sizeof checked);
    payload.version = header.version;
    payload.tableOffset = checked.tableOffset;
    if (header.version == kPayloadVersion2) {
      error = ReadTable<PatchRecordV2>(file, checked.tableOffset, checked.recordCount, payload, FromVersion2);
    } else {
      error = ReadTable<PatchRecordV3>(file, checked.tableOffset, checked.recordCount, payload, FromVersion3);
      if (error == PayloadError::None) error = ReadVersions(file, payload);
    }
  } else {
    return PayloadError::CantReadHeader;
  }
  if (error != PayloadError::None) {
    payload.records.clear();
    payload.labels.clear();
    return error;
  }

  // A payload too short to hold a seal has none. In one long enough, the
  // bytes where a seal would lie must be read: taking a failed read for "no
  // seal" would apply a sealed patch unchecked.
  if (payload.fileSize < int64_t{kSealDistance}) return PayloadError::None;
  PayloadSeal seal{};
  if (!SeekBeforeEnd(file, payload, length, kSealDistance) || file.Read(&seal, sizeof seal) != sizeof seal) {
    payload.records.clear();
    return PayloadError::CantReadData;
  }
  payload.sealed = std::memcmp(seal.magic, kSealMagic, sizeof kSealMagic) == 0;
  // Versions 2 and 3 have a seal whatever its magic says: VerifySeal judges it.
  if (payload.sealed || IsCheckedVersion(payload.version)) payload.seal = seal;
  return PayloadError::None;
}

}  // namespace qpx
