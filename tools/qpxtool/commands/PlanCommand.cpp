// qpxtool plan: what a patch would do to a game folder, found by running the
// patcher's own code (its checks, its decoders and its archive code) on a
// view of the folder that writes nothing.

#include <cstdio>
#include <set>
#include <utility>

#include "src/app/journal/RunJournal.h"
#include "src/app/payload/PatchPayload.h"
#include "src/app/run/Alternatives.h"
#include "src/app/run/PatchCheck.h"
#include "src/app/run/RecordBody.h"
#include "src/app/run/RunMessages.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "src/archive/ResourceArchive.h"
#include "src/filesystem/TransferBuffer.h"
#include "tools/qpxtool/authoring/DryRunFileSystem.h"
#include "tools/qpxtool/authoring/GameReader.h"
#include "tools/qpxtool/authoring/PatchReader.h"
#include "tools/qpxtool/commands/CommandLine.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/commands/ToolJson.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

bool IsArchiveFile(const std::wstring& path) { return path == kIndexFileName || path == kDataFileName; }

// The last line of a plan the patcher would carry out. A patch whose every
// record is already there is said to be so, not to "apply".
std::string Summary(std::size_t applying, std::size_t already, std::size_t total, std::size_t failing,
                    std::size_t superseded, std::size_t skipped, std::size_t forOthers = 0) {
  std::string summary;
  if (applying == 0 && failing == 0 && already != 0) {
    summary = "plan: the patch is already applied; the patcher would change nothing (" + std::to_string(already) + " of " +
              Counted(total, "record", "records") + " already applied";
  } else {
    summary = "plan: " + std::to_string(applying) + " of " + Counted(total, "record", "records") + " would apply";
    if (already != 0) summary += ", " + std::to_string(already) + " already applied";
  }
  if (failing != 0) summary += ", " + std::to_string(failing) + " would FAIL";
  if (superseded != 0) summary += ", " + std::to_string(superseded) + " superseded";
  if (skipped != 0) summary += ", " + std::to_string(skipped) + " skipped";
  if (forOthers != 0) summary += ", " + std::to_string(forOthers) + " for other old versions";
  if (applying == 0 && failing == 0 && already != 0) summary += ")";
  return summary;
}

// Why a version-2 patch is refused: its records that fail their checks,
// the disk, or both, in words that agree with the counts.
std::string RefusalSummary(std::size_t refused, std::size_t total, uint64_t spaceShort) {
  std::string reasons;
  if (refused != 0) {
    reasons = std::to_string(refused) + " of " + Counted(total, "record", "records") +
              (refused == 1 ? " fails its checks" : " fail their checks");
  }
  if (spaceShort != 0) {
    reasons += std::string(reasons.empty() ? "" : ", and ") + "the disk is too small (" + Grouped(spaceShort) +
               " bytes more are needed)";
  }
  return "plan: the patcher would refuse this patch and change nothing: " + reasons;
}

std::string GrowthLine(int64_t dataBefore, int64_t dataAfter, uint64_t looseBytes) {
  return "DATA1.QPX: " + Grouped(static_cast<uint64_t>(dataBefore)) + " -> " + Grouped(static_cast<uint64_t>(dataAfter)) +
         " bytes (grows by " + Grouped(static_cast<uint64_t>(dataAfter - dataBefore)) + "); loose files: " +
         Grouped(looseBytes) + " bytes written";
}

// A record's row of the JSON report: what it is, and what would become of it
// (`action`: "in place", "append", "rewrite", "already applied", "skipped",
// "superseded" or "fails"), with the row's text after "FAILS: " as the reason.
Json RecordJson(std::size_t index, const PayloadRecord& record, const std::string& verdict) {
  Json row{{"index", index},
           {"resource", record.resourceNumber},
           {"target", TargetName(record.resourceNumber)},
           {"download", record.storedSize},
           {"result", record.resultSize}};
  if (verdict.starts_with("FAILS: ")) {
    row["action"] = "fails";
    row["reason"] = verdict.substr(7);
  } else {
    for (const char* action : {"in place", "append", "rewrite", "already applied", "skipped", "superseded",
                               "for another version"}) {
      if (verdict.starts_with(action)) {
        row["action"] = action;
        break;
      }
    }
  }
  return row;
}

