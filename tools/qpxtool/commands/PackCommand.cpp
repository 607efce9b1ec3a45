// qpxtool pack: a game folder (DATA0.QPX, DATA1.QPX, res) made from a tree of
// resource files as unpack writes it, or from such a tree's manifest: the
// inverse of unpack.

#include <cstring>
#include <map>
#include <vector>

#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "src/paths/Paths.h"
#include "tools/qpxtool/authoring/BodyList.h"
#include "tools/qpxtool/commands/CommandLine.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/commands/ToolJson.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

// A file that becomes one resource of the game.
struct PackSource {
  std::wstring path;
  std::string origin;  // where it was named, for messages
  uint64_t size = 0;
  uint64_t attributes = 0;
  bool present = false;
};

// An entry that unpack names in a comment only, because it has attributes
// a patch would not keep: "# 49 entries/00049.bin  (attributes 1: ...".
struct AttributedEntry {
  std::string file;
  uint64_t attributes = 0;
};

bool ParseDigits(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

std::map<uint32_t, AttributedEntry> AttributedEntries(std::string_view text) {
  static constexpr std::string_view kMark = "  (attributes ";
  std::map<uint32_t, AttributedEntry> found;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.starts_with("# ")) continue;
    line.remove_prefix(2);
    const std::size_t blank = line.find(' ');
    const std::size_t mark = line.find(kMark);
    uint32_t number = 0;
    if (blank == std::string_view::npos || mark == std::string_view::npos || mark <= blank ||
        !ParseDecimal(line.substr(0, blank), number) || number >= kEntryCount) {
      continue;
    }
    const std::string_view rest = line.substr(mark + kMark.size());
    uint64_t attributes = 0;
    if (!ParseDigits(rest.substr(0, rest.find(':')), attributes) || attributes == 0) continue;
    found[number] = AttributedEntry{std::string(line.substr(blank + 1, mark - blank - 1)), attributes};
  }
  return found;
}

class Packer {
 public:
  Packer(CFileSystem& fileSystem, const std::string& treeText)
      : fileSystem_(fileSystem), tree_(WithoutTrailingSeparators(PathFromText(treeText))), treeText_(treeText),
        sources_(kResourceLimit) {}

  // Finds every resource's file: in the tree's folders, or where its
  // manifest names them. Refuses (bad input) whatever cannot be packed.
  void Gather() {
    switch (fileSystem_.KindOf(tree_.c_str())) {
      case PathKind::Missing: Fail(kExitBadInput, "TREE " + Quoted(treeText_) + ": no such file or folder");
      case PathKind::Directory: GatherFolder(); break;
      case PathKind::File: GatherManifest(); break;
      default: Fail(kExitBadInput, "TREE " + Quoted(treeText_) + ": is neither a folder nor a manifest");
    }
    if (!refusals_.empty()) {
      FailWithRefusals("TREE " + Quoted(treeText_) + ": no game folder can be made of it:", refusals_, 20);
    }
  }

  const std::wstring& Tree() const { return tree_; }

