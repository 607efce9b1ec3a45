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
#include "src/filesystem/ProcessContext.h"
#include "src/filesystem/ProcessSetup.h"
#include "src/filesystem/Status.h"
#include "src/filesystem/SystemError.h"
#include "src/filesystem/TransferBuffer.h"

namespace qpx {
namespace {

RunEnd ReportOutcome(Console& console, int failed) {
  if (failed != 0) {
    ConsoleReport(console, lines::kFailedPatches, failed);
    return RunEnd::CannotApply;
  }
  ConsoleReport(console, lines::kSuccess);
  return RunEnd::Done;
}

// Notes the first request to stop at once, so that the player knows it
// was heard while the resource being written is finished.
class StopWatch {
 public:
  explicit StopWatch(Console& console) : console_(console) {}
  bool Requested() {
    if (!CStopRequests::Requested()) return false;
    if (!told_) ConsoleReport(console_, lines::kStopping);
    told_ = true;
    return true;
  }

 private:
  Console& console_;
  bool told_ = false;
};

// What a version-2 run says and how it ends, beyond the console: the line
// that says nothing was changed (after settling a stopped run's journal,
// something was), and who hears a request to stop.
struct RunContext {
  Console& console;
  StopWatch& stop;
  const wchar_t* nothingChanged = lines::kNothingChanged;
};

// How a run refused by its checks ends: try again where only the disk's
// room or a file another program holds stood in the way.
RunEnd RefusalEnd(const PatchCheck& check) {
  if (check.PastLargestFile()) return RunEnd::CannotApply;
  bool tryAgain = check.SpaceShort() != 0;
  for (const RecordCheck& record : check.records) {
    if (Passes(record.verdict)) continue;
    const bool held = (record.verdict == Verdict::NotWritable || record.verdict == Verdict::Unreadable) &&
                      MeaningOf(record.systemError) == ErrorMeaning::InUse;
    if (!held) return RunEnd::CannotApply;
    tryAgain = true;
  }
  return tryAgain ? RunEnd::TryAgain : RunEnd::CannotApply;
}

// A step that failed for want of room, or a file held: the player can
// free it and run again.
RunEnd FailureEnd(uint32_t systemError) {
  const ErrorMeaning meaning = MeaningOf(systemError);
  return meaning == ErrorMeaning::DiskFull || meaning == ErrorMeaning::InUse ? RunEnd::TryAgain : RunEnd::CannotApply;
}

// Version 1: applies every record of the table, in order, as it comes.
// Done when every patch applied.
RunEnd ApplyPatches(ResourceArchive& archive, CAbstractFile& executable, const Payload& payload,
                  CTransferBuffer& buffer, Console& console) {
  int failed = 0;
  for (const PayloadRecord& record : payload.records) {
    if (record.Skipped()) continue;
    ConsoleReport(console, lines::kProcessing, static_cast<int32_t>(record.resourceNumber));

    // A body outside the file is refused before memory is set aside for it.
    const auto size = static_cast<uint32_t>(record.storedSize);
    if (!BodyLiesInside(record, payload)) {
      ConsoleReport(console, lines::kCantReadPatchData);
      return RunEnd::CannotApply;
    }
    uint8_t* const body = buffer.Reserve(size);
    // A refused seek leaves the position where the last read stopped: the
    // bytes there are some other body, or the table, never this one.
    if (!executable.Seek64(static_cast<int64_t>(record.bodyOffset)) || executable.Read(body, size) != size) {
      ConsoleReport(console, lines::kCantReadPatchData);
      return RunEnd::CannotApply;
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

// Reports a version-2 run that ends before its commit, as `end`: the
// journal undone, the game is as it was; where even that failed, the next
// run undoes it (try again). `explanation`, when given, follows `reason`.
RunEnd StopBeforeCommit(RunJournal& journal, RunContext& run, RunEnd end, const wchar_t* reason = nullptr,
                        const std::wstring& explanation = std::wstring()) {
  if (reason != nullptr) ConsoleLine(run.console, reason);
  if (!explanation.empty()) ConsoleLine(run.console, explanation);
  if (!journal.RollBack()) {
    ConsoleReport(run.console, lines::kRunAgain);
    return RunEnd::TryAgain;
  }
  ConsoleReport(run.console, run.nothingChanged);
  return end;
}

// A stop asked for before the commit: everything staged is taken back.
RunEnd StopAsAsked(RunJournal& journal, Console& console) {
  ConsoleReport(console, journal.RollBack() ? lines::kStoppedAsItWas : lines::kRunAgain);
  return RunEnd::TryAgain;
}

// Shows how much of a large record is written, redrawn in place on one
// line of a terminal; the line is cleared when the record is done.
class ProgressSink final : public CByteSink {
 public:
  ProgressSink(CByteSink& inner, uint64_t total, Console* console, StopWatch& stop)
      : inner_(inner), total_(total), console_(console), stop_(stop) {}
  ~ProgressSink() override {
    if (console_ != nullptr && shown_ >= 0) console_->Write(lines::kProgressCleared);
  }
  ProgressSink(const ProgressSink&) = delete;
  ProgressSink& operator=(const ProgressSink&) = delete;

  bool Put(std::span<const uint8_t> bytes) override {
    if (!inner_.Put(bytes)) return false;
    stop_.Requested();  // heard at once; the resource is still finished
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
  StopWatch& stop_;
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

// Whether record `i` is the last of the table that writes anything.
bool LastToStage(const Payload& payload, std::size_t i) {
  return std::none_of(payload.records.begin() + static_cast<std::ptrdiff_t>(i) + 1, payload.records.end(),
                      [](const PayloadRecord& record) { return !record.Skipped(); });
}

// Records staged so far: every one, or the run's end.
struct Staged {
  bool all = true;
  RunEnd end = RunEnd::Done;
};
// Stages every record not applied yet, in table order, each body proven by
// its hash on its way in: one that is not its result fails the whole run,
// which then takes back what it staged. A stop asked for takes back
// everything staged, the record being written too (it gets no "Done").
Staged StageRecords(ResourceArchive& archive, CAbstractFile& executable, const Payload& payload,
                    const PatchCheck& check, RunJournal& journal, RunContext& run, bool progress) {
  Console& console = run.console;
  BodyBuffers buffers;
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    if (record.Skipped()) continue;
    // Nothing is in yet: undone, the game is as it was (and where that
    // fails, the next run undoes it).
    if (run.stop.Requested()) return {false, StopAsAsked(journal, console)};
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
                        progress && record.resultSize >= kProgressThreshold ? &console : nullptr, run.stop);
      outcome = rewrite ? StreamOwnResult(record, archive, buffers, sink, &journal)
                        : StreamRecordBody(executable, record, archive, buffers, sink, &journal);
      return outcome == BodyOutcome::Ready;
    });
    if (!staged) {
      if (outcome == BodyOutcome::CantRead) {
        ConsoleReport(console, lines::kCantReadPatchData);
        return {false, StopBeforeCommit(journal, run, RunEnd::DamagedPatch)};
      }
      ConsoleReport(console, lines::kFailed);
      ConsoleLine(console, FailedRecordLine(record, check.records[i], outcome == BodyOutcome::Damaged,
                                            staged.SystemError(), FolderForMessages()));
      ConsoleReport(console, lines::kFailedPatches, 1);
      const RunEnd end = outcome == BodyOutcome::Damaged ? RunEnd::CannotApply : FailureEnd(staged.SystemError());
      return {false, StopBeforeCommit(journal, run, end)};
    }
    // Heard while a record was staged: taken back with the rest, unless it
    // was the last, which the commit then seals for the next run to finish.
    if (run.stop.Requested() && !LastToStage(payload, i)) return {false, StopAsAsked(journal, console)};
    ConsoleReport(console, lines::kDone);
  }
  return {};
}

// Seals the staged changes and writes them in place. Done when the patch
// is in; from the commit on, what is not written now the next run writes.
RunEnd CommitAndApply(RunJournal& journal, RunContext& run) {
  const Status committed = journal.Commit();
  if (!committed) {
    return StopBeforeCommit(journal, run, FailureEnd(committed.SystemError()), lines::kCantWriteJournal,
                            JournalLine(JournalStep::Written, committed.SystemError(), FolderForMessages()));
  }
  const Status applied = journal.Apply(StopRequested);
  if (!applied) {
    const bool stopped = run.stop.Requested();
    ConsoleReport(run.console, lines::kRunAgain);
    if (!stopped) ConsoleLine(run.console, WritingGameFailedLine(applied.SystemError(), FolderForMessages()));
    return RunEnd::TryAgain;
  }
  return RunEnd::Done;
}

// The line that ends a run that changed nothing of its own, after
// settling what a stopped run left.
const wchar_t* NothingChangedAfter(Recovery recovery) {
  switch (recovery) {
    case Recovery::Finished: return lines::kStoppedRunFinished;
    case Recovery::Undone: return lines::kStoppedRunUndone;
    case Recovery::None:
    case Recovery::Failed: return lines::kNothingChanged;
  }
  return lines::kNothingChanged;
}

// Version 2: settles what a stopped run left, checks every record before
// writing anything, then stages each body not applied yet in the run's
// journal, commits, and writes in place. Whatever stops it, the next run
// of the same patch finishes the job. Done when every patch applied (or
// already was).
RunEnd ApplyCheckedPatches(ResourceArchive& archive, CAbstractFile& executable, const Payload& patch,
                           CTransferBuffer& buffer, Console& console, bool progress) {
  const CStopRequests stopRequests;
  StopWatch stop(console);
  Status settled = Status::Ok();
  const Recovery recovery = RecoverJournal(archive, &settled);
  if (recovery == Recovery::Failed) {
    ConsoleReport(console, lines::kRunAgain);
    ConsoleLine(console, SettlingFailedLine(settled.SystemError(), FolderForMessages()));
    return RunEnd::TryAgain;
  }
  RunContext run{console, stop, NothingChangedAfter(recovery)};
  const std::span<uint8_t> chunk{buffer.Reserve(kMaxTransferChunk), kMaxTransferChunk};
  // Of several alternatives for a resource (version 3), the one this game takes.
  const Selection selection = SelectAlternatives(archive, patch, chunk);
  const Payload& payload = selection.payload;
  const PatchCheck check = CheckPatch(archive, payload, chunk, &selection.inspected);
  if (!check.Passed()) {
    ReportRefusals(console, payload, check, std::wstring(), run.nothingChanged, &patch);
    return RefusalEnd(check);
  }
  RunJournal journal(archive);
  if (check.Writes()) {
    const Status begun = journal.Begin(check.journalBytes);
    if (!begun) {
      return StopBeforeCommit(journal, run, FailureEnd(begun.SystemError()), lines::kCantWriteJournal,
                              JournalLine(JournalStep::Made, begun.SystemError(), FolderForMessages()));
    }
    const Status reserved = journal.Reserve(check.dataEnd, LooseFilesWritten(payload, check));
    if (!reserved) {
      return StopBeforeCommit(journal, run, RunEnd::TryAgain, lines::kNoDiskSpace,
                              NoRoomLine(reserved.SystemError(), FolderForMessages()));
    }
  }
  const Staged staged = StageRecords(archive, executable, payload, check, journal, run, progress);
  if (!staged.all) return staged.end;
  if (check.Writes()) {
    const RunEnd end = CommitAndApply(journal, run);
    if (end != RunEnd::Done) return end;
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
// run's journal is left as it is. Done when the run would succeed.
RunEnd CheckOnly(ResourceArchive& archive, CAbstractFile& executable, const Payload& patch, CTransferBuffer& buffer,
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
    ConsoleReport(console, CheckEndLine(false));
    return RunEnd::DamagedPatch;
  }
  RunEnd end = check.Passed() ? RunEnd::Done : RefusalEnd(check);
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    // A refused record is listed with the refusals below, as the run lists them.
    if (payload.records[i].Skipped() || !Passes(check.records[i].verdict)) continue;
    if (damaged[i]) end = RunEnd::CannotApply;
    ConsoleLine(console, CheckedRecordLine(payload.records[i], check.records[i], damaged[i]));
  }
  if (!check.Passed()) ReportRefusals(console, payload, check, kRefusedPrefix, nullptr, &patch);
  // The journal the run makes: a folder where no file can be made refuses it.
  if (check.Passed() && check.Writes() && !archive.FileSystem().MayCreateFileIn(archive.Directory().c_str())) {
    ConsoleLine(console, lines::kCantWriteJournal);
    ConsoleLine(console, JournalLine(JournalStep::Made, SystemErrorAccessDenied(), FolderForMessages()));
    end = RunEnd::CannotApply;
  }
  ConsoleReport(console, CheckEndLine(end == RunEnd::Done, !check.Writes()));
  ReportVersions(console, payload, check);
  return end;
}

}  // namespace

namespace {

// Opens the archive in the current folder, holding the lock that keeps a
// second run out of it: one started while this one writes would write
// beside it. Done, or the end of a run that cannot go on, having said why.
RunEnd OpenGame(ResourceArchive& archive, bool checked, Console& console) {
  switch (archive.OpenArchiveLocked()) {
    case ResourceArchive::Opening::Opened: return RunEnd::Done;
    case ResourceArchive::Opening::Failed: {
      if (!checked) {
        ConsoleReport(console, lines::kCantOpenArchive, kDataFileName);
        return RunEnd::CannotApply;
      }
      // The first line names the file the next one explains.
      const ResourceArchive::OpeningFailure failure = archive.ExplainOpeningFailure();
      ConsoleReport(console, lines::kCantOpenArchive, *failure.file != L'\0' ? failure.file : kDataFileName);
      ConsoleLine(console, OpeningFailureLine(failure, FolderForMessages()));
      return MeaningOf(failure.systemError) == ErrorMeaning::InUse ? RunEnd::TryAgain : RunEnd::CannotApply;
    }
    case ResourceArchive::Opening::Busy: ConsoleReport(console, lines::kAnotherRun); return RunEnd::TryAgain;
  }
  return RunEnd::CannotApply;
}

// The patch's own file name, for the usage.
std::wstring ProgramName(const std::wstring& executablePath) {
  const std::size_t slash = executablePath.find_last_of(L"\\/");
  return slash == std::wstring::npos ? executablePath : executablePath.substr(slash + 1);
}

// A version-2 run after its payload is checked: as its arguments ask, in
// the folder they name.
RunEnd RunCheckedPayload(CFileSystem& fileSystem, CAbstractFile& executable, const Payload& payload,
                         CTransferBuffer& buffer, Console& console, const RunSettings& settings,
                         const std::wstring& executablePath) {
  const PatcherArguments& arguments = settings.arguments;
  switch (arguments.request) {
    // A description needs nothing of the game: its files are not opened.
    case PatcherRequest::Describe:
      console.Write(DescribePatch(payload, ProgramName(executablePath), settings.branding));
      return RunEnd::Done;
    case PatcherRequest::Version: console.Write(VersionLine(payload, settings.branding)); return RunEnd::Done;
    case PatcherRequest::Usage:
      ConsoleLine(console, UnknownArgumentLine(arguments.unknown));
      console.Write(UsageText(ProgramName(executablePath)));
      return RunEnd::Usage;
    case PatcherRequest::Run:
    case PatcherRequest::Check: break;
  }
  const bool check = arguments.request == PatcherRequest::Check;
  if (!arguments.folder.empty() && !EnterFolder(arguments.folder)) {
    const uint32_t error = LastSystemError();
    ConsoleReport(console, lines::kNoFolder);
    ConsoleLine(console, NoFolderLine(arguments.folder, error));
    if (check) ConsoleReport(console, CheckEndLine(false));
    return RunEnd::CannotApply;
  }
  if (check) ConsoleLine(console, CheckingLine(FolderForMessages()));
  ResourceArchive archive(fileSystem);
  const RunEnd opened = OpenGame(archive, /*checked=*/true, console);
  if (opened != RunEnd::Done) {
    // --check always ends with its verdict.
    if (check) ConsoleReport(console, CheckEndLine(false));
    return opened;
  }
  return check ? CheckOnly(archive, executable, payload, buffer, console)
               : ApplyCheckedPatches(archive, executable, payload, buffer, console, settings.progress);
}

}  // namespace

RunResult RunPatcher(CFileSystem& fileSystem, const std::wstring& executablePath, Console& console,
                     const RunSettings& settings) {
  RunResult result;
  // Until the payload says it is of the first version, the run is one of
  // today's: it waits only where someone can answer, and not when told not to.
  result.seedsWait = false;
  result.waitForKey = settings.someoneCanAnswer && !settings.arguments.noPause &&
                      settings.arguments.request == PatcherRequest::Run;
  // An empty path means the platform could not tell the whole path; a cut
  // one would open some other file.
  const std::unique_ptr<CAbstractFile> executable =
      executablePath.empty() ? nullptr : fileSystem.Open(executablePath.c_str(), OpenMode_Read);
  if (!executable) {
    ConsoleReport(console, lines::kCantOpenPatchData);
    ConsoleReport(console, lines::kDownloadAgain);
    result.end = RunEnd::DamagedPatch;
    return result;
  }
  Payload payload;
  const PayloadError error = ReadPayload(*executable, payload);
  // A version-1 patch ignores its arguments and waits for a character at
  // its end, as it always has.
  const bool checked = IsCheckedVersion(payload.version);
  if (payload.version == kPayloadVersion1) {
    result.seedsWait = true;
    result.waitForKey = true;
  }
  if (error != PayloadError::None) {
    ConsoleReport(console, PayloadMessage(error));
    if (payload.version == kPayloadVersion1) return result;
    ConsoleReport(console, lines::kDownloadAgain);
    result.end = RunEnd::DamagedPatch;
    return result;
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
    if (checked) ConsoleReport(console, lines::kDownloadAgain);
    result.end = checked ? RunEnd::DamagedPatch : RunEnd::CannotApply;
    return result;
  }
  if (checked) {
    result.end = RunCheckedPayload(fileSystem, *executable, payload, buffer, console, settings, executablePath);
    return result;
  }
  ResourceArchive archive(fileSystem);
  result.end = OpenGame(archive, /*checked=*/false, console);
  if (result.end == RunEnd::Done) result.end = ApplyPatches(archive, *executable, payload, buffer, console);
  return result;
}

bool RunPatcher(CFileSystem& fileSystem, const std::wstring& executablePath, Console& console) {
  return RunPatcher(fileSystem, executablePath, console, RunSettings{}).Succeeded();
}

}  // namespace qpx
