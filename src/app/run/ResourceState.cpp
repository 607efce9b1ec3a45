#include "app/run/ResourceState.h"

#include <algorithm>

#include "archive/LooseFile.h"
#include "filesystem/SystemError.h"

namespace qpx {
namespace {

// Where the bytes of one resource lie now: an entry's `size` bytes at its
// `offset` in the data file, or a loose file's body after its header. The
// one place that knows it, for inspecting, reading and mapping them.
struct ResourceLocation {
  bool exists = true;    // a loose file: it opened
  bool writable = true;  // a loose file: it opened for writing (when asked)
  uint32_t systemError = 0;  // why it did not open for writing
  ContentState content = ContentState::Known;
  ArchiveIndexEntry entry{};  // an entry's record
  int64_t fileLength = 0;     // a loose file's length
  LooseFileHeader header{};   // a loose file's header
  uint64_t offset = 0;
  uint64_t size = 0;
  std::unique_ptr<CAbstractFile> looseFile;  // open, at its body; null for an entry
};

// Locates resource `number` (below kResourceLimit). A loose file is opened
// for reading, and with `tryWriting` for reading and writing first.
ResourceLocation LocateResource(ResourceArchive& archive, uint32_t number, bool tryWriting) {
  ResourceLocation at;
  if (number < kEntryCount) {
    at.entry = archive.Entries()[number];
    int64_t dataSize = 0;
    if (!archive.QueryDataSize(dataSize)) {
      at.content = ContentState::Unreadable;
    } else if (!EntryLiesInside(at.entry, dataSize)) {
      at.content = ContentState::Outside;
    }
    at.offset = at.entry.offset;
    at.size = at.entry.size;
    return at;
  }
  const uint32_t looseIndex = number - kEntryCount;
  if (tryWriting) {
    at.looseFile = archive.OpenLooseFile(looseIndex, OpenMode_ReadWrite);
    if (!at.looseFile) {
      // Read-only, or not there at all: a file that already holds what the
      // patch would write needs no writing.
      at.writable = false;
      at.systemError = LastSystemError();
    }
  }
  if (!at.looseFile) at.looseFile = archive.OpenLooseFile(looseIndex, OpenMode_Read);
  if (!at.looseFile) {
    at.exists = false;
    return at;
  }
  if (!at.looseFile->QuerySize64(at.fileLength)) {
    at.content = ContentState::Unreadable;
  } else if (!ReadLooseFileHeader(*at.looseFile, at.fileLength, at.header)) {
    at.content = ContentState::Malformed;
  } else {
    at.offset = kLooseBodyOffset;
    at.size = at.header.totalSize;
  }
  return at;
}

// Whether the location names bytes that can be read.
bool Found(const ResourceLocation& at) { return at.exists && at.content == ContentState::Known; }

// Reads the `piece` of the resource's bytes that starts `done` bytes in.
// The pieces of a loose file are read in order from the first.
bool ReadPiece(ResourceArchive& archive, ResourceLocation& at, uint64_t done, std::span<uint8_t> piece) {
  if (!at.looseFile) return archive.ReadData(at.offset + done, piece);
  const auto length = static_cast<uint32_t>(piece.size());
  return piece.empty() || at.looseFile->Read(piece.data(), length) == length;
}

// Hashes the located bytes, read through `chunk` a piece at a time.
bool HashPieces(ResourceArchive& archive, ResourceLocation& at, std::span<uint8_t> chunk, ContentHash& hash) {
  PayloadDigest digest;
  for (uint64_t done = 0; done < at.size;) {
    const auto piece = static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), at.size - done));
    if (!ReadPiece(archive, at, done, chunk.first(piece))) return false;
    digest.Update(chunk.first(piece));
    done += piece;
  }
  hash = digest.Finish();
  return true;
}

bool HoldsBytes(const ResourceState& state, uint64_t size, const ContentHash& hash) {
  return state.content == ContentState::Known && state.size == size && state.hash == hash;
}

}  // namespace

ResourceHolding JudgeResource(const ResourceState& state, const PayloadRecord& record) {
  if (!state.exists) return ResourceHolding::Missing;
  switch (state.content) {
    case ContentState::Unreadable: return ResourceHolding::Unreadable;
    case ContentState::Outside: return ResourceHolding::Outside;
    case ContentState::Malformed: return ResourceHolding::Malformed;
    case ContentState::Known: break;
  }
  if (HoldsBytes(state, record.resultSize, record.resultHash)) {
    return state.exact ? ResourceHolding::Result : ResourceHolding::ResultLaidOutOtherwise;
  }
  if (record.hasBase && HoldsBytes(state, record.baseSize, record.baseHash)) return ResourceHolding::Base;
  return ResourceHolding::Other;
}

ResourceState InspectResource(ResourceArchive& archive, uint32_t number, std::span<uint8_t> chunk) {
  ResourceLocation at = LocateResource(archive, number, /*tryWriting=*/true);
  ResourceState state;
  state.exists = at.exists;
  state.writable = at.writable;
  state.systemError = at.systemError;
  state.content = at.content;
  state.entry = at.entry;
  state.fileLength = at.fileLength;
  if (!Found(at)) return state;
  state.size = at.size;
  if (!HashPieces(archive, at, chunk, state.hash)) {
    state.content = ContentState::Unreadable;
    state.systemError = LastSystemError();
    return state;
  }
  // Exactly what the patcher writes: an entry without attributes, a loose
  // file laid out as the patcher lays it out (read on past the body).
  state.exact = at.looseFile ? LooseFileAsWritten(*at.looseFile, at.fileLength, at.header)
                             : state.entry.attributes == 0;
  return state;
}

bool ReadResourceBytes(ResourceArchive& archive, uint32_t number, std::span<uint8_t> into) {
  ResourceLocation at = LocateResource(archive, number, /*tryWriting=*/false);
  return Found(at) && at.size == into.size() && ReadPiece(archive, at, 0, into);
}

std::unique_ptr<CFileView> MapResourceBytes(ResourceArchive& archive, uint32_t number, uint64_t size,
                                            std::unique_ptr<CAbstractFile>& file) {
  if (size == 0) return nullptr;
  ResourceLocation at = LocateResource(archive, number, /*tryWriting=*/false);
  if (!Found(at) || at.size != size) return nullptr;
  if (!at.looseFile) return archive.MapData(at.offset, size);
  file = std::move(at.looseFile);
  return file->MapForReading(static_cast<int64_t>(at.offset), static_cast<uint32_t>(size));
}

}  // namespace qpx
