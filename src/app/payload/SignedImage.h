#pragma once
// Authenticode signing appends a certificate table to a Windows program,
// after zero padding to a multiple of 8 bytes, and names it in the PE's
// security directory (data directory entry 4: its file offset and size).
// A payload appended before signing then no longer ends the file.

#include <cstdint>

#include "src/filesystem/FileSystem.h"

namespace qpx {

struct CertificateTable {
  uint64_t offset = 0;
  uint64_t size = 0;
};

// Whether `file` (`length` bytes) is a PE image whose security directory
// names a non-empty certificate table, and where.
bool FindCertificateTable(CAbstractFile& file, int64_t length, CertificateTable& table);

// Where the payload of `file` (`length` bytes) ends: where a certificate
// table that ends the file begins, less up to 7 zero bytes of padding
// (a payload's last byte, the magic's 'T', is never zero); otherwise the
// file's length. A file that is no PE (the native patcher) is unaffected.
int64_t FindPayloadEnd(CAbstractFile& file, int64_t length);

}  // namespace qpx
