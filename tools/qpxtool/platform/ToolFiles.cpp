#include "tools/qpxtool/platform/ToolFiles.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "src/filesystem/ExecutablePath.h"
#include "src/paths/Paths.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {

CopyResult CopyBytes(CAbstractFile& source, uint64_t offset, uint64_t size, CAbstractFile& target,
                     std::span<uint8_t> buffer) {
  bool writeShort = false;
  const bool done = ReadPieces(source, offset, size, buffer, [&](uint64_t, std::span<const uint8_t> piece) {
    const auto length = static_cast<uint32_t>(piece.size());
    writeShort = target.Write(piece.data(), length) != length;
    return !writeShort;
  });
  if (done) return CopyResult::Done;
  return writeShort ? CopyResult::WriteShort : CopyResult::ReadShort;
}

bool WriteBytes(CAbstractFile& file, std::span<const uint8_t> bytes) {
  return MoveInPieces<std::size_t>(bytes.size(), kCopyBufferSize, [&](std::size_t at, std::size_t length) {
           return std::size_t{file.Write(bytes.data() + at, static_cast<uint32_t>(length))};
         }) == bytes.size();
}

bool SameBytes(CAbstractFile& a, uint64_t offsetA, const std::string& nameA, CAbstractFile& b, uint64_t offsetB,
               const std::string& nameB, uint64_t size, CopyBuffer& bufferA, CopyBuffer& bufferB) {
  if (!b.Seek64(static_cast<int64_t>(offsetB))) Fail(kExitFailedCheck, nameB + ": cannot be read");
  bool bShort = false, differ = false;
  const bool done = ReadPieces(a, offsetA, size, bufferA.Span(), [&](uint64_t, std::span<const uint8_t> piece) {
    const auto length = static_cast<uint32_t>(piece.size());
    if (b.Read(bufferB.Span().data(), length) != length) {
      bShort = true;
      return false;
    }
    differ = std::memcmp(piece.data(), bufferB.Span().data(), length) != 0;
    return !differ;
  });
  if (bShort) Fail(kExitFailedCheck, nameB + ": reading failed part way");
  if (!done && !differ) Fail(kExitFailedCheck, nameA + ": reading failed part way");
  return done;
}

std::vector<uint8_t> ReadWhole(CFileSystem& fileSystem, const std::wstring& path, uint64_t offset, uint64_t size,
                               const std::string& name) {
  const auto file = fileSystem.Open(path.c_str(), OpenMode_Read);
  if (!file) Fail(kExitFailedCheck, name + ": cannot be opened for reading");
  return ReadWhole(*file, offset, size, name);
}

std::vector<uint8_t> ReadWhole(CAbstractFile& file, uint64_t offset, uint64_t size, const std::string& name) {
  if (size > SIZE_MAX) Fail(kExitFailedCheck, name + ": is too large to hold in memory");
  std::vector<uint8_t> bytes(static_cast<std::size_t>(size));
  CopyBuffer buffer;
  const bool read = ReadPieces(file, offset, size, buffer.Span(), [&](uint64_t done, std::span<const uint8_t> piece) {
    std::copy(piece.begin(), piece.end(), bytes.begin() + static_cast<std::ptrdiff_t>(done));
    return true;
  });
  if (!read) Fail(kExitFailedCheck, name + ": reading failed part way");
  return bytes;
}

void CopyToNewFile(CFileSystem& fileSystem, CAbstractFile& source, uint64_t offset, uint64_t size,
                   const std::string& sourceName, const std::wstring& path, CopyBuffer& buffer) {
  const std::string name = Quoted(PathToText(path));
  // Windows lets an interruption delete it while it is open.
  const auto file =
      fileSystem.Open(path.c_str(), OpenMode_Write | OpenMode_Create | OpenMode_New | OpenMode_ShareDelete);
  if (!file) Fail(kExitFailedCheck, name + ": cannot be created");
  switch (CopyBytes(source, offset, size, *file, buffer.Span())) {
    case CopyResult::Done: break;
    case CopyResult::ReadShort: Fail(kExitFailedCheck, sourceName + ": reading failed part way");
    case CopyResult::WriteShort: Fail(kExitFailedCheck, name + ": writing failed (disk full?)");
  }
  // Now, while it is open: once the folder that holds it is renamed into
  // place, a power cut must not leave the file there empty.
  if (!file->Flush()) Fail(kExitFailedCheck, name + ": cannot be flushed to the disk");
}

