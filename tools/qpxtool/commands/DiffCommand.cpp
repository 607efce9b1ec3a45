// qpxtool diff: a patch of exactly the resources in which a modified game
// folder (or a folder written by unpack) differs from the original.

#include <algorithm>
#include <map>
#include <vector>

#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "tools/qpxtool/authoring/BodyList.h"
#include "tools/qpxtool/authoring/FolderDiff.h"
#include "tools/qpxtool/authoring/GameReader.h"
#include "tools/qpxtool/authoring/PatchReader.h"
#include "tools/qpxtool/authoring/PayloadWriter.h"
#include "tools/qpxtool/commands/CommandLine.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/commands/ToolJson.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

// Refusals listed in full up to this many; the rest are counted.
constexpr std::size_t kListedRefusals = 20;

// Where an entry that a patch makes plain loses its attributes.
std::string AttributesLostLine(const ResourceChange& change) {
  return TargetName(change.number) + ": attributes " + std::to_string(change.oldAttributes) +
         " -> 0 (a patch writes plain entries)";
}

// A folder's own name, as given (the last part of its path): a version's
// label unless --label names another.
std::string FolderName(std::string text) {
  while (text.size() > 1 && (text.back() == '/' || text.back() == '\\')) text.pop_back();
  const std::size_t slash = text.find_last_of("/\\");
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

// Whether a folder's name says nothing of the version it holds: as a game
// folder is often called, whatever the version.
bool IsGenericFolderName(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return lower == "game" || lower == "data";
}

// The name of the folder that holds `folder`, as given ("rel/1.2/game":
// "1.2"); empty when the path names none.
std::string ParentFolderName(const std::string& folder) {
  std::string text = folder;
  while (text.size() > 1 && (text.back() == '/' || text.back() == '\\')) text.pop_back();
  const std::size_t slash = text.find_last_of("/\\");
  if (slash == std::string::npos || slash == 0) return {};
  const std::string parent = FolderName(text.substr(0, slash));
  return parent == "." || parent == ".." ? std::string() : parent;
}

// Warns of a default label that is only a folder's generic name ("game"),
// which players would see as the version's name, with the option that
// names it (`option` and the name: the parent folder's, where it has one).
// The label stays: the same folders and options give the same patch.
void WarnOfGenericLabel(const std::string& label, const std::string& folder, const std::string& option) {
  if (!IsGenericFolderName(label)) return;
  const std::string parent = ParentFolderName(folder);
  Err("qpxtool diff: warning: " + Quoted(folder) + " is labelled " + Quoted(label) +
      ", its folder's name, which does not tell the version; give " + option +
      (parent.empty() || IsGenericFolderName(parent) ? std::string("NAME") : parent) + " to name it");
}

// Refuses a folder given twice among OLD... NEW: the same old version
// twice, or the new one among the old ones (by identity, however spelled).
void RefuseRepeatedFolders(CFileSystem& fileSystem, const std::vector<std::string>& folders) {
  for (std::size_t i = 0; i < folders.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (folders[i] != folders[j] &&
          !fileSystem.SameFile(PathFromText(folders[i]).c_str(), PathFromText(folders[j]).c_str())) {
        continue;
      }
      const bool isNew = i + 1 == folders.size();
      Fail(kExitBadInput, (isNew ? "NEW " + Quoted(folders[i]) + " is also given as OLD " + Quoted(folders[j]) +
                                       ": give each old version's folder, then the new version's, each once"
                                 : "OLD " + Quoted(folders[j]) + " is given twice" +
                                       (folders[i] == folders[j] ? "" : " (also as " + Quoted(folders[i]) + ")") +
                                       ": give each old version's folder once"));
    }
  }
}

// One distinct old content of a resource that differs from the new one:
// the old versions that hold it, and where the first of them does.
struct OldContent {
  ContentHash hash{};
  uint64_t size = 0;
  uint64_t versions = 0;
  std::size_t first = 0;  // the old folder of the change below
  ResourceChange change;
};

