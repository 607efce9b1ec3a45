#pragma once
// A game folder opened for reading only: its index, its data file and the
// paths of its loose files. Never opens anything for writing.

#include <memory>
#include <string>
#include <vector>

#include "archive/ArchiveIndexEntry.h"
#include "filesystem/FileSystem.h"

namespace qpx::tool {

class GameReader {
 public:
  // Throws ToolError (kExitBadInput) unless `directory` is a folder.
  GameReader(CFileSystem& fileSystem, const std::wstring& directory, const std::string& directoryText);

  // Loads DATA0.QPX (exactly 1207 records) and opens DATA1.QPX, once.
  // Throws ToolError (kExitBadInput) when either cannot be read.
  void OpenArchive();
  const std::vector<ArchiveIndexEntry>& Entries() const { return entries_; }
  CAbstractFile& Data() { return *data_; }
  int64_t DataSize() const { return dataSize_; }

  std::wstring IndexPath() const;
  std::wstring DataPath() const;
  std::wstring LoosePath(uint32_t looseIndex) const;
  // How a file of the folder is named in messages.
  std::string Describe(const std::wstring& path) const;

 private:
  CFileSystem& fileSystem_;
  std::wstring directory_;
  std::string directoryText_;
  bool opened_ = false;
  std::vector<ArchiveIndexEntry> entries_;
  std::unique_ptr<CAbstractFile> data_;
  int64_t dataSize_ = 0;
};

}  // namespace qpx::tool
