// qpxtool unpack: every resource of a game folder as a file of its own, and
// a manifest that builds them all into a patch.

#include <vector>

#include "src/archive/ArchiveIndexEntry.h"
#include "src/paths/Paths.h"
#include "tools/qpxtool/authoring/BodyList.h"
#include "tools/qpxtool/authoring/GameFolder.h"
#include "tools/qpxtool/authoring/GameReader.h"
#include "tools/qpxtool/commands/CommandLine.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/commands/ToolJson.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {

void RefuseUnfitOutputFolder(CFileSystem& fileSystem, const std::wstring& directory, const std::string& name) {
  const PathKind kind = fileSystem.KindOf(directory.c_str());
  if (kind == PathKind::Missing && !fileSystem.NameExists(directory.c_str())) return;
  if (kind == PathKind::Directory && IsEmptyDirectory(fileSystem, directory)) return;
  Fail(kExitBadInput, name + (kind == PathKind::Directory ? ": is not empty; give a new or empty folder"
                              : kind == PathKind::File    ? ": is a file, not a folder; give a new or empty folder"
                                                          : ": is not a folder"));
}

namespace {

void WriteBodies(CFileSystem& fileSystem, const std::wstring& directory, const std::string& directoryText,
                 const std::vector<BodySource>& bodies, const std::string& manifestText, const std::string& label,
                 bool entries, bool loose) {
  for (const auto& [wanted, folder] : {std::pair{entries, L"entries"}, std::pair{loose, L"loose"}}) {
    const std::wstring path = JoinDirectory(directory, folder);
    if (wanted && !fileSystem.CreateDirectory(path.c_str())) {
      Fail(kExitFailedCheck, Quoted(PathToText(path)) + ": cannot be made");
    }
  }
  uint64_t total = 0;
  for (const BodySource& body : bodies) total += body.range->size;
  Progress progress(label, total);
  CopyBuffer buffer;
  std::unique_ptr<CAbstractFile> open;
  std::wstring openPath;
  for (const BodySource& body : bodies) {
    if (body.path != openPath) {
      open = fileSystem.Open(body.path.c_str(), OpenMode_Read);
      openPath = body.path;
      if (!open) Fail(kExitFailedCheck, Quoted(PathToText(body.path)) + ": cannot be opened for reading");
    }
    const std::wstring target = JoinDirectory(directory, PathFromText(UnpackedFileName(body.resourceNumber)));
    CopyToNewFile(fileSystem, *open, body.range->offset, body.range->size, TargetName(body.resourceNumber), target,
                  buffer);
    progress.Advance(body.range->size);
  }
  const std::wstring manifest = JoinDirectory(directory, PathFromText(kUnpackedManifestName));
  if (!WriteWholeFile(fileSystem, manifest,
                      std::span(reinterpret_cast<const uint8_t*>(manifestText.data()), manifestText.size()))) {
    Fail(kExitFailedCheck, Quoted(directoryText + "/" + kUnpackedManifestName) + ": writing failed");
  }
}

}  // namespace

void WriteBodyFolder(CFileSystem& fileSystem, const std::wstring& directory, const std::string& directoryText,
                     const std::vector<BodySource>& bodies, const std::string& manifestText, const std::string& label) {
  // Everything is written into a fresh folder beside the output, listed so
  // that an interruption removes it, and renamed into place once whole:
  // the output is never seen half written.
  std::vector<std::wstring> contents;
  bool entries = false, loose = false;
  for (const BodySource& body : bodies) {
    contents.push_back(PathFromText(UnpackedFileName(body.resourceNumber)));
    (body.resourceNumber < kEntryCount ? entries : loose) = true;
  }
  contents.push_back(PathFromText(kUnpackedManifestName));
  if (entries) contents.push_back(L"entries");
  if (loose) contents.push_back(L"loose");

  const std::wstring target = WithoutTrailingSeparators(directory);
  const std::wstring parent = DirectoryOf(target);
  InterruptibleFolder fresh;
  if (!fresh.Create(fileSystem, parent + L"." + target.substr(parent.size()) + L".qpxtool-", contents)) {
    Fail(kExitFailedCheck, "cannot make a folder beside " + Quoted(directoryText));
  }
  try {
    WriteBodies(fileSystem, fresh.Path(), directoryText, bodies, manifestText, label, entries, loose);
    // Everything in it reaches the disk before its name does, so that a
    // power cut after the rename cannot leave the output with files
    // missing, empty or short. Each body was flushed as it was written;
    // the manifest, written whole, and the folders are flushed here.
    FlushWrittenFile(fileSystem, JoinDirectory(fresh.Path(), PathFromText(kUnpackedManifestName)));
    for (const auto& [made, folder] : {std::pair{entries, L"entries"}, std::pair{loose, L"loose"}}) {
      const std::wstring path = JoinDirectory(fresh.Path(), folder);
      if (made) FlushFolder(fileSystem, path, Quoted(PathToText(path)));
    }
    FlushFolder(fileSystem, fresh.Path(), Quoted(PathToText(fresh.Path())));
    if (!fileSystem.RenameDirectory(fresh.Path().c_str(), target.c_str())) {
      Fail(kExitFailedCheck, "cannot rename " + Quoted(PathToText(fresh.Path())) + " to " + Quoted(directoryText));
    }
  } catch (...) {
    fresh.RemoveNow();
    throw;
  }
  // And the rename itself, which lives in the folder that holds it.
  FlushFolder(fileSystem, parent, "the folder of " + Quoted(directoryText));
}