// The lines of entries that lose their attributes, the first
// kListedRefusals of them.
void ReportAttributesLost(const std::vector<std::string>& attributesLost) {
  for (std::size_t i = 0; i < attributesLost.size() && i < kListedRefusals; ++i) Out("  " + attributesLost[i]);
  if (attributesLost.size() > kListedRefusals) {
    Out("  ... and " + std::to_string(attributesLost.size() - kListedRefusals) + " more entries lose their attributes");
  }
}

// The options that a patch for several old versions refuses.
void RefuseVersionsOptions(const DiffOptions& options, std::size_t olds) {
  if (!options.manifestOut.empty()) {
    Fail(kExitBadInput, "--manifest-out writes the bodies of one pair of folders; a patch for several old versions "
                        "is written with --out PATCH");
  }
  if (options.out.empty()) Fail(kExitBadInput, "--out PATCH is required");
  if (olds > kMaxOldVersions) {
    Fail(kExitBadInput, "a patch updates at most " + std::to_string(kMaxOldVersions) + " old versions; " +
                            std::to_string(olds) + " were given");
  }
  if (options.format.format == kPayloadVersion1) {
    Fail(kExitBadInput, "a patch for several old versions is written in format 3; --format 1 cannot hold it");
  }
}

// The old versions' labels: each old folder's own name unless --label
// names another; no two alike.
std::vector<std::string> OldLabels(CFileSystem& fileSystem, const DiffOptions& options,
                                   const std::vector<std::string>& olds) {
  const std::string& newer = options.folders.back();
  std::vector<std::string> labels;
  for (const std::string& old : olds) labels.push_back(FolderName(old));
  std::vector<bool> named(olds.size(), false);  // by --label
  for (const std::string& given : options.labels) {
    const std::size_t equals = given.rfind('=');
    if (equals == std::string::npos || equals == 0) Fail(kExitBadInput, "--label " + Quoted(given) + ": give FOLDER=NAME");
    const std::string folder = given.substr(0, equals);
    std::size_t found = olds.size();
    for (std::size_t i = 0; i < olds.size(); ++i) {
      if (olds[i] == folder || fileSystem.SameFile(PathFromText(olds[i]).c_str(), PathFromText(folder).c_str())) found = i;
    }
    if (found == olds.size()) {
      Fail(kExitBadInput, "--label " + Quoted(given) + ": " + Quoted(folder) + " is none of the old folders" +
                              (folder == newer ? " (the new version's label is --label-new NAME)" : ""));
    }
    labels[found] = given.substr(equals + 1);
    named[found] = true;
  }
  for (std::size_t i = 0; i < olds.size(); ++i) {
    if (!named[i]) WarnOfGenericLabel(labels[i], olds[i], "--label " + olds[i] + "=");
  }
  for (std::size_t i = 0; i < labels.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (labels[i] == labels[j]) {
        Fail(kExitBadInput, "OLD " + Quoted(olds[j]) + " and OLD " + Quoted(olds[i]) + " are both labelled " +
                                Quoted(labels[i]) + "; tell them apart with --label FOLDER=NAME");
      }
    }
  }
  return labels;
}

// What every old folder holds that the new one does not.
struct VersionsDifference {
  std::map<uint32_t, std::vector<OldContent>> contents;  // per resource, in the old folders' order
  std::vector<std::string> refusals, attributesLost;
  std::vector<std::size_t> differing;  // per old folder
  Json lostJson = Json::array();
  std::size_t deleted = 0;

