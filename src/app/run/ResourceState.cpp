#include "app/run/ResourceState.h"

#include <algorithm>
#include <cstring>

#include "archive/LooseFile.h"
#include "filesystem/SystemError.h"

namespace qpx {
namespace {

// Hashes `size` bytes that `read` delivers a piece at a time.
template <typename Read>
bool HashPieces(uint64_t size, std::span<uint8_t> chunk, Read read, ContentHash& hash) {
  PayloadDigest digest;
  for (uint64_t done = 0; done < size;) {
    const auto piece = static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), size - done));
    if (!read(done, chunk.first(piece))) return false;
    digest.Update(chunk.first(piece));
    done += piece;
  }
  hash = digest.Finish();
  return true;
}

void InspectEntry(ResourceArchive& archive, uint32_t number, std::span<uint8_t> chunk, ResourceState& state) {
  state.entry = archive.Entries()[number];
  int64_t dataSize = 0;
  if (!archive.QueryDataSize(dataSize)) {
    state.content = ContentState::Unreadable;
    return;
  }
  if (!EntryLiesInside(state.entry, dataSize)) {
    state.content = ContentState::Outside;
    return;
  }
  state.size = state.entry.size;
  const uint64_t start = state.entry.offset;
  const bool read = HashPieces(state.size, chunk, [&](uint64_t at, std::span<uint8_t> piece) {
    return archive.ReadData(start + at, piece);
  }, state.hash);
  state.content = read ? ContentState::Known : ContentState::Unreadable;
  if (!read) state.systemError = LastSystemError();
  state.exact = state.entry.attributes == 0;
}

// Whether the rest of `file` from its position, `fill` bytes, is zeros.
bool ZerosFollow(CAbstractFile& file, uint32_t fill) {
  uint8_t bytes[kLooseFileAlignment];
  static constexpr uint8_t kZeros[kLooseFileAlignment] = {};
  return fill <= sizeof bytes && file.Read(bytes, fill) == fill && std::memcmp(bytes, kZeros, fill) == 0;
}

void InspectLooseFile(ResourceArchive& archive, uint32_t looseIndex, std::span<uint8_t> chunk,
                      ResourceState& state) {
  std::unique_ptr<CAbstractFile> file = archive.OpenLooseFile(looseIndex, OpenMode_ReadWrite);
  if (!file) {
    // Read-only, or not there at all: a file that already holds what the
    // patch would write needs no writing.
    state.writable = false;
    state.systemError = LastSystemError();
    file = archive.OpenLooseFile(looseIndex, OpenMode_Read);
    if (!file) {
      state.exists = false;
      return;
    }
  }
  LooseFileHeader header{};
  if (!file->QuerySize64(state.fileLength)) {
    state.content = ContentState::Unreadable;
    return;
  }
  if (!ReadLooseFileHeader(*file, state.fileLength, header)) {
    state.content = ContentState::Malformed;
    return;
  }
  state.size = header.totalSize;
  CAbstractFile& body = *file;
  // The body follows the header: read on from there, piece by piece.
  if (!HashPieces(state.size, chunk, [&](uint64_t, std::span<uint8_t> piece) {
        const auto length = static_cast<uint32_t>(piece.size());
        return body.Read(piece.data(), length) == length;
      }, state.hash)) {
    state.content = ContentState::Unreadable;
    state.systemError = LastSystemError();
    return;
  }
  const LooseFileHeader written = MakeLooseFileHeader(header.totalSize);
  state.exact = std::memcmp(&header, &written, sizeof header) == 0 &&
                static_cast<uint64_t>(state.fileLength) == LooseFileLength(header.totalSize) &&
                ZerosFollow(body, LooseZeroFill(header.totalSize));
}

}  // namespace

ResourceState InspectResource(ResourceArchive& archive, uint32_t number, std::span<uint8_t> chunk) {
  ResourceState state;
  if (number < kEntryCount) {
    InspectEntry(archive, number, chunk, state);
  } else {
    InspectLooseFile(archive, number - kEntryCount, chunk, state);
  }
  return state;
}

bool ReadResourceBytes(ResourceArchive& archive, uint32_t number, std::span<uint8_t> into) {
  if (number < kEntryCount) {
    const ArchiveIndexEntry& entry = archive.Entries()[number];
    int64_t dataSize = 0;
    return entry.size == into.size() && archive.QueryDataSize(dataSize) && EntryLiesInside(entry, dataSize) &&
           archive.ReadData(entry.offset, into);
  }
  const auto file = archive.OpenLooseFile(number - kEntryCount, OpenMode_Read);
  int64_t length = 0;
  LooseFileHeader header{};
  if (!file || !file->QuerySize64(length) || !ReadLooseFileHeader(*file, length, header) ||
      header.totalSize != into.size()) {
    return false;
  }
  const auto size = static_cast<uint32_t>(into.size());
  return into.empty() || file->Read(into.data(), size) == size;
}

std::unique_ptr<CFileView> MapResourceBytes(ResourceArchive& archive, uint32_t number, uint64_t size,
                                            std::unique_ptr<CAbstractFile>& file) {
  if (size == 0) return nullptr;
  if (number < kEntryCount) {
    const ArchiveIndexEntry& entry = archive.Entries()[number];
    int64_t dataSize = 0;
    if (entry.size != size || !archive.QueryDataSize(dataSize) || !EntryLiesInside(entry, dataSize)) return nullptr;
    return archive.MapData(entry.offset, size);
  }
  file = archive.OpenLooseFile(number - kEntryCount, OpenMode_Read);
  int64_t length = 0;
  LooseFileHeader header{};
  if (!file || !file->QuerySize64(length) || !ReadLooseFileHeader(*file, length, header) || header.totalSize != size) {
    return nullptr;
  }
  return file->MapForReading(sizeof header, static_cast<uint32_t>(size));
}

}  // namespace qpx
