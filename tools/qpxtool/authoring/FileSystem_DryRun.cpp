#include "tools/qpxtool/authoring/FileSystem_DryRun.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "src/filesystem/FileInfo.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

bool Overlaps(const std::map<int64_t, int64_t>& ranges, int64_t start, int64_t end) {
  auto next = ranges.lower_bound(end);  // the first range starting at or after `end`
  if (next == ranges.begin()) return false;
  return std::prev(next)->second > start;
}

void MarkChanged(std::map<int64_t, int64_t>& ranges, int64_t start, int64_t end) {
  if (start >= end) return;
  // Merged with every range it touches, so that the map stays small.
  auto it = ranges.upper_bound(start);
  if (it != ranges.begin() && std::prev(it)->second >= start) --it;
  while (it != ranges.end() && it->first <= end) {
    start = std::min(start, it->first);
    end = std::max(end, it->second);
    it = ranges.erase(it);
  }
  ranges.emplace(start, end);
}

}  // namespace

// One open of a game file: reads come from the real file, writes are
// compared with it and recorded.
class DryRunFile final : public CAbstractFile64 {
 public:
  DryRunFile(CFileSystem_DryRun& view, std::wstring path, std::unique_ptr<CAbstractFile> real, DryRunFileState& state)
      : view_(view), path_(std::move(path)), real_(std::move(real)), state_(state) {}

  uint32_t Read(void* buffer, uint32_t size) override {
    if (buffer == nullptr || size == 0 || position_ >= state_.size) return 0;
    const auto length = static_cast<uint32_t>(std::min<int64_t>(size, state_.size - position_));
    // Bytes a recorded write would have changed are not kept: refuse them.
    if (position_ + length > state_.realSize || Overlaps(state_.changed, position_, position_ + length)) return 0;
    if (!real_->Seek64(position_)) return 0;
    const uint32_t read = real_->Read(buffer, length);
    position_ += read;
    return read;
  }

  uint32_t Write(const void* buffer, uint32_t size) override {
    // A file cannot reach past the largest position: such a write fails,
    // as it does on a real file.
    if (buffer == nullptr || size == 0 || position_ > INT64_MAX - int64_t{size}) return 0;
    const int64_t end = position_ + size;
    const bool changes = !HoldsAlready(static_cast<const uint8_t*>(buffer), size);
    if (changes) MarkChanged(state_.changed, position_, end);
    view_.writes_.push_back(DryRunWrite{path_, position_, size, false, changes});
    position_ = end;
    state_.size = std::max(state_.size, end);
    return size;
  }

  bool Seek64(int64_t offset) override {
    if (offset < 0) return false;
    position_ = offset;
    return true;
  }
  bool SeekCurrent64(int64_t offset) override {
    return offset <= INT64_MAX - position_ && Seek64(position_ + offset);  // position_ is never negative
  }
  bool SeekEnd64(int64_t distance) override { return distance >= 0 && Seek64(state_.size - distance); }
  int64_t Tell64() override { return position_; }
  int64_t GetSize64() override { return state_.size; }
  bool QuerySize64(int64_t& size) override {
    size = state_.size;
    return true;
  }

  // Nothing is written, so nothing waits to be flushed; the lock is the
  // real file's (a plan made while a patch runs is refused as the patch
  // would be).
  bool Flush() override { return true; }
  bool Reserve64(int64_t) override { return true; }
  bool TryLock() override { return real_->TryLock(); }

  bool SetSize64(int64_t size) override {
    if (size < 0) return false;
    const bool changes = size != state_.size;
    // Cut bytes do not come back: a later extension would read zeros.
    if (size < state_.realSize) MarkChanged(state_.changed, size, state_.realSize);
    view_.writes_.push_back(DryRunWrite{path_, size, 0, true, changes});
    state_.size = size;
    return true;
  }

 private:
  // Whether the file holds exactly these bytes at the position already.
  bool HoldsAlready(const uint8_t* bytes, uint32_t size) {
    if (position_ + size > state_.realSize || Overlaps(state_.changed, position_, position_ + size)) return false;
    if (!scratch_) scratch_ = std::make_unique<CopyBuffer>();
    const std::span<uint8_t> buffer = scratch_->Span();
    return ReadPieces(*real_, static_cast<uint64_t>(position_), size, buffer,
                      [&](uint64_t done, std::span<const uint8_t> piece) {
                        return std::memcmp(bytes + done, piece.data(), piece.size()) == 0;
                      });
  }