  // A change of old folder `i` (named `oldName`, labelled `label`): a new
  // old content of its resource, or one more version of one known.
  void Add(CFileSystem& fileSystem, std::size_t i, const std::string& oldName, const std::string& label,
           ResourceChange& change) {
    const std::string name = TargetName(change.number);
    if (!change.oldKnown) {
      refusals.push_back(name + " of " + oldName + " has no loose-file header: a patch for several old versions "
                                                   "must tell each one's bytes apart");
      return;
    }
    if (change.oldAttributes != 0) {
      attributesLost.push_back(AttributesLostLine(change) + " in " + Quoted(label));
      lostJson.push_back({{"resource", change.number},
                          {"target", TargetName(change.number)},
                          {"attributes", change.oldAttributes},
                          {"version", label}});
    }
    // Told apart by their hashes: an old content that an earlier old
    // version holds too needs no record of its own.
    const std::vector<uint8_t> bytes = ReadWhole(fileSystem, change.oldPath, change.oldRange.offset,
                                                 change.oldRange.size, name + " of " + oldName);
    const ContentHash hash = HashOf(bytes);
    std::vector<OldContent>& known = contents[change.number];
    const auto same = std::find_if(known.begin(), known.end(), [&](const OldContent& content) {
      return content.hash == hash && content.size == bytes.size();
    });
    if (same != known.end()) {
      same->versions |= uint64_t{1} << i;
    } else {
      known.push_back(OldContent{hash, bytes.size(), uint64_t{1} << i, i, std::move(change)});
    }
  }
};

// Compares each old folder with the new one in turn (one at a time, as a
// two-folder diff reads them).
VersionsDifference CompareVersions(CFileSystem& fileSystem, const std::vector<std::string>& olds,
                                   const std::vector<std::string>& labels, ModifiedFolder& modified) {
  VersionsDifference versions;
  versions.differing.assign(olds.size(), 0);
  for (std::size_t i = 0; i < olds.size(); ++i) {
    GameReader old(fileSystem, PathFromText(olds[i]), olds[i]);
    if (!old.HasIndex()) Fail(kExitBadInput, "OLD " + Quoted(olds[i]) + ": is not a game folder (no DATA0.QPX)");
    old.OpenArchive();
    const std::string oldName = "OLD " + Quoted(olds[i]);
    FolderDifference difference = CompareFolders(old, modified, oldName, "NEW");
    versions.refusals.insert(versions.refusals.end(), difference.refusals.begin(), difference.refusals.end());
    versions.deleted = std::max(versions.deleted, difference.deleted);
    versions.differing[i] = difference.changes.size();
    for (ResourceChange& change : difference.changes) versions.Add(fileSystem, i, oldName, labels[i], change);
  }
  return versions;
}

// One body per distinct old content of each resource, made against it.
std::vector<BodySource> BodiesOfVersions(CFileSystem& fileSystem, const VersionsDifference& versions,
                                         const std::vector<std::string>& olds, std::size_t& entries,
                                         uint64_t& bodyBytes) {
  std::vector<BodySource> bodies;
  for (const auto& [number, alternatives] : versions.contents) {
    const std::string name = TargetName(number);
    for (const OldContent& content : alternatives) {
      BodySource body{number, content.change.newPath, name + " of NEW", content.change.newRange,
                      OldBytesOf(fileSystem, content.change, name + " of OLD " + Quoted(olds[content.first]))};
      body.versions = content.versions;
      bodies.push_back(std::move(body));
    }
    bodyBytes += alternatives.front().change.newRange.size;
    if (number < kEntryCount) ++entries;
  }
  return bodies;
}

