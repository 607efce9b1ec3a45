#include "src/archive/LooseFile.h"

#include <cstring>

#include "src/archive/ResourceArchive.h"
#include "src/paths/Paths.h"

namespace qpx {

LooseFileHeader MakeLooseFileHeader(uint32_t size) {
  LooseFileHeader header{};
  header.magic = kLooseFileMagic;
  header.totalSize = size;
  header.blockSize = kLooseBlockSize;
  header.blockCount = static_cast<uint32_t>(LooseBlockCount(size));
  for (uint32_t i = 0; i < header.blockCount && i < kLooseBlockSlots; ++i) {
    header.blockSizes[i] = kLooseBlockSize;
  }
  // A short last block gets its own length; a full one keeps 0x40000 like
  // every other full block.
  if (header.blockCount != 0 && size % kLooseBlockSize != 0 && header.blockCount <= kLooseBlockSlots) {
    header.blockSizes[header.blockCount - 1] = size % kLooseBlockSize;
  }
  return header;
}

bool ReadLooseFileHeader(CAbstractFile& file, int64_t length, LooseFileHeader& header) {
  if (length < static_cast<int64_t>(sizeof header) || file.Read(&header, sizeof header) != sizeof header) {
    return false;
  }
  return header.magic == kLooseFileMagic && header.totalSize <= static_cast<uint64_t>(length) - sizeof header;
}

bool LooseHeaderAsWritten(const LooseFileHeader& header, uint32_t size) {
  const LooseFileHeader written = MakeLooseFileHeader(size);
  return std::memcmp(&header, &written, sizeof header) == 0;
}

bool LooseZeroFillFollows(CAbstractFile& file, uint32_t size) {
  uint8_t bytes[kLooseFileAlignment];
  const uint32_t fill = LooseZeroFill(size);
  return file.Read(bytes, fill) == fill && std::memcmp(bytes, kZeroFill, fill) == 0;
}

bool LooseFileAsWritten(CAbstractFile& file, int64_t length, const LooseFileHeader& header) {
  return LooseHeaderAsWritten(header, header.totalSize) &&
         static_cast<uint64_t>(length) == LooseFileLength(header.totalSize) &&
         LooseZeroFillFollows(file, header.totalSize);
}

std::wstring LooseFileName(uint32_t looseIndex) {
  wchar_t name[kFormatBufferLength];
  if (FormatToBuffer(name, L"D%05d.bin", static_cast<int>(looseIndex)) < 0) return std::wstring();
  return name;
}

std::wstring LooseFilePath(const std::wstring& resDirectory, uint32_t looseIndex) {
  return JoinPath(resDirectory.c_str(), LooseFileName(looseIndex).c_str());
}

bool WriteLooseFileWhole(CAbstractFile& file, uint32_t size, bool durable,
                         const std::function<bool(CAbstractFile&)>& writeBody) {
  const LooseFileHeader header = MakeLooseFileHeader(size);
  const uint64_t length = LooseFileLength(size);
  const uint32_t fill = LooseZeroFill(size);
  if (durable && (!file.Reserve64(static_cast<int64_t>(length)) || !file.Seek64(0))) return false;
  return file.Write(&header, sizeof header) == sizeof header && writeBody(file) &&
         (fill == 0 || file.Write(kZeroFill, fill) == fill) && file.SetSize64(static_cast<int64_t>(length)) &&
         (!durable || file.Flush());
}

}  // namespace qpx
