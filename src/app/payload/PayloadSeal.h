#pragma once
// Writing and checking the seal of a patch payload (its layout is in
// PatchPayload.h). The digest is XXH3-128 over, in this order: every byte
// from coveredStart up to the seal (the bodies, the table and the writer's
// zero padding), the seal's fields before the digest, and the trailer. A
// seal detects damage (a download, a disk, a copy); it is no signature:
// whoever changes a patch can seal it anew.

#include <cstdint>

#include "src/app/payload/PatchPayload.h"
#include "src/app/payload/ContentDigest.h"
#include "src/filesystem/FileSystem.h"
#include "src/filesystem/TransferBuffer.h"

namespace qpx {

// Zero bytes a writer puts between the table and the seal so that the whole
// file's length is a multiple of 8 (signing then adds no padding).
inline constexpr uint32_t SealPadding(uint64_t tableEnd) {
  return static_cast<uint32_t>((8 - (tableEnd + kSealDistance) % 8) % 8);
}

// Completes a seal's digest: `digest` holds the covered bytes before the
// seal; this adds the seal's fields and the trailer and returns the result.
// Writers store it in the seal; readers compare it with the stored one.
ContentDigest::Value FinishSealDigest(ContentDigest& digest, const PayloadSeal& seal, const PayloadTrailer& trailer);

// A trailer of either version: its header and the magic.
PayloadTrailer TrailerOf(const PayloadTrailerHeader& header);
PayloadTrailer TrailerOf(const PayloadTrailerHeaderV2& header);

// Whether every record of a version-2 or version-3 payload says something
// the patcher can do: an encoding it reads, with sizes that fit it; and in
// version 3, whether its labels are laid out as they must be and each
// resource's records are alternatives of one result, each for old versions
// of its own. (Version 1 has nothing of the kind to check.)
bool RecordsWellFormed(const Payload& payload);

// Checks the seal of a payload read by ReadPayload, if it has one, in one
// streaming pass over the covered bytes through `buffer` (in chunks of at
// most kMaxTransferChunk). None when there is no seal or it holds; Damaged
// when the digest differs or the seal contradicts the file (a range outside
// it, or not holding the table and every body), when a version-2 payload
// has no seal, or its records are not well formed; CantReadData when a read
// fails. With `mapFile`, the covered bytes are hashed where they lie, in
// read-only views of `file` (CAbstractFile::MapForReading) of at most
// kSealViewSize bytes, with no copy; bytes the file will not map are read.
// Only for a file that nobody may shrink meanwhile: the running patcher's
// own, which the system keeps from being written while it runs.
PayloadError VerifySeal(CAbstractFile& file, const Payload& payload, CTransferBuffer& buffer, bool mapFile = false);

// The most the seal's check maps at a time: room enough in a 32-bit
// address space, and large enough that mapping costs little per byte.
inline constexpr uint32_t kSealViewSize = 64u << 20;

}  // namespace qpx
