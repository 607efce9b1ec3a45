#pragma once
// A program's version resource (VS_VERSIONINFO), what Explorer's file
// properties show: a tree of keyed blocks, the root's value the fixed
// numbers, its "StringFileInfo" the texts (ProductName, CompanyName, ...).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qpx::tool {

struct VersionNode {
  std::u16string key;
  uint16_t type = 1;            // 1: the value is text (UTF-16, ending in a zero), 0: bytes
  std::vector<uint8_t> value;   // as stored, a text's ending zero included
  std::vector<VersionNode> children;
};

// The version resource in `bytes`. Nullopt, with the reason, when its
// blocks' lengths do not fit one another.
std::optional<VersionNode> ReadVersionInfo(std::span<const uint8_t> bytes, std::string& why);

// The resource's bytes: each block's length, key and value, each key, value
// and child at a multiple of 4.
std::vector<uint8_t> VersionInfoBytes(const VersionNode& root);

// A version resource of no texts: the fixed numbers of a 32-bit Windows
// program, a string table for U.S. English in UTF-16, and its translation.
VersionNode EmptyVersionInfo();

// The text `key` of the first string table, if there is one.
std::optional<std::u16string> VersionString(const VersionNode& root, std::u16string_view key);

// Sets the text `key` of the first string table (made if there is none);
// with no `text`, takes it out.
void SetVersionString(VersionNode& root, std::u16string_view key, const std::optional<std::u16string>& text);

// Sets the fixed product version (four 16-bit numbers, most significant
// first), where the root holds the fixed numbers.
void SetFixedProductVersion(VersionNode& root, const uint16_t (&parts)[4]);

}  // namespace qpx::tool