// The report of a patch for several old versions.
void ReportVersions(CFileSystem& fileSystem, const DiffOptions& options, const std::vector<std::string>& olds,
                    const std::vector<std::string>& labels, const std::string& labelNew,
                    const VersionsDifference& versions, std::size_t entries, uint64_t bodyBytes,
                    const BuildRequest& request, const BuildResult& result) {
  const std::size_t differing = versions.contents.size();
  const std::size_t looseCount = differing - entries;
  std::string perVersion;
  for (std::size_t i = 0; i < olds.size(); ++i) {
    perVersion += (i == 0 ? "" : ", ") + labels[i] + ": " + std::to_string(versions.differing[i]);
  }
  const std::string summary =
      std::to_string(differing) + " of " + std::to_string(kResourceLimit) +
      (differing == 1 ? " resources differs" : " resources differ") + " from " + Quoted(labelNew) + " in " +
      std::to_string(olds.size()) + " old versions (" + perVersion + "; " + Counted(entries, "entry", "entries") +
      ", " + Counted(looseCount, "loose file", "loose files") + "; " + Grouped(bodyBytes) + " bytes)";
  Out("qpxtool diff: " + summary + "; wrote " + Quoted(options.out) + ", " + PatchKindText(fileSystem, request.out) +
      " of " + Counted(result.records.size(), "record", "records") + " (" + Grouped(result.fileLength) +
      " bytes; " + Described(request, result) + ")");
  for (const std::string& note : result.notes) Out("  " + note);
  ReportAttributesLost(versions.attributesLost);
  if (!options.json) return;
  Json folders = Json::array();
  for (std::size_t i = 0; i < olds.size(); ++i) {
    folders.push_back({{"folder", olds[i]}, {"label", labels[i]}, {"differing", versions.differing[i]}});
  }
  Json report = JsonDocument("diff");
  report.update(Json{{"original", nullptr},
                     {"modified", nullptr},
                     {"olds", std::move(folders)},
                     {"new", options.folders.back()},
                     {"labelNew", labelNew},
                     {"differing", differing},
                     {"entries", entries},
                     {"looseFiles", looseCount},
                     {"resultBytes", bodyBytes},
                     {"output", PatchOutputJson(fileSystem, options.out, request, result, &labels)},
                     {"attributesLost", versions.lostJson},
                     {"deletedLeftAlone", versions.deleted}});
  WriteJsonReport(report);
}

// OLD... NEW: one patch for every old version. Each old folder is compared
// with the new one in turn; each resource that differs anywhere gets one
// record per distinct old content, made against it.
int RunDiffVersions(CFileSystem& fileSystem, const DiffOptions& options) {
  const std::vector<std::string> olds(options.folders.begin(), options.folders.end() - 1);
  const std::string& newer = options.folders.back();
  RefuseVersionsOptions(options, olds.size());
  RefuseRepeatedFolders(fileSystem, options.folders);
  const std::vector<std::string> labels = OldLabels(fileSystem, options, olds);
  const std::string labelNew = options.labelNew.empty() ? FolderName(newer) : options.labelNew;
  if (options.labelNew.empty()) WarnOfGenericLabel(labelNew, newer, "--label-new ");

  BuildRequest request;
  ChooseStub(fileSystem, options.stub, request);
  request.branding = LoadBranding(fileSystem, options.branding, options.out);
  request.labels = {labelNew};
  request.labels.insert(request.labels.end(), labels.begin(), labels.end());
  std::vector<ReadInput> inputs;
  for (const std::string& old : olds) inputs.push_back({PathFromText(old), "OLD " + Quoted(old), true});
  inputs.push_back({PathFromText(newer), "NEW " + Quoted(newer), true});
  inputs.push_back({request.stub, request.stubName});
  RefuseOutputOverInputs(fileSystem, PathFromText(options.out), "--out " + Quoted(options.out), inputs);
  RefuseExistingOutput(fileSystem, PathFromText(options.out), "--out " + Quoted(options.out), options.force);
  request.force = options.force;

  if (options.json) StartJsonReport();
  ModifiedFolder modified(fileSystem, newer, "NEW");
  const VersionsDifference versions = CompareVersions(fileSystem, olds, labels, modified);
  if (!versions.refusals.empty()) {
    FailWithRefusals("no patch can make NEW " + Quoted(newer) + " from every old version:", versions.refusals,
                     kListedRefusals);
  }
  std::size_t entries = 0;
  uint64_t bodyBytes = 0;
  const std::vector<BodySource> bodies = BodiesOfVersions(fileSystem, versions, olds, entries, bodyBytes);
  if (bodies.empty() && !options.allowEmpty) {
    Fail(kExitFailedCheck, "the folders hold the same resources; no patch written");
  }
  const BuildResult result =
      BuildPatchOfBodies(fileSystem, request, options.out, bodies, options.format, options.anyStub);
  ReportVersions(fileSystem, options, olds, labels, labelNew, versions, entries, bodyBytes, request, result);
  return kExitSuccess;
}

