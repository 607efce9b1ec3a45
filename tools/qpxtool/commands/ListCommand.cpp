// qpxtool list: a patch's records as the patcher would take them.

#include <cstdio>
#include <set>
#include <utility>

#include "src/app/run/Alternatives.h"
#include "src/app/run/PatchCheck.h"
#include "src/app/run/RunMessages.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "tools/qpxtool/authoring/PatchReader.h"
#include "tools/qpxtool/authoring/PayloadWriter.h"
#include "tools/qpxtool/commands/CommandLine.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/commands/ToolJson.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

// A version-1 record: where its body lies, and how long it is.
std::string Row(const std::string& index, const std::string& resource, const std::string& target,
                const std::string& offset, const std::string& size, const std::string& note) {
  char text[160];
  std::snprintf(text, sizeof text, "%6s  %8s  %-14s  %10s  %10s", index.c_str(), resource.c_str(), target.c_str(),
                offset.c_str(), size.c_str());
  std::string row = text;
  if (!note.empty()) row += "  " + note;
  return row;
}

// A version-2 record: also how its body is stored, the resource's size
// after the patch, and whether the record knows its bytes before.
std::string Row(const std::string& index, const std::string& resource, const std::string& target,
                const std::string& storage, const std::string& offset, const std::string& stored,
                const std::string& result, const std::string& base, const std::string& note) {
  char text[200];
  std::snprintf(text, sizeof text, "%6s  %8s  %-14s  %-6s  %10s  %10s  %10s  %-4s", index.c_str(), resource.c_str(),
                target.c_str(), storage.c_str(), offset.c_str(), stored.c_str(), result.c_str(), base.c_str());
  std::string row = text;
  while (row.ends_with(' ')) row.pop_back();
  if (!note.empty()) row += "  " + note;
  return row;
}

std::string Note(const RecordPlan& plan) {
  switch (plan.fate) {
    case RecordFate::Applied: return "";
    case RecordFate::Superseded: return "superseded by record " + std::to_string(plan.by);
    case RecordFate::Skipped: return "skipped: size 0";
    case RecordFate::OutOfRange: return "patcher: \"Failed\" (no such resource)";
    case RecordFate::TooLarge:
      return "patcher: \"Failed\" (a loose file holds at most " + Grouped(kLooseMaxBodySize) + " bytes)";
    case RecordFate::Unreadable: return "patcher: \"Can't read patch data\" (body outside the file); the run stops";
    case RecordFate::NotReached: return "not reached: the run stops at record " + std::to_string(plan.by);
    case RecordFate::Alternative: return "";
  }
  return "";
}

// Version 3: the old versions a record is for ("for 1.0, 1.1"), and the
// record its alternatives go with.
std::string VersionsNote(const Payload& payload, const PayloadRecord& record, const RecordPlan& plan) {
  std::string note = "for " + WideToText(VersionsNamed(payload, record.versions));
  if (plan.fate == RecordFate::Alternative) note += " (an alternative of record " + std::to_string(plan.by) + ")";
  return note;
}

// A version-2 patch refuses such a record before it writes anything.
std::string CheckedNote(const Payload& payload, const PayloadRecord& record, const RecordPlan& plan) {
  const Verdict verdict = TargetVerdict(record);
  if (Passes(verdict)) return payload.version == kPayloadVersion3 ? VersionsNote(payload, record, plan) : Note(plan);
  return "patcher: \"" + WideToText(CheckMessage(record.resourceNumber, verdict)) + "\"; it changes nothing";
}

// A record's fate in a word, for the JSON report.
const char* FateKey(RecordFate fate) {
  switch (fate) {
    case RecordFate::Applied: return "applies";
    case RecordFate::Superseded: return "superseded";
    case RecordFate::Skipped: return "skipped";
    case RecordFate::OutOfRange: return "no such resource";
    case RecordFate::TooLarge: return "too large";
    case RecordFate::Unreadable: return "body unreadable";
    case RecordFate::NotReached: return "not reached";
    case RecordFate::Alternative: return "alternative";
  }
  return "";
}

}  // namespace

