#include "app/PatchPayload.h"

#include <cstring>

#include "app/SignedImage.h"

namespace qpx {

const wchar_t* PayloadMessage(PayloadError error) {
  switch (error) {
    case PayloadError::None: return L"";
    case PayloadError::CantFind: return L"Can't find patch data\n";
    case PayloadError::CantReadHeader: return L"Can't read patch header\n";
    case PayloadError::CantReadInfo: return L"Can't read patch info\n";
    case PayloadError::CantReadData: return L"Can't read patch data\n";
    case PayloadError::Damaged: return L"Patch data is damaged\n";
  }
  return L"";
}

namespace {

// Positions `file` `distance` bytes before the payload's end. Where the
// payload ends the file, the seek is relative to the end, as it always was;
// a payload that a signature follows is found at its absolute end.
bool SeekBeforeEnd(CAbstractFile& file, const Payload& payload, int64_t length, uint32_t distance) {
  if (payload.signatureBytes == 0) return file.SeekEnd(static_cast<int32_t>(distance));
  return payload.fileSize >= int64_t{distance} && file.Seek64(length - payload.signatureBytes - distance);
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
      file.Read(magic, sizeof kPayloadMagic) != sizeof kPayloadMagic ||
      std::memcmp(magic, kPayloadMagic, sizeof kPayloadMagic) != 0) {
    return PayloadError::CantFind;
  }

  PayloadTrailerHeader header{};
  if (!SeekBeforeEnd(file, payload, length, sizeof(PayloadTrailer)) ||
      file.Read(&header, sizeof header) != sizeof header || header.version != kPayloadVersion) {
    return PayloadError::CantReadHeader;
  }
  payload.header = header;

  // A table that does not lie wholly inside the file is refused before any
  // memory is set aside for it: a forged count must not become a huge
  // allocation, nor a short read into garbage.
  const uint64_t tableBytes = uint64_t{header.recordCount} * sizeof(PatchRecord);
  // A table of 4 GiB or more cannot be read in one piece, wherever it lies.
  if (tableBytes > UINT32_MAX ||
      (tableBytes != 0 && !LiesInside(header.tableOffset, tableBytes, payload.fileSize))) {
    return PayloadError::CantReadInfo;
  }

  payload.records.resize(header.recordCount);
  const auto bytes = static_cast<uint32_t>(tableBytes);
  if (!file.Seek64(header.tableOffset) || file.Read(payload.records.data(), bytes) != bytes) {
    payload.records.clear();
    return PayloadError::CantReadInfo;
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
  if (payload.sealed) payload.seal = seal;
  return PayloadError::None;
}

}  // namespace qpx