// The options of a diff of two folders, checked, with the stub chosen
// before any reading (a missing stub is found out at once) and the output
// refused where it would go over what is read.
void PreparePairOutput(CFileSystem& fileSystem, const DiffOptions& options, BuildRequest& request) {
  if (!options.labels.empty() || !options.labelNew.empty()) {
    Fail(kExitBadInput, "--label and --label-new name the versions of a patch for several old versions "
                        "(OLD... NEW, three folders or more); a patch of two folders has none");
  }
  const bool toManifest = !options.manifestOut.empty();
  if (toManifest && (!options.stub.empty() || !options.out.empty())) {
    Fail(kExitBadInput, "give either --manifest-out DIR, or --out PATCH (with --stub PATCHER), not both");
  }
  if (!toManifest && options.out.empty()) Fail(kExitBadInput, "--out PATCH is required (or --manifest-out DIR)");
  if (!toManifest) ChooseStub(fileSystem, options.stub, request);
  request.branding = LoadBranding(fileSystem, options.branding, options.out);
  if (toManifest && request.branding.any) {
    Fail(kExitBadInput, "--product, --product-version, --company, --description and --icon go on a patch; "
                        "--manifest-out writes none (give them to build)");
  }
  if (toManifest) {
    RefuseUnfitOutputFolder(fileSystem, PathFromText(options.manifestOut), "--manifest-out " + Quoted(options.manifestOut));
  }
  std::vector<ReadInput> inputs = {
      {PathFromText(options.original), "ORIGINAL " + Quoted(options.original), true},
      {PathFromText(options.modified), "MODIFIED " + Quoted(options.modified), true}};
  if (!toManifest) inputs.push_back({request.stub, request.stubName});
  RefuseOutputOverInputs(fileSystem, PathFromText(toManifest ? options.manifestOut : options.out),
                         toManifest ? "--manifest-out " + Quoted(options.manifestOut) : "--out " + Quoted(options.out),
                         inputs);
  if (!toManifest) {
    RefuseExistingOutput(fileSystem, PathFromText(options.out), "--out " + Quoted(options.out), options.force);
  }
  request.force = options.force;
}

// The bodies of a diff of two folders, one per change.
struct PairBodies {
  std::vector<BodySource> bodies;
  std::vector<std::string> attributesLost;
  Json lostJson = Json::array();
  std::size_t entries = 0;
  uint64_t bodyBytes = 0;

  PairBodies(CFileSystem& fileSystem, const FolderDifference& difference) {
    for (const ResourceChange& change : difference.changes) {
      const std::string name = TargetName(change.number);
      bodies.push_back(BodySource{change.number, change.newPath, name + " of MODIFIED", change.newRange,
                                  OldBytesOf(fileSystem, change, name + " of ORIGINAL")});
      bodyBytes += change.newRange.size;
      if (change.number < kEntryCount) ++entries;
      if (change.oldAttributes != 0) {
        attributesLost.push_back(AttributesLostLine(change));
        lostJson.push_back({{"resource", change.number},
                            {"target", TargetName(change.number)},
                            {"attributes", change.oldAttributes},
                            {"version", nullptr}});
      }
    }
  }
};

