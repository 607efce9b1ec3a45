#include "app/run/PatchRunner.h"

#include <algorithm>
#include <memory>

#include "app/journal/RunJournal.h"
#include "app/payload/PatchPayload.h"
#include "app/payload/PayloadSeal.h"
#include "app/run/Alternatives.h"
#include "app/run/PatchCheck.h"
#include "app/run/RecordBody.h"
#include "app/run/RunMessages.h"
#include "archive/LooseFile.h"
#include "archive/ResourceArchive.h"
#include "filesystem/ProcessSetup.h"
#include "filesystem/SystemError.h"
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
// `explanation`, when given, follows `reason`: it is made before the undo,
// whose calls would overwrite the system's reason.
bool StopBeforeCommit(RunJournal& journal, Console& console, const wchar_t* reason = nullptr,
                      const std::wstring& explanation = std::wstring()) {
  if (reason != nullptr) ConsoleReport(console, L"%ls\n", reason);
  if (!explanation.empty()) ConsoleLine(console, explanation);
  ConsoleReport(console, journal.RollBack() ? L"Nothing was changed\n" : L"Stopped: run the patch again to finish\n");
  return false;
}

// Lists the records that fail their checks (the first ten, then a count),
// the disk's shortfall, and what the first refusal found in the folder.
void ReportRefusals(const Payload& payload, const PatchCheck& check, Console& console, const wchar_t* prefix) {
  std::size_t refused = 0, first = payload.records.size();
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    if (Passes(check.records[i].verdict)) continue;
    if (first == payload.records.size()) first = i;
    if (refused++ < kListedRefusals) {
      ConsoleReport(console, L"%ls%ls\n", prefix,
                    CheckMessage(payload.records[i].resourceNumber, check.records[i].verdict).c_str());
    }
  }
  if (refused > kListedRefusals) {
    ConsoleReport(console, L"... and %d more resources\n", static_cast<int32_t>(refused - kListedRefusals));
  }
  if (check.SpaceShort() != 0) ConsoleLine(console, SpaceMessage(check));
  if (first != payload.records.size()) {
    const std::wstring line = RefusalLine(payload.records[first], check.records[first], FolderForMessages());
    if (!line.empty()) ConsoleLine(console, line);
  }
  if (check.SpaceShort() != 0) ConsoleLine(console, SpaceLine(check, FolderForMessages()));
}

// Shows how much of a large record is written, redrawn in place on one
// line of a terminal; the line is cleared when the record is done.
class ProgressSink final : public CByteSink {
 public:
  ProgressSink(CByteSink& inner, uint64_t total, Console* console) : inner_(inner), total_(total), console_(console) {}
  ~ProgressSink() override {
    if (console_ != nullptr && shown_ >= 0) console_->Write(L"\r      \r");
  }
  ProgressSink(const ProgressSink&) = delete;
  ProgressSink& operator=(const ProgressSink&) = delete;

  bool Put(std::span<const uint8_t> bytes) override {
    if (!inner_.Put(bytes)) return false;
    done_ += bytes.size();
    if (console_ != nullptr && total_ != 0) {
      const auto percent = static_cast<int>(std::min<uint64_t>(done_, total_) * 100 / total_);
      if (percent != shown_) {
        shown_ = percent;
        ConsoleReport(*console_, L"\r%3d%%", percent);
      }
    }
    return true;
  }

 private:
  CByteSink& inner_;
  uint64_t total_;
  uint64_t done_ = 0;
  Console* console_;  // null: nothing shown
  int shown_ = -1;
};

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

// Why the run's journal could not be `done` ("made", "written").
std::wstring JournalLine(const wchar_t* done, uint32_t error) {
  return std::wstring(kJournalFileName) + L" cannot be " + done + L" in " + FolderForMessages() + ReasonSuffix(error) +
         L": is the folder read-only, or the disk full?";
}

// A patch for several old versions that refuses a resource as from
// another version says which versions it does take.
void ReportVersions(const Payload& payload, const PatchCheck& check, Console& console) {
  if (payload.version != kPayloadVersion3) return;
  for (const RecordCheck& record : check.records) {
    if (record.verdict == CheckVerdict::AnotherVersion) {
      ConsoleLine(console, UpdatesLine(payload));
      return;
    }
  }
}

