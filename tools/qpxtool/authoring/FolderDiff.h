#pragma once
// What differs between two versions of a game: the resources in which a
// modified folder (a game folder, or a folder written by unpack) differs
// from an original game folder, with what no patch can do refused. diff
// compares one pair, or each old version with the new one in turn.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "src/filesystem/FileSystem.h"
#include "tools/qpxtool/authoring/BodyList.h"
#include "tools/qpxtool/authoring/GameReader.h"

namespace qpx::tool {

// The modified side: a game folder, or a folder of one file per resource.
class ModifiedFolder {
 public:
  // Throws ToolError (kExitBadInput) naming `role` ("MODIFIED") when `text`
  // is neither.
  ModifiedFolder(CFileSystem& fileSystem, const std::string& text, const std::string& role);

  bool Unpacked() const { return unpacked_; }

  // A game folder's resource as GameReader::LocateFile finds it; in an
  // unpacked folder, its file (the body itself).
  ResourceBytes LocateFile(uint32_t number);

  bool FindLooseBody(ResourceBytes& bytes, std::string& why) const { return game_.FindLooseBody(bytes, why); }

 private:
  CFileSystem& fileSystem_;
  std::wstring directory_;
  GameReader game_;
  bool unpacked_ = false;
  std::unique_ptr<FolderListing> entries_, loose_;  // an unpacked folder's, listed once
};

// One resource that differs: where its new bytes lie, and its old ones.
struct ResourceChange {
  uint32_t number = 0;
  std::wstring newPath;
  FileRange newRange;
  // The old bytes, unless the old side has none the patcher could check
  // (a loose file without a loose-file header: rewritten whole).
  bool oldKnown = true;
  std::wstring oldPath;
  FileRange oldRange;
  uint64_t oldAttributes = 0;  // an entry's
};

struct FolderDifference {
  std::vector<ResourceChange> changes;  // in resource-number order
  std::vector<std::string> refusals;    // what no patch can do, one line a resource
  std::size_t deleted = 0;              // files taken out of an unpacked folder, left alone
};

// Compares every resource of `original` with `modified`, reading a
// megabyte at a time with a progress line. `originalName` and
// `modifiedName` name the two sides in refusals ("ORIGINAL", "MODIFIED").
FolderDifference CompareFolders(GameReader& original, ModifiedFolder& modified, const std::string& originalName,
                                const std::string& modifiedName);

// A loader of a change's old bytes, as a base for its delta.
std::function<std::vector<uint8_t>()> OldBytesOf(CFileSystem& fileSystem, const ResourceChange& change,
                                                 const std::string& name);

}  // namespace qpx::tool