// Writes the bodies and their manifest to --manifest-out: the report's
// "output".
Json WriteManifestOut(CFileSystem& fileSystem, const DiffOptions& options, const std::vector<BodySource>& bodies,
                      const std::string& summary) {
  std::string manifest = "# What " + Quoted(options.modified) + " changes in " + Quoted(options.original) +
                         ", written by qpxtool diff.\n";
  for (const BodySource& body : bodies) {
    manifest += std::to_string(body.resourceNumber) + " " + UnpackedFileName(body.resourceNumber) + "\n";
  }
  WriteBodyFolder(fileSystem, PathFromText(options.manifestOut), options.manifestOut, bodies, manifest, "writing");
  Out("qpxtool diff: " + summary + "; wrote the bodies and " + kUnpackedManifestName + " to " +
      Quoted(options.manifestOut));
  // The keys of a written patch's output, null: a manifest is none.
  Json output{{"kind", "manifest"}, {"path", options.manifestOut}};
  for (const char* key : {"runsOn", "fileSize", "format", "sealed", "programBytes", "strippedBytes", "resultBytes",
                          "storedBytes", "sharedBodies", "tableOffset", "records", "notes"}) {
    output[key] = nullptr;
  }
  Json resources = Json::array();
  for (const BodySource& body : bodies) {
    resources.push_back({{"resource", body.resourceNumber},
                         {"target", TargetName(body.resourceNumber)},
                         {"file", UnpackedFileName(body.resourceNumber)},
                         {"resultBytes", body.range->size}});
  }
  output["resources"] = std::move(resources);
  return output;
}

// Writes the patch to --out: the report's "output".
Json WritePatchOut(CFileSystem& fileSystem, const DiffOptions& options, BuildRequest& request,
                   const std::vector<BodySource>& bodies, const std::string& summary) {
  const BuildResult result =
      BuildPatchOfBodies(fileSystem, request, options.out, bodies, options.format, options.anyStub);
  Out("qpxtool diff: " + summary + "; wrote " + Quoted(options.out) + ", " + PatchKindText(fileSystem, request.out) +
      (bodies.empty() ? " with no records" : "") + " (" + Grouped(result.fileLength) + " bytes; " +
      Described(request, result) + ")");
  for (const std::string& note : result.notes) Out("  " + note);
  return PatchOutputJson(fileSystem, options.out, request, result, nullptr);
}

}  // namespace

int RunDiff(CFileSystem& fileSystem, const DiffOptions& options) {
  if (options.folders.size() > 2) return RunDiffVersions(fileSystem, options);
  BuildRequest request;
  PreparePairOutput(fileSystem, options, request);

  if (options.json) StartJsonReport();
  GameReader original(fileSystem, PathFromText(options.original), options.original);
  if (!original.HasIndex()) {
    Fail(kExitBadInput, "ORIGINAL " + Quoted(options.original) + ": is not a game folder (no DATA0.QPX)");
  }
  original.OpenArchive();
  ModifiedFolder modified(fileSystem, options.modified, "MODIFIED");
  const FolderDifference difference = CompareFolders(original, modified, "ORIGINAL", "MODIFIED");
  PairBodies pair(fileSystem, difference);
  if (!difference.refusals.empty()) {
    FailWithRefusals("no patch can make MODIFIED " + Quoted(options.modified) + " from ORIGINAL " +
                         Quoted(options.original) + ":",
                     difference.refusals, kListedRefusals);
  }
  // Two folders that hold the same resources are most likely the wrong
  // two: an empty patch is written only when it is asked for.
  const std::vector<BodySource>& bodies = pair.bodies;
  if (bodies.empty() && !options.allowEmpty) {
    Fail(kExitFailedCheck, "the folders hold the same resources; no patch written");
  }
  const std::size_t looseCount = bodies.size() - pair.entries;
  const std::string summary =
      bodies.empty() ? "the folders hold the same resources"
                     : std::to_string(bodies.size()) + " of " + std::to_string(kResourceLimit) +
                           (bodies.size() == 1 ? " resources differs (" : " resources differ (") +
                           Counted(pair.entries, "entry", "entries") + ", " +
                           Counted(looseCount, "loose file", "loose files") + "; " + Grouped(pair.bodyBytes) + " bytes)";
  Json report = JsonDocument("diff");
  report.update(Json{{"original", options.original},
                     {"modified", options.modified},
                     {"olds", nullptr},
                     {"new", nullptr},
                     {"labelNew", nullptr},
                     {"differing", bodies.size()},
                     {"entries", pair.entries},
                     {"looseFiles", looseCount},
                     {"resultBytes", pair.bodyBytes}});
  report["output"] = !options.manifestOut.empty() ? WriteManifestOut(fileSystem, options, bodies, summary)
                                                  : WritePatchOut(fileSystem, options, request, bodies, summary);
  report["attributesLost"] = std::move(pair.lostJson);
  report["deletedLeftAlone"] = difference.deleted;
  ReportAttributesLost(pair.attributesLost);
  const std::size_t deleted = difference.deleted;
  if (deleted != 0) {
    Out("  " + std::to_string(deleted) + (deleted == 1 ? " resource whose file was" : " resources whose files were") +
        " deleted from MODIFIED " + (deleted == 1 ? "is" : "are") + " left as " + (deleted == 1 ? "it is" : "they are"));
  }
  if (options.json) WriteJsonReport(report);
  return kExitSuccess;
}

