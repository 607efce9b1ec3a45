// qpxtool verify: whether a game folder holds exactly each body of a patch.
// Opens every file for reading only.

#include "src/app/payload/PatchPayload.h"
#include "src/app/run/Alternatives.h"
#include "src/app/run/RunMessages.h"
#include "src/app/run/Verdict.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/ResourceArchive.h"
#include "src/filesystem/TransferBuffer.h"
#include "tools/qpxtool/authoring/GameReader.h"
#include "tools/qpxtool/authoring/PatchReader.h"
#include "tools/qpxtool/commands/CommandLine.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/commands/ToolJson.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

// What a resource holds against a version-2 record, as the run's judge
// tells it, in verify's words: empty when it holds the record's result;
// otherwise what it holds.
std::string HoldingText(const ResourceState& state, const PayloadRecord& record) {
  const std::string name = TargetName(record.resourceNumber);
  switch (Judge(state, record)) {
    case Verdict::AlreadyApplied: return "";
    case Verdict::Missing: return name + " is missing or cannot be read";
    case Verdict::OutsideData: return "its index record points past the end of DATA1.QPX";
    case Verdict::Malformed: return name + " is not a loose resource file (no header)";
    case Verdict::Unreadable: return name + " cannot be read";
    case Verdict::Base: return "it still holds the bytes the patch replaces";
    case Verdict::AnotherVersion:
      // Of the same length, what differs is the bytes themselves.
      return "expected the " + Grouped(record.resultSize) + " bytes the patch writes, found " + Grouped(state.size) +
             (state.size == record.resultSize ? " other bytes" : " bytes");
    case Verdict::Rewrite:
      return record.resourceNumber < kEntryCount
                 ? "its index record has attributes " + std::to_string(state.entry.attributes)
                 : name + " holds the bytes, but not laid out as the patcher writes them";
    default: break;
  }
  return "";
}

}  // namespace

