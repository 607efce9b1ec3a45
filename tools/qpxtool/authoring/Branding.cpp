#include "tools/qpxtool/authoring/Branding.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "src/paths/Paths.h"
#include "src/app/payload/PatcherBranding.h"
#include "src/paths/Utf8.h"
#include "tools/qpxtool/authoring/PeImage.h"
#include "tools/qpxtool/authoring/ResourceTree.h"
#include "tools/qpxtool/authoring/VersionInfo.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

struct IconDirectory {
  uint16_t reserved;
  uint16_t type;  // 1: icons, 2: cursors
  uint16_t count;
};
static_assert(sizeof(IconDirectory) == 6);

struct IconDirectoryEntry {
  uint8_t width, height, colors, reserved;
  uint16_t planes, bitCount;
  uint32_t bytes;
  uint32_t offset;
};
static_assert(sizeof(IconDirectoryEntry) == 16);
static_assert(offsetof(IconDirectoryEntry, bytes) == 8);

constexpr uint32_t kUsEnglish = 0x409;
constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// UTF-16 of UTF-8 text (wide text is UTF-16 on Windows, UTF-32 elsewhere).
std::u16string Utf16Of(std::string_view text) {
  std::u16string out;
  for (const wchar_t c : DecodeUtf8(text)) {
    const auto point = static_cast<uint32_t>(c);
    if (point > 0xFFFF) {
      out.push_back(static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(point));
    }
  }
  return out;
}

std::string Utf8Of(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    uint32_t point = text[i];
    if (point >= 0xD800 && point < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      point = 0x10000 + ((point - 0xD800) << 10) + (text[++i] - 0xDC00u);
    }
    AppendUtf8(out, point);
  }
  return out;
}

// The text of option `option`, checked: one line of UTF-8, 1 to
// kMaxPropertyText UTF-16 units.
std::optional<std::u16string> CheckedText(const char* option, const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  const std::string name = std::string(option) + " " + Quoted(*text);
  if (text->empty()) Fail(kExitBadInput, std::string(option) + ": is empty; give the text, or leave the option out");
  if (EncodeWide(DecodeUtf8(*text), false) != *text) Fail(kExitBadInput, name + ": is not UTF-8 text");
  if (std::any_of(text->begin(), text->end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
    Fail(kExitBadInput, name + ": holds a control character (a line break?); a file property is one line");
  }
  std::u16string wide = Utf16Of(*text);
  if (wide.size() > kMaxPropertyText) {
    Fail(kExitBadInput, std::string(option) + ": has " + std::to_string(wide.size()) +
                            " characters (UTF-16 units); a file property holds at most " +
                            std::to_string(kMaxPropertyText));
  }
  return wide;
}

// The leading numbers of a version text, as the fixed product version
// holds them: "1.2.3 beta" gives 1, 2, 3, 0; a part past 65535 ends them.
void LeadingNumbers(std::string_view text, uint16_t (&parts)[4]) {
  std::size_t at = 0;
  for (uint16_t& part : parts) {
    uint32_t value = 0;
    std::size_t digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && value <= 65535) {
      value = value * 10 + static_cast<uint32_t>(text[at++] - '0');
      ++digits;
    }
    if (digits == 0 || value > 65535) return;
    part = static_cast<uint16_t>(value);
    if (at >= text.size() || text[at] != '.') return;
    ++at;
  }
}

std::vector<uint8_t> ReadIconOption(CFileSystem& fileSystem, const std::wstring& path, const std::string& name) {
  switch (fileSystem.KindOf(path.c_str())) {
    case PathKind::Missing: Fail(kExitBadInput, name + ": no such file");
    case PathKind::Directory: Fail(kExitBadInput, name + ": is a folder, not an icon file");
    case PathKind::Other: Fail(kExitBadInput, name + ": is not a regular file");
    default: break;
  }
  const auto file = fileSystem.Open(path.c_str(), OpenMode_Read);
  int64_t size = 0;
  if (!file || !file->QuerySize64(size)) Fail(kExitBadInput, name + ": cannot be opened for reading");
  if (static_cast<uint64_t>(size) > kMaxIconFileBytes) {
    Fail(kExitBadInput, name + ": is " + Grouped(static_cast<uint64_t>(size)) + " bytes; an icon file for a patch "
                               "holds at most " + Grouped(kMaxIconFileBytes));
  }
  return ReadWhole(*file, 0, static_cast<uint64_t>(size), name);
}