namespace {

// Every resource of a game folder, found and judged before anything is
// written, with the manifest that names them.
struct UnpackedResources {
  std::vector<BodySource> bodies;
  std::string manifest;
  std::size_t attributed = 0;
  std::vector<std::string> malformed;

  UnpackedResources(GameReader& game, const std::string& gameText)
      : manifest("# Every resource of " + Quoted(gameText) +
                 ", written by qpxtool unpack.\n"
                 "# \"qpxtool build --manifest\" on this file makes a patch of them all; after editing\n"
                 "# files here, \"qpxtool diff GAMEDIR THIS-FOLDER\" makes a patch of the edits only.\n") {
    for (uint32_t number = 0; number < kResourceLimit; ++number) {
      ResourceBytes bytes = game.LocateFile(number);
      if (!bytes.exists) continue;
      // A loose file without a body is named and left out; the rest goes on.
      if (std::string why; number >= kEntryCount && !game.FindLooseBody(bytes, why)) {
        malformed.push_back(TargetName(number));
        manifest += "# " + UnpackedFileName(number) + " is left out: " + Quoted(PathToText(bytes.path)) + why + "\n";
        continue;
      }
      if (bytes.size == 0) continue;
      bodies.push_back(BodySource{number, bytes.path, TargetName(number), FileRange{bytes.offset, bytes.size}, {}});
      const std::string line = std::to_string(number) + " " + UnpackedFileName(number);
      if (bytes.attributes != 0) {
        manifest += "# " + line + "  (attributes " + std::to_string(bytes.attributes) +
                    ": a patch would store it as a plain entry, so it is left out)\n";
        ++attributed;
      } else {
        manifest += line + "\n";
      }
    }
  }

  void Report(const UnpackOptions& options) const {
    const std::string& outText = options.outDirectory;
    uint64_t total = 0;
    std::size_t entries = 0;
    for (const BodySource& body : bodies) {
      total += body.range->size;
      if (body.resourceNumber < kEntryCount) ++entries;
    }
    Out("qpxtool unpack: wrote " + Counted(bodies.size(), "resource", "resources") + " (" +
        Counted(entries, "entry", "entries") + ", " + Counted(bodies.size() - entries, "loose file", "loose files") +
        "; " + Grouped(total) + " bytes) and " + kUnpackedManifestName + " to " + Quoted(outText));
    if (!malformed.empty()) {
      std::string names;
      for (const std::string& name : malformed) names += (names.empty() ? "" : ", ") + name;
      Out("  " + std::to_string(malformed.size()) + (malformed.size() == 1 ? " loose file is" : " loose files are") +
          " no loose resource file and left out (see " + kUnpackedManifestName + "): " + names);
    }
    if (attributed != 0) {
      Out("  " + (attributed == 1 ? "1 entry with attributes is named in a comment only: a patch would store it as a "
                                    "plain entry"
                                  : std::to_string(attributed) + " entries with attributes are named in comments only: "
                                                                 "a patch would store them as plain entries"));
    }
    if (!options.json) return;
    Json report = JsonDocument("unpack");
    report["game"] = options.gameDirectory;
    report["folder"] = options.outDirectory;
    report["resources"] = bodies.size();
    report["entries"] = entries;
    report["looseFiles"] = bodies.size() - entries;
    report["resultBytes"] = total;
    report["leftOut"] = malformed;
    report["attributed"] = attributed;
    WriteJsonReport(report);
  }
};

}  // namespace

int RunUnpack(CFileSystem& fileSystem, const UnpackOptions& options) {
  GameReader game(fileSystem, PathFromText(options.gameDirectory), options.gameDirectory);
  const std::wstring out = PathFromText(options.outDirectory);
  RefuseOutputOverInputs(fileSystem, out, "output folder " + Quoted(options.outDirectory),
                         {{PathFromText(options.gameDirectory), "the game folder " + Quoted(options.gameDirectory),
                           true}});
  game.OpenArchive();
  if (options.json) StartJsonReport();
  const UnpackedResources resources(game, options.gameDirectory);
  RefuseUnfitOutputFolder(fileSystem, out, "output folder " + Quoted(options.outDirectory));
  WriteBodyFolder(fileSystem, out, options.outDirectory, resources.bodies, resources.manifest, "unpack");
  resources.Report(options);
  return kExitSuccess;
}

namespace {

CLI::App* AddUnpack(CLI::App& app, UnpackOptions& options) {
  CLI::App* const command = app.add_subcommand(
      "unpack", "Write every resource of GAMEDIR as a file under OUTDIR, with a manifest that builds them all.");
  command->add_option("GAMEDIR", options.gameDirectory, "the game folder")->required();
  command->add_option("OUTDIR", options.outDirectory, "a new or empty folder")->required();
  command->add_flag("--json", options.json, kJsonHelp);
  command->footer(
      "Entries go to OUTDIR/entries/NNNNN.bin, loose files to OUTDIR/loose/DNNNNN.bin (the body\n"
      "without its header); empty resources are left out. OUTDIR/patch.manifest names them for\n"
      "\"qpxtool build --manifest\", except entries with attributes (a patch would store them as plain\n"
      "entries), named in comments. Edit files there, then \"qpxtool diff GAMEDIR OUTDIR\".\n"
      "Exit status: 0 written, 1 writing failed, 2 bad usage or input.");
  return command;
}

}  // namespace

std::unique_ptr<ToolCommand> UnpackCommand() {
  return MakeCommand<UnpackOptions>(AddUnpack, RunUnpack, "give the game folder and the new or empty folder to write");
}

}  // namespace qpx::tool
