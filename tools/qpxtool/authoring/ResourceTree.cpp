#include "tools/qpxtool/authoring/ResourceTree.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <tuple>

#include "tools/qpxtool/authoring/PeImage.h"

namespace qpx::tool {
namespace {

struct ResourceDirectory {
  uint32_t characteristics;
  uint32_t timeDateStamp;
  uint16_t majorVersion;
  uint16_t minorVersion;
  uint16_t namedEntries;
  uint16_t idEntries;
};
static_assert(sizeof(ResourceDirectory) == 16);
static_assert(offsetof(ResourceDirectory, namedEntries) == 12);

struct ResourceDirectoryEntry {
  uint32_t name;    // high bit: offset of a name string, else the number
  uint32_t target;  // high bit: offset of a subdirectory, else of a data entry
};
static_assert(sizeof(ResourceDirectoryEntry) == 8);

struct ResourceDataEntry {
  uint32_t rva;
  uint32_t size;
  uint32_t codePage;
  uint32_t reserved;
};
static_assert(sizeof(ResourceDataEntry) == 16);
static_assert(offsetof(ResourceDataEntry, codePage) == 8);

constexpr uint32_t kHighBit = 0x80000000;
// A program carries a handful of resources: a tree of many more is forged
// (its entries pointing at one another) and is not followed.
constexpr std::size_t kMaxResources = 4096;
constexpr uint64_t kMaxResourceBytes = 64u << 20;

char16_t Folded(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

struct TreeReader {
  std::span<const uint8_t> section;
  uint32_t rva;
  std::string& why;
  std::vector<Resource> resources;
  uint64_t bytes = 0;
  std::size_t directories = 0;

  bool Fail(const std::string& reason) {
    why = "its resources are damaged (" + reason + ")";
    return false;
  }

  bool ReadName(uint32_t field, ResourceId& id) {
    if ((field & kHighBit) == 0) {
      id = ResourceId::Number(field);
      return true;
    }
    const uint64_t at = field & ~kHighBit;
    if (!Within(at, 2, section.size())) return Fail("a name outside the section");
    uint16_t length;
    std::memcpy(&length, section.data() + at, 2);
    if (!Within(at + 2, 2 * uint64_t{length}, section.size())) return Fail("a name outside the section");
    id.named = true;
    id.text.resize(length);
    if (length != 0) std::memcpy(id.text.data(), section.data() + at + 2, 2 * std::size_t{length});
    return true;
  }

  // The entries of the directory at `at`.
  bool ReadEntries(uint64_t at, std::vector<ResourceDirectoryEntry>& entries) {
    ResourceDirectory directory;
    if (++directories > kMaxResources) return Fail("far too many directories");
    if (!Within(at, sizeof directory, section.size())) return Fail("a directory outside the section");
    std::memcpy(&directory, section.data() + at, sizeof directory);
    const uint64_t count = uint64_t{directory.namedEntries} + directory.idEntries;
    if (!Within(at + sizeof directory, count * sizeof(ResourceDirectoryEntry), section.size())) {
      return Fail("a directory's entries outside the section");
    }
    entries.resize(count);
    // An empty directory has no entries to copy (and an empty vector may
    // have no buffer at all, which memcpy may not be given).
    if (count != 0) {
      std::memcpy(entries.data(), section.data() + at + sizeof directory, entries.size() * sizeof entries[0]);
    }
    return true;
  }

  bool ReadDatum(const Resource& where, uint32_t target) {
    ResourceDataEntry entry;
    if ((target & kHighBit) != 0 || !Within(target, sizeof entry, section.size())) {
      return Fail("a language entry that is no datum");
    }
    std::memcpy(&entry, section.data() + target, sizeof entry);
    if (entry.rva < rva || !Within(entry.rva - uint64_t{rva}, entry.size, section.size())) {
      return Fail("a datum outside the section");
    }
    bytes += entry.size;
    if (resources.size() == kMaxResources || bytes > kMaxResourceBytes) return Fail("far too many resources");
    Resource resource = where;
    resource.codePage = entry.codePage;
    const auto first = section.begin() + (entry.rva - rva);
    resource.data.assign(first, first + entry.size);
    resources.push_back(std::move(resource));
    return true;
  }

  // The directory at `at`, of `level` 0 (types), 1 (names) or 2 (languages).
  bool ReadLevel(uint64_t at, int level, Resource& where) {
    std::vector<ResourceDirectoryEntry> entries;
    if (!ReadEntries(at, entries)) return false;
    for (const ResourceDirectoryEntry& entry : entries) {
      if (level == 2) {
        if ((entry.name & kHighBit) != 0) return Fail("a language given by name");
        where.language = entry.name;
        if (!ReadDatum(where, entry.target)) return false;
        continue;
      }
      if (!ReadName(entry.name, level == 0 ? where.type : where.name)) return false;
      if ((entry.target & kHighBit) == 0) return Fail("a datum where a directory belongs");
      if (!ReadLevel(entry.target & ~kHighBit, level + 1, where)) return false;
    }
    return true;
  }
};

using Languages = std::map<uint32_t, const Resource*>;
using Names = std::map<ResourceId, Languages>;
using Types = std::map<ResourceId, Names>;

uint32_t DirectoryBytes(std::size_t entries) {
  return static_cast<uint32_t>(sizeof(ResourceDirectory) + entries * sizeof(ResourceDirectoryEntry));
}

uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// Lays the tree out: first every directory (breadth first), then the
// names, then the data entries, then the data.
class TreeWriter {
 public:
  explicit TreeWriter(const Types& types, uint32_t rva) : types_(types), rva_(rva) {
    uint32_t at = DirectoryBytes(types.size());
    for (const auto& [type, names] : types) {
      (void)type;
      at += DirectoryBytes(names.size());
      for (const auto& entry : names) at += DirectoryBytes(entry.second.size());
    }
    for (const auto& [type, names] : types) {
      at = Name(type, at);
      for (const auto& entry : names) at = Name(entry.first, at);
    }
    dataEntriesAt_ = AlignUp(at, 4);
    std::size_t count = 0;
    for (const auto& entry : types) {
      for (const auto& languages : entry.second) count += languages.second.size();
    }
    dataAt_ = dataEntriesAt_ + static_cast<uint32_t>(count * sizeof(ResourceDataEntry));
  }

  // The root, then each type's directory of names, then each name's
  // directory of languages, each level in the tree's order.
  std::vector<uint8_t> Bytes() {
    uint32_t next = DirectoryBytes(types_.size());
    std::vector<ResourceDirectoryEntry> root;
    for (const auto& [type, names] : types_) {
      root.push_back({NameField(type), kHighBit | next});
      next += DirectoryBytes(names.size());
    }
    Directory(0, root);
    uint32_t entryAt = dataEntriesAt_, datumAt = dataAt_;
    uint32_t typeAt = DirectoryBytes(types_.size());
    for (const auto& [type, names] : types_) {
      (void)type;
      std::vector<ResourceDirectoryEntry> nameEntries;
      for (const auto& [name, languages] : names) {
        nameEntries.push_back({NameField(name), kHighBit | next});
        std::vector<ResourceDirectoryEntry> languageEntries;
        for (const auto& [language, resource] : languages) {
          languageEntries.push_back({language, entryAt});
          datumAt = AlignUp(datumAt, 8);
          const ResourceDataEntry data{rva_ + datumAt, static_cast<uint32_t>(resource->data.size()),
                                       resource->codePage, 0};
          Put(entryAt, &data, sizeof data);
          Put(datumAt, resource->data.data(), resource->data.size());
          entryAt += sizeof data;
          datumAt += static_cast<uint32_t>(resource->data.size());
        }
        Directory(next, languageEntries);
        next += DirectoryBytes(languages.size());
      }
      Directory(typeAt, nameEntries);
      typeAt += DirectoryBytes(names.size());
    }
    return std::move(out_);
  }

 private:
  uint32_t Name(const ResourceId& id, uint32_t at) {
    if (!id.named || nameAt_.count(id.text) != 0) return at;
    nameAt_[id.text] = at;
    const auto length = static_cast<uint16_t>(id.text.size());
    Put(at, &length, 2);
    Put(at + 2, id.text.data(), 2 * id.text.size());
    return at + 2 + 2 * static_cast<uint32_t>(id.text.size());
  }

  uint32_t NameField(const ResourceId& id) const { return id.named ? kHighBit | nameAt_.at(id.text) : id.number; }

  void Directory(uint32_t at, const std::vector<ResourceDirectoryEntry>& entries) {
    ResourceDirectory directory{};
    for (const ResourceDirectoryEntry& entry : entries) {
      if ((entry.name & kHighBit) != 0) ++directory.namedEntries;
      else ++directory.idEntries;
    }
    Put(at, &directory, sizeof directory);
    Put(at + sizeof directory, entries.data(), entries.size() * sizeof(ResourceDirectoryEntry));
  }

  void Put(uint32_t at, const void* bytes, std::size_t size) {
    if (out_.size() < at + size) out_.resize(at + size, 0);
    if (size != 0) std::memcpy(out_.data() + at, bytes, size);
  }

  const Types& types_;
  uint32_t rva_;
  std::map<std::u16string, uint32_t> nameAt_;
  uint32_t dataEntriesAt_ = 0, dataAt_ = 0;
  std::vector<uint8_t> out_;
};

}  // namespace

bool operator<(const ResourceId& a, const ResourceId& b) {
  if (a.named != b.named) return a.named;
  if (!a.named) return a.number < b.number;
  return std::lexicographical_compare(a.text.begin(), a.text.end(), b.text.begin(), b.text.end(),
                                      [](char16_t x, char16_t y) { return Folded(x) < Folded(y); });
}

bool operator==(const ResourceId& a, const ResourceId& b) { return !(a < b) && !(b < a); }

std::optional<std::vector<Resource>> ReadResourceTree(std::span<const uint8_t> section, uint32_t rva,
                                                      std::string& why) {
  TreeReader reader{section, rva, why, {}, 0, 0};
  Resource where;
  if (!reader.ReadLevel(0, 0, where)) return std::nullopt;
  return std::move(reader.resources);
}

std::vector<uint8_t> ResourceTreeBytes(const std::vector<Resource>& resources, uint32_t rva) {
  Types types;
  for (const Resource& resource : resources) types[resource.type][resource.name].emplace(resource.language, &resource);
  TreeWriter writer(types, rva);
  std::vector<uint8_t> bytes = writer.Bytes();
  bytes.resize(AlignUp(static_cast<uint32_t>(bytes.size()), 8), 0);
  return bytes;
}

}  // namespace qpx::tool