Json SummaryJson(std::size_t total, std::size_t applying, std::size_t already, std::size_t failing,
                 std::size_t superseded, std::size_t skipped) {
  return {{"records", total},         {"apply", applying},         {"alreadyApplied", already},
          {"fail", failing},          {"superseded", superseded},  {"skipped", skipped}};
}

Json GrowthJson(int64_t dataBefore, int64_t dataAfter) {
  return {{"before", static_cast<uint64_t>(dataBefore)},
          {"after", static_cast<uint64_t>(dataAfter)},
          {"growth", static_cast<uint64_t>(dataAfter - dataBefore)}};
}

// Version 1: each record run through the patcher's archive code on the view.
int PlanVersion1(CAbstractFile& patch, const Payload& payload, const PlanOptions& options, DryRunFileSystem& view,
                 ResourceArchive& archive, Json& report) {
  Json rows = Json::array();  // put in the report once whole: a reference into it would not last
  const int64_t dataBefore = view.SizeOf(kDataFileName);
  Out(RecordRow("#", "resource", "target", "size", "what the patcher would do"));
  const std::vector<RecordPlan> plans = FollowPatcher(payload);
  CTransferBuffer buffer;
  std::size_t applying = 0, already = 0, failing = 0, skipped = 0, superseded = 0;
  uint64_t looseBytes = 0;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    const uint32_t number = record.resourceNumber;
    const auto size = static_cast<uint32_t>(record.storedSize);
    const RecordFate fate = plans[i].fate;
    std::string verdict;
    bool fails = false;
    uint64_t grew = 0, attributesCleared = 0;
    if (fate == RecordFate::Skipped) {
      verdict = "skipped (size 0)";
      ++skipped;
    } else if (fate == RecordFate::Unreadable) {
      verdict = "FAILS: body outside the patch file (\"Can't read patch data\"; the run stops here)";
      fails = true;
    } else if (fate == RecordFate::NotReached) {
      verdict = "FAILS: not reached, the run stops at record " + std::to_string(plans[i].by);
      fails = true;
    } else {
      // The patcher's own step, on the view: the body is read as it reads it.
      uint8_t* const body = buffer.Reserve(size);
      if (!patch.Seek64(static_cast<int64_t>(record.bodyOffset)) || patch.Read(body, size) != size) {
        Fail(kExitFailedCheck, "patch " + Quoted(options.patch) + ": reading failed part way");
      }
      const bool entry = number < kEntryCount;
      const ArchiveIndexEntry before = entry ? archive.Entries()[number] : ArchiveIndexEntry{};
      const int64_t sizeBefore = view.SizeOf(kDataFileName);
      const bool applied = archive.ApplyPatch(number, body, size);
      const std::vector<DryRunWrite> writes = view.TakeWrites();
      const std::vector<std::wstring> failedOpens = view.TakeFailedOpens();
      bool changes = false;
      for (const DryRunWrite& write : writes) {
        changes = changes || write.changes;
        if (!IsArchiveFile(write.path)) looseBytes += write.length;
      }
      const int64_t growth = view.SizeOf(kDataFileName) - sizeBefore;
      const std::string appended = "append (+" + Grouped(static_cast<uint64_t>(growth)) + " bytes)";
      grew = static_cast<uint64_t>(growth);
      if (!applied) {
        fails = true;
        if (number >= kResourceLimit) {
          verdict = "FAILS: resource out of range (\"Failed\")";
        } else if (fate == RecordFate::TooLarge) {
          verdict = "FAILS: more than a loose file holds (" + Grouped(kLooseMaxBodySize) + " bytes; \"Failed\")";
        } else if (!entry && !failedOpens.empty()) {
          verdict = "FAILS: no such loose file " + TargetName(number) + " (\"Failed\")";
        } else if (entry && writes.empty()) {
          // The one way an entry fails here before writing a byte.
          verdict = "FAILS: its index record puts its slot outside DATA1.QPX (\"Failed\")";
        } else {
          verdict = "FAILS: the patcher prints \"Failed\"";
        }
      } else if (fate == RecordFate::Superseded) {
        verdict = "superseded by record " + std::to_string(plans[i].by);
        if (growth != 0) verdict += " (" + appended + " first)";
        ++superseded;
      } else if (!changes) {
        verdict = "already applied";
        ++already;
      } else if (entry) {
        verdict = archive.Entries()[number].offset == before.offset ? "in place" : appended;
        // Rewriting the record clears them: say so.
        if (before.attributes != 0 && archive.Entries()[number].attributes == 0) {
          verdict += " (attributes " + std::to_string(before.attributes) + " -> 0)";
          attributesCleared = before.attributes;
        }
        ++applying;
      } else {
        verdict = "rewrite " + TargetName(number);
        ++applying;
      }
    }
    if (fails) ++failing;
    Out(RecordRow(std::to_string(i), std::to_string(number), TargetName(number), std::to_string(size), verdict));
    Json row = RecordJson(i, record, verdict);
    if (grew != 0) row["growth"] = grew;
    if (attributesCleared != 0) row["attributesCleared"] = attributesCleared;
    if (fate == RecordFate::Superseded || fate == RecordFate::NotReached) row["by"] = plans[i].by;
    rows.push_back(std::move(row));
  }
  report["records"] = std::move(rows);

  Out(GrowthLine(dataBefore, view.SizeOf(kDataFileName), looseBytes));
  Out(Summary(applying, already, plans.size(), failing, superseded, skipped));
  report["data"] = GrowthJson(dataBefore, view.SizeOf(kDataFileName));
  report["looseBytesWritten"] = looseBytes;
  report["summary"] = SummaryJson(plans.size(), applying, already, failing, superseded, skipped);
  return failing == 0 ? kExitSuccess : kExitFailedCheck;
}