void FlushWrittenFile(CFileSystem& fileSystem, const std::wstring& path) {
  // A flush reaches the file's bytes whichever open of it wrote them.
  const auto file = fileSystem.Open(path.c_str(), OpenMode_Write);
  if (!file || !file->Flush()) Fail(kExitFailedCheck, Quoted(PathToText(path)) + ": cannot be flushed to the disk");
}

bool IsEmptyDirectory(CFileSystem& fileSystem, const std::wstring& directory) {
  std::vector<DirectoryEntry> entries;
  return fileSystem.ListDirectory(directory.c_str(), entries) && entries.empty();
}

TemporaryMade MakeTemporaryFile(CFileSystem& fileSystem, const std::wstring& path) {
  // Windows lets an interruption delete it while it is open.
  if (fileSystem.Open(path.c_str(), OpenMode_Write | OpenMode_Create | OpenMode_New | OpenMode_ShareDelete)) {
    return TemporaryMade::Made;
  }
  return fileSystem.NameExists(path.c_str()) ? TemporaryMade::Taken : TemporaryMade::Failed;
}

TemporaryMade MakeTemporaryFolder(CFileSystem& fileSystem, const std::wstring& path) {
  // The name carries this process's id, and only this process makes it:
  // one that is there is a stale one of a process that had the same id.
  if (fileSystem.NameExists(path.c_str())) return TemporaryMade::Taken;
  return fileSystem.CreateDirectory(path.c_str()) ? TemporaryMade::Made : TemporaryMade::Failed;
}

void FlushFolder(CFileSystem& fileSystem, const std::wstring& directory, const std::string& name) {
  if (!fileSystem.FlushDirectory(directory.c_str())) Fail(kExitFailedCheck, name + ": cannot be flushed to the disk");
}

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// How long work goes on before its progress is first drawn: a second, or
// QPXTOOL_PROGRESS_DELAY_MS (tests draw it at once).
int64_t ProgressDelayMs() {
  const char* const text = std::getenv("QPXTOOL_PROGRESS_DELAY_MS");
  uint32_t delay = 0;
  return text != nullptr && ParseDecimal(text, delay) ? int64_t{delay} : 1000;
}

}  // namespace

Progress::Progress(std::string label, uint64_t totalBytes)
    : label_(std::move(label)), total_(totalBytes), shown_(IsTerminal(stderr)), nextDrawMs_(NowMs() + ProgressDelayMs()) {}

Progress::~Progress() {
  if (drawn_) ShowStatus("");
}

void Progress::Advance(uint64_t bytes) {
  done_ += bytes;
  if (!shown_) return;
  const int64_t now = NowMs();
  if (now < nextDrawMs_) return;
  nextDrawMs_ = now + 200;
  drawn_ = true;
  const uint64_t percent = total_ == 0 ? 100 : std::min<uint64_t>(100, done_ * 100 / total_);
  ShowStatus(label_ + ": " + std::to_string(percent) + "% (" + Grouped(done_ >> 20) + " of " + Grouped(total_ >> 20) +
             " MiB)" + (detail_.empty() ? "" : "; " + detail_));
}

ReplacingOutput::ReplacingOutput(CFileSystem& fileSystem, const std::wstring& target)
    : fileSystem_(fileSystem), target_(target) {
  const std::wstring directory = DirectoryOf(target);
  const std::wstring name = target.substr(directory.size());
  if (!temporary_.Create(fileSystem_, directory + L"." + name + L".qpxtool-")) {
    Fail(kExitFailedCheck, "cannot create a file beside " + Quoted(PathToText(target)));
  }
  file_ = fileSystem_.Open(temporary_.Path().c_str(), OpenMode_Write | OpenMode_ShareDelete);
  if (!file_) {
    fileSystem_.DeleteFile(temporary_.Path().c_str());
    Fail(kExitFailedCheck, "cannot open " + Quoted(PathToText(temporary_.Path())) + " for writing");
  }
}

