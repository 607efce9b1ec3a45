#include "app/PatchRunner.h"

#include <memory>

#include "app/PatchPayload.h"
#include "app/PayloadSeal.h"
#include "archive/ResourceArchive.h"
#include "filesystem/TransferBuffer.h"

namespace qpx {
namespace {

// Applies every record of the table to the archive in the current
// directory. True when every patch applied.
bool ApplyPatches(CFileSystem& fileSystem, CAbstractFile& executable, const Payload& payload,
                  CTransferBuffer& buffer, Console& console) {
  ResourceArchive archive(fileSystem);
  if (!archive.OpenArchive()) {
    ConsoleReport(console, L"Can't open %ls\n", kDataFileName);
    return false;
  }

  int failed = 0;
  for (const PatchRecord& record : payload.records) {
    if (record.bodySize == 0) continue;
    ConsoleReport(console, L"Processing patch %d\n", static_cast<int32_t>(record.resourceNumber));

    // A body outside the file is refused before memory is set aside for it.
    if (!LiesInside(record.bodyOffset, record.bodySize, payload.fileSize)) {
      ConsoleReport(console, L"Can't read patch data\n");
      return false;
    }
    uint8_t* const body = buffer.Reserve(record.bodySize);
    // A refused seek leaves the position where the last read stopped: the
    // bytes there are some other body, or the table, never this one.
    if (!executable.Seek64(record.bodyOffset) || executable.Read(body, record.bodySize) != record.bodySize) {
      ConsoleReport(console, L"Can't read patch data\n");
      return false;
    }

    if (archive.ApplyPatch(record.resourceNumber, body, record.bodySize)) {
      ConsoleReport(console, L"Done\n");
    } else {
      ConsoleReport(console, L"Failed\n");
      ++failed;
    }
  }

  if (failed != 0) {
    ConsoleReport(console, L"Failed patches: %d\n", failed);
    return false;
  }
  ConsoleReport(console, L"Success!\n");
  return true;
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
  return ApplyPatches(fileSystem, *executable, payload, buffer, console);
}

}  // namespace qpx
