// qpxtool reverse: before a patch is applied, a patch that puts back every
// resource it changes, from the game folder's current bytes.

#include <functional>
#include <map>
#include <mutex>

#include "src/app/payload/PatchPayload.h"
#include "src/app/run/Alternatives.h"
#include "src/app/run/RecordBody.h"
#include "src/app/run/Verdict.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "src/archive/ResourceArchive.h"
#include "src/filesystem/TransferBuffer.h"
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

// A patch and the game folder it is for, before it is applied: what it
// would change, and the bytes it would write there.
class Reversal {
 public:
  Reversal(CFileSystem& fileSystem, const ReverseOptions& options)
      : options_(options),
        patch_([&] {
          // The patch first: its refusal comes before the game folder's.
          std::unique_ptr<CAbstractFile> patch;
          OpenPatchOrFail(fileSystem, options.patch, patch, payload_);
          return patch;
        }()),
        game_(fileSystem, PathFromText(options.gameDirectory), options.gameDirectory) {
    game_.OpenArchive();
    // The undo is made against the game as the patch leaves it: each of its
    // records knows the bytes the patch wrote. Those are decoded from the
    // patch, on a view of the game that writes nothing (a delta needs the
    // resource's bytes as they are now).
    archive_ = &game_.PatcherView(DryRunAccess::ReadOnly, "game folder " + Quoted(options.gameDirectory) +
                                                              ": the patcher would print \"Can't open " +
                                                              WideToText(kDataFileName) + "\"; is this a game folder?");
    plans_ = FollowPatcher(payload_);
  }

  // The resources the patcher would write to, each with the last record
  // that writes it; a record it fails or never reaches leaves its resource
  // as it is. Of a resource's alternatives (version 3), the one for the
  // version this game holds, as the patcher chooses it.
  std::map<uint32_t, std::size_t> Touched() {
    std::map<uint32_t, std::size_t> touched;
    const Selection selection = SelectAlternatives(*archive_, payload_, Chunk());
    for (const std::size_t i : selection.chosen) {
      if (plans_[i].fate == RecordFate::Applied || plans_[i].fate == RecordFate::Superseded ||
          plans_[i].fate == RecordFate::Alternative) {
        touched[payload_.records[i].resourceNumber] = i;
      }
    }
    // A patch for several old versions leaves alone what the game holds of
    // the new version already: there is nothing of it to put back.
    if (payload_.version != kPayloadVersion3) return touched;
    for (auto it = touched.begin(); it != touched.end();) {
      // The choice looked at the resources of several alternatives already.
      const auto seen = selection.inspected.find(it->first);
      const ResourceState state =
          seen != selection.inspected.end() ? seen->second : InspectResource(*archive_, it->first, Chunk());
      const bool holdsResult = Judge(state, payload_.records[it->second]) == Verdict::AlreadyApplied;
      it = holdsResult ? touched.erase(it) : std::next(it);
    }
    return touched;
  }

  // Made after the patch, the undo would put back the patch's own bodies.
  // Judged as verify judges it: by the run's judge (version 2), or by the
  // bytes of the body (version 1, which names no hashes).
  void RefuseIfApplied(const std::map<uint32_t, std::size_t>& touched) {
    bool applied = !touched.empty();
    for (std::size_t i = 0; applied && i < plans_.size(); ++i) {
      if (plans_[i].fate != RecordFate::Applied) continue;
      const PayloadRecord& record = payload_.records[i];
      if (IsCheckedVersion(payload_.version)) {
        applied = Judge(InspectResource(*archive_, record.resourceNumber, Chunk()), record) ==
                  Verdict::AlreadyApplied;
      } else {
        applied = game_.CompareWithBody(*patch_, record).empty();
      }
    }
    if (applied) {
      Fail(kExitBadInput, "game folder " + Quoted(options_.gameDirectory) + " already holds every body of " +
                              Quoted(options_.patch) + ": it was applied already, and an undo made now would be the "
                              "patch again. Make the undo before applying the patch");
    }
  }

