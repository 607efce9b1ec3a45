// qpxtool list: a patch's records as the patcher would take them.

#include <cstdio>
#include <optional>
#include <set>
#include <utility>

#include "src/app/run/Alternatives.h"
#include "src/app/run/PatchCheck.h"
#include "src/app/run/RunMessages.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "tools/qpxtool/authoring/Branding.h"
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
void ReportPatch(CFileSystem& fileSystem, const std::string& patchText, const Payload& payload, Json& report) {
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
  report["runsOn"] = RunsOnJson(PatchKindText(fileSystem, PathFromText(patchText)));
  report["fileSize"] = static_cast<uint64_t>(payload.fileSize + payload.signatureBytes);
  report["format"] = payload.version;
  report["programEnd"] = laidOut ? Json(programEnd) : Json(nullptr);
  report["tableOffset"] = payload.tableOffset;
  report["sealed"] = payload.sealed;
  report["sealedBytes"] = payload.sealed ? Json{{"first", payload.seal.coveredStart},
                                                {"last", static_cast<uint64_t>(payload.fileSize) - 1}}
                                         : Json(nullptr);
  report["signatureBytes"] = static_cast<uint64_t>(payload.signatureBytes);
  const bool versioned = payload.version == kPayloadVersion3;
  report["labelNew"] = versioned ? Json(payload.labels[0]) : Json(nullptr);
  report["labels"] = versioned ? Json(std::vector<std::string>(payload.labels.begin() + 1, payload.labels.end()))
                               : Json(nullptr);
}

// What the file properties of the program in front of the payload say (a
// Windows patch's version resource and icon): a line, and the report's
// "branding", null where a text is absent (and whole for a program that is
// no Windows one).
void ReportBranding(CAbstractFile& file, const Payload& payload, Json& report) {
  constexpr uint64_t kMaxReadProgram = 256u << 20;
  uint64_t programEnd = 0;
  std::string why;
  std::optional<ShownBranding> shown;
  if (FindProgramEnd(payload, programEnd, why) && programEnd <= kMaxReadProgram) {
    std::vector<uint8_t> program(programEnd);
    const auto size = static_cast<uint32_t>(programEnd);
    if (file.Seek64(0) && file.Read(program.data(), size) == size) shown = ReadBranding(program);
  }
  const auto text = [](const std::optional<std::string>& value) { return value ? Json(*value) : Json(nullptr); };
  if (!shown) {
    report["branding"] = nullptr;  // no Windows program: no file properties
    return;
  }
  report["branding"] = Json{{"product", text(shown->product)},
                            {"productVersion", text(shown->productVersion)},
                            {"company", text(shown->company)},
                            {"description", text(shown->description)},
                            {"icon", shown->iconImages != 0}};
  std::vector<std::string> parts;
  if (shown->product) parts.push_back("product " + Quoted(*shown->product));
  if (shown->productVersion) parts.push_back("version " + Quoted(*shown->productVersion));
  if (shown->company) parts.push_back("company " + Quoted(*shown->company));
  if (shown->description) parts.push_back("description " + Quoted(*shown->description));
  std::string line = "file properties: ";
  for (std::size_t i = 0; i < parts.size(); ++i) line += (i == 0 ? "" : ", ") + parts[i];
  if (parts.empty()) line += "none";
  line += shown->iconImages == 0 ? "; no icon" : "; an icon of " + Counted(shown->iconImages, "image", "images");
  Out(line);
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
  const bool refused = checked && !Passes(TargetVerdict(record));
  const bool hasBy = plan.fate == RecordFate::Superseded || plan.fate == RecordFate::NotReached ||
                     plan.fate == RecordFate::Alternative;
  std::vector<std::string> oldLabels;
  if (payload.version == kPayloadVersion3) oldLabels.assign(payload.labels.begin() + 1, payload.labels.end());
  Json row = TableRecordJson(record, i, checked, payload.version == kPayloadVersion3 ? &oldLabels : nullptr);
  // The record's fate comes before the versions it is for, as it always did.
  Json versions = std::move(row["versions"]);
  row.erase("versions");
  row["fate"] = refused ? "refused" : FateKey(plan.fate);
  row["code"] = refused ? Json(VerdictCode(TargetVerdict(record))) : FateCode(plan.fate);
  row["by"] = hasBy ? Json(plan.by) : Json(nullptr);
  row["versions"] = std::move(versions);
  row["note"] = note.empty() ? Json(nullptr) : Json(note);
  return row;
}

// What the records come to together.
struct ListTotals {
  std::size_t entries = 0, looseFiles = 0, outOfRange = 0, problems = 0, withBase = 0;
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
    else ++outOfRange;
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
    // A sum past 2^64 is no number: null says so.
    report["totals"] = {{"records", count},
                        {"entries", entries},
                        {"looseFiles", looseFiles},
                        {"outOfRange", outOfRange},
                        {"storedBytes", storedBytes},
                        {"resultBytes", resultsOverflow ? Json(nullptr) : Json(resultBytes)},
                        {"withBase", checked ? Json(withBase) : Json(nullptr)}};
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
  Json report = JsonDocument("list");
  report["patch"] = options.patch;
  if (error != PayloadError::None) {
    Err("qpxtool list: patch " + Quoted(options.patch) + ": " + PatcherMessage(PayloadMessage(error)));
    if (options.json) {
      report["accepted"] = false;
      report["patcherMessage"] = PatcherMessage(PayloadMessage(error));
      // Every key of the document, null: the patcher finds no payload to tell of.
      for (const char* key : {"runsOn", "fileSize", "format", "programEnd", "tableOffset", "sealed", "sealedBytes",
                              "signatureBytes", "branding", "labelNew", "labels", "records", "totals", "problems"}) {
        report[key] = nullptr;
      }
      WriteJsonReport(report);
    }
    return kExitFailedCheck;
  }
  report["accepted"] = true;
  report["patcherMessage"] = nullptr;
  ReportPatch(fileSystem, options.patch, payload, report);
  ReportBranding(*file, payload, report);
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
