// qpxtool diff: a patch of exactly the resources in which a modified game
// folder (or a folder written by unpack) differs from the original.

#include <vector>

#include "archive/ArchiveIndexEntry.h"
#include "archive/LooseFile.h"
#include "tools/qpxtool/authoring/BodyList.h"
#include "tools/qpxtool/authoring/GameReader.h"
#include "tools/qpxtool/authoring/PatchReader.h"
#include "tools/qpxtool/authoring/PayloadWriter.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/commands/ToolJson.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

// Refusals listed in full up to this many; the rest are counted.
constexpr std::size_t kListedRefusals = 20;

// The modified side: a game folder, or a folder of one file per resource.
class ModifiedFolder {
 public:
  ModifiedFolder(CFileSystem& fileSystem, const std::string& text)
      : fileSystem_(fileSystem), directory_(PathFromText(text)), game_(fileSystem, directory_, text) {
    unpacked_ = !game_.HasIndex() &&
                KindOf(JoinDirectory(directory_, PathFromText(kUnpackedManifestName))) == PathKind::File;
    if (!unpacked_) {
      if (!game_.HasIndex()) {
        Fail(kExitBadInput, "MODIFIED " + Quoted(text) + ": is neither a game folder (no DATA0.QPX) nor a folder "
                                                         "written by qpxtool unpack (no " +
                                kUnpackedManifestName + ")");
      }
      game_.OpenArchive();
    }
  }

  bool Unpacked() const { return unpacked_; }

  // A game folder's resource as GameReader::LocateFile finds it; in an
  // unpacked folder, its file (the body itself).
  ResourceBytes LocateFile(uint32_t number) {
    if (!unpacked_) return game_.LocateFile(number);
    std::unique_ptr<FolderListing>& listing = number < kEntryCount ? entries_ : loose_;
    if (!listing) {
      listing = std::make_unique<FolderListing>(JoinDirectory(directory_, number < kEntryCount ? L"entries" : L"loose"));
    }
    ResourceBytes bytes;
    const std::string name = UnpackedFileName(number);
    const FolderEntry* const found = listing->Find(PathFromText(name.substr(name.find('/') + 1)));
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

  bool FindLooseBody(ResourceBytes& bytes, std::string& why) const { return game_.FindLooseBody(bytes, why); }

 private:
  CFileSystem& fileSystem_;
  std::wstring directory_;
  GameReader game_;
  bool unpacked_ = false;
  std::unique_ptr<FolderListing> entries_, loose_;  // an unpacked folder's, listed once
};

}  // namespace

