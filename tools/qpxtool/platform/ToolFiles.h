#pragma once
// File work shared by the subcommands: streaming copies through a fixed
// buffer, and output files that appear only when complete.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "src/filesystem/FileSystem.h"
#include "src/filesystem/TransferBuffer.h"
#include "tools/qpxtool/platform/ToolPlatform.h"

namespace qpx::tool {

// Every copy moves at most this much at a time: memory stays flat whatever
// the sizes, and each transfer is one large sequential read or write.
inline constexpr uint32_t kCopyBufferSize = 1u << 20;

// The file layer's buffer, which starts on a page: the kernel copies into
// a buffer that is not 32-byte aligned (as one from the heap is not) at a
// quarter of the speed.
class CopyBuffer {
 public:
  CopyBuffer() : bytes_(buffer_.Reserve(kCopyBufferSize)) {}
  std::span<uint8_t> Span() const { return {bytes_, kCopyBufferSize}; }

 private:
  CTransferBuffer buffer_;
  uint8_t* bytes_;
};

enum class CopyResult { Done, ReadShort, WriteShort };

// Copies `size` bytes of `source` from `offset` to `target` at its position.
CopyResult CopyBytes(CAbstractFile& source, uint64_t offset, uint64_t size, CAbstractFile& target,
                     std::span<uint8_t> buffer);

// Writes all of `bytes` (of any length) at the position of `file`, a
// piece of at most kCopyBufferSize at a time. False when a write falls
// short.
bool WriteBytes(CAbstractFile& file, std::span<const uint8_t> bytes);

// Reads `size` bytes at `offset` of `file` in pieces through `buffer`,
// handing each piece to `visit` (which returns false to stop). False when a
// read falls short or `visit` stopped.
template <typename Visit>
bool ReadPieces(CAbstractFile& file, uint64_t offset, uint64_t size, std::span<uint8_t> buffer, Visit visit) {
  if (!file.Seek64(static_cast<int64_t>(offset))) return false;
  uint64_t done = 0;
  while (done < size) {
    const auto piece = static_cast<uint32_t>(std::min<uint64_t>(size - done, buffer.size()));
    if (file.Read(buffer.data(), piece) != piece) return false;
    if (!visit(done, std::span<const uint8_t>(buffer.data(), piece))) return false;
    done += piece;
  }
  return true;
}

// Whether the `size` bytes at `offsetA` of `a` equal those at `offsetB` of
// `b` (two distinct open files), compared a piece at a time. Throws
// ToolError (kExitFailedCheck) naming `nameA` or `nameB` when a read falls
// short.
bool SameBytes(CAbstractFile& a, uint64_t offsetA, const std::string& nameA, CAbstractFile& b, uint64_t offsetB,
               const std::string& nameB, uint64_t size, CopyBuffer& bufferA, CopyBuffer& bufferB);

// Reads the `size` bytes at `offset` of the file `path` (or of `file`) whole. Throws
// ToolError (kExitFailedCheck) naming `name` when they cannot all be read.
std::vector<uint8_t> ReadWhole(CFileSystem& fileSystem, const std::wstring& path, uint64_t offset, uint64_t size,
                               const std::string& name);
std::vector<uint8_t> ReadWhole(CAbstractFile& file, uint64_t offset, uint64_t size, const std::string& name);

// Copies `size` bytes at `offset` of `source` into a new file `path` (which
// must not exist, under that name; no other case of it is looked for, as
// in a folder the caller made), and flushes it to the disk. Throws ToolError
// (kExitFailedCheck) naming `sourceName` or the new file when a read, write
// or flush fails.
void CopyToNewFile(CFileSystem& fileSystem, CAbstractFile& source, uint64_t offset, uint64_t size,
                   const std::string& sourceName, const std::wstring& path, CopyBuffer& buffer);

// Flushes to the disk the file `path`, written and closed without a flush.
// Throws ToolError (kExitFailedCheck) naming it when that fails.
void FlushWrittenFile(CFileSystem& fileSystem, const std::wstring& path);

// Whether `directory` is a folder holding no entries at all.
bool IsEmptyDirectory(CFileSystem& fileSystem, const std::wstring& directory);

// Flushes to the disk the entries of the folder `directory` (empty: the
// current folder), named `name` in messages: a file made or renamed there
// stays so after a power cut. Throws ToolError (kExitFailedCheck) when that
// fails.
void FlushFolder(CFileSystem& fileSystem, const std::wstring& directory, const std::string& name);

// A line of progress on standard error, redrawn a few times a second, for
// work that takes long: first drawn once the work has gone on for a
// second, so that quick work shows none. Shown only when standard error is
// a terminal, and cleared when done.
class Progress {
 public:
  Progress(std::string label, uint64_t totalBytes);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress();
  void Advance(uint64_t bytes);
  // Sets the work done so far (never going back), and what the line says
  // of the piece at hand ("entry 10 40%"; empty: nothing).
  void Set(uint64_t done, std::string detail = {}) {
    detail_ = std::move(detail);
    Advance(done > done_ ? done - done_ : 0);
  }

