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

namespace {

// Why a record's resource does not hold its body (empty when it does).
// Version 2: the patcher's own inspection of each resource, judged by the
// run's judge. Version 1 names no hashes: the bytes are compared with the
// body.
class AppliedJudge {
 public:
  AppliedJudge(GameReader& game, CAbstractFile& patch, const Payload& payload, const std::string& gameText)
      : game_(game), patch_(patch), payload_(payload) {
    if (IsCheckedVersion(payload.version)) {
      archive_ = &game.PatcherView(DryRunAccess::ReadOnly,
                                   "game folder " + Quoted(gameText) + ": " + WideToText(kIndexFileName) + " or " +
                                       WideToText(kDataFileName) + " cannot be read; is this a game folder?");
    }
  }

  // `code`: the reason's code.
  std::string WhyNotApplied(const PayloadRecord& record, Json& code) {
    if (archive_ == nullptr) {
      code = kCodeDiffers;
      return game_.CompareWithBody(patch_, record);
    }
    const std::span<uint8_t> buffer(chunk_.Reserve(kMaxTransferChunk), kMaxTransferChunk);
    const ResourceState state = InspectResource(*archive_, record.resourceNumber, buffer);
    code = VerdictCode(Judge(state, record));
    // A patch for several old versions names which one the resource is still at.
    if (payload_.version == kPayloadVersion3 && Judge(state, record) != Verdict::AlreadyApplied) {
      for (const PayloadRecord& alternative : payload_.records) {
        if (alternative.resourceNumber == record.resourceNumber &&
            Judge(state, alternative) == Verdict::Base) {
          code = VerdictCode(Verdict::Base);
          return "it still holds the bytes of " + WideToText(VersionsNamed(payload_, alternative.versions)) +
                 ", which the patch replaces";
        }
      }
    }
    return HoldingText(state, record);
  }

 private:
  GameReader& game_;
  CAbstractFile& patch_;
  const Payload& payload_;
  ResourceArchive* archive_ = nullptr;
  CTransferBuffer chunk_;
};

// How many records came to what.
struct VerifyCounts {
  std::size_t applied = 0, notApplied = 0, superseded = 0, skipped = 0, alternatives = 0;

  // The status of record `record`, whose plan is `plan`, counted.
  // `code`: the code of a record not applied.
  std::string StatusOf(const PayloadRecord& record, const RecordPlan& plan, AppliedJudge& judge, Json& code) {
    code = FateCode(plan.fate);
    switch (plan.fate) {
      case RecordFate::Applied: {
        const std::string difference = judge.WhyNotApplied(record, code);
        if (difference.empty()) code = nullptr;
        ++(difference.empty() ? applied : notApplied);
        return difference.empty() ? "applied" : "NOT APPLIED: " + difference;
      }
      case RecordFate::Superseded: ++superseded; return "superseded by record " + std::to_string(plan.by);
      case RecordFate::Skipped: ++skipped; return "skipped: size 0";
      case RecordFate::OutOfRange: ++notApplied; return "NOT APPLIED: no such resource (the patcher prints \"Failed\")";
      case RecordFate::TooLarge:
        ++notApplied;
        return "NOT APPLIED: too large for a loose file (the patcher prints \"Failed\")";
      case RecordFate::Unreadable:
        ++notApplied;
        return "NOT APPLIED: body outside the patch file (the patcher stops here)";
      case RecordFate::NotReached:
        ++notApplied;
        return "NOT APPLIED: the patcher stops at record " + std::to_string(plan.by);
      case RecordFate::Alternative:
        // Of one result: judged once, with the resource's first record.
        ++alternatives;
        return "alternative of record " + std::to_string(plan.by);
    }
    return "";
  }

