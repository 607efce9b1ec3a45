#include "src/app/payload/SignedImage.h"

#include <cstring>

namespace qpx {
namespace {

// The parts of the PE layout that lead to the security directory.
constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kNewHeaderPointer = 0x3C;       // e_lfanew
constexpr uint32_t kCoffHeaderSize = 20;
constexpr uint32_t kOptionalSizeField = 16;        // SizeOfOptionalHeader, in the COFF header
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kDirectoryEntrySize = 8;
// From the signature "PE\0\0" to the end of the security directory entry
// of the larger (PE32+) optional header.
constexpr uint32_t kHeadersSpan = 4 + kCoffHeaderSize + 112 + (kSecurityDirectory + 1) * kDirectoryEntrySize;

uint16_t Little16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }
uint32_t Little32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

bool ReadAt(CAbstractFile& file, uint64_t offset, void* bytes, uint32_t size) {
  return file.Seek64(static_cast<int64_t>(offset)) && file.Read(bytes, size) == size;
}

}  // namespace

bool FindCertificateTable(CAbstractFile& file, int64_t length, CertificateTable& table) {
  uint8_t dos[kDosHeaderSize];
  if (length < int64_t{kDosHeaderSize} || !ReadAt(file, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') {
    return false;
  }
  const uint32_t headersAt = Little32(dos + kNewHeaderPointer);
  if (uint64_t{headersAt} + kHeadersSpan > static_cast<uint64_t>(length)) return false;
  uint8_t headers[kHeadersSpan];
  if (!ReadAt(file, headersAt, headers, sizeof headers) || std::memcmp(headers, "PE\0\0", 4) != 0) return false;

  const uint8_t* const coff = headers + 4;
  const uint8_t* const optional = coff + kCoffHeaderSize;
  const uint16_t optionalSize = Little16(coff + kOptionalSizeField);
  uint32_t countAt = 0, directoriesAt = 0;
  switch (Little16(optional)) {
    case kPe32Magic: countAt = 92, directoriesAt = 96; break;
    case kPe32PlusMagic: countAt = 108, directoriesAt = 112; break;
    default: return false;
  }
  const uint32_t entryAt = directoriesAt + kSecurityDirectory * kDirectoryEntrySize;
  if (Little32(optional + countAt) <= kSecurityDirectory || optionalSize < entryAt + kDirectoryEntrySize) {
    return false;
  }
  // Unlike the other directories, this one holds a file offset, not an
  // address in memory.
  table.offset = Little32(optional + entryAt);
  table.size = Little32(optional + entryAt + 4);
  return table.offset != 0 && table.size != 0;
}

int64_t FindPayloadEnd(CAbstractFile& file, int64_t length) {
  CertificateTable table;
  if (!FindCertificateTable(file, length, table) || table.offset + table.size != static_cast<uint64_t>(length)) {
    return length;
  }
  uint8_t padding[7] = {};
  const uint32_t span = static_cast<uint32_t>(table.offset < sizeof padding ? table.offset : sizeof padding);
  if (!ReadAt(file, table.offset - span, padding, span)) return static_cast<int64_t>(table.offset);
  uint32_t zeros = 0;
  while (zeros < span && padding[span - 1 - zeros] == 0) ++zeros;
  return static_cast<int64_t>(table.offset - zeros);
}

}  // namespace qpx
