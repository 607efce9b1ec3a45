#include "src/filesystem/FileInfo.h"

#include <cwchar>

namespace qpx {

CFileInfo_Default::CFileInfo_Default(const wchar_t* source) {
  const std::size_t length = source ? std::wcslen(source) : 0;
  path = std::make_unique_for_overwrite<wchar_t[]>(length + 1);
  if (length) std::wmemcpy(path.get(), source, length);
  path[length] = L'\0';
}

std::unique_ptr<CFileInfo> CFileInfo_Default::Clone() const {
  return std::make_unique<CFileInfo_Default>(path.get());
}

}  // namespace qpx