ReplacingOutput::~ReplacingOutput() {
  if (committed_) return;
  file_.reset();
  fileSystem_.DeleteFile(temporary_.Path().c_str());
}

void ReplacingOutput::Commit(const std::wstring& permissionsFrom) {
  const std::wstring& temporary = temporary_.Path();
  // Its bytes reach the disk before its name does: a power cut just after
  // the rename must not leave the target empty or partly written.
  if (!file_->Flush()) Fail(kExitFailedCheck, Quoted(PathToText(temporary)) + ": cannot be flushed to the disk");
  file_.reset();
  // A file that is replaced keeps its permission bits: whoever set them
  // meant them for whatever that name holds.
  const std::wstring& model = fileSystem_.KindOf(target_.c_str()) == PathKind::File ? target_ : permissionsFrom;
  if (!model.empty() && !fileSystem_.CopyPermissions(model.c_str(), temporary.c_str())) {
    Fail(kExitFailedCheck, "cannot give " + Quoted(PathToText(target_)) + " the permissions of " +
                               Quoted(PathToText(model)));
  }
  if (!fileSystem_.RenameReplacing(temporary.c_str(), target_.c_str())) {
    Fail(kExitFailedCheck, "cannot rename " + Quoted(PathToText(temporary)) + " to " +
                               Quoted(PathToText(target_)));
  }
  committed_ = true;
  // And the rename itself, which lives in the folder.
  FlushFolder(fileSystem_, DirectoryOf(target_), "the folder of " + Quoted(PathToText(target_)));
}

void RefuseOutputOverInputs(CFileSystem& fileSystem, const std::wstring& out, const std::string& outName,
                            const std::vector<ReadInput>& inputs) {
  const std::wstring trimmed = WithoutTrailingSeparators(out);
  const std::wstring folder = DirectoryOf(trimmed);
  if (!folder.empty() && fileSystem.KindOf(folder.c_str()) != PathKind::Directory) {
    Fail(kExitBadInput, outName + ": its folder does not exist");
  }
  const bool exists = fileSystem.KindOf(trimmed.c_str()) != PathKind::Missing;
  for (const ReadInput& input : inputs) {
    if (input.folder ? fileSystem.LiesWithin(trimmed.c_str(), input.path.c_str())
                     : exists && fileSystem.SameFile(trimmed.c_str(), input.path.c_str())) {
      Fail(kExitBadInput, outName + (input.folder ? ": lies inside " + input.name + ", which this command reads"
                                                  : ": is " + input.name + ", which this command reads") +
                              "; write it elsewhere");
    }
  }
}

void RefuseExistingOutput(CFileSystem& fileSystem, const std::wstring& out, const std::string& outName, bool force) {
  if (force) return;
  const std::wstring trimmed = WithoutTrailingSeparators(out);
  if (fileSystem.KindOf(trimmed.c_str()) == PathKind::Missing && !fileSystem.NameExists(trimmed.c_str())) return;
  Fail(kExitBadInput, outName + ": already exists; give -f (--force) to replace it, or write elsewhere");
}

std::unique_ptr<CAbstractFile> CopyOfStandardInput(CFileSystem& fileSystem, const std::string& name) {
  if (IsTerminal(stdin)) {
    Fail(kExitBadInput, name + ": standard input is a terminal; pipe or redirect the patch into it");
  }
  SetBinaryStandardInput();
  const std::wstring folder = TemporaryDirectory();
  InterruptibleFile temporary;
  if (!temporary.Create(fileSystem, folder + L".stdin.qpxtool-")) {
    Fail(kExitFailedCheck, "cannot create a file in " + Quoted(PathToText(folder)) + " for " + name);
  }
  auto file = fileSystem.Open(temporary.Path().c_str(), OpenMode_ReadWrite | OpenMode_ShareDelete);
  if (!file) {
    fileSystem.DeleteFile(temporary.Path().c_str());
    Fail(kExitFailedCheck, "cannot open " + Quoted(PathToText(temporary.Path())) + " for " + name);
  }
  // The name goes at once: the open file is all that is needed of it (on
  // Windows it goes when the file is closed).
  fileSystem.DeleteFile(temporary.Path().c_str());
  CopyBuffer buffer;
  const std::span<uint8_t> bytes = buffer.Span();
  for (;;) {
    const std::size_t read = std::fread(bytes.data(), 1, bytes.size(), stdin);
    const auto length = static_cast<uint32_t>(read);
    if (read != 0 && file->Write(bytes.data(), length) != length) {
      Fail(kExitFailedCheck, name + ": copying it failed (disk full?)");
    }
    if (read < bytes.size()) break;
  }
  if (std::ferror(stdin) != 0) Fail(kExitFailedCheck, name + ": reading failed part way");
  return file;
}

