#pragma once
// A game folder opened for reading only: its index, its data file and the
// paths of its loose files. Never opens anything for writing.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "src/app/payload/PatchPayload.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/ResourceArchive.h"
#include "src/filesystem/FileSystem.h"
#include "tools/qpxtool/authoring/FileSystem_DryRun.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"

namespace qpx::tool {

// Where the bytes of one resource lie, as extract reads them: an entry's
// `size` bytes at its `offset` in DATA1.QPX, or a loose file's body after its
// 2048-byte header, as long as the header says.
struct ResourceBytes {
  bool exists = true;       // false: a loose file that is not there
  std::wstring path;        // the file that holds the bytes
  CAbstractFile* file = nullptr;  // open on `path` for reading; null when missing
  uint64_t offset = 0;
  uint64_t size = 0;
  uint64_t attributes = 0;  // an entry's; 0 for loose files
  std::unique_ptr<CAbstractFile> owned;  // a loose file's, opened for this
};

// The entries of one folder, listed once, and found by name as the file
// layer finds a name: as spelled, else its one match in another case of
// letters. A folder that cannot be listed holds nothing.
class FolderListing {
 public:
  FolderListing(CFileSystem& fileSystem, const std::wstring& directory);
  // The entry named `name`, or null when there is none.
  const DirectoryEntry* Find(const std::wstring& name) const;
  const std::wstring& Directory() const { return directory_; }

 private:
  std::wstring directory_;
  std::vector<DirectoryEntry> entries_;
  std::map<std::wstring, std::size_t> exact_;               // name -> entry
  std::map<std::wstring, std::vector<std::size_t>> folded_;  // name in capitals -> entries
};

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

  // Finds the bytes of resource `number` (below kResourceLimit). Throws
  // ToolError (kExitBadInput) naming the resource when its index record
  // points past the end of DATA1.QPX, or its loose file cannot be read or
  // has no loose-file header.
  ResourceBytes Locate(uint32_t number);

  // As Locate, but a loose file is taken whole, as it lies (from byte 0, its
  // length), and its header is not looked at. Loose files are found in one
  // listing of "res"; what is no regular file there counts as missing.
  ResourceBytes LocateFile(uint32_t number);

  // The bytes LocateFile finds in the whole folder: every entry's size and
  // every loose file's length.
  uint64_t TotalBytes();

  // Narrows a loose file found by LocateFile to its body, after its header.
  // False, with the reason, when it has no loose-file header or the header
  // claims more bytes than the file holds.
  bool FindLooseBody(ResourceBytes& bytes, std::string& why) const;

  // The archive as the patcher would open it in this folder, on a view of
  // the folder that writes nothing (CFileSystem_DryRun): its files opened as
  // the patcher asks (AsAsked: so that one it could not write fails here
  // too, and its writes are recorded) or for reading alone (ReadOnly).
  // Opened at the first call, with that call's access. Throws ToolError
  // (kExitBadInput) with `refusal` when the patcher could not open it.
  ResourceArchive& PatcherView(DryRunAccess access, const std::string& refusal);
  // The view the patcher's archive runs on, once PatcherView opened it.
  CFileSystem_DryRun& PatcherFiles() { return *view_; }

  // Compares resource record.resourceNumber with the body of a version-1
  // record, which names no hash: an entry by its index record and its bytes
  // in DATA1.QPX, a loose file by its length, header, body and zero fill,
  // each as the patcher writes them. Empty when the folder holds exactly
  // that body; otherwise what differs.
  std::string CompareWithBody(CAbstractFile& patch, const PayloadRecord& record);

  // Whether DATA0.QPX is there: the folder is a game folder.
  bool HasIndex() const;

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
  std::unique_ptr<FolderListing> res_;  // listed at the first loose file
  std::unique_ptr<CFileSystem_DryRun> view_;  // under archive_, which it outlives
  std::unique_ptr<ResourceArchive> archive_;
  std::unique_ptr<CopyBuffer> ours_, theirs_;  // for CompareWithBody
};

}  // namespace qpx::tool
