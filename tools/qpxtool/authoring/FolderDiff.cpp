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
  if (unpacked_) {
    // Every file of the tree is a resource's, as pack takes them: one it
    // cannot place would otherwise be passed over without a word.
    std::vector<std::string> refusals;
    for (const bool loose : {false, true}) {
      const std::wstring folder = JoinDirectory(directory_, loose ? L"loose" : L"entries");
      if (fileSystem_.KindOf(folder.c_str()) == PathKind::Directory) {
        PlaceTreeFiles(fileSystem_, folder, loose, refusals);
      }
    }
    if (!refusals.empty()) {
      FailWithRefusals(role + " " + Quoted(text) + ": holds files that are no resource's; rename or remove them:",
                       refusals, 20);
    }
  } else {
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

namespace {

// One comparison of two folders, a resource at a time.
class FolderComparison {
 public:
  FolderComparison(GameReader& original, ModifiedFolder& modified, const std::string& originalName,
                   const std::string& modifiedName)
      : original_(original), modified_(modified), originalName_(originalName), modifiedName_(modifiedName) {}

  void Compare(uint32_t number, ResourceBytes& before, ResourceBytes& after) {
    const std::string name = TargetName(number);
    if (!after.exists || !before.exists) return OnOneSideOnly(number, before, after);
    bool originalKnown = true;
    if (!Differs(number, before, after, originalKnown)) return;
    const bool loose = number >= kEntryCount;
    if (!modified_.Unpacked() && after.attributes != 0) {
      Refuse(name + " differs, but " + modifiedName_ + "'s has attributes " + std::to_string(after.attributes) +
             ": a patch writes plain entries only (attributes 0)");
    } else if (after.size == 0) {
      Refuse(name + " is empty in " + modifiedName_ + ": a patch cannot make a resource empty");
    } else if (loose && after.size > kLooseMaxBodySize) {
      Refuse(name + " has " + Grouped(after.size) + " bytes in " + modifiedName_ + ": a loose file holds at most " +
             Grouped(kLooseMaxBodySize));
    } else {
      difference_.changes.push_back(ResourceChange{number, after.path, FileRange{after.offset, after.size},
                                                   originalKnown, before.path, FileRange{before.offset, before.size},
                                                   loose ? 0 : before.attributes});
    }
  }

  FolderDifference Take() { return std::move(difference_); }

 private:
  void Refuse(std::string why) { difference_.refusals.push_back(std::move(why)); }

  // A resource on one side only: refused, but for a file taken out of an
  // unpacked folder, which leaves its resource alone (it counts when
  // unpack would have written it).
  void OnOneSideOnly(uint32_t number, ResourceBytes& before, const ResourceBytes& after) {
    const std::string name = TargetName(number);
    std::string why;
    if (after.exists) {
      Refuse(name + " is in " + modifiedName_ + " but not in " + originalName_ + ": the patcher never creates files");
    } else if (modified_.Unpacked()) {
      const bool loose = number >= kEntryCount;
      if (before.exists && (!loose || original_.FindLooseBody(before, why)) && before.size != 0) ++difference_.deleted;
    } else if (before.exists) {
      Refuse(name + " is in " + originalName_ + " but not in " + modifiedName_ + ": the patcher never deletes files");
    }
  }

  bool Same(uint32_t number, const ResourceBytes& a, const ResourceBytes& b) {
    const std::string name = TargetName(number);
    return a.size == b.size && (a.size == 0 || SameBytes(*a.file, a.offset, name + " of " + originalName_, *b.file,
                                                          b.offset, name + " of " + modifiedName_, a.size, ours_,
                                                          theirs_));
  }

  // Whether a resource on both sides differs. `originalKnown` says whether
  // the original's bytes of it can be told: a loose file without a header
  // has none the patcher could check a base against. A modified loose file
  // without a header is refused (and differs not).
  bool Differs(uint32_t number, ResourceBytes& before, ResourceBytes& after, bool& originalKnown) {
    if (number < kEntryCount) {
      // Applying a body clears an entry's attributes: a plain entry in the
      // modified folder where the original's has attributes needs its body
      // applied. (An unpacked folder keeps no attributes.)
      return !Same(number, before, after) ||
             (!modified_.Unpacked() && after.attributes == 0 && before.attributes != 0 && before.size != 0);
    }
    // A loose file is parsed only where the two differ: one that is the
    // same on both sides is no difference, whatever it holds.
    std::string why;
    if (!modified_.Unpacked() && Same(number, before, after)) return false;
    if (!modified_.Unpacked() && !modified_.FindLooseBody(after, why)) {
      Refuse(TargetName(number) + " of " + modifiedName_ + ": " + Quoted(PathToText(after.path)) + why +
             "; a patch writes a loose file from its body");
      return false;
    }
    // An original without a body is rewritten whole by the modified one's.
    originalKnown = original_.FindLooseBody(before, why);
    return !originalKnown || !Same(number, before, after);
  }

  GameReader& original_;
  ModifiedFolder& modified_;
  const std::string& originalName_;
  const std::string& modifiedName_;
  FolderDifference difference_;
  CopyBuffer ours_, theirs_;
};

}  // namespace

FolderDifference CompareFolders(GameReader& original, ModifiedFolder& modified, const std::string& originalName,
                                const std::string& modifiedName) {
  FolderComparison comparison(original, modified, originalName, modifiedName);
  // What is read of the original: every entry's bytes and every loose file whole.
  Progress progress("diff", original.TotalBytes());
  for (uint32_t number = 0; number < kResourceLimit; ++number) {
    ResourceBytes before = original.LocateFile(number);
    ResourceBytes after = modified.LocateFile(number);
    progress.Advance(before.exists ? before.size : 0);
    comparison.Compare(number, before, after);
  }
  return comparison.Take();
}

std::function<std::vector<uint8_t>()> OldBytesOf(CFileSystem& fileSystem, const ResourceChange& change,
                                                 const std::string& name) {
  if (!change.oldKnown) return {};
  const FileRange was = change.oldRange;
  const std::wstring wasIn = change.oldPath;
  return [&fileSystem, was, wasIn, name] { return ReadWhole(fileSystem, wasIn, was.offset, was.size, name); };
}

}  // namespace qpx::tool