  // Writes the game folder into `directory` (which exists and is empty),
  // every file flushed to the disk.
  void Write(const std::wstring& directory) {
    uint64_t total = 0;
    for (const PackSource& source : sources_) total += source.present ? source.size : 0;
    Progress progress("pack", total);
    CopyBuffer buffer;

    // The bodies back to back in number order, each in a slot raised to a
    // multiple of 32, as the game lays them out.
    std::vector<ArchiveIndexEntry> index(kEntryCount, ArchiveIndexEntry{});
    {
      const std::wstring path = JoinDirectory(directory, kDataFileName);
      const auto data = NewFile(path);
      uint64_t offset = 0;
      for (uint32_t number = 0; number < kEntryCount; ++number) {
        const PackSource& source = sources_[number];
        if (!source.present || source.size == 0) continue;
        index[number] = ArchiveIndexEntry{offset, source.size, source.size, source.attributes};
        Copy(source, *data, path, buffer);
        WriteZeros(*data, SlotLength(source.size) - source.size, path);
        offset += SlotLength(source.size);
        progress.Advance(source.size);
      }
      if (!data->Flush()) Fail(kExitFailedCheck, Quoted(PathToText(path)) + ": cannot be flushed to the disk");
    }
    {
      const std::wstring path = JoinDirectory(directory, kIndexFileName);
      const auto file = NewFile(path);
      const auto length = static_cast<uint32_t>(index.size() * sizeof(ArchiveIndexEntry));
      if (file->Write(index.data(), length) != length) {
        Fail(kExitFailedCheck, Quoted(PathToText(path)) + ": writing failed (disk full?)");
      }
      if (!file->Flush()) Fail(kExitFailedCheck, Quoted(PathToText(path)) + ": cannot be flushed to the disk");
    }

    // Each loose file: its header, its body, zeros to a multiple of 128.
    const std::wstring res = JoinDirectory(directory, kLooseDirectoryName);
    if (!fileSystem_.CreateDirectory(res.c_str())) Fail(kExitFailedCheck, Quoted(PathToText(res)) + ": cannot be made");
    for (uint32_t number = kEntryCount; number < kResourceLimit; ++number) {
      const PackSource& source = sources_[number];
      if (!source.present) continue;
      const std::wstring path = LooseFilePath(res, number - kEntryCount);
      const auto file = NewFile(path);
      const auto size = static_cast<uint32_t>(source.size);
      const LooseFileHeader header = MakeLooseFileHeader(size);
      if (file->Write(&header, sizeof header) != sizeof header) {
        Fail(kExitFailedCheck, Quoted(PathToText(path)) + ": writing failed (disk full?)");
      }
      Copy(source, *file, path, buffer);
      WriteZeros(*file, LooseZeroFill(size), path);
      if (!file->Flush()) Fail(kExitFailedCheck, Quoted(PathToText(path)) + ": cannot be flushed to the disk");
      progress.Advance(source.size);
    }
    FlushFolder(fileSystem_, res, Quoted(PathToText(res)));
  }

  // The names the game folder will hold, relative to it, each folder after
  // what it holds (for InterruptibleFolder).
  std::vector<std::wstring> Contents() const {
    std::vector<std::wstring> contents{kIndexFileName, kDataFileName};
    for (uint32_t number = kEntryCount; number < kResourceLimit; ++number) {
      if (sources_[number].present) contents.push_back(LooseFilePath(kLooseDirectoryName, number - kEntryCount));
    }
    contents.push_back(kLooseDirectoryName);
    return contents;
  }

  std::size_t Count(bool loose) const {
    std::size_t count = 0;
    for (uint32_t number = loose ? kEntryCount : 0; number < (loose ? kResourceLimit : kEntryCount); ++number) {
      count += sources_[number].present ? 1 : 0;
    }
    return count;
  }
  std::size_t Attributed() const {
    std::size_t count = 0;
    for (const PackSource& source : sources_) count += source.attributes != 0 ? 1 : 0;
    return count;
  }
  uint64_t DataSize() const {
    uint64_t size = 0;
    for (uint32_t number = 0; number < kEntryCount; ++number) size += SlotLength(sources_[number].size);
    return size;
  }

 private:
  void GatherFolder() {
    bool any = false;
    for (const bool loose : {false, true}) {
      const std::wstring folder = JoinDirectory(tree_, loose ? L"loose" : L"entries");
      if (fileSystem_.KindOf(folder.c_str()) != PathKind::Directory) continue;
      any = true;
      for (const TreeFile& file : PlaceTreeFiles(fileSystem_, folder, loose, refusals_)) {
        Take(file.number, file.path, Quoted(PathToText(file.path)), file.size);
      }
    }
    if (!any) {
      Fail(kExitBadInput, "TREE " + Quoted(treeText_) +
                              ": holds neither entries/ nor loose/; give a folder written by qpxtool unpack, or its "
                              "manifest");
    }
    // The entries unpack kept out of its manifest keep their attributes.
    std::string manifest;
    const std::wstring manifestPath = JoinDirectory(tree_, PathFromText(kUnpackedManifestName));
    if (fileSystem_.KindOf(manifestPath.c_str()) == PathKind::File && ReadSmallFile(fileSystem_, manifestPath, kManifestLimit, manifest)) {
      for (const auto& [number, entry] : AttributedEntries(manifest)) {
        if (sources_[number].present) sources_[number].attributes = entry.attributes;
      }
    }
  }