void AppendLittle(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The icon group resource naming `images` as the icon resources 1, 2, ...
std::vector<uint8_t> IconGroup(const std::vector<IconImage>& images) {
  std::vector<uint8_t> group;
  AppendLittle(group, 0, 2);
  AppendLittle(group, 1, 2);
  AppendLittle(group, static_cast<uint32_t>(images.size()), 2);
  for (std::size_t i = 0; i < images.size(); ++i) {
    const IconImage& image = images[i];
    group.insert(group.end(), {image.width, image.height, image.colors, 0});
    AppendLittle(group, image.planes, 2);
    AppendLittle(group, image.bitCount, 2);
    AppendLittle(group, static_cast<uint32_t>(image.bytes.size()), 4);
    AppendLittle(group, static_cast<uint32_t>(i + 1), 2);
  }
  return group;
}

// `root` with the texts of `branding`. The game's name never goes with the
// patcher's version: a product without its version shows none.
void BrandVersion(VersionNode& root, const Branding& branding) {
  if (branding.product) SetVersionString(root, u"ProductName", branding.product);
  if (branding.productVersion || branding.product) {
    SetVersionString(root, u"ProductVersion", branding.productVersion);
    SetFixedProductVersion(root, branding.productNumbers);
  }
  if (branding.company) SetVersionString(root, u"CompanyName", branding.company);
  if (branding.description) SetVersionString(root, u"FileDescription", branding.description);
  if (!branding.fileName.empty()) SetVersionString(root, u"OriginalFilename", branding.fileName);
}

// The resources of `program`, read; nullopt with the reason when they cannot be.
std::optional<std::pair<ResourceSection, std::vector<Resource>>> ProgramResources(std::span<const uint8_t> program,
                                                                                  std::string& why) {
  std::optional<ResourceSection> section = FindResourceSection(program, why);
  if (!section) return std::nullopt;
  std::optional<std::vector<Resource>> resources = ReadResourceTree(section->bytes, section->rva, why);
  if (!resources) return std::nullopt;
  return std::pair{std::move(*section), std::move(*resources)};
}

}  // namespace

Branding LoadBranding(CFileSystem& fileSystem, const BrandingOptions& options, const std::string& out) {
  Branding branding;
  branding.product = CheckedText("--product", options.product);
  branding.productVersion = CheckedText("--product-version", options.productVersion);
  branding.company = CheckedText("--company", options.company);
  branding.description = CheckedText("--description", options.description);
  if (options.productVersion) LeadingNumbers(*options.productVersion, branding.productNumbers);
  if (options.icon) {
    branding.iconPath = PathFromText(*options.icon);
    const std::string name = "--icon " + Quoted(*options.icon);
    branding.icon = ReadIconFile(ReadIconOption(fileSystem, branding.iconPath, name), name);
  }
  branding.any = branding.product || branding.productVersion || branding.company || branding.description ||
                 !branding.icon.empty();
  if (branding.any) {
    const std::wstring path = PathFromText(out);
    branding.fileName = Utf16Of(PathToText(path.substr(DirectoryOf(path).size())));
    if (branding.fileName.size() > kMaxPropertyText) branding.fileName.clear();
  }
  return branding;
}

