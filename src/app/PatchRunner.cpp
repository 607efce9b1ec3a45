#include "app/PatchRunner.h"

#include <algorithm>
#include <memory>

#include "app/PatchCheck.h"
#include "app/PatchPayload.h"
#include "app/PayloadSeal.h"
#include "app/RecordBody.h"
#include "app/RunJournal.h"
#include "archive/LooseFile.h"
#include "archive/ResourceArchive.h"
#include "filesystem/ProcessSetup.h"
#include "filesystem/TransferBuffer.h"

namespace qpx {
namespace {

// Failed checks are listed up to this many; the rest are counted.
constexpr std::size_t kListedRefusals = 10;

bool ReportOutcome(Console& console, int failed) {
  if (failed != 0) {
    ConsoleReport(console, L"Failed patches: %d\n", failed);
    return false;
  }
  ConsoleReport(console, L"Success!\n");
  return true;
}

// Version 1: applies every record of the table, in order, as it comes.
// True when every patch applied.
bool ApplyPatches(ResourceArchive& archive, CAbstractFile& executable, const Payload& payload,
                  CTransferBuffer& buffer, Console& console) {
  int failed = 0;
  for (const PayloadRecord& record : payload.records) {
    if (record.Skipped()) continue;
    ConsoleReport(console, L"Processing patch %d\n", static_cast<int32_t>(record.resourceNumber));

    // A body outside the file is refused before memory is set aside for it.
    const auto size = static_cast<uint32_t>(record.storedSize);
    if (!BodyLiesInside(record, payload)) {
      ConsoleReport(console, L"Can't read patch data\n");
      return false;
    }
    uint8_t* const body = buffer.Reserve(size);
    // A refused seek leaves the position where the last read stopped: the
    // bytes there are some other body, or the table, never this one.
    if (!executable.Seek64(static_cast<int64_t>(record.bodyOffset)) || executable.Read(body, size) != size) {
      ConsoleReport(console, L"Can't read patch data\n");
      return false;
    }

    if (archive.ApplyPatch(record.resourceNumber, body, size)) {
      ConsoleReport(console, L"Done\n");
    } else {
      ConsoleReport(console, L"Failed\n");
      ++failed;
    }
  }
  return ReportOutcome(console, failed);
}

// Reports a version-2 run that ends before its commit: the journal undone,
// the game is as it was; where even that failed, the next run undoes it.
bool StopBeforeCommit(RunJournal& journal, Console& console, const wchar_t* reason = nullptr) {
  if (reason != nullptr) ConsoleReport(console, L"%ls\n", reason);
  ConsoleReport(console, journal.RollBack() ? L"Nothing was changed\n" : L"Stopped: run the patch again to finish\n");
  return false;
}

// Sets room aside for everything the run will write beyond today's files:
// the appended bodies and every loose file that grows. A full disk then
// fails here, before a byte of the game has changed.
bool ReserveRoom(ResourceArchive& archive, const Payload& payload, const PatchCheck& check) {
  if (!archive.ReserveData(static_cast<int64_t>(check.dataEnd))) return false;
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    if (check.records[i].verdict != CheckVerdict::Write || record.resourceNumber < kEntryCount) continue;
    const auto file = archive.OpenLooseFile(record.resourceNumber - kEntryCount, OpenMode_ReadWrite);
    const auto length = LooseFileLength(static_cast<uint32_t>(record.resultSize));
    if (!file || !file->Reserve64(static_cast<int64_t>(length))) return false;
  }
  return true;
}

bool StopRequested() { return CStopRequests::Requested(); }

// Version 2: settles what a stopped run left, checks every record before
// writing anything, then stages each body not applied yet (proven by its
// hash first) in the run's journal, commits, and writes in place. Whatever
// stops it, the next run of the same patch finishes the job. True when
// every patch applied (or already was).
bool ApplyCheckedPatches(ResourceArchive& archive, CAbstractFile& executable, const Payload& payload,
                         CTransferBuffer& buffer, Console& console) {
  const CStopRequests stopRequests;
  if (RecoverJournal(archive) == Recovery::Failed) {
    ConsoleReport(console, L"Stopped: run the patch again to finish\n");
    return false;
  }
  const PatchCheck check = CheckPatch(archive, payload, {buffer.Reserve(kMaxTransferChunk), kMaxTransferChunk});
  if (!check.Passed()) {
    std::size_t refused = 0;
    for (std::size_t i = 0; i < payload.records.size(); ++i) {
      if (Passes(check.records[i].verdict)) continue;
      if (refused++ < kListedRefusals) {
        ConsoleReport(console, L"%ls\n",
                      CheckMessage(payload.records[i].resourceNumber, check.records[i].verdict).c_str());
      }
    }
    if (refused > kListedRefusals) {
      ConsoleReport(console, L"... and %d more resources\n", static_cast<int32_t>(refused - kListedRefusals));
    }
    if (check.SpaceShort() != 0) ConsoleReport(console, L"%ls\n", SpaceMessage(check).c_str());
    ConsoleReport(console, L"Nothing was changed\n");
    return false;
  }

  RunJournal journal(archive);
  if (check.Writes()) {
    if (!journal.Begin(check.journalBytes)) {
      return StopBeforeCommit(journal, console, L"Can't write QPXPATCH.JNL in the game folder");
    }
    if (!ReserveRoom(archive, payload, check)) return StopBeforeCommit(journal, console, L"Not enough disk space");
  }
  BodyBuffers buffers;
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    if (record.Skipped()) continue;
    if (StopRequested()) {
      // Nothing is in yet: undone, the game is as it was (and where that
      // fails, the next run undoes it).
      journal.RollBack();
      ConsoleReport(console, L"Stopped: run the patch again to finish\n");
      return false;
    }
    ConsoleReport(console, L"Processing patch %d\n", static_cast<int32_t>(record.resourceNumber));
    if (check.records[i].verdict == CheckVerdict::AlreadyApplied) {
      ConsoleReport(console, L"Already applied\n");
      continue;
    }
    // Each body goes where it belongs as it is decoded, hashed on the way:
    // one that turns out not to be its result fails the whole run.
    const bool rewritesItself = check.records[i].rewritesItself;
    BodyOutcome outcome = BodyOutcome::WriteFailed;
    const bool staged = journal.Stage(record.resourceNumber, record.resultSize, [&](CByteSink& sink) {
      outcome = rewritesItself ? StreamOwnResult(record, archive, buffers, sink, &journal)
                               : StreamRecordBody(executable, record, archive, buffers, sink, &journal);
      return outcome == BodyOutcome::Ready;
    });
    if (!staged) {
      if (outcome == BodyOutcome::CantRead) return StopBeforeCommit(journal, console, L"Can't read patch data");
      ConsoleReport(console, L"Failed\nFailed patches: 1\n");
      return StopBeforeCommit(journal, console);
    }
    ConsoleReport(console, L"Done\n");
  }
  if (check.Writes()) {
    if (!journal.Commit()) return StopBeforeCommit(journal, console, L"Can't write QPXPATCH.JNL in the game folder");
    // From here the patch is in: what is not written now, the next run writes.
    if (!journal.Apply(StopRequested)) {
      ConsoleReport(console, L"Stopped: run the patch again to finish\n");
      return false;
    }
  }
  return ReportOutcome(console, 0);
}

}  // namespace