// A verdict of the patcher's checks in the patcher's own words, with what
// plan adds to them.
std::string VerdictText(const PayloadRecord& record, Verdict verdict) {
  const std::string words = WideToText(VerdictWords(verdict));
  switch (verdict) {
    case Verdict::TooLarge: return words + " for its resource";
    case Verdict::Missing: return words + " (" + TargetName(record.resourceNumber) + ")";
    case Verdict::OutsideData: return "its index record " + words;
    case Verdict::Malformed: return words + " (no header)";
    case Verdict::AnotherVersion: return words + " (resource " + std::to_string(record.resourceNumber) + ")";
    default: return words;
  }
}

std::string Row(const std::string& index, const std::string& resource, const std::string& target,
                const std::string& download, const std::string& written, const std::string& verdict) {
  char text[160];
  std::snprintf(text, sizeof text, "%6s  %8s  %-14s  %10s  %10s  ", index.c_str(), resource.c_str(), target.c_str(),
                download.c_str(), written.c_str());
  return text + verdict;
}

// Version 2: the patcher's checks, then each record's body decoded and
// proven by its hash as the patcher would, before it would write.
int PlanVersion2(CAbstractFile& patch, const Payload& payload, const PlanOptions& options, DryRunFileSystem& view,
                 ResourceArchive& archive, Json& report) {
  Json rows = Json::array();  // put in the report once whole: a reference into it would not last
  const int64_t dataBefore = view.SizeOf(kDataFileName);
  // A stopped run's journal is settled before anything else; what follows
  // judges the game as it is now.
  const bool journal = view.Open(kJournalFileName, OpenMode_Read) != nullptr;
  report["journal"] = journal;
  if (journal) {
    Err("qpxtool plan: " + Quoted(options.gameDirectory) + " holds " + WideToText(kJournalFileName) +
        ", left by a run that was stopped: the patcher first finishes (or takes back) that run, which this plan "
        "does not show");
  }
  CTransferBuffer chunk;
  const std::span<uint8_t> buffer{chunk.Reserve(kMaxTransferChunk), kMaxTransferChunk};
  // Of a resource's alternatives (version 3), the one the patcher would
  // take for this game; the checks judge the chosen records.
  const Selection selection = SelectAlternatives(archive, payload, buffer);
  const PatchCheck check = CheckPatch(archive, selection.payload, buffer, &selection.inspected);
  std::vector<std::size_t> checkOf(payload.records.size(), payload.records.size());
  for (std::size_t k = 0; k < selection.chosen.size(); ++k) checkOf[selection.chosen[k]] = k;
  const std::vector<RecordPlan> plans = FollowPatcher(payload);
  const bool versioned = payload.version == kPayloadVersion3;

  Out(Row("#", "resource", "target", "download", "result", "what the patcher would do"));
  // Every body is decoded as the patcher would decode it.
  uint64_t toDecode = 0;
  for (const PayloadRecord& record : payload.records) toDecode += record.resultSize;
  Progress progress("plan", toDecode);
  BodyBuffers buffers;
  std::size_t applying = 0, already = 0, failing = 0, skipped = 0, superseded = 0, refused = 0, forOthers = 0;
  uint64_t looseBytes = 0, downloaded = 0, dataGrowth = 0;
  std::set<std::pair<uint64_t, uint64_t>> bodies;  // each stored body's place
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    const uint32_t number = record.resourceNumber;
    std::string text;
    uint64_t attributesCleared = 0;
    // Alternatives (version 3) that share a body download it once.
    if (payload.version != kPayloadVersion3 || bodies.insert({record.bodyOffset, record.storedSize}).second) {
      downloaded += record.storedSize;
    }
    if (checkOf[i] == payload.records.size()) {
      // An alternative the game does not take: the bytes of other versions.
      text = "for another version (" + WideToText(VersionsNamed(payload, record.versions)) + ")";
      ++forOthers;
      progress.Advance(record.resultSize);
      Out(Row(std::to_string(i), std::to_string(number), TargetName(number), std::to_string(record.storedSize),
              std::to_string(record.resultSize), text));
      rows.push_back(RecordJson(i, record, text));
      continue;
    }
    const RecordCheck& verdict = check.records[checkOf[i]];
    if (verdict.verdict == Verdict::Skipped) {
      text = "skipped (size 0)";
      ++skipped;
    } else if (verdict.verdict == Verdict::AlreadyApplied) {
      text = "already applied";
      ++already;
    } else if (!Passes(verdict.verdict)) {
      text = "FAILS: " + VerdictText(record, verdict.verdict) + " (\"" +
             WideToText(CheckMessage(number, verdict.verdict)) + "\")";
      ++refused;
    } else {
      std::span<const uint8_t> body;
      // A resource holding its result laid out otherwise is rewritten
      // from its own bytes, as the patcher does.
      const BodyOutcome outcome = (verdict.verdict == Verdict::Rewrite) ? ReadOwnResult(record, archive, buffers, body)
                                                         : DecodeRecordBody(patch, record, archive, buffers, body);
      if (outcome == BodyOutcome::CantRead) Fail(kExitFailedCheck, "patch " + Quoted(options.patch) + ": reading failed part way");
      if (outcome == BodyOutcome::Damaged) {
        text = "FAILS: its body does not decode to the resource it names (\"Failed\")";
        ++failing;
      } else if (plans[i].fate == RecordFate::Superseded) {
        text = "superseded by record " + std::to_string(plans[i].by);
        ++superseded;
      } else if (number < kEntryCount) {
        text = verdict.inPlace ? "in place" : "append (+" + Grouped(verdict.growth) + " bytes)";
        // Written, an entry has attributes 0.
        if (const uint64_t attributes = archive.Entries()[number].attributes; attributes != 0) {
          text += " (attributes " + std::to_string(attributes) + " -> 0)";
          attributesCleared = attributes;
        }
        ++applying;
      } else {
        text = "rewrite " + TargetName(number);
        ++applying;
      }
      if ((verdict.verdict == Verdict::Rewrite)) text += " (from its own bytes: it holds the result, laid out otherwise)";
      // Which old version the patcher took the resource for.
      if (versioned && !(verdict.verdict == Verdict::Rewrite) && outcome == BodyOutcome::Ready) {
        text += " (the game holds " + WideToText(VersionsNamed(payload, record.versions)) + ")";
      }
      if (outcome == BodyOutcome::Ready) {
        if (number < kEntryCount) dataGrowth += verdict.growth;
        else looseBytes += LooseFileLength(static_cast<uint32_t>(record.resultSize));
      }
    }
    progress.Advance(record.resultSize);
    Out(Row(std::to_string(i), std::to_string(number), TargetName(number), std::to_string(record.storedSize),
            std::to_string(record.resultSize), text));
    Json row = RecordJson(i, record, text);
    if (row["action"] == "append") row["growth"] = verdict.growth;
    if (attributesCleared != 0) row["attributesCleared"] = attributesCleared;
    if (row["action"] == "superseded") row["by"] = plans[i].by;
    if ((verdict.verdict == Verdict::Rewrite)) row["fromItsOwnBytes"] = true;
    rows.push_back(std::move(row));
  }
  report["records"] = std::move(rows);
  report["download"] = downloaded;
  report["refused"] = !check.Passed();
  report["space"] = {{"needed", check.needed},
                     {"free", check.freeSpaceKnown ? Json(check.freeSpace) : Json(nullptr)},
                     {"allocationUnit", check.allocationUnit},
                     {"short", check.SpaceShort()}};
  if (!check.Passed()) {
    if (check.SpaceShort() != 0) {
      Out("FAILS: " + WideToText(ShortOfSpaceWords()) + " (" + Grouped(check.SpaceShort()) +
          " bytes more): the run needs " +
          Grouped(check.needed) + " bytes (what its files grow by, in whole units of " +
          Grouped(check.allocationUnit) + " bytes, and its journal), the game's disk has " +
          Grouped(check.freeSpace) + " free");
    }
    Out(RefusalSummary(refused, payload.records.size(), check.SpaceShort()));
    if (versioned && refused != 0) {
      Out("plan: the patch updates " + WideToText(VersionsNamed(payload, ~uint64_t{0})) + " to " +
          WideToText(ConsoleSafe(payload.labels[0])));
    }
    Json summary = SummaryJson(payload.records.size(), applying, already, failing, superseded, skipped);
    if (versioned) summary["otherVersions"] = forOthers;
    summary["refused"] = refused;
    report["summary"] = std::move(summary);
    return kExitFailedCheck;
  }
  Out("download " + Grouped(downloaded) + " bytes; " +
      GrowthLine(dataBefore, dataBefore + static_cast<int64_t>(dataGrowth), looseBytes));
  Out(Summary(applying, already, payload.records.size(), failing, superseded, skipped, forOthers));
  report["data"] = GrowthJson(dataBefore, dataBefore + static_cast<int64_t>(dataGrowth));
  report["looseBytesWritten"] = looseBytes;
  Json summary = SummaryJson(payload.records.size(), applying, already, failing, superseded, skipped);
  summary["refused"] = 0;
  if (versioned) summary["otherVersions"] = forOthers;
  report["summary"] = std::move(summary);
  return failing == 0 ? kExitSuccess : kExitFailedCheck;
}

}  // namespace

