#include "src/app/run/PatchRunner.h"

#include <algorithm>
#include <memory>

#include "src/app/journal/RunJournal.h"
#include "src/app/payload/PatchPayload.h"
#include "src/app/payload/PayloadSeal.h"
#include "src/app/run/Alternatives.h"
#include "src/app/run/PatchCheck.h"
#include "src/app/run/RecordBody.h"
#include "src/app/run/RunMessages.h"
#include "src/archive/LooseFile.h"
#include "src/archive/ResourceArchive.h"
#include "src/filesystem/ProcessSetup.h"
#include "src/filesystem/Status.h"
#include "src/filesystem/SystemError.h"
#include "src/filesystem/TransferBuffer.h"

namespace qpx {
namespace {

bool ReportOutcome(Console& console, int failed) {
  if (failed != 0) {
    ConsoleReport(console, lines::kFailedPatches, failed);
    return false;
  }
  ConsoleReport(console, lines::kSuccess);
  return true;
}

// Version 1: applies every record of the table, in order, as it comes.
// True when every patch applied.
bool ApplyPatches(ResourceArchive& archive, CAbstractFile& executable, const Payload& payload,
                  CTransferBuffer& buffer, Console& console) {
  int failed = 0;
  for (const PayloadRecord& record : payload.records) {
    if (record.Skipped()) continue;
    ConsoleReport(console, lines::kProcessing, static_cast<int32_t>(record.resourceNumber));

    // A body outside the file is refused before memory is set aside for it.
    const auto size = static_cast<uint32_t>(record.storedSize);
    if (!BodyLiesInside(record, payload)) {
      ConsoleReport(console, lines::kCantReadPatchData);
      return false;
    }
    uint8_t* const body = buffer.Reserve(size);
    // A refused seek leaves the position where the last read stopped: the
    // bytes there are some other body, or the table, never this one.
    if (!executable.Seek64(static_cast<int64_t>(record.bodyOffset)) || executable.Read(body, size) != size) {
      ConsoleReport(console, lines::kCantReadPatchData);
      return false;
    }

    if (archive.ApplyPatch(record.resourceNumber, body, size)) {
      ConsoleReport(console, lines::kDone);
    } else {
      ConsoleReport(console, lines::kFailed);
      ++failed;
    }
  }
  return ReportOutcome(console, failed);
}

// Reports a version-2 run that ends before its commit: the journal undone,
// the game is as it was; where even that failed, the next run undoes it.
// `explanation`, when given, follows `reason`.
bool StopBeforeCommit(RunJournal& journal, Console& console, const wchar_t* reason = nullptr,
                      const std::wstring& explanation = std::wstring()) {
  if (reason != nullptr) ConsoleLine(console, reason);
  if (!explanation.empty()) ConsoleLine(console, explanation);
  ConsoleReport(console, journal.RollBack() ? lines::kNothingChanged : lines::kRunAgain);
  return false;
}

// Shows how much of a large record is written, redrawn in place on one
// line of a terminal; the line is cleared when the record is done.
class ProgressSink final : public CByteSink {
 public:
  ProgressSink(CByteSink& inner, uint64_t total, Console* console) : inner_(inner), total_(total), console_(console) {}
  ~ProgressSink() override {
    if (console_ != nullptr && shown_ >= 0) console_->Write(lines::kProgressCleared);
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
        ConsoleReport(*console_, lines::kProgress, percent);
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

// The loose files the run writes, each with the length it gets, in table
// order: what the journal sets room aside for, beside the data file's end.
std::vector<std::pair<uint32_t, uint64_t>> LooseFilesWritten(const Payload& payload, const PatchCheck& check) {
  std::vector<std::pair<uint32_t, uint64_t>> files;
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    if (!Writes(check.records[i].verdict) || record.resourceNumber < kEntryCount) continue;
    files.emplace_back(record.resourceNumber, LooseFileLength(static_cast<uint32_t>(record.resultSize)));
  }
  return files;
}

bool StopRequested() { return CStopRequests::Requested(); }

// Stages every record not applied yet, in table order, each body proven by
// its hash on its way in: one that is not its result fails the whole run,
// which then takes back what it staged. True when all are staged.
bool StageRecords(ResourceArchive& archive, CAbstractFile& executable, const Payload& payload, const PatchCheck& check,
                  RunJournal& journal, Console& console, bool progress) {
  BodyBuffers buffers;
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    if (record.Skipped()) continue;
    if (StopRequested()) {
      // Nothing is in yet: undone, the game is as it was (and where that
      // fails, the next run undoes it).
      journal.RollBack();
      ConsoleReport(console, lines::kRunAgain);
      return false;
    }
    ConsoleReport(console, lines::kProcessing, static_cast<int32_t>(record.resourceNumber));
    if (check.records[i].verdict == Verdict::AlreadyApplied) {
      ConsoleReport(console, lines::kAlreadyApplied);
      continue;
    }
    // Each body goes where it belongs as it is decoded, hashed on the way.
    const bool rewrite = check.records[i].verdict == Verdict::Rewrite;
    BodyOutcome outcome = BodyOutcome::WriteFailed;
    const Status staged = journal.Stage(record.resourceNumber, record.resultSize, [&](CByteSink& target) {
      ProgressSink sink(target, record.resultSize,
                        progress && record.resultSize >= kProgressThreshold ? &console : nullptr);
      outcome = rewrite ? StreamOwnResult(record, archive, buffers, sink, &journal)
                        : StreamRecordBody(executable, record, archive, buffers, sink, &journal);
      return outcome == BodyOutcome::Ready;
    });
    if (!staged) {
      if (outcome == BodyOutcome::CantRead) {
        ConsoleReport(console, lines::kCantReadPatchData);
        return StopBeforeCommit(journal, console);
      }
      ConsoleReport(console, lines::kFailed);
      ConsoleLine(console, FailedRecordLine(record, check.records[i], outcome == BodyOutcome::Damaged,
                                            staged.SystemError(), FolderForMessages()));
      ConsoleReport(console, lines::kFailedPatches, 1);
      return StopBeforeCommit(journal, console);
    }
    ConsoleReport(console, lines::kDone);
  }
  return true;
}

// Seals the staged changes and writes them in place. True when the patch
// is in; from the commit on, what is not written now the next run writes.
bool CommitAndApply(RunJournal& journal, Console& console) {
  const Status committed = journal.Commit();
  if (!committed) {
    return StopBeforeCommit(journal, console, lines::kCantWriteJournal,
                            JournalLine(JournalStep::Written, committed.SystemError(), FolderForMessages()));
  }
  const Status applied = journal.Apply(StopRequested);
  if (!applied) {
    ConsoleReport(console, lines::kRunAgain);
    if (!StopRequested()) ConsoleLine(console, WritingGameFailedLine(applied.SystemError(), FolderForMessages()));
    return false;
  }
  return true;
}

// Version 2: settles what a stopped run left, checks every record before
// writing anything, then stages each body not applied yet in the run's
// journal, commits, and writes in place. Whatever stops it, the next run
// of the same patch finishes the job. True when every patch applied (or
// already was).
bool ApplyCheckedPatches(ResourceArchive& archive, CAbstractFile& executable, const Payload& patch,
                         CTransferBuffer& buffer, Console& console, bool progress) {
  const CStopRequests stopRequests;
  Status settled = Status::Ok();
  if (RecoverJournal(archive, &settled) == Recovery::Failed) {
    ConsoleReport(console, lines::kRunAgain);
    ConsoleLine(console, SettlingFailedLine(settled.SystemError(), FolderForMessages()));
    return false;
  }
  const std::span<uint8_t> chunk{buffer.Reserve(kMaxTransferChunk), kMaxTransferChunk};
  // Of several alternatives for a resource (version 3), the one this game takes.
  const Selection selection = SelectAlternatives(archive, patch, chunk);
  const Payload& payload = selection.payload;
  const PatchCheck check = CheckPatch(archive, payload, chunk, &selection.inspected);
  if (!check.Passed()) {
    ReportRefusals(console, payload, check, std::wstring(), lines::kNothingChanged);
    return false;
  }
  RunJournal journal(archive);
  if (check.Writes()) {
    const Status begun = journal.Begin(check.journalBytes);
    if (!begun) {
      return StopBeforeCommit(journal, console, lines::kCantWriteJournal,
                              JournalLine(JournalStep::Made, begun.SystemError(), FolderForMessages()));
    }
    const Status reserved = journal.Reserve(check.dataEnd, LooseFilesWritten(payload, check));
    if (!reserved) {
      return StopBeforeCommit(journal, console, lines::kNoDiskSpace,
                              NoRoomLine(reserved.SystemError(), FolderForMessages()));
    }
  }
  if (!StageRecords(archive, executable, payload, check, journal, console, progress)) return false;
  if (check.Writes() && !CommitAndApply(journal, console)) return false;
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
    if (!Writes(check.records[i].verdict)) continue;
    if (std::find(seen.begin(), seen.end(), record.resourceNumber) != seen.end()) continue;
    seen.push_back(record.resourceNumber);
    Discard sink;
    const BodyOutcome outcome = check.records[i].verdict == Verdict::Rewrite
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
  const JournalFound found = InspectJournal(archive);
  if (found != JournalFound::None) ConsoleLine(console, JournalFoundLine(found == JournalFound::Sealed));
  const std::span<uint8_t> chunk{buffer.Reserve(kMaxTransferChunk), kMaxTransferChunk};
  const Selection selection = SelectAlternatives(archive, patch, chunk);
  const Payload& payload = selection.payload;
  const PatchCheck check = CheckPatch(archive, payload, chunk, &selection.inspected);
  bool unreadable = false;
  const std::vector<bool> damaged = FindDamagedBodies(archive, executable, payload, check, unreadable);
  if (unreadable) {
    ConsoleReport(console, lines::kCantReadPatchData);
    return false;
  }
  bool passes = check.Passed();
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    // A refused record is listed with the refusals below, as the run lists them.
    if (payload.records[i].Skipped() || !Passes(check.records[i].verdict)) continue;
    if (damaged[i]) passes = false;
    ConsoleLine(console, CheckedRecordLine(payload.records[i], check.records[i], damaged[i]));
  }
  if (!check.Passed()) ReportRefusals(console, payload, check, kRefusedPrefix, nullptr);
  // The journal the run makes: a folder where no file can be made refuses it.
  if (check.Passed() && check.Writes() && !archive.FileSystem().MayCreateFileIn(archive.Directory().c_str())) {
    ConsoleLine(console, lines::kCantWriteJournal);
    ConsoleLine(console, JournalLine(JournalStep::Made, SystemErrorAccessDenied(), FolderForMessages()));
    passes = false;
  }
  ConsoleReport(console, CheckEndLine(passes));
  ReportVersions(console, payload, check);
  return passes;
}

}  // namespace

namespace {

// Opens the archive in the current folder, holding the lock that keeps a
// second run out of it: one started while this one writes would write
// beside it. False, having said why, when it cannot.
bool OpenGame(ResourceArchive& archive, bool checked, Console& console) {
  switch (archive.OpenArchiveLocked()) {
    case ResourceArchive::Opening::Opened: return true;
    case ResourceArchive::Opening::Failed:
      ConsoleReport(console, lines::kCantOpenArchive, kDataFileName);
      if (checked) ConsoleLine(console, OpeningFailureLine(archive.ExplainOpeningFailure(), FolderForMessages()));
      return false;
    case ResourceArchive::Opening::Busy: ConsoleReport(console, lines::kAnotherRun); return false;
  }
  return false;
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
    ConsoleReport(console, lines::kCantOpenPatchData);
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
  if (request == PatcherRequest::Check) ConsoleLine(console, CheckingLine(FolderForMessages()));
  ResourceArchive archive(fileSystem);
  if (!OpenGame(archive, checked, console)) return result;
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