bool RunPatcher(CFileSystem& fileSystem, const std::wstring& executablePath, Console& console) {
  // An empty path means the platform could not tell the whole path; a cut
  // one would open some other file.
  const std::unique_ptr<CAbstractFile> executable =
      executablePath.empty() ? nullptr : fileSystem.Open(executablePath.c_str(), OpenMode_Read);
  if (!executable) {
    ConsoleReport(console, L"Can't open patch data\n");
    return false;
  }

  Payload payload;
  const PayloadError error = ReadPayload(*executable, payload);
  if (error != PayloadError::None) {
    ConsoleReport(console, PayloadMessage(error));
    return false;
  }
  // A sealed payload is checked whole before the archive is opened: a
  // damaged download must not write a single byte into the game. The check
  // reads the patcher's own file through one reused buffer of a few
  // megabytes, which then serves every body in turn: mapped views of it
  // would cost the system a page fault a page and count every byte hashed
  // as the program's memory.
  CTransferBuffer buffer;
  const PayloadError sealError = VerifySeal(*executable, payload, buffer, /*mapFile=*/false);
  if (sealError != PayloadError::None) {
    ConsoleReport(console, PayloadMessage(sealError));
    return false;
  }

  // One run at a time in a game folder: a second one, started while this
  // one writes, would write beside it.
  ResourceArchive archive(fileSystem);
  switch (archive.OpenArchiveLocked()) {
    case ResourceArchive::Opening::Opened: break;
    case ResourceArchive::Opening::Failed:
      ConsoleReport(console, L"Can't open %ls\n", kDataFileName);
      return false;
    case ResourceArchive::Opening::Busy:
      ConsoleReport(console, L"Another patch is running in this folder\nNothing was changed\n");
      return false;
  }
  if (payload.version == kPayloadVersion2) return ApplyCheckedPatches(archive, *executable, payload, buffer, console);
  return ApplyPatches(archive, *executable, payload, buffer, console);
}

}  // namespace qpx
