#include "tests/support/FaultyFileSystem.h"

#include "src/filesystem/SystemError.h"

namespace qpx::test {

const char* OperationName(FileOperation operation) {
  switch (operation) {
    case FileOperation::Open: return "open";
    case FileOperation::Read: return "read";
    case FileOperation::Write: return "write";
    case FileOperation::Seek: return "seek";
    case FileOperation::Tell: return "tell";
    case FileOperation::Size: return "size";
    case FileOperation::SetSize: return "set size";
    case FileOperation::Delete: return "delete";
    case FileOperation::CreateDirectory: return "create directory";
    case FileOperation::FreeSpace: return "free space";
    case FileOperation::Flush: return "flush";
    case FileOperation::Reserve: return "reserve";
    case FileOperation::Lock: return "lock";
    case FileOperation::Query: return "query";
    case FileOperation::Rename: return "rename";
    case FileOperation::Permissions: return "permissions";
  }
  return "?";
}

bool FaultPlan::Count(FileOperation operation, const wchar_t* path) {
  if ((counted & static_cast<uint32_t>(operation)) == 0) return false;
  ++operations;
  if (failAt == 0) return false;
  if (operations == failAt) {
    struck = true;
    struckOperation = operation;
    struckPath = path != nullptr ? path : L"";
    if (onStrike) onStrike();
    SetLastSystemError(SystemErrorIo());
    return true;
  }
  if (style != FaultStyle::Persistent || operations <= failAt) return false;
  SetLastSystemError(SystemErrorIo());
  return true;
}

namespace {

// The bytes a short transfer moves: half, rounded down.
uint32_t ShortCount(uint32_t size) { return size / 2; }

}  // namespace

uint32_t CFaultyFile::Read(void* buffer, uint32_t size) {
  if (plan_.unreadable.contains(path_)) {
    SetLastSystemError(SystemErrorIo());
    return 0;
  }
  if (!Fails(FileOperation::Read)) return inner_->Read(buffer, size);
  if (plan_.style != FaultStyle::Short) return 0;
  return inner_->Read(buffer, ShortCount(size));
}

uint32_t CFaultyFile::Write(const void* buffer, uint32_t size) {
  if (!Fails(FileOperation::Write)) return inner_->Write(buffer, size);
  if (plan_.style != FaultStyle::Short) return 0;
  return inner_->Write(buffer, ShortCount(size));
}

bool CFaultyFile::Seek64(int64_t offset) {
  return !Fails(FileOperation::Seek) && inner_->Seek64(offset);
}

bool CFaultyFile::SeekCurrent64(int64_t offset) {
  return !Fails(FileOperation::Seek) && inner_->SeekCurrent64(offset);
}

bool CFaultyFile::SeekEnd64(int64_t distance) {
  return !Fails(FileOperation::Seek) && inner_->SeekEnd64(distance);
}

int64_t CFaultyFile::Tell64() { return Fails(FileOperation::Tell) ? 0 : inner_->Tell64(); }

int64_t CFaultyFile::GetSize64() { return Fails(FileOperation::Size) ? 0 : inner_->GetSize64(); }

bool CFaultyFile::QuerySize64(int64_t& size) {
  return !Fails(FileOperation::Size) && inner_->QuerySize64(size);
}

bool CFaultyFile::SetSize64(int64_t size) {
  return !Fails(FileOperation::SetSize) && inner_->SetSize64(size);
}

bool CFaultyFile::Flush() { return !Fails(FileOperation::Flush) && inner_->Flush(); }

bool CFaultyFile::Reserve64(int64_t length) {
  return !Fails(FileOperation::Reserve) && inner_->Reserve64(length);
}

bool CFaultyFile::TryLock() { return !Fails(FileOperation::Lock) && inner_->TryLock(); }

std::unique_ptr<CAbstractFile> CFileSystem_Faulty::Open(const wchar_t* path, OpenMode mode) {
  // Asked for is what counts: a fault that strikes the open does not make
  // it any less an attempt to write.
  const bool forWriting = (mode & OpenMode_AccessMask) != OpenMode_Read;
  if (forWriting) ++plan_.opensForWriting;
  if (plan_.Count(FileOperation::Open, path)) return nullptr;
  if ((forWriting && path != nullptr && plan_.readOnly.contains(path)) ||
      (plan_.readOnlyFolder && (mode & OpenMode_Create) != 0)) {
    SetLastSystemError(SystemErrorAccessDenied());
    return nullptr;
  }
  if (forWriting && path != nullptr && plan_.heldOpen.contains(path)) {
    SetLastSystemError(SystemErrorInUse());
    return nullptr;
  }
  std::unique_ptr<CAbstractFile> inner = real_.Open(path, mode);
  if (!inner) return nullptr;
  auto file = std::make_unique<CFaultyFile>(std::move(inner), plan_, path);
  file->AttachOrigin(this, CFileInfo_Default(path));
  return file;
}

bool CFileSystem_Faulty::DeleteFile(const wchar_t* path) {
  return !plan_.Count(FileOperation::Delete, path) && real_.DeleteFile(path);
}

bool CFileSystem_Faulty::CreateDirectory(const wchar_t* path) {
  return !plan_.Count(FileOperation::CreateDirectory, path) && real_.CreateDirectory(path);
}

bool CFileSystem_Faulty::QueryFreeSpace(const wchar_t* directory, VolumeSpace& space) {
  if (plan_.Count(FileOperation::FreeSpace, directory)) return false;
  if (!plan_.freeSpace || !plan_.allocationUnit || !plan_.largestFile) {
    if (!real_.QueryFreeSpace(directory, space)) return false;
  }
  if (plan_.freeSpace) space.freeBytes = *plan_.freeSpace;
  if (plan_.allocationUnit) space.allocationUnit = *plan_.allocationUnit;
  if (plan_.largestFile) space.largestFile = *plan_.largestFile;
  return true;
}

bool CFileSystem_Faulty::MayCreateFileIn(const wchar_t* directory) {
  return !plan_.readOnlyFolder && real_.MayCreateFileIn(directory);
}

bool CFileSystem_Faulty::FlushDirectory(const wchar_t* directory) {
  return !plan_.Count(FileOperation::Flush, directory) && real_.FlushDirectory(directory);
}

PathKind CFileSystem_Faulty::KindOf(const wchar_t* path) {
  return plan_.Count(FileOperation::Query, path) ? PathKind::Missing : real_.KindOf(path);
}

bool CFileSystem_Faulty::ListDirectory(const wchar_t* directory, std::vector<DirectoryEntry>& entries) {
  return !plan_.Count(FileOperation::Query, directory) && real_.ListDirectory(directory, entries);
}

bool CFileSystem_Faulty::NameExists(const wchar_t* path) {
  return !plan_.Count(FileOperation::Query, path) && real_.NameExists(path);
}

bool CFileSystem_Faulty::SameFile(const wchar_t* a, const wchar_t* b) {
  return !plan_.Count(FileOperation::Query, a) && real_.SameFile(a, b);
}

bool CFileSystem_Faulty::LiesWithin(const wchar_t* path, const wchar_t* directory) {
  return !plan_.Count(FileOperation::Query, path) && real_.LiesWithin(path, directory);
}

bool CFileSystem_Faulty::RenameReplacing(const wchar_t* from, const wchar_t* to) {
  return !plan_.Count(FileOperation::Rename, to) && real_.RenameReplacing(from, to);
}

bool CFileSystem_Faulty::RenameDirectory(const wchar_t* from, const wchar_t* to) {
  return !plan_.Count(FileOperation::Rename, to) && real_.RenameDirectory(from, to);
}

bool CFileSystem_Faulty::CopyPermissions(const wchar_t* from, const wchar_t* to) {
  return !plan_.Count(FileOperation::Permissions, to) && real_.CopyPermissions(from, to);
}

}  // namespace qpx::test
