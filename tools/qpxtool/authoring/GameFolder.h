#pragma once
// Synthetic game folders: an index DATA0.QPX of 1207 records, a data file
// DATA1.QPX and a folder "res" of loose files, made through the file layer
// so that tests, the sample command and the benchmark never need the game.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "src/archive/ArchiveIndexEntry.h"
#include "src/filesystem/FileSystem.h"

namespace qpx {

// Deterministic bytes for examples and tests: the same (seed, size) always
// gives the same body.
std::vector<uint8_t> SampleBody(uint32_t seed, uint32_t size);

// A loose file as the game stores it: header, body, zeros to 128.
std::vector<uint8_t> LooseFileImage(std::span<const uint8_t> body);

class GameFolder {
 public:
  GameFolder() : index(kEntryCount, ArchiveIndexEntry{}) {}

  // Appends `body` to the data file at its end (raised to a multiple of 32
  // first), zero-fills it to its slot and points entry `number` at it.
  void AddEntry(uint32_t number, std::span<const uint8_t> body, uint64_t attributes = 0);
  // Writes `bytes` at `offset` of the data file; skipped ranges stay sparse.
  void PutData(uint64_t offset, std::span<const uint8_t> bytes);
  // Makes the data file `size` bytes long (never shorter than what was put).
  void SetDataSize(uint64_t size) { dataSize = size; }
  uint64_t DataSize() const { return dataSize; }

  // Resource `number` holding `body`: an entry appended as AddEntry does,
  // or a loose file laid out as the patcher writes it.
  void AddResource(uint32_t number, std::span<const uint8_t> body);

  // A loose file with exactly `content` (any bytes, not only a valid image).
  void AddLooseFile(uint32_t looseIndex, std::vector<uint8_t> content) {
    looseFiles[looseIndex] = std::move(content);
  }

  // Leaves out DATA0.QPX, DATA1.QPX or the res folder when writing.
  bool writeIndex = true;
  bool writeData = true;
  bool writeResDirectory = true;
  // The index is written as these bytes when set (to make bad indexes);
  // clearing `index` writes an empty index file.
  std::vector<uint8_t> indexOverride;

  std::vector<ArchiveIndexEntry> index;

  // Writes the folder's files into `directory`, which must exist.
  bool Write(CFileSystem& fileSystem, const std::wstring& directory) const;

 private:
  struct Piece {
    uint64_t offset;
    std::vector<uint8_t> bytes;
  };
  std::vector<Piece> data;
  uint64_t dataSize = 0;
  std::map<uint32_t, std::vector<uint8_t>> looseFiles;
};

// A small playable sample: every entry holds a body of its own (a few
// with non-zero attributes), and `looseFiles` loose files exist.
GameFolder MakeSampleGame(uint32_t looseFiles = 8);

// Writes `bytes` as the whole new content of `path`. False on any failure.
bool WriteWholeFile(CFileSystem& fileSystem, const std::wstring& path, std::span<const uint8_t> bytes);

// Reads the whole of `path` (up to 4 GiB). False when it cannot be opened
// or read whole.
bool ReadWholeFile(CFileSystem& fileSystem, const std::wstring& path, std::vector<uint8_t>& bytes);

}  // namespace qpx
