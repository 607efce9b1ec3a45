#pragma once
// The publisher's name and icon on a Windows patch: the texts its file
// properties show (its version resource) and its icon, written into the
// patcher program before the payload is appended and sealed, and so
// before the patch is signed.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "src/filesystem/FileSystem.h"

namespace qpx::tool {

// A file property's text holds at most this many UTF-16 units.
inline constexpr std::size_t kMaxPropertyText = 256;
// An icon file holds at most this many bytes and images.
inline constexpr uint64_t kMaxIconFileBytes = 16u << 20;
inline constexpr std::size_t kMaxIconImages = 256;

// As typed after --product, --product-version, --company, --description
// and --icon; nullopt where the option was not given.
struct BrandingOptions {
  std::optional<std::string> product, productVersion, company, description, icon;
};

// One image of an icon file, as its directory describes it.
struct IconImage {
  uint8_t width = 0, height = 0, colors = 0;
  uint16_t planes = 0, bitCount = 0;
  std::vector<uint8_t> bytes;  // PNG, or a bitmap without its file header
};

// The branding checked and loaded, ready to write.
struct Branding {
  bool any = false;  // false: the stub's program goes into the patch as it is
  std::optional<std::u16string> product, productVersion, company, description;
  uint16_t productNumbers[4] = {};  // the product version's leading numbers ("1.2" is 1, 2, 0, 0)
  std::u16string fileName;          // the patch's own name, its OriginalFilename
  std::vector<IconImage> icon;      // empty: the stub's icon, if it has one, stays
  std::wstring iconPath;
};

// Checks the texts of `options` and reads its icon for the patch written to
// `out` (as typed). Nothing is written. Throws ToolError (kExitBadInput)
// naming the option for an empty, over-long or multi-line text, text that is
// not UTF-8, and an icon file that is missing or no icon.
Branding LoadBranding(CFileSystem& fileSystem, const BrandingOptions& options, const std::string& out);

// The images of the icon file `bytes` (named `name` in messages). Throws
// ToolError (kExitBadInput) for a file that is no icon, or whose images lie
// outside it.
std::vector<IconImage> ReadIconFile(std::span<const uint8_t> bytes, const std::string& name);

// `program` (the stub's program, without a payload) with `branding` in its
// version resource and icon. Throws ToolError (kExitBadInput) naming
// `stubName` for a program that is not a Windows program whose resources
// can be rewritten.
std::vector<uint8_t> BrandProgram(std::span<const uint8_t> program, const Branding& branding,
                                  const std::string& stubName);

// Writes the texts of `branding` into the branding room of `program` (the
// stub's program, branded as a Windows program already where `windows`),
// which the patcher shows in --help and --version. Throws ToolError
// (kExitBadInput) naming `stubName` for a program that is no Windows one
// and has no room or is given an icon, and for texts too long for the room.
void WriteBrandingRoom(std::vector<uint8_t>& program, const Branding& branding, bool windows,
                       const std::string& stubName);

// What a program's file properties say, as UTF-8.
struct ShownBranding {
  std::optional<std::string> product, productVersion, company, description;
  std::size_t iconImages = 0;  // of its first icon; 0: none
};

// The file properties of `program`; for a program that is not a Windows
// program, what its branding room names; nullopt where neither says
// anything.
std::optional<ShownBranding> ReadBranding(std::span<const uint8_t> program);

}  // namespace qpx::tool
