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
#include "tools/qpxtool/authoring/FileSystem_DryRun.h"
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
// "superseded", "for another version" or "fails"), with the row's text after
// "FAILS: " as the reason and `code` as its code. The figures that only some
// actions have are null in the others' rows, set by the caller.
Json RecordJson(std::size_t index, const PayloadRecord& record, const std::string& verdict, const char* code) {
  Json row{{"index", index},
           {"resource", record.resourceNumber},
           {"target", TargetName(record.resourceNumber)},
           {"storedBytes", record.storedSize},
           {"resultBytes", record.resultSize},
           {"action", nullptr},
           {"code", nullptr},
           {"reason", nullptr},
           {"growth", nullptr},
           {"attributesCleared", nullptr},
           {"by", nullptr},
           {"fromItsOwnBytes", nullptr}};
  if (verdict.starts_with("FAILS: ")) {
    row["action"] = "fails";
    row["code"] = code;
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

Json GrowthJson(int64_t dataBefore, int64_t dataAfter) {
  return {{"before", static_cast<uint64_t>(dataBefore)},
          {"after", static_cast<uint64_t>(dataAfter)},
          {"growth", static_cast<uint64_t>(dataAfter - dataBefore)}};
}

// How many records came to what: each record is counted once, so that the
// summary's counts add up to its records.
struct PlanCounts {
  std::size_t applying = 0, already = 0, failing = 0, skipped = 0, superseded = 0, refused = 0, forOthers = 0;

  // `versioned`: a patch for several old versions, whose records for the
  // versions the game does not hold are counted apart.
  Json SummaryJson(std::size_t total, bool versioned) const {
    return {{"records", total},
            {"apply", applying},
            {"alreadyApplied", already},
            {"fail", failing + refused},
            {"superseded", superseded},
            {"skipped", skipped},
            {"otherVersions", versioned ? Json(forOthers) : Json(nullptr)}};
  }
};

// What the patcher would do with one version-1 record, as plan tells it.
struct Version1Step {
  std::string verdict;
  const char* code = nullptr;  // of a record that fails
  bool fails = false;
  uint64_t grew = 0, attributesCleared = 0;
};

// Version 1: each record run through the patcher's archive code on the view.
class Version1Plan {
 public:
  Version1Plan(CAbstractFile& patch, const PlanOptions& options, CFileSystem_DryRun& view, ResourceArchive& archive)
      : patch_(patch), options_(options), view_(view), archive_(archive) {}

  Version1Step Step(const PayloadRecord& record, const RecordPlan& plan) {
    Version1Step step;
    if (plan.fate == RecordFate::Skipped) {
      step.verdict = "skipped (size 0)";
      ++counts.skipped;
    } else if (plan.fate == RecordFate::Unreadable) {
      step.verdict = "FAILS: body outside the patch file (\"Can't read patch data\"; the run stops here)";
      step.code = kCodeBodyOutsidePatch;
      step.fails = true;
    } else if (plan.fate == RecordFate::NotReached) {
      step.verdict = "FAILS: not reached, the run stops at record " + std::to_string(plan.by);
      step.code = kCodeNotReached;
      step.fails = true;
    } else {
      Apply(record, plan, step);
    }
    if (step.fails) ++counts.failing;
    return step;
  }

  PlanCounts counts;
  uint64_t looseBytes = 0;

 private:
  // The patcher's own step, on the view: the body is read as it reads it.
  void Apply(const PayloadRecord& record, const RecordPlan& plan, Version1Step& step) {
    const uint32_t number = record.resourceNumber;
    const auto size = static_cast<uint32_t>(record.storedSize);
    uint8_t* const body = buffer_.Reserve(size);
    if (!patch_.Seek64(static_cast<int64_t>(record.bodyOffset)) || patch_.Read(body, size) != size) {
      Fail(kExitFailedCheck, "patch " + Quoted(options_.patch) + ": reading failed part way");
    }
    const bool entry = number < kEntryCount;
    const ArchiveIndexEntry before = entry ? archive_.Entries()[number] : ArchiveIndexEntry{};
    const int64_t sizeBefore = view_.SizeOf(kDataFileName);
    const bool applied = archive_.ApplyPatch(number, body, size);
    const std::vector<DryRunWrite> writes = view_.TakeWrites();
    const std::vector<std::wstring> failedOpens = view_.TakeFailedOpens();
    bool changes = false;
    for (const DryRunWrite& write : writes) {
      changes = changes || write.changes;
      if (!IsArchiveFile(write.path)) looseBytes += write.length;
    }
    const int64_t growth = view_.SizeOf(kDataFileName) - sizeBefore;
    const std::string appended = "append (+" + Grouped(static_cast<uint64_t>(growth)) + " bytes)";
    step.grew = static_cast<uint64_t>(growth);
    if (!applied) {
      step.fails = true;
      step.verdict = FailureOf(number, plan.fate, !failedOpens.empty(), writes.empty(), step.code);
    } else if (plan.fate == RecordFate::Superseded) {
      step.verdict = "superseded by record " + std::to_string(plan.by);
      if (growth != 0) step.verdict += " (" + appended + " first)";
      ++counts.superseded;
    } else if (!changes) {
      step.verdict = "already applied";
      ++counts.already;
    } else if (entry) {
      step.verdict = archive_.Entries()[number].offset == before.offset ? "in place" : appended;
      // Rewriting the record clears them: say so.
      if (before.attributes != 0 && archive_.Entries()[number].attributes == 0) {
        step.verdict += " (attributes " + std::to_string(before.attributes) + " -> 0)";
        step.attributesCleared = before.attributes;
      }
      ++counts.applying;
    } else {
      step.verdict = "rewrite " + TargetName(number);
      ++counts.applying;
    }
  }

  // Why the patcher's step failed for resource `number`, and its code.
  static std::string FailureOf(uint32_t number, RecordFate fate, bool openFailed, bool nothingWritten,
                               const char*& code) {
    if (number >= kResourceLimit) {
      code = VerdictCode(Verdict::OutOfRange);
      return "FAILS: resource out of range (\"Failed\")";
    }
    if (fate == RecordFate::TooLarge) {
      code = VerdictCode(Verdict::TooLarge);
      return "FAILS: more than a loose file holds (" + Grouped(kLooseMaxBodySize) + " bytes; \"Failed\")";
    }
    if (number >= kEntryCount && openFailed) {
      code = VerdictCode(Verdict::Missing);
      return "FAILS: no such loose file " + TargetName(number) + " (\"Failed\")";
    }
    // The one way an entry fails here before writing a byte.
    if (number < kEntryCount && nothingWritten) {
      code = VerdictCode(Verdict::OutsideData);
      return "FAILS: its index record puts its slot outside DATA1.QPX (\"Failed\")";
    }
    code = kCodeFailed;
    return "FAILS: the patcher prints \"Failed\"";
  }

  CAbstractFile& patch_;
  const PlanOptions& options_;
  CFileSystem_DryRun& view_;
  ResourceArchive& archive_;
  CTransferBuffer buffer_;
};

int PlanVersion1(CAbstractFile& patch, const Payload& payload, const PlanOptions& options, CFileSystem_DryRun& view,
                 ResourceArchive& archive, Json& report) {
  Json rows = Json::array();  // put in the report once whole: a reference into it would not last
  const int64_t dataBefore = view.SizeOf(kDataFileName);
  Out(RecordRow("#", "resource", "target", "size", "what the patcher would do"));
  const std::vector<RecordPlan> plans = FollowPatcher(payload);
  Version1Plan plan(patch, options, view, archive);
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    const uint32_t number = record.resourceNumber;
    const Version1Step step = plan.Step(record, plans[i]);
    Out(RecordRow(std::to_string(i), std::to_string(number), TargetName(number),
                  std::to_string(static_cast<uint32_t>(record.storedSize)), step.verdict));
    Json row = RecordJson(i, record, step.verdict, step.code);
    if (step.grew != 0) row["growth"] = step.grew;
    if (step.attributesCleared != 0) row["attributesCleared"] = step.attributesCleared;
    if (plans[i].fate == RecordFate::Superseded || plans[i].fate == RecordFate::NotReached) row["by"] = plans[i].by;
    rows.push_back(std::move(row));
  }
  report["records"] = std::move(rows);
  uint64_t stored = 0;
  for (const PayloadRecord& record : payload.records) stored += record.storedSize;
  report["storedBytes"] = stored;
  // Version 1 checks nothing before it writes: no journal, no room counted, no refusal.
  report["refused"] = nullptr;
  report["refusal"] = nullptr;
  report["space"] = nullptr;

  const PlanCounts& counts = plan.counts;
  Out(GrowthLine(dataBefore, view.SizeOf(kDataFileName), plan.looseBytes));
  Out(Summary(counts.applying, counts.already, plans.size(), counts.failing, counts.superseded, counts.skipped));
  report["data"] = GrowthJson(dataBefore, view.SizeOf(kDataFileName));
  report["looseBytesWritten"] = plan.looseBytes;
  report["summary"] = counts.SummaryJson(plans.size(), false);
  return counts.failing == 0 ? kExitSuccess : kExitFailedCheck;
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

std::string PlanRow(const std::string& index, const std::string& resource, const std::string& target,
                const std::string& download, const std::string& written, const std::string& verdict) {
  char text[160];
  std::snprintf(text, sizeof text, "%6s  %8s  %-14s  %10s  %10s  ", index.c_str(), resource.c_str(), target.c_str(),
                download.c_str(), written.c_str());
  return text + verdict;
}

// A stopped run's journal is settled before anything else; what follows
// judges the game as it is now. Whether there is one, said.
void ReportJournal(CFileSystem_DryRun& view, const PlanOptions& options, Json& report) {
  const bool journal = view.Open(kJournalFileName, OpenMode_Read) != nullptr;
  report["journal"] = journal;
  if (journal) {
    Err("qpxtool plan: " + Quoted(options.gameDirectory) + " holds " + WideToText(kJournalFileName) +
        ", left by a run that was stopped: the patcher first finishes (or takes back) that run, which this plan "
        "does not show");
  }
}

// Version 2: what the patcher would do with each record its checks pass,
// its body decoded and proven by its hash as the patcher would, before it
// would write.
class Version2Plan {
 public:
  Version2Plan(CAbstractFile& patch, const Payload& payload, const PlanOptions& options, ResourceArchive& archive)
      : patch_(patch), payload_(payload), options_(options), archive_(archive) {}

  // Record `record`, whose check is `recordCheck` and plan `plan`, in words.
  std::string Step(const PayloadRecord& record, const RecordCheck& recordCheck, const RecordPlan& plan,
                   uint64_t& attributesCleared, const char*& code) {
    const uint32_t number = record.resourceNumber;
    if (recordCheck.verdict == Verdict::Skipped) {
      ++counts.skipped;
      return "skipped (size 0)";
    }
    if (recordCheck.verdict == Verdict::AlreadyApplied) {
      ++counts.already;
      return "already applied";
    }
    if (!Passes(recordCheck.verdict)) {
      ++counts.refused;
      code = VerdictCode(recordCheck.verdict);
      return "FAILS: " + VerdictText(record, recordCheck.verdict) + " (\"" +
             WideToText(CheckMessage(number, recordCheck.verdict)) + "\")";
    }
    std::span<const uint8_t> body;
    // A resource holding its result laid out otherwise is rewritten
    // from its own bytes, as the patcher does.
    const BodyOutcome outcome = recordCheck.verdict == Verdict::Rewrite
                                    ? ReadOwnResult(record, archive_, buffers_, body)
                                    : DecodeRecordBody(patch_, record, archive_, buffers_, body);
    if (outcome == BodyOutcome::CantRead) {
      Fail(kExitFailedCheck, "patch " + Quoted(options_.patch) + ": reading failed part way");
    }
    if (outcome == BodyOutcome::Damaged) code = kCodeBodyDamaged;
    std::string text = Written(record, recordCheck, plan, outcome, attributesCleared);
    if (recordCheck.verdict == Verdict::Rewrite) text += " (from its own bytes: it holds the result, laid out otherwise)";
    // Which old version the patcher took the resource for.
    if (payload_.version == kPayloadVersion3 && recordCheck.verdict != Verdict::Rewrite &&
        outcome == BodyOutcome::Ready) {
      text += " (the game holds " + WideToText(VersionsNamed(payload_, record.versions)) + ")";
    }
    if (outcome == BodyOutcome::Ready) {
      if (number < kEntryCount) dataGrowth += recordCheck.growth;
      else looseBytes += LooseFileLength(static_cast<uint32_t>(record.resultSize));
    }
    return text;
  }

  PlanCounts counts;
  uint64_t looseBytes = 0, dataGrowth = 0;

 private:
  // What becomes of a record whose body was decoded with `outcome`.
  std::string Written(const PayloadRecord& record, const RecordCheck& recordCheck, const RecordPlan& plan,
                      BodyOutcome outcome, uint64_t& attributesCleared) {
    const uint32_t number = record.resourceNumber;
    if (outcome == BodyOutcome::Damaged) {
      ++counts.failing;
      return "FAILS: its body does not decode to the resource it names (\"Failed\")";
    }
    if (plan.fate == RecordFate::Superseded) {
      ++counts.superseded;
      return "superseded by record " + std::to_string(plan.by);
    }
    ++counts.applying;
    if (number >= kEntryCount) return "rewrite " + TargetName(number);
    std::string text = recordCheck.inPlace ? "in place" : "append (+" + Grouped(recordCheck.growth) + " bytes)";
    // Written, an entry has attributes 0.
    if (const uint64_t attributes = archive_.Entries()[number].attributes; attributes != 0) {
      text += " (attributes " + std::to_string(attributes) + " -> 0)";
      attributesCleared = attributes;
    }
    return text;
  }

  CAbstractFile& patch_;
  const Payload& payload_;
  const PlanOptions& options_;
  ResourceArchive& archive_;
  BodyBuffers buffers_;
};

// The report of a version-2 patch that the patcher refuses: its status.
int ReportRefusal(const Payload& payload, const PatchCheck& check, const PlanCounts& counts, Json& report) {
  const bool versioned = payload.version == kPayloadVersion3;
  if (check.SpaceShort() != 0) {
    Out("FAILS: " + WideToText(ShortOfSpaceWords()) + " (" + Grouped(check.SpaceShort()) +
        " bytes more): the run needs " +
        Grouped(check.needed) + " bytes (what its files grow by, in whole units of " +
        Grouped(check.allocationUnit) + " bytes, and its journal), the game's disk has " +
        Grouped(check.freeSpace) + " free");
  }
  const std::string refusal = RefusalSummary(counts.refused, payload.records.size(), check.SpaceShort());
  Out(refusal);
  if (versioned && counts.refused != 0) {
    Out("plan: the patch updates " + WideToText(VersionsNamed(payload, ~uint64_t{0})) + " to " +
        WideToText(ConsoleSafe(payload.labels[0])));
  }
  Json codes = Json::array();
  if (counts.refused != 0) codes.push_back(kCodeRecordsRefused);
  if (check.SpaceShort() != 0) codes.push_back(kCodeDiskFull);
  report["refusal"] = {{"codes", std::move(codes)}, {"reason", refusal.substr(refusal.find(": ") + 2)}};
  // The patcher changes nothing.
  report["data"] = nullptr;
  report["looseBytesWritten"] = nullptr;
  report["summary"] = counts.SummaryJson(payload.records.size(), versioned);
  return kExitFailedCheck;
}

// Record `i`'s line and its row of the JSON report. `recordCheck` is its
// check, null for an alternative the game does not take (it holds the
// bytes of other versions).
Json Version2Row(std::size_t i, const Payload& payload, const RecordCheck* recordCheck, const RecordPlan& plan,
                 Version2Plan& steps, Progress& progress) {
  const PayloadRecord& record = payload.records[i];
  const uint32_t number = record.resourceNumber;
  uint64_t attributesCleared = 0;
  const char* code = nullptr;
  if (recordCheck == nullptr) ++steps.counts.forOthers;
  const std::string text = recordCheck != nullptr
                               ? steps.Step(record, *recordCheck, plan, attributesCleared, code)
                               : "for another version (" + WideToText(VersionsNamed(payload, record.versions)) + ")";
  progress.Advance(record.resultSize);
  Out(PlanRow(std::to_string(i), std::to_string(number), TargetName(number), std::to_string(record.storedSize),
          std::to_string(record.resultSize), text));
  Json row = RecordJson(i, record, text, code);
  if (recordCheck == nullptr) return row;
  if (row["action"] == "append") row["growth"] = recordCheck->growth;
  if (attributesCleared != 0) row["attributesCleared"] = attributesCleared;
  if (row["action"] == "superseded") row["by"] = plan.by;
  if (recordCheck->verdict == Verdict::Rewrite) row["fromItsOwnBytes"] = true;
  return row;
}

int PlanVersion2(CAbstractFile& patch, const Payload& payload, const PlanOptions& options, CFileSystem_DryRun& view,
                 ResourceArchive& archive, Json& report) {
  Json rows = Json::array();  // put in the report once whole: a reference into it would not last
  const int64_t dataBefore = view.SizeOf(kDataFileName);
  ReportJournal(view, options, report);
  report["records"] = nullptr;  // in its place among the keys; set once whole
  CTransferBuffer chunk;
  const std::span<uint8_t> buffer{chunk.Reserve(kMaxTransferChunk), kMaxTransferChunk};
  // Of a resource's alternatives (version 3), the one the patcher would
  // take for this game; the checks judge the chosen records.
  const Selection selection = SelectAlternatives(archive, payload, buffer);
  const PatchCheck check = CheckPatch(archive, selection.payload, buffer, &selection.inspected);
  std::vector<std::size_t> checkOf(payload.records.size(), payload.records.size());
  for (std::size_t k = 0; k < selection.chosen.size(); ++k) checkOf[selection.chosen[k]] = k;
  const std::vector<RecordPlan> plans = FollowPatcher(payload);

  Out(PlanRow("#", "resource", "target", "download", "result", "what the patcher would do"));
  // Every body is decoded as the patcher would decode it.
  uint64_t toDecode = 0;
  for (const PayloadRecord& record : payload.records) toDecode += record.resultSize;
  Progress progress("plan", toDecode);
  Version2Plan plan(patch, payload, options, archive);
  uint64_t downloaded = 0;
  std::set<std::pair<uint64_t, uint64_t>> bodies;  // each stored body's place
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    // Alternatives (version 3) that share a body download it once.
    if (payload.version != kPayloadVersion3 || bodies.insert({record.bodyOffset, record.storedSize}).second) {
      downloaded += record.storedSize;
    }
    rows.push_back(Version2Row(i, payload, checkOf[i] != payload.records.size() ? &check.records[checkOf[i]] : nullptr,
                               plans[i], plan, progress));
  }
  report["records"] = std::move(rows);
  report["storedBytes"] = downloaded;
  report["refused"] = !check.Passed();
  report["refusal"] = nullptr;
  report["space"] = {{"needed", check.needed},
                     {"free", check.freeSpaceKnown ? Json(check.freeSpace) : Json(nullptr)},
                     {"allocationUnit", check.allocationUnit},
                     {"short", check.SpaceShort()}};
  const PlanCounts& counts = plan.counts;
  if (!check.Passed()) return ReportRefusal(payload, check, counts, report);
  Out("download " + Grouped(downloaded) + " bytes; " +
      GrowthLine(dataBefore, dataBefore + static_cast<int64_t>(plan.dataGrowth), plan.looseBytes));
  Out(Summary(counts.applying, counts.already, payload.records.size(), counts.failing, counts.superseded,
              counts.skipped, counts.forOthers));
  report["data"] = GrowthJson(dataBefore, dataBefore + static_cast<int64_t>(plan.dataGrowth));
  report["looseBytesWritten"] = plan.looseBytes;
  report["summary"] = counts.SummaryJson(payload.records.size(), payload.version == kPayloadVersion3);
  return counts.failing == 0 ? kExitSuccess : kExitFailedCheck;
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
  CFileSystem_DryRun& view = game.PatcherFiles();
  if (options.json) StartJsonReport();
  Json report = JsonDocument("plan");
  report["patch"] = options.patch;
  report["game"] = options.gameDirectory;
  report["format"] = payload.version;
  if (!IsCheckedVersion(payload.version)) report["journal"] = nullptr;  // version 1 keeps none
  const int status = IsCheckedVersion(payload.version) ? PlanVersion2(*patch, payload, options, view, archive, report)
                                                         : PlanVersion1(*patch, payload, options, view, archive, report);
  if (options.json) WriteJsonReport(report);
  return status;
}

namespace {

CLI::App* AddPlan(CLI::App& app, PlanOptions& options) {
  CLI::App* const command = app.add_subcommand(
      "plan", "A dry run: what the patcher would do with each record of PATCH to GAMEDIR. Reads only.");
  command->add_option("PATCH", options.patch, "the patch, or - for standard input")->required();
  command->add_option("GAMEDIR", options.gameDirectory, "the game folder")->required();
  command->add_flag("--json", options.json, kJsonHelp);
  command->footer(
      "Judged by the patcher's own archive code on a view of GAMEDIR that writes nothing.\n"
      "Exit status: 0 every record would apply, 1 some would fail, 2 bad usage or input.");
  return command;
}

}  // namespace

std::unique_ptr<ToolCommand> PlanCommand() {
  return MakeCommand<PlanOptions>(AddPlan, RunPlan, "give the patch (or - for standard input) and the game folder");
}

}  // namespace qpx::tool