  CFileSystem_DryRun& view_;
  std::wstring path_;
  std::unique_ptr<CAbstractFile> real_;
  DryRunFileState& state_;
  int64_t position_ = 0;
  std::unique_ptr<CopyBuffer> scratch_;
};

std::wstring CFileSystem_DryRun::Resolve(const wchar_t* path) const {
  const std::wstring named = path;
  return IsAbsolutePath(named) ? named : JoinDirectory(directory_, named);
}

std::unique_ptr<CAbstractFile> CFileSystem_DryRun::Open(const wchar_t* path, OpenMode mode) {
  if (path == nullptr || (mode & OpenMode_AccessMask) == OpenMode_AccessMask) return nullptr;
  const std::wstring resolved = Resolve(path);
  // Never created: a file that is not there fails to open, as it would
  // for the patcher, which never asks to create one. A file the patcher
  // would write is opened for writing too (and never written), so that one
  // it could not write fails here as it would there.
  const bool reads = (mode & OpenMode_AccessMask) == OpenMode_Read || access_ == DryRunAccess::ReadOnly;
  const OpenMode access = reads ? OpenMode_Read : OpenMode_ReadWrite;
  auto real = real_.Open(resolved.c_str(), access);
  if (!real) {
    failedOpens_.push_back(path);
    return nullptr;
  }
  DryRunFileState& state = StateOf(resolved, *real);
  auto file = std::make_unique<DryRunFile>(*this, path, std::move(real), state);
  file->AttachOrigin(this, CFileInfo_Default(path));
  return file;
}

DryRunFileState& CFileSystem_DryRun::StateOf(const std::wstring& resolved, CAbstractFile& file) {
  const auto [it, fresh] = states_.try_emplace(resolved);
  if (fresh) {
    // A length that cannot be told reads as 0: every read of it then fails.
    if (!file.QuerySize64(it->second.realSize)) it->second.realSize = 0;
    it->second.size = it->second.realSize;
  }
  return it->second;
}

bool CFileSystem_DryRun::DeleteFile(const wchar_t*) { return false; }
bool CFileSystem_DryRun::CreateDirectory(const wchar_t*) { return false; }

bool CFileSystem_DryRun::QueryFreeSpace(const wchar_t* directory, VolumeSpace& space) {
  if (directory == nullptr) return false;
  return real_.QueryFreeSpace(Resolve(directory).c_str(), space);
}

bool CFileSystem_DryRun::FlushDirectory(const wchar_t*) { return true; }

PathKind CFileSystem_DryRun::KindOf(const wchar_t* path) {
  return path == nullptr ? PathKind::Missing : real_.KindOf(Resolve(path).c_str());
}

bool CFileSystem_DryRun::ListDirectory(const wchar_t* directory, std::vector<DirectoryEntry>& entries) {
  return directory != nullptr && real_.ListDirectory(Resolve(directory).c_str(), entries);
}

bool CFileSystem_DryRun::NameExists(const wchar_t* path) {
  return path != nullptr && real_.NameExists(Resolve(path).c_str());
}

bool CFileSystem_DryRun::SameFile(const wchar_t* a, const wchar_t* b) {
  return a != nullptr && b != nullptr && real_.SameFile(Resolve(a).c_str(), Resolve(b).c_str());
}

bool CFileSystem_DryRun::LiesWithin(const wchar_t* path, const wchar_t* directory) {
  return path != nullptr && directory != nullptr &&
         real_.LiesWithin(Resolve(path).c_str(), Resolve(directory).c_str());
}

bool CFileSystem_DryRun::RenameReplacing(const wchar_t*, const wchar_t*) { return false; }
bool CFileSystem_DryRun::RenameDirectory(const wchar_t*, const wchar_t*) { return false; }
bool CFileSystem_DryRun::CopyPermissions(const wchar_t*, const wchar_t*) { return false; }

std::vector<DryRunWrite> CFileSystem_DryRun::TakeWrites() { return std::exchange(writes_, {}); }
std::vector<std::wstring> CFileSystem_DryRun::TakeFailedOpens() { return std::exchange(failedOpens_, {}); }

int64_t CFileSystem_DryRun::SizeOf(const std::wstring& path) {
  const std::wstring resolved = Resolve(path.c_str());
  if (const auto it = states_.find(resolved); it != states_.end()) return it->second.size;
  const auto file = real_.Open(resolved.c_str(), OpenMode_Read);
  int64_t size = 0;
  return file && file->QuerySize64(size) ? size : 0;
}

}  // namespace qpx::tool