namespace {

// The patch as a whole: its length, layout, format, seal and signature.
void ReportPatch(const std::string& patchText, const Payload& payload, Json& report) {
  const std::size_t count = payload.records.size();
  std::string layout;
  uint64_t programEnd = 0;
  std::string why;
  const bool laidOut = FindProgramEnd(payload, programEnd, why);
  if (laidOut) {
    layout = "program " + Grouped(programEnd) + " bytes, then the payload";
  } else {
    layout = "payload not laid out back to back (the patcher does not mind)";
  }
  Out("patch " + Quoted(patchText) + ": " + Grouped(static_cast<uint64_t>(payload.fileSize + payload.signatureBytes)) +
      " bytes; " + layout + "; table at byte " + Grouped(payload.tableOffset) + ", " + std::to_string(count) +
      (count == 1 ? " record" : " records"));
  if (payload.version == kPayloadVersion2) {
    Out("format 2: the patcher checks every record against the game before it writes anything");
  } else if (payload.version == kPayloadVersion3) {
    Out("format 3: the patch updates " + WideToText(VersionsNamed(payload, ~uint64_t{0})) + " to " +
        WideToText(ConsoleSafe(payload.labels[0])) + ", each resource from whichever of them the game holds; the "
        "patcher checks every record against the game before it writes anything");
  }
  Out(payload.sealed ? "sealed: the seal holds (bytes " + Grouped(payload.seal.coveredStart) + ".." +
                           Grouped(static_cast<uint64_t>(payload.fileSize) - 1) + " are as they were written)"
                     : "not sealed: damage to it would go unnoticed");
  if (payload.signatureBytes != 0) {
    Out("signed: an Authenticode certificate table of " + Grouped(static_cast<uint64_t>(payload.signatureBytes)) +
        " bytes follows the payload");
  }
  report["fileSize"] = static_cast<uint64_t>(payload.fileSize + payload.signatureBytes);
  report["format"] = payload.version;
  report["programEnd"] = laidOut ? Json(programEnd) : Json(nullptr);
  report["tableOffset"] = payload.tableOffset;
  report["sealed"] = payload.sealed;
  report["sealedBytes"] = payload.sealed ? Json{{"first", payload.seal.coveredStart},
                                                {"last", static_cast<uint64_t>(payload.fileSize) - 1}}
                                         : Json(nullptr);
  report["signatureBytes"] = static_cast<uint64_t>(payload.signatureBytes);
  if (payload.version == kPayloadVersion3) {
    report["labelNew"] = payload.labels[0];
    report["labels"] = std::vector<std::string>(payload.labels.begin() + 1, payload.labels.end());
  }
}

// Record `i` in the table and as the JSON report's row.
Json ListRecord(const Payload& payload, std::size_t i, const RecordPlan& plan) {
  const bool checked = IsCheckedVersion(payload.version);
  const PayloadRecord& record = payload.records[i];
  const std::string note = checked ? CheckedNote(payload, record, plan) : Note(plan);
  if (checked) {
    Out(Row(std::to_string(i), std::to_string(record.resourceNumber), TargetName(record.resourceNumber),
            EncodingName(record.encoding), std::to_string(record.bodyOffset), std::to_string(record.storedSize),
            std::to_string(record.resultSize), record.hasBase ? "yes" : "no", note));
  } else {
    Out(Row(std::to_string(i), std::to_string(record.resourceNumber), TargetName(record.resourceNumber),
            std::to_string(record.bodyOffset), std::to_string(record.storedSize), note));
  }
  Json row{{"index", i},
           {"resource", record.resourceNumber},
           {"target", TargetName(record.resourceNumber)},
           {"offset", record.bodyOffset},
           {"storedSize", record.storedSize}};
  if (checked) {
    row["encoding"] = EncodingName(record.encoding);
    row["resultSize"] = record.resultSize;
    row["hasBase"] = record.hasBase;
  }
  row["fate"] = checked && !Passes(TargetVerdict(record)) ? "refused" : FateKey(plan.fate);
  if (plan.fate == RecordFate::Superseded || plan.fate == RecordFate::NotReached ||
      plan.fate == RecordFate::Alternative) {
    row["by"] = plan.by;
  }
  if (payload.version == kPayloadVersion3) {
    Json named = Json::array();
    for (std::size_t v = 1; v < payload.labels.size(); ++v) {
      if ((record.versions >> (v - 1) & 1) != 0) named.push_back(payload.labels[v]);
    }
    row["versions"] = std::move(named);
  }
  row["note"] = note.empty() ? Json(nullptr) : Json(note);
  return row;
}

// What the records come to together.
struct ListTotals {
  std::size_t entries = 0, looseFiles = 0, problems = 0, withBase = 0;
  std::set<std::pair<uint64_t, uint64_t>> bodies;  // each stored body's place
  uint64_t storedBytes = 0, resultBytes = 0;
  bool resultsOverflow = false;

  void Add(const Payload& payload, const PayloadRecord& record, const RecordPlan& plan) {
    // Alternatives (version 3) that share a body download it once.
    if (payload.version != kPayloadVersion3 || bodies.insert({record.bodyOffset, record.storedSize}).second) {
      storedBytes += record.storedSize;
    }
    // A forged size may be anything: the sum must not wrap to a small one.
    resultsOverflow = resultsOverflow || record.resultSize > UINT64_MAX - resultBytes;
    resultBytes = resultsOverflow ? UINT64_MAX : resultBytes + record.resultSize;
    if (record.hasBase) ++withBase;
    if (record.resourceNumber < kEntryCount) ++entries;
    else if (record.resourceNumber < kResourceLimit) ++looseFiles;
    if (IsProblem(plan.fate)) ++problems;
  }

