#include "app/PatchPayload.h"

#include <cstring>

namespace qpx {

const wchar_t* PayloadMessage(PayloadError error) {
  switch (error) {
    case PayloadError::None: return L"";
    case PayloadError::CantFind: return L"Can't find patch data\n";
    case PayloadError::CantReadHeader: return L"Can't read patch header\n";
    case PayloadError::CantReadInfo: return L"Can't read patch info\n";
  }
  return L"";
}

PayloadError ReadPayload(CAbstractFile& file, Payload& payload) {
  // The magic closes the file; nothing in the image points to the payload.
  // Every read below is taken only from the place it was sought to: a
  // refused seek would leave the bytes of some other place to be judged.
  char magic[sizeof kPayloadMagic + 1] = {};
  if (!file.SeekEnd(sizeof kPayloadMagic) ||
      file.Read(magic, sizeof kPayloadMagic) != sizeof kPayloadMagic ||
      std::memcmp(magic, kPayloadMagic, sizeof kPayloadMagic) != 0) {
    return PayloadError::CantFind;
  }

  PayloadTrailerHeader header{};
  if (!file.SeekEnd(sizeof(PayloadTrailer)) || file.Read(&header, sizeof header) != sizeof header ||
      header.version != kPayloadVersion) {
    return PayloadError::CantReadHeader;
  }
  payload.header = header;

  // A table that does not lie wholly inside the file is refused before any
  // memory is set aside for it: a forged count must not become a huge
  // allocation, nor a short read into garbage.
  const uint64_t tableBytes = uint64_t{header.recordCount} * sizeof(PatchRecord);
  if (!file.QuerySize64(payload.fileSize)) payload.fileSize = 0;
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
  return PayloadError::None;
}

}  // namespace qpx