int RunDiff(CFileSystem& fileSystem, const DiffOptions& options) {
  const bool toManifest = !options.manifestOut.empty();
  if (toManifest && (!options.stub.empty() || !options.out.empty())) {
    Fail(kExitBadInput, "give either --manifest-out DIR, or --out PATCH (with --stub PATCHER), not both");
  }
  if (!toManifest && options.out.empty()) Fail(kExitBadInput, "--out PATCH is required (or --manifest-out DIR)");
  // Before any reading: a missing stub is found out at once.
  BuildRequest request;
  if (!toManifest) ChooseStub(options.stub, request);
  if (toManifest) {
    RefuseUnfitOutputFolder(PathFromText(options.manifestOut), "--manifest-out " + Quoted(options.manifestOut));
  }
  std::vector<ReadInput> inputs = {
      {PathFromText(options.original), "ORIGINAL " + Quoted(options.original), true},
      {PathFromText(options.modified), "MODIFIED " + Quoted(options.modified), true}};
  if (!toManifest) inputs.push_back({request.stub, request.stubName});
  RefuseOutputOverInputs(PathFromText(toManifest ? options.manifestOut : options.out),
                         toManifest ? "--manifest-out " + Quoted(options.manifestOut) : "--out " + Quoted(options.out),
                         inputs);

  if (options.json) StartJsonReport();
  GameReader original(fileSystem, PathFromText(options.original), options.original);
  if (!original.HasIndex()) {
    Fail(kExitBadInput, "ORIGINAL " + Quoted(options.original) + ": is not a game folder (no DATA0.QPX)");
  }
  original.OpenArchive();
  ModifiedFolder modified(fileSystem, options.modified);

  std::vector<BodySource> bodies;
  std::vector<std::string> refusals, attributesLost;
  Json lostJson = Json::array();
  std::size_t deleted = 0, entries = 0;
  uint64_t bodyBytes = 0;
  {
    CopyBuffer ours, theirs;
    // What is read of ORIGINAL: every entry's bytes and every loose file whole.
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
          if (before.exists && (!loose || original.FindLooseBody(before, why)) && before.size != 0) ++deleted;
        } else if (before.exists) {
          refusals.push_back(name + " is in ORIGINAL but not in MODIFIED: the patcher never deletes files");
        }
        continue;
      }
      if (!before.exists) {
        refusals.push_back(name + " is in MODIFIED but not in ORIGINAL: the patcher never creates files");
        continue;
      }
      const auto same = [&](const ResourceBytes& a, const ResourceBytes& b) {
        return a.size == b.size && (a.size == 0 || SameBytes(*a.file, a.offset, name + " of ORIGINAL", *b.file,
                                                              b.offset, name + " of MODIFIED", a.size, ours, theirs));
      };
      bool differs = false;
      // Whether ORIGINAL's bytes of the resource can be told: a loose file
      // without a header has none the patcher could check a base against.
      bool originalKnown = true;
      if (!loose) {
        differs = !same(before, after);
        // Applying a body clears an entry's attributes: a plain entry in
        // MODIFIED where ORIGINAL's has attributes needs its body applied. (An
        // unpacked folder keeps no attributes.)
        if (!modified.Unpacked() && after.attributes == 0 && before.attributes != 0 && before.size != 0) differs = true;
      } else {
        // A loose file is parsed only where the two differ: one that is the
        // same on both sides is no difference, whatever it holds.
        if (!modified.Unpacked() && same(before, after)) continue;
        if (!modified.Unpacked() && !modified.FindLooseBody(after, why)) {
          refusals.push_back(name + " of MODIFIED: " + Quoted(PathToText(after.path)) + why +
                             "; a patch writes a loose file from its body");
          continue;
        }
        // An ORIGINAL without a body is rewritten whole by MODIFIED's.
        originalKnown = original.FindLooseBody(before, why);
        differs = !originalKnown || !same(before, after);
      }
      if (!differs) continue;

      if (!modified.Unpacked() && after.attributes != 0) {
        refusals.push_back(name + " differs, but MODIFIED's has attributes " + std::to_string(after.attributes) +
                           ": a patch writes plain entries only (attributes 0)");
      } else if (after.size == 0) {
        refusals.push_back(name + " is empty in MODIFIED: a patch cannot make a resource empty");
      } else if (loose && after.size > kLooseMaxBodySize) {
        refusals.push_back(name + " has " + Grouped(after.size) + " bytes in MODIFIED: a loose file holds at most " +
                           Grouped(kLooseMaxBodySize));
      } else {
        const FileRange was{before.offset, before.size};
        const std::wstring wasIn = before.path;
        const std::string wasName = name + " of ORIGINAL";
        std::function<std::vector<uint8_t>()> base;
        if (originalKnown) {
          base = [&fileSystem, was, wasIn, wasName] { return ReadWhole(fileSystem, wasIn, was.offset, was.size, wasName); };
        }
        bodies.push_back(BodySource{number, after.path, name + " of MODIFIED", FileRange{after.offset, after.size},
                                    std::move(base)});
        bodyBytes += after.size;
        if (!loose) ++entries;
        if (!loose && before.attributes != 0) {
          attributesLost.push_back(name + ": attributes " + std::to_string(before.attributes) +
                                   " -> 0 (a patch writes plain entries)");
          lostJson.push_back({{"resource", number}, {"attributes", before.attributes}});
        }
      }
    }
  }

  if (!refusals.empty()) {
    FailWithRefusals("no patch can make MODIFIED " + Quoted(options.modified) + " from ORIGINAL " +
                         Quoted(options.original) + ":",
                     refusals, kListedRefusals);
  }

  // Two folders that hold the same resources are most likely the wrong
  // two: an empty patch is written only when it is asked for.
  if (bodies.empty() && !options.allowEmpty) {
    Fail(kExitFailedCheck, "the folders hold the same resources; no patch written");
  }
  const std::size_t looseCount = bodies.size() - entries;
  std::string summary = bodies.empty() ? "the folders hold the same resources"
                                       : std::to_string(bodies.size()) + " of " + std::to_string(kResourceLimit) +
                                             (bodies.size() == 1 ? " resources differs (" : " resources differ (") +
                                             Counted(entries, "entry", "entries") + ", " +
                                             Counted(looseCount, "loose file", "loose files") + "; " +
                                             Grouped(bodyBytes) + " bytes)";
  Json report{{"original", options.original},
              {"modified", options.modified},
              {"differing", bodies.size()},
              {"entries", entries},
              {"looseFiles", looseCount},
              {"bytes", bodyBytes}};
  Json output;
  if (toManifest) {
    std::string manifest = "# What " + Quoted(options.modified) + " changes in " + Quoted(options.original) +
                           ", written by qpxtool diff.\n";
    for (const BodySource& body : bodies) {
      manifest += std::to_string(body.resourceNumber) + " " + UnpackedFileName(body.resourceNumber) + "\n";
    }
    WriteBodyFolder(fileSystem, PathFromText(options.manifestOut), options.manifestOut, bodies, manifest, "writing");
    Out("qpxtool diff: " + summary + "; wrote the bodies and " + kUnpackedManifestName + " to " +
        Quoted(options.manifestOut));
    output = {{"kind", "manifest"}, {"path", options.manifestOut}};
    Json resources = Json::array();
    for (const BodySource& body : bodies) {
      resources.push_back({{"resource", body.resourceNumber},
                           {"target", TargetName(body.resourceNumber)},
                           {"file", UnpackedFileName(body.resourceNumber)},
                           {"size", body.range->size}});
    }
    output["resources"] = std::move(resources);
  } else {
    request.out = PathFromText(options.out);
    request.outText = options.out;
    request.bodies = bodies;
    request.anyStub = options.anyStub;
    ApplyFormat(options.format, false, request);
    request.allowNoBodies = true;
    const BuildResult result = BuildPatch(fileSystem, request);
    Out("qpxtool diff: " + summary + "; wrote " + Quoted(options.out) + ", " +
        PatchKindText(fileSystem, request.out) + (bodies.empty() ? " with no records" : "") + " (" +
        Grouped(result.fileLength) + " bytes; " + Described(request, result) + ")");
    for (const std::string& note : result.notes) Out("  " + note);
    const std::string kind = PatchKindText(fileSystem, request.out);
    output = {{"kind", "patch"},
              {"path", options.out},
              {"runsOn", kind == "a Windows patch" ? Json("windows") : kind == "a Linux patch" ? Json("linux")
                                                                                             : Json(nullptr)},
              {"fileSize", result.fileLength},
              {"format", request.format},
              {"sealed", request.seal},
              {"bodyBytes", result.bodyBytes},
              {"storedBytes", result.storedBytes},
              {"tableOffset", result.tableOffset}};
    Json records = Json::array();
    for (const PayloadRecord& record : result.records) {
      Json row{{"resource", record.resourceNumber},
               {"target", TargetName(record.resourceNumber)},
               {"offset", record.bodyOffset},
               {"storedSize", record.storedSize}};
      if (request.format == kPayloadVersion2) {
        row["encoding"] = EncodingName(record.encoding);
        row["resultSize"] = record.resultSize;
        row["hasBase"] = record.hasBase;
      }
      records.push_back(std::move(row));
    }
    output["records"] = std::move(records);
    output["notes"] = result.notes;
  }
  report["output"] = std::move(output);
  report["attributesLost"] = std::move(lostJson);
  report["deletedLeftAlone"] = deleted;
  for (std::size_t i = 0; i < attributesLost.size() && i < kListedRefusals; ++i) Out("  " + attributesLost[i]);
  if (attributesLost.size() > kListedRefusals) {
    Out("  ... and " + std::to_string(attributesLost.size() - kListedRefusals) + " more entries lose their attributes");
  }
  if (deleted != 0) {
    Out("  " + std::to_string(deleted) + (deleted == 1 ? " resource whose file was" : " resources whose files were") +
        " deleted from MODIFIED " + (deleted == 1 ? "is" : "are") + " left as " + (deleted == 1 ? "it is" : "they are"));
  }
  if (options.json) WriteJsonReport(report);
  return kExitSuccess;
}

}  // namespace qpx::tool
