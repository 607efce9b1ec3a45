#include "src/filesystem/FileSystem.h"

namespace qpx {

CAbstractFile::~CAbstractFile() = default;

std::unique_ptr<CFileView> CAbstractFile::MapForReading(int64_t, uint32_t) { return nullptr; }

bool CAbstractFile::MayMap(int64_t offset, uint32_t size) {
  int64_t fileSize = 0;
  return offset >= 0 && size != 0 && QuerySize64(fileSize) && LiesInside(static_cast<uint64_t>(offset), size, fileSize);
}

bool CAbstractFile64::Seek(int32_t offset) { return Seek64(offset); }
bool CAbstractFile64::SeekCurrent(int32_t offset) { return SeekCurrent64(offset); }
bool CAbstractFile64::SeekEnd(int32_t distance) { return SeekEnd64(distance); }
uint32_t CAbstractFile64::Tell() { return static_cast<uint32_t>(Tell64()); }
uint32_t CAbstractFile64::GetSize() { return static_cast<uint32_t>(GetSize64()); }
bool CAbstractFile64::SetSize(uint32_t size) { return SetSize64(static_cast<int64_t>(size)); }

bool CFileSystem::MayCreateFileIn(const wchar_t*) { return true; }

PathKind CFileSystem::KindOf(const wchar_t*) { return PathKind::Missing; }
bool CFileSystem::ListDirectory(const wchar_t*, std::vector<DirectoryEntry>&) { return false; }
bool CFileSystem::NameExists(const wchar_t*) { return false; }
bool CFileSystem::SameFile(const wchar_t*, const wchar_t*) { return false; }
bool CFileSystem::LiesWithin(const wchar_t*, const wchar_t*) { return false; }
bool CFileSystem::RenameReplacing(const wchar_t*, const wchar_t*) { return false; }
bool CFileSystem::RenameDirectory(const wchar_t*, const wchar_t*) { return false; }
bool CFileSystem::CopyPermissions(const wchar_t*, const wchar_t*) { return false; }

}  // namespace qpx
