#include "app/PatchRunner.h"

#include <algorithm>
#include <memory>

#include "app/PatchCheck.h"
#include "app/PatchPayload.h"
#include "app/PayloadSeal.h"
#include "app/RecordBody.h"
#include "archive/ResourceArchive.h"
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

// Sets aside, once, the memory the largest body to write needs: fresh
// memory costs a page fault a page, and growing the buffers body after body
// would pay that again for every larger one.
void ReserveFor(const Payload& payload, const PatchCheck& check, BodyBuffers& buffers) {
  uint64_t result = 0, base = 0;
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    if (check.records[i].verdict != CheckVerdict::Write) continue;
    const PayloadRecord& record = payload.records[i];
    result = std::max(result, record.resultSize);
    if (record.encoding == BodyEncoding::Delta) base = std::max(base, record.baseSize);
  }
  // The checks have refused sizes beyond 32 bits.
  if (result != 0) buffers.result.Reserve(static_cast<uint32_t>(result));
  if (base != 0) buffers.base.Reserve(static_cast<uint32_t>(base));
}

// Version 2: checks every record before writing anything, then applies
// those not applied yet, each body proven by its hash before it is
// written. True when every patch applied (or already was).
bool ApplyCheckedPatches(ResourceArchive& archive, CAbstractFile& executable, const Payload& payload,
                         CTransferBuffer& buffer, Console& console) {
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

  BodyBuffers buffers;
  ReserveFor(payload, check, buffers);
  int failed = 0;
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    if (record.Skipped()) continue;
    ConsoleReport(console, L"Processing patch %d\n", static_cast<int32_t>(record.resourceNumber));
    if (check.records[i].verdict == CheckVerdict::AlreadyApplied) {
      ConsoleReport(console, L"Already applied\n");
      continue;
    }
    std::span<const uint8_t> body;
    switch (DecodeRecordBody(executable, record, archive, buffers, body)) {
      case BodyOutcome::CantRead: ConsoleReport(console, L"Can't read patch data\n"); return false;
      case BodyOutcome::Damaged:
        ConsoleReport(console, L"Failed\n");
        ++failed;
        continue;
      case BodyOutcome::Ready: break;
    }
    if (archive.ApplyPatch(record.resourceNumber, body.data(), static_cast<uint32_t>(body.size()))) {
      ConsoleReport(console, L"Done\n");
    } else {
      ConsoleReport(console, L"Failed\n");
      ++failed;
    }
  }
  return ReportOutcome(console, failed);
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
  // hashes the patcher's own file where it lies (the system keeps a running
  // program's file from being written); one buffer serves what it reads and
  // then every body in turn.
  CTransferBuffer buffer;
  const PayloadError sealError = VerifySeal(*executable, payload, buffer, /*mapFile=*/true);
  if (sealError != PayloadError::None) {
    ConsoleReport(console, PayloadMessage(sealError));
    return false;
  }

  ResourceArchive archive(fileSystem);
  if (!archive.OpenArchive()) {
    ConsoleReport(console, L"Can't open %ls\n", kDataFileName);
    return false;
  }
  if (payload.version == kPayloadVersion2) return ApplyCheckedPatches(archive, *executable, payload, buffer, console);
  return ApplyPatches(archive, *executable, payload, buffer, console);
}

}  // namespace qpx