int RunVerify(CFileSystem& fileSystem, const VerifyOptions& options) {
  std::unique_ptr<CAbstractFile> patch;
  Payload payload;
  OpenPatchOrFail(fileSystem, options.patch, patch, payload);
  GameReader game(fileSystem, PathFromText(options.gameDirectory), options.gameDirectory);
  // Version 2: the patcher's own inspection of each resource, judged by the
  // run's judge. Version 1 names no hashes: the bytes are compared with the body.
  ResourceArchive* archive = nullptr;
  if (IsCheckedVersion(payload.version)) {
    archive = &game.PatcherView(DryRunAccess::ReadOnly,
                                "game folder " + Quoted(options.gameDirectory) + ": " + WideToText(kIndexFileName) +
                                    " or " + WideToText(kDataFileName) + " cannot be read; is this a game folder?");
  }
  CTransferBuffer chunk;
  const auto whyNotApplied = [&](const PayloadRecord& record) {
    if (archive == nullptr) return game.CompareWithBody(*patch, record);
    const std::span<uint8_t> buffer(chunk.Reserve(kMaxTransferChunk), kMaxTransferChunk);
    const ResourceState state = InspectResource(*archive, record.resourceNumber, buffer);
    // A patch for several old versions names which one the resource is still at.
    if (payload.version == kPayloadVersion3 && Judge(state, record) != Verdict::AlreadyApplied) {
      for (const PayloadRecord& alternative : payload.records) {
        if (alternative.resourceNumber == record.resourceNumber &&
            Judge(state, alternative) == Verdict::Base) {
          return "it still holds the bytes of " + WideToText(VersionsNamed(payload, alternative.versions)) +
                 ", which the patch replaces";
        }
      }
    }
    return HoldingText(state, record);
  };

  if (options.json) StartJsonReport();
  Json report{{"patch", options.patch}, {"game", options.gameDirectory}, {"format", payload.version}};
  Json rows = Json::array();  // put in the report once whole: a reference into it would not last
  Out(RecordRow("#", "resource", "target", "size", "status"));
  const std::vector<RecordPlan> plans = FollowPatcher(payload);
  std::size_t applied = 0, notApplied = 0, superseded = 0, skipped = 0, alternatives = 0;
  // Every record's resource is read (hashed, or compared with its body).
  uint64_t toRead = 0;
  for (const PayloadRecord& record : payload.records) toRead += record.resultSize;
  Progress progress("verify", toRead);
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    std::string status;
    switch (plans[i].fate) {
      case RecordFate::Applied: {
        const std::string difference = whyNotApplied(record);
        if (difference.empty()) {
          status = "applied";
          ++applied;
        } else {
          status = "NOT APPLIED: " + difference;
          ++notApplied;
        }
        break;
      }
      case RecordFate::Superseded:
        status = "superseded by record " + std::to_string(plans[i].by);
        ++superseded;
        break;
      case RecordFate::Skipped:
        status = "skipped: size 0";
        ++skipped;
        break;
      case RecordFate::OutOfRange:
        status = "NOT APPLIED: no such resource (the patcher prints \"Failed\")";
        ++notApplied;
        break;
      case RecordFate::TooLarge:
        status = "NOT APPLIED: too large for a loose file (the patcher prints \"Failed\")";
        ++notApplied;
        break;
      case RecordFate::Unreadable:
        status = "NOT APPLIED: body outside the patch file (the patcher stops here)";
        ++notApplied;
        break;
      case RecordFate::NotReached:
        status = "NOT APPLIED: the patcher stops at record " + std::to_string(plans[i].by);
        ++notApplied;
        break;
      case RecordFate::Alternative:
        // Of one result: judged once, with the resource's first record.
        status = "alternative of record " + std::to_string(plans[i].by);
        ++alternatives;
        break;
    }
    progress.Advance(record.resultSize);
    Out(RecordRow(std::to_string(i), std::to_string(record.resourceNumber), TargetName(record.resourceNumber),
            std::to_string(record.resultSize), status));
    Json row{{"index", i},
             {"resource", record.resourceNumber},
             {"target", TargetName(record.resourceNumber)},
             {"size", record.resultSize}};
    if (status.starts_with("NOT APPLIED: ")) {
      row["status"] = "not applied";
      row["reason"] = status.substr(13);
    } else {
      row["status"] = status.substr(0, status.find_first_of(": "));
    }
    if (plans[i].fate == RecordFate::Superseded || plans[i].fate == RecordFate::NotReached ||
        plans[i].fate == RecordFate::Alternative) {
      row["by"] = plans[i].by;
    }
    rows.push_back(std::move(row));
  }
  report["records"] = std::move(rows);

  std::string summary =
      "verify: " + std::to_string(applied) + " of " + Counted(plans.size(), "record", "records") + " applied";
  if (notApplied != 0) summary += ", " + std::to_string(notApplied) + " NOT applied";
  if (superseded != 0) summary += ", " + std::to_string(superseded) + " superseded";
  if (skipped != 0) summary += ", " + std::to_string(skipped) + " skipped";
  if (alternatives != 0) summary += ", " + Counted(alternatives, "alternative", "alternatives") + " for other old versions";
  Out(summary);
  report["summary"] = {{"records", plans.size()},
                       {"applied", applied},
                       {"notApplied", notApplied},
                       {"superseded", superseded},
                       {"skipped", skipped}};
  if (payload.version == kPayloadVersion3) report["summary"]["alternatives"] = alternatives;
  if (options.json) WriteJsonReport(report);
  return notApplied == 0 ? kExitSuccess : kExitFailedCheck;
}

namespace {

CLI::App* AddVerify(CLI::App& app, VerifyOptions& options) {
  CLI::App* const command =
      app.add_subcommand("verify", "Report, per record of PATCH, whether GAMEDIR holds exactly its body. Reads only.");
  command->add_option("PATCH", options.patch, "the patch")->required();
  command->add_option("GAMEDIR", options.gameDirectory, "the game folder (DATA0.QPX, DATA1.QPX, res)")->required();
  command->add_flag("--json", options.json, kJsonHelp);
  command->footer(
      "A record overwritten by a later record for the same resource is reported as\n"
      "superseded, and one of size 0 as skipped; neither counts against the patch.\n"
      "Exit status: 0 every record applied, 1 some not, 2 bad usage or input.");
  return command;
}

}  // namespace

std::unique_ptr<ToolCommand> VerifyCommand() { return MakeCommand<VerifyOptions>(AddVerify, RunVerify); }

}  // namespace qpx::tool
