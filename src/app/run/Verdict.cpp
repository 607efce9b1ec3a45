#include "src/app/run/Verdict.h"

#include "src/filesystem/SystemError.h"

namespace qpx {
namespace {

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
  ContentDigest digest;
  if (!archive.ReadLocatedWhole(at, chunk, [&](std::span<const uint8_t> piece) { digest.Update(piece); }, state.exact)) {
    state.readable = false;
    state.systemError = LastSystemError();
    return state;
  }
  state.hash = digest.Finish();
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

std::size_t RecordsDone(const ResourceState& state, const Payload& payload, const std::vector<std::size_t>& chain) {
  for (std::size_t k = chain.size(); k-- > 0;) {
    const Verdict holding = Judge(state, payload.records[chain[k]]);
    if (holding == Verdict::AlreadyApplied || holding == Verdict::Rewrite) return k;
  }
  return 0;
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