namespace {

CLI::App* AddDiff(CLI::App& app, DiffOptions& options) {
  CLI::App* const command = app.add_subcommand(
      "diff",
      "Write a patch of exactly the resources in which MODIFIED differs from ORIGINAL, or one for OLD... to NEW.");
  command
      ->add_option("FOLDER", options.folders,
                   "ORIGINAL MODIFIED: the game folder the patch is for, then a game folder or a folder written by "
                   "unpack; or OLD... NEW: the game folders of 2 to 64 old versions, then the new version's, for one "
                   "patch that brings each of them to NEW")
      ->required()
      ->expected(-2)
      ->type_name("");
  command
      ->add_option("--label", options.labels,
                   "OLD... NEW: the label of an old version, shown by the patcher and qpxtool (default: its "
                   "folder's name); once per old folder")
      ->type_name("FOLDER=NAME");
  command
      ->add_option("--label-new", options.labelNew, "OLD... NEW: the new version's label (default: its folder's name)")
      ->type_name("NAME");
  command->add_option("--stub", options.stub, kStubHelp)->type_name("PATCHER");
  AddOutOption(command, options.out, "the patch to write", "PATCH");
  AddForceFlag(command, options.force);
  command
      ->add_option("--manifest-out", options.manifestOut,
                   "instead of a patch, write the differing bodies and a manifest to this new or empty folder")
      ->type_name("DIR");
  command->add_flag("--any-stub", options.anyStub, "build on a stub that is not a qpxpatch patcher");
  command->add_flag("--json", options.json, kJsonHelp);
  command->add_flag("--allow-empty", options.allowEmpty,
                    "when the folders hold the same resources, still write the patch (of no records) or manifest");
  AddFormatOptions(command, options.format, true);
  AddBrandingOptions(command, options.branding);
  command->footer(std::string(kStubDefaultHelp) +
                  "A resource's bytes are what extract writes. An entry also differs when MODIFIED's has\n"
                  "attributes 0 and ORIGINAL's has not. In an unpacked MODIFIED, a resource whose file was deleted\n"
                  "is left as it is. Refused (nothing written): an entry that differs where MODIFIED's has\n"
                  "attributes, a resource made empty, a loose file on one side only, a loose body over the limit.\n"
                  "Folders that hold the same resources give no patch unless --allow-empty.\n"
                  "Exit status: 0 written, 1 the folders hold the same resources (nothing written) or reading or\n"
                  "writing failed, 2 bad usage or input.");
  return command;
}

// Two folders are ORIGINAL and MODIFIED; more are OLD... NEW.
int RunDiffOfFolders(CFileSystem& fileSystem, const DiffOptions& parsed) {
  DiffOptions options = parsed;
  if (options.folders.size() == 2) options.original = options.folders[0], options.modified = options.folders[1];
  return RunDiff(fileSystem, options);
}

}  // namespace

std::unique_ptr<ToolCommand> DiffCommand() {
  return MakeCommand<DiffOptions>(AddDiff, RunDiffOfFolders, "give the old folder(s) and the new folder");
}

}  // namespace qpx::tool