// Version 2: settles what a stopped run left, checks every record before
// writing anything, then stages each body not applied yet (proven by its
// hash first) in the run's journal, commits, and writes in place. Whatever
// stops it, the next run of the same patch finishes the job. True when
// every patch applied (or already was).
bool ApplyCheckedPatches(ResourceArchive& archive, CAbstractFile& executable, const Payload& patch,
                         CTransferBuffer& buffer, Console& console, bool progress) {
  const CStopRequests stopRequests;
  SetLastSystemError(0);
  if (RecoverJournal(archive) == Recovery::Failed) {
    const uint32_t error = LastSystemError();
    ConsoleReport(console, L"Stopped: run the patch again to finish\n");
    ConsoleLine(console, L"Settling " + std::wstring(kJournalFileName) + L" in " + FolderForMessages() +
                             L", left by a run that was stopped, failed" + ReasonSuffix(error));
    return false;
  }
  const std::span<uint8_t> chunk{buffer.Reserve(kMaxTransferChunk), kMaxTransferChunk};
  // Of several alternatives for a resource (version 3), the one this game takes.
  const Selection selection = SelectAlternatives(archive, patch, chunk);
  const Payload& payload = selection.payload;
  const PatchCheck check = CheckPatch(archive, payload, chunk, &selection.inspected);
  if (!check.Passed()) {
    ReportRefusals(payload, check, console, L"");
    ConsoleReport(console, L"Nothing was changed\n");
    ReportVersions(payload, check, console);
    return false;
  }

  RunJournal journal(archive);
  if (check.Writes()) {
    SetLastSystemError(0);
    if (!journal.Begin(check.journalBytes)) {
      return StopBeforeCommit(journal, console, L"Can't write QPXPATCH.JNL in the game folder",
                              JournalLine(L"made", LastSystemError()));
    }
    if (!ReserveRoom(archive, payload, check)) {
      const uint32_t error = LastSystemError();
      return StopBeforeCommit(journal, console, L"Not enough disk space",
                              L"The disk of " + FolderForMessages() + L" has no room for what the patch adds" +
                                  ReasonSuffix(error));
    }
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
    uint32_t error = 0;
    SetLastSystemError(0);
    const bool staged = journal.Stage(record.resourceNumber, record.resultSize, [&](CByteSink& target) {
      ProgressSink sink(target, record.resultSize,
                        progress && record.resultSize >= kProgressThreshold ? &console : nullptr);
      outcome = rewritesItself ? StreamOwnResult(record, archive, buffers, sink, &journal)
                               : StreamRecordBody(executable, record, archive, buffers, sink, &journal);
      error = LastSystemError();
      return outcome == BodyOutcome::Ready;
    });
    if (!staged) {
      if (outcome == BodyOutcome::CantRead) return StopBeforeCommit(journal, console, L"Can't read patch data");
      // A write of the journal's own (an item's head, the fill, the record
      // after the body) failed outside the body's sink.
      if (error == 0) error = LastSystemError();
      ConsoleReport(console, L"Failed\n");
      ConsoleLine(console, FailedRecordLine(record, check.records[i], outcome == BodyOutcome::Damaged, error,
                                     FolderForMessages()));
      ConsoleReport(console, L"Failed patches: 1\n");
      return StopBeforeCommit(journal, console);
    }
    ConsoleReport(console, L"Done\n");
  }
  if (check.Writes()) {
    SetLastSystemError(0);
    if (!journal.Commit()) {
      return StopBeforeCommit(journal, console, L"Can't write QPXPATCH.JNL in the game folder",
                              JournalLine(L"written", LastSystemError()));
    }
    // From here the patch is in: what is not written now, the next run writes.
    SetLastSystemError(0);
    if (!journal.Apply(StopRequested)) {
      const uint32_t error = LastSystemError();
      ConsoleReport(console, L"Stopped: run the patch again to finish\n");
      if (!StopRequested()) {
        ConsoleLine(console, L"Writing the game in " + FolderForMessages() + L" failed" + ReasonSuffix(error));
      }
      return false;
    }
  }
  return ReportOutcome(console, 0);
}

// Says what the body of each record that writes decodes to, without
// writing it: a body that is not its record's result fails the run, which
// then changes nothing. The first record of each resource only: a later
// one is decoded against what an earlier one writes, which only the run
// makes.
std::vector<bool> FindDamagedBodies(ResourceArchive& archive, CAbstractFile& executable, const Payload& payload,
                                    const PatchCheck& check, bool& unreadable) {
  class Discard final : public CByteSink {
   public:
    bool Put(std::span<const uint8_t>) override { return true; }
  };
  std::vector<bool> damaged(payload.records.size(), false);
  std::vector<uint32_t> seen;
  BodyBuffers buffers;
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    if (check.records[i].verdict != CheckVerdict::Write) continue;
    if (std::find(seen.begin(), seen.end(), record.resourceNumber) != seen.end()) continue;
    seen.push_back(record.resourceNumber);
    Discard sink;
    const BodyOutcome outcome = check.records[i].rewritesItself
                                    ? StreamOwnResult(record, archive, buffers, sink)
                                    : StreamRecordBody(executable, record, archive, buffers, sink);
    if (outcome == BodyOutcome::CantRead) unreadable = true;
    damaged[i] = outcome == BodyOutcome::Damaged;
  }
  return damaged;
}

