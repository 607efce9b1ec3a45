// qpxtool list: a patch's records as the patcher would take them.

#include <cstdio>

#include "archive/ArchiveIndexEntry.h"
#include "archive/LooseFile.h"
#include "tools/qpxtool/Commands.h"
#include "tools/qpxtool/PatchReader.h"
#include "tools/qpxtool/PayloadWriter.h"
#include "tools/qpxtool/ToolPlatform.h"
#include "tools/qpxtool/ToolText.h"

namespace qpx::tool {
namespace {

std::string Row(const std::string& index, const std::string& resource, const std::string& target,
                const std::string& offset, const std::string& size, const std::string& note) {
  char text[160];
  std::snprintf(text, sizeof text, "%6s  %8s  %-14s  %10s  %10s", index.c_str(), resource.c_str(), target.c_str(),
                offset.c_str(), size.c_str());
  std::string row = text;
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
  }
  return "";
}

}  // namespace

int RunList(CFileSystem& fileSystem, const ListOptions& options) {
  std::unique_ptr<CAbstractFile> file;
  Payload payload;
  const PayloadError error = OpenPatch(fileSystem, PathFromText(options.patch), options.patch, file, payload);
  if (error != PayloadError::None) {
    Err("qpxtool list: patch " + Quoted(options.patch) + ": " + PatcherMessage(PayloadMessage(error)));
    return kExitFailedCheck;
  }

  const std::size_t count = payload.records.size();
  std::string layout;
  uint64_t programEnd = 0;
  std::string why;
  if (FindProgramEnd(payload, programEnd, why)) {
    layout = "program " + Grouped(programEnd) + " bytes, then the payload";
  } else {
    layout = "payload not laid out back to back (the patcher does not mind)";
  }
  Out("patch " + Quoted(options.patch) + ": " + Grouped(static_cast<uint64_t>(payload.fileSize + payload.signatureBytes)) +
      " bytes; " +
      layout + "; table at byte " + Grouped(payload.header.tableOffset) + ", " + std::to_string(count) +
      (count == 1 ? " record" : " records"));
  Out(payload.sealed ? "sealed: the seal holds (bytes " + Grouped(payload.seal.coveredStart) + ".." +
                           Grouped(static_cast<uint64_t>(payload.fileSize) - 1) + " are as they were written)"
                     : "not sealed: damage to it would go unnoticed");
  if (payload.signatureBytes != 0) {
    Out("signed: an Authenticode certificate table of " + Grouped(static_cast<uint64_t>(payload.signatureBytes)) +
        " bytes follows the payload");
  }
  Out(Row("#", "resource", "target", "offset", "size", "note"));

  const std::vector<RecordPlan> plans = FollowPatcher(payload);
  std::size_t entries = 0, looseFiles = 0, problems = 0;
  uint64_t bodyBytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const PatchRecord& record = payload.records[i];
    Out(Row(std::to_string(i), std::to_string(record.resourceNumber), TargetName(record.resourceNumber),
            std::to_string(record.bodyOffset), std::to_string(record.bodySize), Note(plans[i])));
    bodyBytes += record.bodySize;
    if (record.resourceNumber < kEntryCount) ++entries;
    else if (record.resourceNumber < kResourceLimit) ++looseFiles;
    if (IsProblem(plans[i].fate)) ++problems;
  }
  Out("total: " + std::to_string(count) + (count == 1 ? " record" : " records") + " (" + std::to_string(entries) +
      (entries == 1 ? " entry, " : " entries, ") + std::to_string(looseFiles) +
      (looseFiles == 1 ? " loose file" : " loose files") + "), " + Grouped(bodyBytes) + " bytes of bodies");

  for (std::size_t i = 0; i < count; ++i) {
    const RecordFate fate = plans[i].fate;
    if (fate == RecordFate::OutOfRange || fate == RecordFate::TooLarge) {
      Err("qpxtool list: patch " + Quoted(options.patch) + ": record " + std::to_string(i) +
          ": the patcher would print \"Failed\"");
    } else if (fate == RecordFate::Unreadable) {
      Err("qpxtool list: patch " + Quoted(options.patch) + ": record " + std::to_string(i) + ": the patcher would print \"" +
          PatcherMessage(L"Can't read patch data\n") + "\" and stop");
    }
  }
  return problems == 0 ? kExitSuccess : kExitFailedCheck;
}

}  // namespace qpx::tool
