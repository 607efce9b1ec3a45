#include "tools/qpxtool/authoring/GameFolder.h"

#include <algorithm>
#include <cstring>

#include "src/archive/LooseFile.h"
#include "src/paths/Paths.h"

namespace qpx {

std::vector<uint8_t> SampleBody(uint32_t seed, uint32_t size) {
  std::vector<uint8_t> body(size);
  uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  for (uint8_t& byte : body) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<uint8_t>(state);
  }
  return body;
}

std::vector<uint8_t> LooseFileImage(std::span<const uint8_t> body) {
  const auto size = static_cast<uint32_t>(body.size());
  std::vector<uint8_t> image(LooseFileLength(size), 0);
  const LooseFileHeader header = MakeLooseFileHeader(size);
  std::memcpy(image.data(), &header, sizeof header);
  std::copy(body.begin(), body.end(), image.begin() + sizeof header);
  return image;
}

void GameFolder::AddResource(uint32_t number, std::span<const uint8_t> body) {
  if (number < kEntryCount) {
    AddEntry(number, body);
  } else {
    AddLooseFile(number - kEntryCount, LooseFileImage(body));
  }
}

void GameFolder::AddEntry(uint32_t number, std::span<const uint8_t> body, uint64_t attributes) {
  const uint64_t offset = SlotLength(dataSize);
  std::vector<uint8_t> slot(body.begin(), body.end());
  slot.resize(SlotLength(body.size()), 0);
  PutData(offset, slot);
  index.at(number) = ArchiveIndexEntry{offset, body.size(), body.size(), attributes};
}

void GameFolder::PutData(uint64_t offset, std::span<const uint8_t> bytes) {
  data.push_back(Piece{offset, std::vector<uint8_t>(bytes.begin(), bytes.end())});
  dataSize = std::max(dataSize, offset + bytes.size());
}

bool WriteWholeFile(CFileSystem& fileSystem, const std::wstring& path, std::span<const uint8_t> bytes) {
  const auto file = fileSystem.Open(path.c_str(), OpenMode_Write | OpenMode_Create);
  if (!file) return false;
  const auto size = static_cast<uint32_t>(bytes.size());
  return bytes.size() <= UINT32_MAX && file->Write(bytes.data(), size) == size;
}

bool ReadWholeFile(CFileSystem& fileSystem, const std::wstring& path, std::vector<uint8_t>& bytes) {
  const auto file = fileSystem.Open(path.c_str(), OpenMode_Read);
  int64_t size = 0;
  if (!file || !file->QuerySize64(size) || size > int64_t{UINT32_MAX}) return false;
  bytes.resize(static_cast<std::size_t>(size));
  return file->Read(bytes.data(), static_cast<uint32_t>(size)) == static_cast<uint32_t>(size);
}

bool GameFolder::Write(CFileSystem& fileSystem, const std::wstring& directory) const {
  const auto in = [&](const wchar_t* name) { return JoinPath(directory.c_str(), name); };

  if (writeIndex) {
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(index.data()),
                                   index.size() * sizeof(ArchiveIndexEntry));
    if (!indexOverride.empty()) bytes = indexOverride;
    if (!WriteWholeFile(fileSystem, in(kIndexFileName), bytes)) return false;
  }

  if (writeData) {
    const auto file = fileSystem.Open(in(kDataFileName).c_str(), OpenMode_Write | OpenMode_Create);
    if (!file || !file->SetSize64(static_cast<int64_t>(dataSize))) return false;
    for (const Piece& piece : data) {
      const auto size = static_cast<uint32_t>(piece.bytes.size());
      if (!file->Seek64(static_cast<int64_t>(piece.offset)) || file->Write(piece.bytes.data(), size) != size) {
        return false;
      }
    }
  }

  if (writeResDirectory) {
    const std::wstring res = in(kLooseDirectoryName);
    if (!fileSystem.CreateDirectory(res.c_str())) return false;
    for (const auto& [looseIndex, content] : looseFiles) {
      if (!WriteWholeFile(fileSystem, LooseFilePath(res, looseIndex), content)) return false;
    }
  }
  return true;
}

GameFolder MakeSampleGame(uint32_t looseFiles) {
  GameFolder game;
  for (uint32_t number = 0; number < kEntryCount; ++number) {
    // Lengths from 1 to 600 bytes, some of them multiples of 32.
    const uint32_t size = 1 + (number * 37) % 600;
    // Every 50th entry may not be replaced in place.
    game.AddEntry(number, SampleBody(number, size), number % 50 == 49 ? 1 : 0);
  }
  for (uint32_t looseIndex = 0; looseIndex < looseFiles && looseIndex < kLooseFileCount; ++looseIndex) {
    const uint32_t size = 100 + looseIndex * 1000;
    game.AddLooseFile(looseIndex, LooseFileImage(SampleBody(kEntryCount + looseIndex, size)));
  }
  return game;
}

}  // namespace qpx