int RunPlan(CFileSystem& fileSystem, const PlanOptions& options) {
  std::unique_ptr<CAbstractFile> patch;
  Payload payload;
  OpenPatchOrFail(fileSystem, options.patch, patch, payload);
  const std::wstring directory = PathFromText(options.gameDirectory);
  GameReader game(fileSystem, directory, options.gameDirectory);  // refuses a path that is no folder
  ResourceArchive& archive =
      game.PatcherView(DryRunAccess::AsAsked, "game folder " + Quoted(options.gameDirectory) +
                                                  ": the patcher would print \"Can't open " +
                                                  WideToText(kDataFileName) + "\"; is this a game folder?");
  DryRunFileSystem& view = game.PatcherFiles();
  if (options.json) StartJsonReport();
  Json report{{"patch", options.patch}, {"game", options.gameDirectory}, {"format", payload.version}};
  const int status = IsCheckedVersion(payload.version) ? PlanVersion2(*patch, payload, options, view, archive, report)
                                                         : PlanVersion1(*patch, payload, options, view, archive, report);
  if (options.json) WriteJsonReport(report);
  return status;
}

namespace {

CLI::App* AddPlan(CLI::App& app, PlanOptions& options) {
  CLI::App* const command = app.add_subcommand(
      "plan", "A dry run: what the patcher would do with each record of PATCH to GAMEDIR. Reads only.");
  command->add_option("PATCH", options.patch, "the patch")->required();
  command->add_option("GAMEDIR", options.gameDirectory, "the game folder")->required();
  command->add_flag("--json", options.json, kJsonHelp);
  command->footer(
      "Judged by the patcher's own archive code on a view of GAMEDIR that writes nothing.\n"
      "Exit status: 0 every record would apply, 1 some would fail, 2 bad usage or input.");
  return command;
}

}  // namespace

std::unique_ptr<ToolCommand> PlanCommand() { return MakeCommand<PlanOptions>(AddPlan, RunPlan); }

}  // namespace qpx::tool
