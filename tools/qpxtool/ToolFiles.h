#pragma once
// File work shared by the subcommands: streaming copies through a fixed
// buffer, and output files that appear only when complete.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "filesystem/FileSystem.h"

namespace qpx::tool {

// Every copy moves at most this much at a time: memory stays flat whatever
// the sizes, and each transfer is one large sequential read or write.
inline constexpr uint32_t kCopyBufferSize = 1u << 20;

class CopyBuffer {
 public:
  CopyBuffer() : bytes_(std::make_unique_for_overwrite<uint8_t[]>(kCopyBufferSize)) {}
  std::span<uint8_t> Span() const { return {bytes_.get(), kCopyBufferSize}; }

 private:
  std::unique_ptr<uint8_t[]> bytes_;
};

enum class CopyResult { Done, ReadShort, WriteShort };

// Copies `size` bytes of `source` from `offset` to `target` at its position.
CopyResult CopyBytes(CAbstractFile& source, uint64_t offset, uint64_t size, CAbstractFile& target,
                     std::span<uint8_t> buffer);

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

// An output that is written to a fresh file beside `target` and renamed
// into place by Commit, so that `target` is never seen half written. If it
// is not committed, the fresh file is deleted. Failures throw ToolError.
class ReplacingOutput {
 public:
  ReplacingOutput(CFileSystem& fileSystem, const std::wstring& target);
  ReplacingOutput(const ReplacingOutput&) = delete;
  ReplacingOutput& operator=(const ReplacingOutput&) = delete;
  ~ReplacingOutput();

  CAbstractFile& File() { return *file_; }
  // Closes the file, gives it the permissions of `permissionsFrom` when
  // that is not empty, and renames it to the target.
  void Commit(const std::wstring& permissionsFrom = std::wstring());

 private:
  CFileSystem& fileSystem_;
  std::wstring target_;
  std::wstring temporary_;
  std::unique_ptr<CAbstractFile> file_;
  bool committed_ = false;
};

// Reads all of a small text file (up to `limit` bytes). False when it cannot
// be opened or read, or is longer.
bool ReadSmallFile(CFileSystem& fileSystem, const std::wstring& path, uint32_t limit, std::string& text);

}  // namespace qpx::tool