  // A game of another version than the patch was made for: the patcher
  // would refuse it, and the undo could not be made against what the patch
  // writes. Named resource by resource, by the run's judge, from the first
  // record of each (a version-2 patch names the bytes each record replaces).
  void RefuseOtherVersion(const std::map<uint32_t, std::size_t>& touched) {
    if (payload_.version != kPayloadVersion2) return;
    std::vector<std::string> refusals;
    std::map<uint32_t, bool> judged;
    for (std::size_t i = 0; i < payload_.records.size(); ++i) {
      const PayloadRecord& record = payload_.records[i];
      if (!touched.contains(record.resourceNumber) || !judged.emplace(record.resourceNumber, true).second) continue;
      if (!record.hasBase) continue;
      const ResourceState state = InspectResource(*archive_, record.resourceNumber, Chunk());
      if (Judge(state, record) == Verdict::AnotherVersion) {
        refusals.push_back(TargetName(record.resourceNumber) + " (resource " + std::to_string(record.resourceNumber) +
                           ") holds other bytes than record " + std::to_string(i) +
                           " was made from, and than it writes");
      }
    }
    if (!refusals.empty()) {
      FailWithRefusals("game folder " + Quoted(options_.gameDirectory) + " is another version of the game than " +
                           Quoted(options_.patch) + " was made for; make the undo on the game the patch is for:",
                       refusals, 20);
    }
  }

  // The undo's bodies: each touched resource's bytes now, made against
  // what the patch writes there. Refused where no patch can put them back.
  std::vector<BodySource> Bodies(const std::map<uint32_t, std::size_t>& touched, uint64_t& bodyBytes) {
    std::vector<BodySource> bodies;
    std::vector<std::string> refusals;
    for (const auto& [number, last] : touched) {
      const std::string name = TargetName(number);
      const ResourceBytes bytes = game_.Locate(number);
      if (!bytes.exists) {
        refusals.push_back(name + " does not exist: the patcher never creates it, and no patch can delete it");
      } else if (bytes.attributes != 0) {
        refusals.push_back(name + " has attributes " + std::to_string(bytes.attributes) +
                           ": a patch writes plain entries only, so none can put them back");
      } else if (bytes.size == 0) {
        refusals.push_back(name + " is empty: a patch cannot make a resource empty again");
      } else if (number >= kEntryCount && bytes.size > kLooseMaxBodySize) {
        refusals.push_back(name + " holds " + Grouped(bytes.size) +
                           " bytes: a loose file's body in a patch holds at most " + Grouped(kLooseMaxBodySize));
      } else {
        bodies.push_back(BodySource{number, bytes.path, name + " of " + Quoted(options_.gameDirectory),
                                    FileRange{bytes.offset, bytes.size}, Patched(last)});
        bodyBytes += bytes.size;
      }
    }
    if (!refusals.empty()) {
      FailWithRefusals("no patch can undo " + Quoted(options_.patch) + " on " + Quoted(options_.gameDirectory) + ":",
                       refusals);
    }
    return bodies;
  }

 private:
  std::span<uint8_t> Chunk() { return {chunk_.Reserve(kMaxTransferChunk), kMaxTransferChunk}; }

  // The bytes record `index` writes, decoded when the undo's encoder asks
  // for them. Bodies are encoded on several threads; the patch and the
  // view are one.
  std::function<std::vector<uint8_t>()> Patched(std::size_t index) {
    return [this, index] {
      const std::lock_guard<std::mutex> hold(decoding_);
      const PayloadRecord& record = payload_.records[index];
      BodyBuffers buffers;
      std::span<const uint8_t> body;
      switch (DecodeRecordBody(*patch_, record, *archive_, buffers, body)) {
        case BodyOutcome::Ready: return std::vector<uint8_t>(body.begin(), body.end());
        case BodyOutcome::CantRead:
          Fail(kExitFailedCheck, "patch " + Quoted(options_.patch) + ": reading failed part way");
        case BodyOutcome::Damaged:
        case BodyOutcome::WriteFailed: break;  // memory takes every byte of a result
      }
      Fail(kExitBadInput, "patch " + Quoted(options_.patch) + ": record " + std::to_string(index) + " (" +
                              TargetName(record.resourceNumber) + ") does not decode against " +
                              Quoted(options_.gameDirectory) + ": the patcher would print \"Failed\" for it");
    };
  }