void RefuseTerminalOutput(const std::string& name) {
  if (IsTerminal(stdout)) {
    Fail(kExitBadInput, name + ": standard output is a terminal, and the bytes are binary; redirect it "
                               "(... > FILE) or give a file");
  }
}

namespace {

// Where the patcher of `kind` installed with this tool may lie, in the
// order it is looked for.
std::vector<std::wstring> StubCandidates(StubKind kind) {
  const wchar_t* const name = kind == StubKind::Windows ? L"qpxpatch.exe" : L"qpxpatch";
  const std::wstring folder = DirectoryOf(GetExecutablePath());  // with its separator
  std::vector<std::wstring> candidates;
  if (folder.size() > 1) {
    const std::wstring parent = DirectoryOf(folder.substr(0, folder.size() - 1));
    if (!parent.empty()) candidates.push_back(parent + L"share\\qpxpatch\\" + name);
  }
  if (!folder.empty()) candidates.push_back(folder + name);
  return candidates;
}

const char* StubName(StubKind kind) { return kind == StubKind::Windows ? "windows" : "linux"; }
const char* SystemName(StubKind kind) { return kind == StubKind::Windows ? "Windows" : "Linux"; }

}  // namespace

std::wstring InstalledStub(CFileSystem& fileSystem, StubKind kind) {
  const std::vector<std::wstring> candidates = StubCandidates(kind);
  for (const std::wstring& candidate : candidates) {
    if (fileSystem.KindOf(candidate.c_str()) == PathKind::File) return candidate;
  }
  std::string looked;
  for (const std::wstring& candidate : candidates) {
    looked += (looked.empty() ? "" : " or ") + Quoted(PathToText(candidate));
  }
  const std::string heading = kind == StubKind::Windows ? "--stub PATCHER is required: " : "--stub linux: ";
  Fail(kExitBadInput, heading + "no " + SystemName(kind) + " patcher is installed with qpxtool" +
                          (looked.empty() ? std::string() : " (no " + looked + ")") + "; " + InstalledStubsText(fileSystem));
}

std::string InstalledStubsText(CFileSystem& fileSystem) {
  std::string found;
  for (const StubKind kind : {StubKind::Windows, StubKind::Linux}) {
    for (const std::wstring& candidate : StubCandidates(kind)) {
      if (fileSystem.KindOf(candidate.c_str()) != PathKind::File) continue;
      found += std::string(found.empty() ? "" : ", ") + "--stub " + StubName(kind) + " for " +
               Quoted(PathToText(candidate));
      break;
    }
  }
  if (found.empty()) return "no patcher is installed with qpxtool: give the patcher program's file as --stub";
  return "installed with qpxtool: " + found;
}

std::string PatchKindText(CFileSystem& fileSystem, const std::wstring& patch) {
  const auto file = fileSystem.Open(patch.c_str(), OpenMode_Read);
  uint8_t start[4] = {};
  if (!file || file->Read(start, sizeof start) != sizeof start) return "a patch";
  if (start[0] == 'M' && start[1] == 'Z') return "a Windows patch";
  if (start[0] == 0x7F && start[1] == 'E' && start[2] == 'L' && start[3] == 'F') return "a Linux patch";
  return "a patch";
}

bool ReadSmallFile(CFileSystem& fileSystem, const std::wstring& path, uint32_t limit, std::string& text) {
  const auto file = fileSystem.Open(path.c_str(), OpenMode_Read);
  int64_t size = 0;
  if (!file || !file->QuerySize64(size) || size > int64_t{limit}) return false;
  text.resize(static_cast<std::size_t>(size));
  const auto length = static_cast<uint32_t>(size);
  return file->Read(text.data(), length) == length;
}

}  // namespace qpx::tool
