// qpxtool plan: what a patch would do to a game folder, found by running the
// patcher's own archive code on a view of the folder that writes nothing.


#include "app/PatchPayload.h"
#include "archive/ArchiveIndexEntry.h"
#include "archive/LooseFile.h"
#include "archive/ResourceArchive.h"
#include "filesystem/TransferBuffer.h"
#include "tools/qpxtool/Commands.h"
#include "tools/qpxtool/DryRunFileSystem.h"
#include "tools/qpxtool/GameReader.h"
#include "tools/qpxtool/PatchReader.h"
#include "tools/qpxtool/ToolPlatform.h"
#include "tools/qpxtool/ToolText.h"

namespace qpx::tool {
namespace {

bool IsArchiveFile(const std::wstring& path) { return path == kIndexFileName || path == kDataFileName; }

}  // namespace

int RunPlan(CFileSystem& fileSystem, const PlanOptions& options) {
  std::unique_ptr<CAbstractFile> patch;
  Payload payload;
  OpenPatchOrFail(fileSystem, options.patch, patch, payload);
  const std::wstring directory = PathFromText(options.gameDirectory);
  GameReader game(fileSystem, directory, options.gameDirectory);  // refuses a path that is no folder

  DryRunFileSystem view(fileSystem, directory);
  ResourceArchive archive(view);
  if (!archive.OpenArchive()) {
    Fail(kExitBadInput, "game folder " + Quoted(options.gameDirectory) + ": the patcher would print \"Can't open " +
                            WideToText(kDataFileName) + "\"; is this a game folder?");
  }
  const int64_t dataBefore = view.SizeOf(kDataFileName);

  Out(RecordRow("#", "resource", "target", "size", "what the patcher would do"));
  const std::vector<RecordPlan> plans = FollowPatcher(payload);
  CTransferBuffer buffer;
  std::size_t applying = 0, failing = 0, skipped = 0, superseded = 0;
  uint64_t looseBytes = 0;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const PatchRecord& record = payload.records[i];
    const uint32_t number = record.resourceNumber;
    const RecordFate fate = plans[i].fate;
    std::string verdict;
    bool fails = false;
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
      uint8_t* const body = buffer.Reserve(record.bodySize);
      if (!patch->Seek64(record.bodyOffset) || patch->Read(body, record.bodySize) != record.bodySize) {
        Fail(kExitFailedCheck, "patch " + Quoted(options.patch) + ": reading failed part way");
      }
      const bool entry = number < kEntryCount;
      const ArchiveIndexEntry before = entry ? archive.Entries()[number] : ArchiveIndexEntry{};
      const int64_t sizeBefore = view.SizeOf(kDataFileName);
      const bool applied = archive.ApplyPatch(number, body, record.bodySize);
      const std::vector<DryRunWrite> writes = view.TakeWrites();
      const std::vector<std::wstring> failedOpens = view.TakeFailedOpens();
      bool changes = false;
      for (const DryRunWrite& write : writes) {
        changes = changes || write.changes;
        if (!IsArchiveFile(write.path)) looseBytes += write.length;
      }
      const int64_t growth = view.SizeOf(kDataFileName) - sizeBefore;
      const std::string appended = "append (+" + Grouped(static_cast<uint64_t>(growth)) + " bytes)";
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
        ++applying;
      } else if (entry) {
        verdict = archive.Entries()[number].offset == before.offset ? "in place" : appended;
        // Rewriting the record clears them: say so.
        if (before.attributes != 0 && archive.Entries()[number].attributes == 0) {
          verdict += " (attributes " + std::to_string(before.attributes) + " -> 0)";
        }
        ++applying;
      } else {
        verdict = "rewrite " + TargetName(number);
        ++applying;
      }
    }
    if (fails) ++failing;
    Out(RecordRow(std::to_string(i), std::to_string(number), TargetName(number), std::to_string(record.bodySize), verdict));
  }

  const int64_t dataAfter = view.SizeOf(kDataFileName);
  Out("DATA1.QPX: " + Grouped(static_cast<uint64_t>(dataBefore)) + " -> " + Grouped(static_cast<uint64_t>(dataAfter)) +
      " bytes (grows by " + Grouped(static_cast<uint64_t>(dataAfter - dataBefore)) + "); loose files: " +
      Grouped(looseBytes) + " bytes written");
  std::string summary = "plan: " + std::to_string(applying) + " of " + std::to_string(plans.size()) +
                        (plans.size() == 1 ? " record" : " records") + " would apply";
  if (failing != 0) summary += ", " + std::to_string(failing) + " would FAIL";
  if (superseded != 0) summary += ", " + std::to_string(superseded) + " superseded";
  if (skipped != 0) summary += ", " + std::to_string(skipped) + " skipped";
  Out(summary);
  return failing == 0 ? kExitSuccess : kExitFailedCheck;
}

}  // namespace qpx::tool