  const ReverseOptions& options_;
  Payload payload_;
  std::unique_ptr<CAbstractFile> patch_;
  GameReader game_;
  ResourceArchive* archive_ = nullptr;
  CTransferBuffer chunk_;
  std::vector<RecordPlan> plans_;
  std::mutex decoding_;
};

}  // namespace

int RunReverse(CFileSystem& fileSystem, const ReverseOptions& options) {
  BuildRequest request;
  ChooseStub(fileSystem, options.stub, request);
  RefuseOutputOverInputs(fileSystem, PathFromText(options.out), "--out " + Quoted(options.out),
                         {{PathFromText(options.patch), "the patch " + Quoted(options.patch)},
                          {request.stub, request.stubName},
                          {PathFromText(options.gameDirectory), "the game folder " + Quoted(options.gameDirectory),
                           true}});
  RefuseExistingOutput(fileSystem, PathFromText(options.out), "--out " + Quoted(options.out), options.force);
  request.force = options.force;
  if (options.json) StartJsonReport();
  Reversal reversal(fileSystem, options);
  const std::map<uint32_t, std::size_t> touched = reversal.Touched();
  reversal.RefuseIfApplied(touched);
  reversal.RefuseOtherVersion(touched);
  uint64_t bodyBytes = 0;
  const std::vector<BodySource> bodies = reversal.Bodies(touched, bodyBytes);

  const BuildResult result =
      BuildPatchOfBodies(fileSystem, request, options.out, bodies, options.format, options.anyStub);
  Out("qpxtool reverse: wrote " + Quoted(options.out) + ", " + PatchKindText(fileSystem, request.out) + " (" +
      Grouped(result.fileLength) + " bytes): it puts back " +
      std::to_string(bodies.size()) + (bodies.size() == 1 ? " resource" : " resources") + " (" + Grouped(bodyBytes) +
      " bytes) that " + Quoted(options.patch) + " changes; " + Described(request, result));
  for (const std::string& note : result.notes) Out("  " + note);
  if (options.json) {
    Json report = JsonDocument("reverse");
    report["patch"] = options.patch;
    report["game"] = options.gameDirectory;
    report["resources"] = bodies.size();
    report["resultBytes"] = bodyBytes;
    report["output"] = PatchOutputJson(fileSystem, options.out, request, result, nullptr);
    WriteJsonReport(report);
  }
  return kExitSuccess;
}

namespace {

CLI::App* AddReverse(CLI::App& app, ReverseOptions& options) {
  CLI::App* const command = app.add_subcommand(
      "reverse", "Before PATCH is applied: write UNDO, a patch that puts back every resource PATCH changes.");
  command->add_option("PATCH", options.patch, "the patch to undo")->required();
  command->add_option("GAMEDIR", options.gameDirectory, "the game folder, not yet patched")->required();
  command->add_option("--stub", options.stub, kStubHelp)->type_name("PATCHER");
  AddOutOption(command, options.out, "the undo patch to write", "UNDO")->required();
  AddForceFlag(command, options.force);
  command->add_flag("--any-stub", options.anyStub, "build on a stub that is not a qpxpatch patcher");
  AddFormatOptions(command, options.format, true);
  command->add_flag("--json", options.json, kJsonHelp);
  command->footer(std::string(kStubDefaultHelp) +
                  "Refused (nothing written) when PATCH touches what no patch can restore: entries with\n"
                  "attributes, empty resources, loose files that do not exist.\n"
                  "Exit status: 0 written, 1 reading or writing failed, 2 bad usage or input.");
  return command;
}

}  // namespace

std::unique_ptr<ToolCommand> ReverseCommand() {
  return MakeCommand<ReverseOptions>(AddReverse, RunReverse, "give the patch, the game folder and --out UNDO");
}

}  // namespace qpx::tool