std::vector<IconImage> ReadIconFile(std::span<const uint8_t> bytes, const std::string& name) {
  IconDirectory directory{};
  if (bytes.size() >= sizeof directory) std::memcpy(&directory, bytes.data(), sizeof directory);
  if (bytes.size() < sizeof directory || directory.reserved != 0 || (directory.type != 1 && directory.type != 2)) {
    Fail(kExitBadInput, name + ": is not an icon file (.ico)");
  }
  if (directory.type == 2) Fail(kExitBadInput, name + ": is a cursor (.cur), not an icon file (.ico)");
  if (directory.count == 0) Fail(kExitBadInput, name + ": is an icon file of no images");
  if (directory.count > kMaxIconImages) {
    Fail(kExitBadInput, name + ": has " + std::to_string(directory.count) + " images; an icon for a patch has at most " +
                            std::to_string(kMaxIconImages));
  }
  if (!Within(sizeof directory, uint64_t{directory.count} * sizeof(IconDirectoryEntry), bytes.size())) {
    Fail(kExitBadInput, name + ": is cut short (its directory names " + std::to_string(directory.count) + " images)");
  }
  std::vector<IconImage> images;
  for (std::size_t i = 0; i < directory.count; ++i) {
    IconDirectoryEntry entry;
    std::memcpy(&entry, bytes.data() + sizeof directory + i * sizeof entry, sizeof entry);
    const std::string image = name + ": image " + std::to_string(i + 1) + " of " + std::to_string(directory.count);
    if (entry.bytes == 0 || !Within(entry.offset, entry.bytes, bytes.size())) {
      Fail(kExitBadInput, image + " lies outside the file");
    }
    const auto first = bytes.begin() + entry.offset;
    uint32_t headerSize = 0;
    if (entry.bytes >= 4) std::memcpy(&headerSize, &*first, 4);
    const bool png = entry.bytes >= sizeof kPngSignature && std::equal(first, first + 8, kPngSignature);
    const bool bitmap = (headerSize == 40 || headerSize == 108 || headerSize == 124) && entry.bytes >= headerSize;
    if (!png && !bitmap) Fail(kExitBadInput, image + " is neither a PNG image nor a bitmap");
    images.push_back({entry.width, entry.height, entry.colors, entry.planes, entry.bitCount,
                      std::vector<uint8_t>(first, first + entry.bytes)});
  }
  return images;
}

std::vector<uint8_t> BrandProgram(std::span<const uint8_t> program, const Branding& branding,
                                  const std::string& stubName) {
  const std::string refused = stubName + ": cannot carry --product, --product-version, --company, --description "
                                         "or --icon: it ";
  std::string why;
  auto found = ProgramResources(program, why);
  if (!found) Fail(kExitBadInput, refused + why + "; they go on a Windows patch (--stub windows)");
  auto& [section, resources] = *found;
  const auto version = std::find_if(resources.begin(), resources.end(),
                                    [](const Resource& r) { return r.type == ResourceId::Number(kVersionResource); });
  VersionNode root = EmptyVersionInfo();
  if (version != resources.end()) {
    std::optional<VersionNode> read = ReadVersionInfo(version->data, why);
    if (!read) Fail(kExitBadInput, refused + why);
    root = std::move(*read);
  }
  BrandVersion(root, branding);
  std::vector<uint8_t> versionBytes = VersionInfoBytes(root);
  if (versionBytes.size() > UINT16_MAX) Fail(kExitBadInput, "the file properties' texts are too long together");
  const uint32_t language = version != resources.end() ? version->language : kUsEnglish;
  if (version != resources.end()) {
    version->data = std::move(versionBytes);
  } else {
    resources.push_back({ResourceId::Number(kVersionResource), ResourceId::Number(1), language, 0, std::move(versionBytes)});
  }
  if (!branding.icon.empty()) {
    // The game's icon in place of any the stub had.
    std::erase_if(resources, [](const Resource& r) {
      return r.type == ResourceId::Number(kIconResource) || r.type == ResourceId::Number(kGroupIconResource);
    });
    for (std::size_t i = 0; i < branding.icon.size(); ++i) {
      resources.push_back({ResourceId::Number(kIconResource), ResourceId::Number(static_cast<uint32_t>(i + 1)),
                           language, 0, branding.icon[i].bytes});
    }
    resources.push_back({ResourceId::Number(kGroupIconResource), ResourceId::Number(1), language, 0,
                         IconGroup(branding.icon)});
  }
  std::optional<std::vector<uint8_t>> branded =
      ReplaceResourceSection(program, ResourceTreeBytes(resources, section.rva), why);
  if (!branded) Fail(kExitBadInput, refused + why);
  return std::move(*branded);
}