 private:
  std::string label_;
  std::string detail_;
  uint64_t total_;
  uint64_t done_ = 0;
  bool shown_;
  bool drawn_ = false;
  int64_t nextDrawMs_;
};

// An output that is written to a fresh file beside `target` and renamed
// into place by Commit, so that `target` is never seen half written, not
// even after a power cut. If it is not committed, the fresh file is
// deleted, also when the process is interrupted; one that a killed qpxtool
// left beside it goes when the next output is made there. Failures throw
// ToolError.
class ReplacingOutput {
 public:
  ReplacingOutput(CFileSystem& fileSystem, const std::wstring& target);
  ReplacingOutput(const ReplacingOutput&) = delete;
  ReplacingOutput& operator=(const ReplacingOutput&) = delete;
  ~ReplacingOutput();

  CAbstractFile& File() { return *file_; }
  // Flushes the file to the disk and closes it, gives it the permission
  // bits of the file it replaces, or when there is none those of
  // `permissionsFrom` (if not empty), renames it to the target and flushes
  // the folder that holds them.
  void Commit(const std::wstring& permissionsFrom = std::wstring());

 private:
  CFileSystem& fileSystem_;
  std::wstring target_;
  InterruptibleFile temporary_;  // before the file: listed until it is closed
  std::unique_ptr<CAbstractFile> file_;
  bool committed_ = false;
};

// Something a command reads, for judging where it may write.
struct ReadInput {
  std::wstring path;
  std::string name;     // as messages name it: the patch "p", the game folder "g"
  bool folder = false;  // a folder it reads: nothing may be written inside it
};

// Refuses (bad input, before anything is written) an output `out`, named
// `outName` in messages, whose folder does not exist, that is one of the
// files of `inputs`, or that lies inside one of their folders. Judged by
// identity, so that hard links, links to folders and other spellings of a
// name are caught too.
void RefuseOutputOverInputs(CFileSystem& fileSystem, const std::wstring& out, const std::string& outName,
                            const std::vector<ReadInput>& inputs);

// Refuses (bad input, before anything is written) an output file `out`,
// named `outName` in messages, that already exists, unless `force` (the
// command's --force) says it may be replaced: an output never takes the
// place of a file by surprise. A name taken by a link counts as taken.
void RefuseExistingOutput(CFileSystem& fileSystem, const std::wstring& out, const std::string& outName, bool force);

// What standard input holds, as a file that can be read anywhere in it
// (a patch is read from its end): copied whole into a temporary file that
// is gone once the returned file is closed, and sooner on POSIX. `name`
// names it in messages. Refuses (bad input) a terminal; throws ToolError
// (kExitFailedCheck) when reading or the copy fails.
std::unique_ptr<CAbstractFile> CopyOfStandardInput(CFileSystem& fileSystem, const std::string& name);

// Refuses (bad input) to write binary bytes to standard output when it is
// a terminal, where they would only garble it; `name` names the output.
void RefuseTerminalOutput(const std::string& name);

// The patchers installed with this tool: the Windows one (the stub used
// when none is given) and the native one, for Linux players.
enum class StubKind { Windows, Linux };

// The patcher of `kind` installed with this tool: "../share/qpxpatch/"
// from the tool's own folder (an installed tree, as the Debian package lays
// it out), else beside the tool (as in the Windows zip, or a build tree),
// named qpxpatch.exe or qpxpatch. Fails (bad input) when neither is there,
// saying where it looked and which patchers there are.
std::wstring InstalledStub(CFileSystem& fileSystem, StubKind kind);

// Which patchers are installed with this tool, and their --stub names, for
// messages about a stub that is missing.
std::string InstalledStubsText(CFileSystem& fileSystem);

// What `patch` runs on, for the report of a command that wrote it: "a
// Windows patch" (a PE program), "a Linux patch" (an ELF one), else "a
// patch".
std::string PatchKindText(CFileSystem& fileSystem, const std::wstring& patch);

// Reads all of a small text file (up to `limit` bytes). False when it cannot
// be opened or read, or is longer.
bool ReadSmallFile(CFileSystem& fileSystem, const std::wstring& path, uint32_t limit, std::string& text);

}  // namespace qpx::tool
