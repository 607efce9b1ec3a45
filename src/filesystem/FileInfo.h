#pragma once
// The description of an open file: the path it was opened by.

#include <memory>

namespace qpx {

class CFileInfo {
 public:
  virtual ~CFileInfo() = default;
  // The stored path, zero-terminated, valid while the description lives.
  virtual const wchar_t* GetFileName() const = 0;
  // A new description of the same class with its own copy of the path.
  virtual std::unique_ptr<CFileInfo> Clone() const = 0;
};

// Holds a copy of the path exactly as given (not normalised); a null path
// is held as the empty string.
class CFileInfo_Default final : public CFileInfo {
 public:
  explicit CFileInfo_Default(const wchar_t* path);
  const wchar_t* GetFileName() const override { return path.get(); }
  std::unique_ptr<CFileInfo> Clone() const override;

 private:
  std::unique_ptr<wchar_t[]> path;
};

}  // namespace qpx
