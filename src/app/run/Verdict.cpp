#include "app/run/Verdict.h"

#include <algorithm>

#include "archive/LooseFile.h"
#include "filesystem/SystemError.h"

namespace qpx {
namespace {

// Hashes the located bytes, read through `chunk` a piece at a time.
bool HashPieces(ResourceArchive& archive, ResourceLocation& at, std::span<uint8_t> chunk, ContentHash& hash) {
  PayloadDigest digest;
  for (uint64_t done = 0; done < at.size;) {
    const auto piece = static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), at.size - done));
    if (!archive.ReadLocated(at, done, chunk.first(piece))) return false;
    digest.Update(chunk.first(piece));
    done += piece;
  }
  hash = digest.Finish();
  return true;
}

bool HoldsBytes(const ResourceState& state, uint64_t size, const ContentHash& hash) {
  return state.Known() && state.size == size && state.hash == hash;
}

}  // namespace

ResourceState InspectResource(ResourceArchive& archive, uint32_t number, std::span<uint8_t> chunk) {
  ResourceLocation at = archive.Locate(number, /*tryWriting=*/true);
  ResourceState state;
  state.exists = at.exists;
  state.writable = at.writable;
  state.readable = at.readable;
  state.inside = at.inside;
  state.hasHeader = at.hasHeader;
  state.systemError = at.systemError;
  state.entry = at.entry;
  state.fileLength = at.fileLength;
  if (!at.Found()) return state;
  state.size = at.size;
  if (!HashPieces(archive, at, chunk, state.hash)) {
    state.readable = false;
    state.systemError = LastSystemError();
    return state;
  }
  // Exactly what the patcher writes: an entry without attributes, a loose
  // file laid out as the patcher lays it out (read on past the body).
  state.exact = at.looseFile ? LooseFileAsWritten(*at.looseFile, at.fileLength, at.header)
                             : state.entry.attributes == 0;
  return state;
}

Verdict Judge(const ResourceState& state, const PayloadRecord& record) {
  if (!state.exists) return Verdict::Missing;
  if (!state.readable) return Verdict::Unreadable;
  if (!state.inside) return Verdict::OutsideData;
  if (!state.hasHeader) return Verdict::Malformed;
  if (HoldsBytes(state, record.resultSize, record.resultHash)) {
    return state.exact ? Verdict::AlreadyApplied : Verdict::Rewrite;
  }
  if (record.hasBase && HoldsBytes(state, record.baseSize, record.baseHash)) return Verdict::Base;
  return Verdict::AnotherVersion;
}

Verdict TargetVerdict(const PayloadRecord& record) {
  if (record.Skipped()) return Verdict::Skipped;
  if (record.resourceNumber >= kResourceLimit) return Verdict::OutOfRange;
  return record.resultSize > MaxBodySize(record.resourceNumber) ? Verdict::TooLarge : Verdict::Write;
}

Verdict RunVerdict(Verdict holding, const PayloadRecord& record, const ResourceState& state) {
  switch (holding) {
    case Verdict::Missing:
    case Verdict::Unreadable:
    case Verdict::AlreadyApplied: return holding;
    case Verdict::Base:
    case Verdict::Rewrite: break;
    default:
      if (record.hasBase) return holding;
      break;
  }
  if (!state.writable) return Verdict::NotWritable;
  return holding == Verdict::Rewrite ? Verdict::Rewrite : Verdict::Write;
}

}  // namespace qpx