// --check: every check of a version-2 run, down to decoding each body,
// and per record what the run would do; nothing is written, and a stopped
// run's journal is left as it is. True when the run would succeed.
bool CheckOnly(ResourceArchive& archive, CAbstractFile& executable, const Payload& patch, CTransferBuffer& buffer,
               Console& console) {
  switch (InspectJournal(archive)) {
    case JournalFound::None: break;
    case JournalFound::Sealed:
      ConsoleReport(console, L"%ls holds the changes of a run that was stopped: the patch writes them first; this "
                             L"check sees the game without them\n", kJournalFileName);
      break;
    case JournalFound::Unsealed:
      ConsoleReport(console, L"%ls holds a run that was stopped before its changes were sealed: the patch takes it "
                             L"back first\n", kJournalFileName);
      break;
  }
  const std::span<uint8_t> chunk{buffer.Reserve(kMaxTransferChunk), kMaxTransferChunk};
  const Selection selection = SelectAlternatives(archive, patch, chunk);
  const Payload& payload = selection.payload;
  const PatchCheck check = CheckPatch(archive, payload, chunk, &selection.inspected);
  bool unreadable = false;
  const std::vector<bool> damaged = FindDamagedBodies(archive, executable, payload, check, unreadable);
  if (unreadable) {
    ConsoleReport(console, L"Can't read patch data\n");
    return false;
  }
  bool passes = check.Passed();
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    const RecordCheck& verdict = check.records[i];
    if (record.Skipped()) continue;
    const std::wstring target = ResourceTarget(record.resourceNumber);
    const std::wstring name = L"Patch " + std::to_wstring(static_cast<int32_t>(record.resourceNumber)) +
                              (target.empty() ? L"" : L" (" + target + L")");
    std::wstring what;
    if (!Passes(verdict.verdict)) {
      continue;  // listed with the refusals below, as the run lists them
    } else if (verdict.verdict == CheckVerdict::AlreadyApplied) {
      what = L"already applied";
    } else if (damaged[i]) {
      what = L"would fail: its body does not decode to the bytes the patch names (the patch is faulty)";
      passes = false;
    } else if (record.resourceNumber >= kEntryCount) {
      what = L"would apply (rewrites " + target + L")";
    } else {
      what = verdict.inPlace ? L"would apply (in place)" : L"would apply (appended to DATA1.QPX)";
    }
    ConsoleLine(console, name + L": " + what);
  }
  if (!check.Passed()) ReportRefusals(payload, check, console, L"Refused: ");
  // The journal the run makes: a folder where no file can be made refuses it.
  if (check.Passed() && check.Writes() && !archive.FileSystem().MayCreateFileIn(archive.Directory().c_str())) {
    ConsoleReport(console, L"Can't write QPXPATCH.JNL in the game folder\n");
    ConsoleLine(console, JournalLine(L"made", SystemErrorAccessDenied()));
    passes = false;
  }
  ConsoleReport(console, passes ? L"Check passed: the patch would apply; nothing was changed\n"
                                : L"Check failed: the patch would not apply; nothing was changed\n");
  ReportVersions(payload, check, console);
  return passes;
}

}  // namespace

RunResult RunPatcher(CFileSystem& fileSystem, const std::wstring& executablePath, Console& console,
                     const RunSettings& settings) {
  RunResult result;
  // An empty path means the platform could not tell the whole path; a cut
  // one would open some other file.
  const std::unique_ptr<CAbstractFile> executable =
      executablePath.empty() ? nullptr : fileSystem.Open(executablePath.c_str(), OpenMode_Read);
  if (!executable) {
    ConsoleReport(console, L"Can't open patch data\n");
    return result;
  }

  Payload payload;
  const PayloadError error = ReadPayload(*executable, payload);
  if (error != PayloadError::None) {
    ConsoleReport(console, PayloadMessage(error));
    return result;
  }
  // A version-1 patch ignores its arguments, as it always has.
  const bool checked = IsCheckedVersion(payload.version);
  const PatcherRequest request = checked ? settings.request : PatcherRequest::Run;
  result.waitForKey = request == PatcherRequest::Run;
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
    return result;
  }
  // A description needs nothing of the game: its files are not opened.
  if (request == PatcherRequest::Describe) {
    console.Write(DescribePatch(payload));
    result.success = true;
    return result;
  }
  if (request == PatcherRequest::Check) {
    ConsoleLine(console, L"Checking the game in " + FolderForMessages() + L"; nothing will be changed");
  }

  // One run at a time in a game folder: a second one, started while this
  // one writes, would write beside it.
  ResourceArchive archive(fileSystem);
  switch (archive.OpenArchiveLocked()) {
    case ResourceArchive::Opening::Opened: break;
    case ResourceArchive::Opening::Failed:
      ConsoleReport(console, L"Can't open %ls\n", kDataFileName);
      if (checked) {
        ConsoleLine(console, OpeningFailureLine(archive.ExplainOpeningFailure(), FolderForMessages()));
      }
      return result;
    case ResourceArchive::Opening::Busy:
      ConsoleReport(console, L"Another patch is running in this folder\nNothing was changed\n");
      return result;
  }
  if (request == PatcherRequest::Check) {
    result.success = CheckOnly(archive, *executable, payload, buffer, console);
  } else if (checked) {
    result.success = ApplyCheckedPatches(archive, *executable, payload, buffer, console, settings.progress);
  } else {
    result.success = ApplyPatches(archive, *executable, payload, buffer, console);
  }
  return result;
}

bool RunPatcher(CFileSystem& fileSystem, const std::wstring& executablePath, Console& console) {
  return RunPatcher(fileSystem, executablePath, console, RunSettings{}).success;
}

}  // namespace qpx
