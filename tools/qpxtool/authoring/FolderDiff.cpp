#include "tools/qpxtool/authoring/FolderDiff.h"

#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {

ModifiedFolder::ModifiedFolder(CFileSystem& fileSystem, const std::string& text, const std::string& role)
    : fileSystem_(fileSystem), directory_(PathFromText(text)), game_(fileSystem, directory_, text) {
  unpacked_ = !game_.HasIndex() &&
              fileSystem_.KindOf(JoinDirectory(directory_, PathFromText(kUnpackedManifestName)).c_str()) == PathKind::File;
  if (!unpacked_) {
    if (!game_.HasIndex()) {
      Fail(kExitBadInput, role + " " + Quoted(text) + ": is neither a game folder (no DATA0.QPX) nor a folder "
                                                      "written by qpxtool unpack (no " +
                              kUnpackedManifestName + ")");
    }
    game_.OpenArchive();
  }
}

ResourceBytes ModifiedFolder::LocateFile(uint32_t number) {
  if (!unpacked_) return game_.LocateFile(number);
  std::unique_ptr<FolderListing>& listing = number < kEntryCount ? entries_ : loose_;
  if (!listing) {
    listing = std::make_unique<FolderListing>(fileSystem_, JoinDirectory(directory_, number < kEntryCount ? L"entries" : L"loose"));
  }
  ResourceBytes bytes;
  const std::string name = UnpackedFileName(number);
  const DirectoryEntry* const found = listing->Find(PathFromText(name.substr(name.find('/') + 1)));
  bytes.path = JoinDirectory(directory_, PathFromText(name));
  if (found == nullptr) {
    bytes.exists = false;
    return bytes;
  }
  bytes.path = JoinDirectory(listing->Directory(), found->name);
  if (found->kind != PathKind::File) Fail(kExitBadInput, game_.Describe(bytes.path) + ": is not a regular file");
  int64_t size = 0;
  bytes.owned = fileSystem_.Open(bytes.path.c_str(), OpenMode_Read);
  if (!bytes.owned || !bytes.owned->QuerySize64(size)) {
    Fail(kExitBadInput, game_.Describe(bytes.path) + ": cannot be opened for reading");
  }
  bytes.file = bytes.owned.get();
  bytes.size = static_cast<uint64_t>(size);
  return bytes;
}

FolderDifference CompareFolders(GameReader& original, ModifiedFolder& modified, const std::string& originalName,
                                const std::string& modifiedName) {
  FolderDifference difference;
  CopyBuffer ours, theirs;
  // What is read of the original: every entry's bytes and every loose file whole.
  Progress progress("diff", original.TotalBytes());
  for (uint32_t number = 0; number < kResourceLimit; ++number) {
    const std::string name = TargetName(number);
    ResourceBytes before = original.LocateFile(number);
    ResourceBytes after = modified.LocateFile(number);
    progress.Advance(before.exists ? before.size : 0);
    const bool loose = number >= kEntryCount;
    std::string why;
    if (!after.exists) {
      // A file taken out of an unpacked folder leaves its resource alone;
      // it counts when unpack would have written it.
      if (modified.Unpacked()) {
        if (before.exists && (!loose || original.FindLooseBody(before, why)) && before.size != 0) ++difference.deleted;
      } else if (before.exists) {
        difference.refusals.push_back(name + " is in " + originalName + " but not in " + modifiedName +
                                      ": the patcher never deletes files");
      }
      continue;
    }
    if (!before.exists) {
      difference.refusals.push_back(name + " is in " + modifiedName + " but not in " + originalName +
                                    ": the patcher never creates files");
      continue;
    }
    const auto same = [&](const ResourceBytes& a, const ResourceBytes& b) {
      return a.size == b.size && (a.size == 0 || SameBytes(*a.file, a.offset, name + " of " + originalName, *b.file,
                                                            b.offset, name + " of " + modifiedName, a.size, ours,
                                                            theirs));
    };
    bool differs = false;
    // Whether the original's bytes of the resource can be told: a loose
    // file without a header has none the patcher could check a base against.
    bool originalKnown = true;
    if (!loose) {
      differs = !same(before, after);
      // Applying a body clears an entry's attributes: a plain entry in the
      // modified folder where the original's has attributes needs its body
      // applied. (An unpacked folder keeps no attributes.)
      if (!modified.Unpacked() && after.attributes == 0 && before.attributes != 0 && before.size != 0) differs = true;
    } else {
      // A loose file is parsed only where the two differ: one that is the
      // same on both sides is no difference, whatever it holds.
      if (!modified.Unpacked() && same(before, after)) continue;
      if (!modified.Unpacked() && !modified.FindLooseBody(after, why)) {
        difference.refusals.push_back(name + " of " + modifiedName + ": " + Quoted(PathToText(after.path)) + why +
                                      "; a patch writes a loose file from its body");
        continue;
      }
      // An original without a body is rewritten whole by the modified one's.
      originalKnown = original.FindLooseBody(before, why);
      differs = !originalKnown || !same(before, after);
    }
    if (!differs) continue;

    if (!modified.Unpacked() && after.attributes != 0) {
      difference.refusals.push_back(name + " differs, but " + modifiedName + "'s has attributes " +
                                    std::to_string(after.attributes) +
                                    ": a patch writes plain entries only (attributes 0)");
    } else if (after.size == 0) {
      difference.refusals.push_back(name + " is empty in " + modifiedName + ": a patch cannot make a resource empty");
    } else if (loose && after.size > kLooseMaxBodySize) {
      difference.refusals.push_back(name + " has " + Grouped(after.size) + " bytes in " + modifiedName +
                                    ": a loose file holds at most " + Grouped(kLooseMaxBodySize));
    } else {
      difference.changes.push_back(ResourceChange{number, after.path, FileRange{after.offset, after.size},
                                                  originalKnown, before.path, FileRange{before.offset, before.size},
                                                  loose ? 0 : before.attributes});
    }
  }
  return difference;
}

std::function<std::vector<uint8_t>()> OldBytesOf(CFileSystem& fileSystem, const ResourceChange& change,
                                                 const std::string& name) {
  if (!change.oldKnown) return {};
  const FileRange was = change.oldRange;
  const std::wstring wasIn = change.oldPath;
  return [&fileSystem, was, wasIn, name] { return ReadWhole(fileSystem, wasIn, was.offset, was.size, name); };
}

}  // namespace qpx::tool