  void Report(const Payload& payload, Json& report) const {
    const bool checked = IsCheckedVersion(payload.version);
    const std::size_t count = payload.records.size();
    std::string total = "total: " + std::to_string(count) + (count == 1 ? " record" : " records") + " (" +
                        std::to_string(entries) + (entries == 1 ? " entry, " : " entries, ") +
                        std::to_string(looseFiles) + (looseFiles == 1 ? " loose file" : " loose files") + "), " +
                        Grouped(storedBytes) + " bytes of bodies";
    if (checked) {
      total += " for " + std::string(resultsOverflow ? "more than " : "") + Grouped(resultBytes) +
               " bytes of resources; " + std::to_string(withBase) + " of " + std::to_string(count) +
               (withBase == 1 ? " knows the bytes it replaces" : " know the bytes they replace");
    }
    Out(total);
    Json totals{{"records", count}, {"entries", entries}, {"looseFiles", looseFiles}, {"storedBytes", storedBytes}};
    if (checked) {
      // A sum past 2^64 is no number: null says so.
      totals["resultBytes"] = resultsOverflow ? Json(nullptr) : Json(resultBytes);
      totals["withBase"] = withBase;
    }
    report["totals"] = std::move(totals);
    report["problems"] = problems;
  }
};

// What the patcher would print for each record it fails, on standard error.
void ReportProblems(const std::string& patchText, const Payload& payload, const std::vector<RecordPlan>& plans) {
  const bool checked = IsCheckedVersion(payload.version);
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const RecordFate fate = plans[i].fate;
    const std::string where = "qpxtool list: patch " + Quoted(patchText) + ": record " + std::to_string(i);
    if (checked && (fate == RecordFate::OutOfRange || fate == RecordFate::TooLarge)) {
      Err(where + ": the patcher would print \"" +
          WideToText(CheckMessage(payload.records[i].resourceNumber, TargetVerdict(payload.records[i]))) +
          "\" and change nothing");
    } else if (fate == RecordFate::OutOfRange || fate == RecordFate::TooLarge) {
      Err(where + ": the patcher would print \"Failed\"");
    } else if (fate == RecordFate::Unreadable) {
      Err(where + ": the patcher would print \"" + PatcherMessage(L"Can't read patch data\n") + "\" and stop");
    }
  }
}

}  // namespace

int RunList(CFileSystem& fileSystem, const ListOptions& options) {
  std::unique_ptr<CAbstractFile> file;
  Payload payload;
  const PayloadError error = OpenPatch(fileSystem, PathFromText(options.patch), options.patch, file, payload);
  if (options.json) StartJsonReport();
  Json report;
  report["patch"] = options.patch;
  if (error != PayloadError::None) {
    Err("qpxtool list: patch " + Quoted(options.patch) + ": " + PatcherMessage(PayloadMessage(error)));
    if (options.json) {
      report["accepted"] = false;
      report["patcherMessage"] = PatcherMessage(PayloadMessage(error));
      WriteJsonReport(report);
    }
    return kExitFailedCheck;
  }
  report["accepted"] = true;
  ReportPatch(options.patch, payload, report);
  if (IsCheckedVersion(payload.version)) {
    Out(Row("#", "resource", "target", "stored", "offset", "size", "result", "base", "note"));
  } else {
    Out(Row("#", "resource", "target", "offset", "size", "note"));
  }
  const std::vector<RecordPlan> plans = FollowPatcher(payload);
  Json rows = Json::array();  // put in the report once whole: a reference into it would not last
  ListTotals totals;
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    rows.push_back(ListRecord(payload, i, plans[i]));
    totals.Add(payload, payload.records[i], plans[i]);
  }
  report["records"] = std::move(rows);
  totals.Report(payload, report);
  ReportProblems(options.patch, payload, plans);
  if (options.json) WriteJsonReport(report);
  return totals.problems == 0 ? kExitSuccess : kExitFailedCheck;
}

namespace {

CLI::App* AddList(CLI::App& app, ListOptions& options) {
  CLI::App* const command = app.add_subcommand(
      "list", "Check PATCH as the patcher would and print its records: target, body offset and size.");
  command->add_option("PATCH", options.patch, "the patch (a patcher with its payload), or - for standard input")
      ->required();
  command->add_flag("--json", options.json, kJsonHelp);
  command->footer(
      "Exit status: 0 the patcher would take every record, 1 it would refuse the patch or\n"
      "fail a record (its own message is printed), 2 bad usage or PATCH cannot be opened.");
  return command;
}

}  // namespace

std::unique_ptr<ToolCommand> ListCommand() {
  return MakeCommand<ListOptions>(AddList, RunList, "give the patch (or - for standard input)");
}

}  // namespace qpx::tool