  void GatherManifest() {
    std::vector<BodySource> bodies;
    ReadManifest(fileSystem_, tree_, treeText_, bodies);
    std::string text;
    ReadSmallFile(fileSystem_, tree_, kManifestLimit, text);  // read whole just now
    const std::wstring directory = DirectoryOf(tree_);
    for (const auto& [number, entry] : AttributedEntries(text)) {
      BodySource body;
      body.resourceNumber = number;
      body.path = directory + PathFromText(entry.file);
      body.origin = "manifest " + Quoted(treeText_) + ": the comment on entry " + std::to_string(number);
      bodies.push_back(std::move(body));
      attributes_[number] = entry.attributes;
    }
    // Its files lie beside it or below: a manifest of a tree names no file
    // elsewhere.
    const std::wstring folder = directory.empty() ? L"." : WithoutTrailingSeparators(directory);
    for (const BodySource& body : bodies) {
      const std::string name = body.origin + ": " + Quoted(PathToText(body.path));
      const PathKind kind = fileSystem_.KindOf(body.path.c_str());
      if (kind != PathKind::File) {
        refusals_.push_back(name + (kind == PathKind::Missing ? " does not exist" : " is not a regular file"));
        continue;
      }
      if (!fileSystem_.LiesWithin(body.path.c_str(), folder.c_str())) {
        refusals_.push_back(name + " lies outside the manifest's folder");
        continue;
      }
      int64_t size = 0;
      const auto file = fileSystem_.Open(body.path.c_str(), OpenMode_Read);
      if (!file || !file->QuerySize64(size)) {
        refusals_.push_back(name + " cannot be opened for reading");
        continue;
      }
      Take(body.resourceNumber, body.path, name, static_cast<uint64_t>(size));
      if (const auto found = attributes_.find(body.resourceNumber); found != attributes_.end()) {
        sources_[body.resourceNumber].attributes = found->second;
      }
    }
  }

  void Take(uint32_t number, const std::wstring& path, const std::string& origin, uint64_t size) {
    PackSource& source = sources_[number];
    if (source.present) {
      refusals_.push_back(TargetName(number) + " is named twice: by " + source.origin + " and by " + origin);
      return;
    }
    if (number >= kEntryCount && size > kLooseMaxBodySize) {
      refusals_.push_back(origin + " has " + Grouped(size) + " bytes: a loose file holds at most " +
                          Grouped(kLooseMaxBodySize));
      return;
    }
    // The data file's slots must add up to a length a file can have.
    if (number < kEntryCount && (size > kMaxDataSize || SlotLength(size) > kMaxDataSize - dataSize_)) {
      refusals_.push_back(origin + " has " + Grouped(size) + " bytes: with the entries before it, DATA1.QPX would "
                                                             "pass " + Grouped(kMaxDataSize) + " bytes");
      return;
    }
    if (number < kEntryCount) dataSize_ += SlotLength(size);
    source = PackSource{path, origin, size, 0, true};
  }

  std::unique_ptr<CAbstractFile> NewFile(const std::wstring& path) {
    // Windows lets an interruption delete it while it is open.
    auto file = fileSystem_.Open(path.c_str(), OpenMode_Write | OpenMode_Create | OpenMode_New | OpenMode_ShareDelete);
    if (!file) Fail(kExitFailedCheck, Quoted(PathToText(path)) + ": cannot be created");
    return file;
  }

  void Copy(const PackSource& source, CAbstractFile& target, const std::wstring& targetPath, CopyBuffer& buffer) {
    const auto file = fileSystem_.Open(source.path.c_str(), OpenMode_Read);
    int64_t size = 0;
    if (!file || !file->QuerySize64(size) || static_cast<uint64_t>(size) != source.size) {
      Fail(kExitFailedCheck, source.origin + ": changed while the game folder was being made");
    }
    switch (CopyBytes(*file, 0, source.size, target, buffer.Span())) {
      case CopyResult::Done: break;
      case CopyResult::ReadShort: Fail(kExitFailedCheck, source.origin + ": reading failed part way");
      case CopyResult::WriteShort: Fail(kExitFailedCheck, Quoted(PathToText(targetPath)) + ": writing failed (disk full?)");
    }
  }

  static void WriteZeros(CAbstractFile& file, uint64_t count, const std::wstring& path) {
    static constexpr uint8_t kZeros[128] = {};
    const auto length = static_cast<uint32_t>(count);
    if (count > sizeof kZeros || file.Write(kZeros, length) != length) {
      Fail(kExitFailedCheck, Quoted(PathToText(path)) + ": writing failed (disk full?)");
    }
  }

  // The largest DATA1.QPX made: its offsets are signed 64-bit in the file layer.
  static constexpr uint64_t kMaxDataSize = uint64_t{INT64_MAX} & ~uint64_t{31};

  CFileSystem& fileSystem_;
  std::wstring tree_;
  std::string treeText_;
  std::vector<PackSource> sources_;  // by resource number
  std::map<uint32_t, uint64_t> attributes_;
  std::vector<std::string> refusals_;
  uint64_t dataSize_ = 0;
};

}  // namespace