namespace {

// What a patcher that is no Windows program says of its publisher: the
// texts of its branding room; none where it has no room or names nothing.
std::optional<ShownBranding> RoomBranding(std::span<const uint8_t> program) {
  const std::optional<std::size_t> room = FindBrandingRoom(program);
  if (!room) return std::nullopt;
  const PatchBranding texts = ReadBrandingRoom(program.subspan(*room, kBrandingRoomBytes));
  if (!texts.Any()) return std::nullopt;
  const auto text = [](const std::string& value) { return value.empty() ? std::nullopt : std::optional(value); };
  return ShownBranding{text(texts.product), text(texts.productVersion), text(texts.company),
                       text(texts.description), 0};
}

}  // namespace

std::optional<ShownBranding> ReadBranding(std::span<const uint8_t> program) {
  std::string why;
  const auto found = ProgramResources(program, why);
  if (!found) return RoomBranding(program);
  ShownBranding shown;
  bool versionRead = false;  // the first version resource is the one Explorer shows
  for (const Resource& resource : found->second) {
    if (resource.type == ResourceId::Number(kGroupIconResource) && shown.iconImages == 0 && resource.data.size() >= 6) {
      shown.iconImages = std::max<std::size_t>(1, uint16_t(resource.data[4] | resource.data[5] << 8));
    }
    if (resource.type != ResourceId::Number(kVersionResource) || versionRead) continue;
    const std::optional<VersionNode> root = ReadVersionInfo(resource.data, why);
    versionRead = true;
    if (!root) continue;
    const auto text = [&](std::u16string_view key) -> std::optional<std::string> {
      const std::optional<std::u16string> value = VersionString(*root, key);
      return value ? std::optional(Utf8Of(*value)) : std::nullopt;
    };
    shown.product = text(u"ProductName");
    shown.productVersion = text(u"ProductVersion");
    shown.company = text(u"CompanyName");
    shown.description = text(u"FileDescription");
  }
  return shown;
}

void WriteBrandingRoom(std::vector<uint8_t>& program, const Branding& branding, bool windows,
                       const std::string& stubName) {
  if (!branding.any) return;
  const std::optional<std::size_t> room = FindBrandingRoom(program);
  if (!room) {
    // A Windows patcher older than the room still shows its file properties.
    if (windows) return;
    Fail(kExitBadInput, stubName + ": has no room for --product, --product-version, --company or --description; "
                                   "a patcher of this qpxtool's version or later has");
  }
  if (!windows && !branding.icon.empty()) {
    Fail(kExitBadInput, "--icon: " + stubName + " is not a Windows program; an icon goes on a Windows patch "
                                                "(--stub windows)");
  }
  const auto utf8 = [](const std::optional<std::u16string>& text) { return text ? Utf8Of(*text) : std::string(); };
  const PatchBranding texts{utf8(branding.product), utf8(branding.productVersion), utf8(branding.company),
                            utf8(branding.description)};
  const std::optional<std::vector<uint8_t>> bytes = BrandingRoomBytes(texts);
  if (!bytes) {
    if (windows) return;  // its file properties take longer texts, and show them
    Fail(kExitBadInput, "--product, --product-version, --company and --description take " +
                            std::to_string(kBrandingRoomBytes - 4) + " bytes of UTF-8 together in the patcher; "
                            "give shorter texts");
  }
  std::copy(bytes->begin(), bytes->end(), program.begin() + static_cast<std::ptrdiff_t>(*room));
}

}  // namespace qpx::tool
