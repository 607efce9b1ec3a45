#include "tools/qpxtool/authoring/VersionInfo.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "tools/qpxtool/authoring/PeImage.h"

namespace qpx::tool {
namespace {

struct BlockHeader {
  uint16_t length;       // the block's bytes, its children included
  uint16_t valueLength;  // a text's UTF-16 units (its zero included), else bytes
  uint16_t type;
};
static_assert(sizeof(BlockHeader) == 6);

struct FixedFileInfo {
  uint32_t signature;
  uint32_t structVersion;
  uint32_t fileVersionMs, fileVersionLs;
  uint32_t productVersionMs, productVersionLs;
  uint32_t fileFlagsMask, fileFlags;
  uint32_t fileOs, fileType, fileSubtype;
  uint32_t fileDateMs, fileDateLs;
};
static_assert(sizeof(FixedFileInfo) == 52);
static_assert(offsetof(FixedFileInfo, productVersionMs) == 16);

constexpr uint32_t kFixedSignature = 0xFEEF04BD;
constexpr int kMaxDepth = 4;  // root, StringFileInfo, a string table, its strings

std::size_t Align4(std::size_t value) { return (value + 3) & ~std::size_t{3}; }

std::vector<uint8_t> TextValue(std::u16string_view text) {
  std::vector<uint8_t> value(2 * (text.size() + 1), 0);
  if (!text.empty()) std::memcpy(value.data(), text.data(), 2 * text.size());
  return value;
}

// The block at `at` of `bytes`, which ends at most at `end`.
bool ReadBlock(std::span<const uint8_t> bytes, std::size_t at, std::size_t end, int depth, VersionNode& node,
               std::string& why) {
  why = "its version resource is damaged";
  BlockHeader header;
  if (depth > kMaxDepth || !Within(at, sizeof header, end)) return false;
  std::memcpy(&header, bytes.data() + at, sizeof header);
  if (header.length < sizeof header || !Within(at, header.length, end)) return false;
  const std::size_t blockEnd = at + header.length;
  std::size_t next = at + sizeof header;
  node.type = header.type;
  for (;;) {
    if (next + 2 > blockEnd) return false;
    char16_t c;
    std::memcpy(&c, bytes.data() + next, 2);
    next += 2;
    if (c == 0) break;
    node.key.push_back(c);
  }
  next = std::min(Align4(next), blockEnd);
  const std::size_t valueBytes = header.type == 1 ? 2 * std::size_t{header.valueLength} : header.valueLength;
  if (!Within(next, valueBytes, blockEnd)) return false;
  node.value.assign(bytes.begin() + next, bytes.begin() + next + valueBytes);
  next = Align4(next + valueBytes);
  while (next + sizeof header <= blockEnd) {
    VersionNode child;
    if (!ReadBlock(bytes, next, blockEnd, depth + 1, child, why)) return false;
    uint16_t childLength;
    std::memcpy(&childLength, bytes.data() + next, 2);
    node.children.push_back(std::move(child));
    next = Align4(next + childLength);
  }
  return true;
}

void AppendBlock(const VersionNode& node, std::vector<uint8_t>& out) {
  const std::size_t start = out.size();
  out.resize(start + sizeof(BlockHeader), 0);
  for (char16_t c : node.key) out.insert(out.end(), {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)});
  out.insert(out.end(), {0, 0});
  out.resize(start + Align4(out.size() - start), 0);
  out.insert(out.end(), node.value.begin(), node.value.end());
  for (const VersionNode& child : node.children) {
    out.resize(start + Align4(out.size() - start), 0);
    AppendBlock(child, out);
  }
  const BlockHeader header{static_cast<uint16_t>(out.size() - start),
                           static_cast<uint16_t>(node.type == 1 ? node.value.size() / 2 : node.value.size()),
                           node.type};
  std::memcpy(out.data() + start, &header, sizeof header);
}

// The child `key` of `node` (const or not), or null.
template <typename Node>
Node* Child(Node& node, std::u16string_view key) {
  const auto found = std::find_if(node.children.begin(), node.children.end(),
                                  [&](const VersionNode& child) { return child.key == key; });
  return found == node.children.end() ? nullptr : &*found;
}

}  // namespace

std::optional<VersionNode> ReadVersionInfo(std::span<const uint8_t> bytes, std::string& why) {
  VersionNode root;
  if (!ReadBlock(bytes, 0, bytes.size(), 0, root, why)) return std::nullopt;
  return root;
}

std::vector<uint8_t> VersionInfoBytes(const VersionNode& root) {
  std::vector<uint8_t> out;
  AppendBlock(root, out);
  return out;
}

VersionNode EmptyVersionInfo() {
  FixedFileInfo fixed{};
  fixed.signature = kFixedSignature;
  fixed.structVersion = 0x10000;
  fixed.fileFlagsMask = 0x3F;
  fixed.fileOs = 0x40004;  // VOS_NT_WINDOWS32
  fixed.fileType = 1;      // VFT_APP
  VersionNode root{u"VS_VERSION_INFO", 0, std::vector<uint8_t>(sizeof fixed), {}};
  std::memcpy(root.value.data(), &fixed, sizeof fixed);
  root.children.push_back(VersionNode{u"StringFileInfo", 1, {}, {VersionNode{u"040904B0", 1, {}, {}}}});
  root.children.push_back(VersionNode{u"VarFileInfo", 1, {}, {VersionNode{u"Translation", 0, {0x09, 0x04, 0xB0, 0x04}, {}}}});
  return root;
}

std::optional<std::u16string> VersionString(const VersionNode& root, std::u16string_view key) {
  const VersionNode* strings = Child(root, u"StringFileInfo");
  if (strings == nullptr || strings->children.empty()) return std::nullopt;
  const VersionNode* value = Child(strings->children.front(), key);
  if (value == nullptr || value->type != 1) return std::nullopt;
  std::u16string text(value->value.size() / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), value->value.data(), 2 * text.size());
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

void SetVersionString(VersionNode& root, std::u16string_view key, const std::optional<std::u16string>& text) {
  VersionNode* strings = Child(root, u"StringFileInfo");
  if (strings == nullptr) {
    root.children.insert(root.children.begin(), VersionNode{u"StringFileInfo", 1, {}, {}});
    strings = &root.children.front();
  }
  if (strings->children.empty()) strings->children.push_back(VersionNode{u"040904B0", 1, {}, {}});
  std::vector<VersionNode>& table = strings->children.front().children;
  const auto found = std::find_if(table.begin(), table.end(), [&](const VersionNode& s) { return s.key == key; });
  if (!text) {
    if (found != table.end()) table.erase(found);
  } else if (found != table.end()) {
    found->type = 1;
    found->value = TextValue(*text);
  } else {
    table.push_back(VersionNode{std::u16string(key), 1, TextValue(*text), {}});
  }
}

void SetFixedProductVersion(VersionNode& root, const uint16_t (&parts)[4]) {
  FixedFileInfo fixed;
  if (root.value.size() < sizeof fixed) return;
  std::memcpy(&fixed, root.value.data(), sizeof fixed);
  if (fixed.signature != kFixedSignature) return;
  fixed.productVersionMs = uint32_t{parts[0]} << 16 | parts[1];
  fixed.productVersionLs = uint32_t{parts[2]} << 16 | parts[3];
  std::memcpy(root.value.data(), &fixed, sizeof fixed);
}

}  // namespace qpx::tool