int RunPack(CFileSystem& fileSystem, const PackOptions& options) {
  Packer packer(fileSystem, options.tree);
  const std::wstring out = WithoutTrailingSeparators(PathFromText(options.gameDirectory));
  const std::string outName = "GAMEDIR " + Quoted(options.gameDirectory);
  const std::wstring treeFolder = [&] {
    if (fileSystem.KindOf(packer.Tree().c_str()) != PathKind::File) return packer.Tree();
    const std::wstring directory = DirectoryOf(packer.Tree());
    return directory.empty() ? std::wstring(L".") : WithoutTrailingSeparators(directory);
  }();
  RefuseOutputOverInputs(fileSystem, out, outName, {{treeFolder, "TREE " + Quoted(options.tree), true}});
  RefuseUnfitOutputFolder(fileSystem, out, outName);
  if (options.json) StartJsonReport();
  packer.Gather();

  // Made in a fresh folder beside GAMEDIR and renamed into place once every
  // file in it is on the disk: GAMEDIR is never seen half made.
  const std::wstring parent = DirectoryOf(out);
  InterruptibleFolder fresh;
  if (!fresh.Create(fileSystem, parent + L"." + out.substr(parent.size()) + L".qpxtool-", packer.Contents())) {
    Fail(kExitFailedCheck, "cannot make a folder beside " + Quoted(options.gameDirectory));
  }
  try {
    packer.Write(fresh.Path());
    FlushFolder(fileSystem, fresh.Path(), Quoted(PathToText(fresh.Path())));
    if (!fileSystem.RenameDirectory(fresh.Path().c_str(), out.c_str())) {
      Fail(kExitFailedCheck, "cannot rename " + Quoted(PathToText(fresh.Path())) + " to " +
                                 Quoted(options.gameDirectory));
    }
  } catch (...) {
    fresh.RemoveNow();
    throw;
  }
  FlushFolder(fileSystem, parent, "the folder of " + Quoted(options.gameDirectory));

  const std::size_t entries = packer.Count(false), loose = packer.Count(true), attributed = packer.Attributed();
  Out("qpxtool pack: made " + Quoted(options.gameDirectory) + " from " + Quoted(options.tree) + ": " +
      std::to_string(entries) + " of " + Counted(kEntryCount, "entry", "entries") +
      (attributed != 0 ? " (" + std::to_string(attributed) + " with attributes)" : "") + ", " +
      Counted(loose, "loose file", "loose files") + "; DATA1.QPX " + Grouped(packer.DataSize()) + " bytes");
  if (options.json) {
    Json report = JsonDocument("pack");
    report["tree"] = options.tree;
    report["game"] = options.gameDirectory;
    report["entries"] = entries;
    report["attributed"] = attributed;
    report["looseFiles"] = loose;
    report["dataBytes"] = packer.DataSize();
    WriteJsonReport(report);
  }
  return kExitSuccess;
}

namespace {

CLI::App* AddPack(CLI::App& app, PackOptions& options) {
  CLI::App* const command = app.add_subcommand(
      "pack", "Make a game folder GAMEDIR from TREE, a folder written by unpack (or its manifest): unpack's inverse.");
  command->add_option("TREE", options.tree, "a folder written by unpack, or a manifest")->required();
  command->add_option("GAMEDIR", options.gameDirectory, "a new or empty folder")->required();
  command->add_flag("--json", options.json, kJsonHelp);
  command->footer(
      "From a folder: every file entries/NNNNN.bin (entry N) and loose/DNNNNN.bin (res\\DNNNNN.bin); the\n"
      "entries its patch.manifest names in comments with their attributes keep them. From a manifest:\n"
      "the files it names (and those comments), each beside it or below. DATA1.QPX holds the entries in\n"
      "number order, each in a slot of a multiple of 32 bytes; a resource without a file is an empty\n"
      "entry, or no loose file. Refused (nothing written): other names, files named twice or outside\n"
      "the tree, a loose body over 132,907,008 bytes, a GAMEDIR that is not new or empty.\n"
      "Exit status: 0 made, 1 reading or writing failed, 2 bad usage or input.");
  return command;
}

}  // namespace

std::unique_ptr<ToolCommand> PackCommand() {
  return MakeCommand<PackOptions>(AddPack, RunPack,
                                  "give the tree (unpack's folder, or its manifest) and the new or empty game folder");
}

}  // namespace qpx::tool