  void Report(const Payload& payload, Json& report) const {
    const std::size_t records = payload.records.size();
    std::string summary =
        "verify: " + std::to_string(applied) + " of " + Counted(records, "record", "records") + " applied";
    if (notApplied != 0) summary += ", " + std::to_string(notApplied) + " NOT applied";
    if (superseded != 0) summary += ", " + std::to_string(superseded) + " superseded";
    if (skipped != 0) summary += ", " + std::to_string(skipped) + " skipped";
    if (alternatives != 0) {
      summary += ", " + Counted(alternatives, "alternative", "alternatives") + " for other old versions";
    }
    Out(summary);
    // Each record counted once: the counts add up to the records.
    report["summary"] = {{"records", records},
                         {"applied", applied},
                         {"notApplied", notApplied},
                         {"superseded", superseded},
                         {"skipped", skipped},
                         {"alternatives", payload.version == kPayloadVersion3 ? Json(alternatives) : Json(nullptr)}};
  }
};

// Record `i`'s row of the JSON report.
Json VerifyRow(std::size_t i, const PayloadRecord& record, const RecordPlan& plan, const std::string& status,
               const Json& code) {
  const bool notApplied = status.starts_with("NOT APPLIED: ");
  const bool hasBy = plan.fate == RecordFate::Superseded || plan.fate == RecordFate::NotReached ||
                     plan.fate == RecordFate::Alternative;
  return {{"index", i},
          {"resource", record.resourceNumber},
          {"target", TargetName(record.resourceNumber)},
          {"resultBytes", record.resultSize},
          {"status", notApplied ? "not applied" : status.substr(0, status.find_first_of(": "))},
          {"code", notApplied ? code : Json(nullptr)},
          {"reason", notApplied ? Json(status.substr(13)) : Json(nullptr)},
          {"by", hasBy ? Json(plan.by) : Json(nullptr)}};
}

}  // namespace

int RunVerify(CFileSystem& fileSystem, const VerifyOptions& options) {
  std::unique_ptr<CAbstractFile> patch;
  Payload payload;
  OpenPatchOrFail(fileSystem, options.patch, patch, payload);
  GameReader game(fileSystem, PathFromText(options.gameDirectory), options.gameDirectory);
  AppliedJudge judge(game, *patch, payload, options.gameDirectory);

  if (options.json) StartJsonReport();
  Json report = JsonDocument("verify");
  report["patch"] = options.patch;
  report["game"] = options.gameDirectory;
  report["format"] = payload.version;
  Json rows = Json::array();  // put in the report once whole: a reference into it would not last
  Out(RecordRow("#", "resource", "target", "size", "status"));
  const std::vector<RecordPlan> plans = FollowPatcher(payload);
  VerifyCounts counts;
  // Every record's resource is read (hashed, or compared with its body).
  uint64_t toRead = 0;
  for (const PayloadRecord& record : payload.records) toRead += record.resultSize;
  Progress progress("verify", toRead);
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    Json code;
    const std::string status = counts.StatusOf(record, plans[i], judge, code);
    progress.Advance(record.resultSize);
    Out(RecordRow(std::to_string(i), std::to_string(record.resourceNumber), TargetName(record.resourceNumber),
                  std::to_string(record.resultSize), status));
    rows.push_back(VerifyRow(i, record, plans[i], status, code));
  }
  report["records"] = std::move(rows);
  counts.Report(payload, report);
  if (options.json) WriteJsonReport(report);
  return counts.notApplied == 0 ? kExitSuccess : kExitFailedCheck;
}

namespace {

CLI::App* AddVerify(CLI::App& app, VerifyOptions& options) {
  CLI::App* const command =
      app.add_subcommand("verify", "Report, per record of PATCH, whether GAMEDIR holds exactly its body. Reads only.");
  command->add_option("PATCH", options.patch, "the patch, or - for standard input")->required();
  command->add_option("GAMEDIR", options.gameDirectory, "the game folder (DATA0.QPX, DATA1.QPX, res)")->required();
  command->add_flag("--json", options.json, kJsonHelp);
  command->footer(
      "A record overwritten by a later record for the same resource is reported as\n"
      "superseded, and one of size 0 as skipped; neither counts against the patch.\n"
      "Exit status: 0 every record applied, 1 some not, 2 bad usage or input.");
  return command;
}

}  // namespace

std::unique_ptr<ToolCommand> VerifyCommand() {
  return MakeCommand<VerifyOptions>(AddVerify, RunVerify,
                         "give the patch (or - for standard input) and the game folder");
}

}  // namespace qpx::tool
