#include "tools/qpxtool/authoring/PeImage.h"

#include <cstddef>
#include <cstring>

namespace qpx::tool {
namespace {

struct CoffHeader {
  uint16_t machine;
  uint16_t numberOfSections;
  uint32_t timeDateStamp;
  uint32_t pointerToSymbolTable;
  uint32_t numberOfSymbols;
  uint16_t sizeOfOptionalHeader;
  uint16_t characteristics;
};
static_assert(sizeof(CoffHeader) == 20);
static_assert(offsetof(CoffHeader, sizeOfOptionalHeader) == 16);

struct SectionHeader {
  char name[8];
  uint32_t virtualSize;
  uint32_t virtualAddress;
  uint32_t sizeOfRawData;
  uint32_t pointerToRawData;
  uint32_t pointerToRelocations;
  uint32_t pointerToLinenumbers;
  uint16_t numberOfRelocations;
  uint16_t numberOfLinenumbers;
  uint32_t characteristics;
};
static_assert(sizeof(SectionHeader) == 40);
static_assert(offsetof(SectionHeader, virtualAddress) == 12);
static_assert(offsetof(SectionHeader, pointerToRawData) == 20);
static_assert(offsetof(SectionHeader, characteristics) == 36);

constexpr std::size_t kNewHeaderPointerAt = 0x3C;
constexpr uint16_t kPe32Magic = 0x10B, kPe32PlusMagic = 0x20B;
// Fields of the optional header, at the same offsets in PE32 and PE32+.
constexpr std::size_t kSizeOfInitializedDataAt = 8, kSectionAlignmentAt = 32, kFileAlignmentAt = 36,
                      kSizeOfImageAt = 56, kCheckSumAt = 64;
constexpr std::size_t kDirectoriesAt32 = 96, kDirectoriesAt64 = 112;  // after NumberOfRvaAndSizes
constexpr uint32_t kResourceDirectory = 2, kRelocationDirectory = 5;
constexpr uint32_t kInitializedData = 0x40;  // IMAGE_SCN_CNT_INITIALIZED_DATA

uint16_t Get16(std::span<const uint8_t> image, std::size_t at) {
  uint16_t value;
  std::memcpy(&value, image.data() + at, sizeof value);
  return value;
}
uint32_t Get32(std::span<const uint8_t> image, std::size_t at) {
  uint32_t value;
  std::memcpy(&value, image.data() + at, sizeof value);
  return value;
}
void Put32(std::vector<uint8_t>& image, std::size_t at, uint32_t value) {
  std::memcpy(image.data() + at, &value, sizeof value);
}

uint64_t AlignUp(uint64_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }
bool PowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

// Where the headers that a rewrite touches lie, checked against the image.
struct PeLayout {
  std::size_t optionalAt = 0;     // the optional header's first byte
  std::size_t directoriesAt = 0;  // the data directories' first byte
  std::size_t sectionsAt = 0;     // the section table's first byte
  std::vector<SectionHeader> sections;
  uint32_t sectionAlignment = 0, fileAlignment = 0;
  std::size_t resources = 0;  // the resource section's index
  uint32_t relocationRva = 0;

  std::size_t DirectoryAt(uint32_t index) const { return directoriesAt + 8 * std::size_t{index}; }
  std::size_t SectionAt(std::size_t index) const { return sectionsAt + sizeof(SectionHeader) * index; }
};

bool ReadHeaders(std::span<const uint8_t> image, PeLayout& layout, std::string& why) {
  why = "is not a Windows program (no PE header)";
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return false;
  const uint64_t peAt = Get32(image, kNewHeaderPointerAt);
  CoffHeader coff;
  if (!Within(peAt, 4 + sizeof coff, image.size()) || std::memcmp(image.data() + peAt, "PE\0\0", 4) != 0) return false;
  std::memcpy(&coff, image.data() + peAt + 4, sizeof coff);
  layout.optionalAt = static_cast<std::size_t>(peAt) + 4 + sizeof coff;
  if (!Within(layout.optionalAt, coff.sizeOfOptionalHeader, image.size()) ||
      coff.sizeOfOptionalHeader < kDirectoriesAt32) {
    why = "is not a Windows program (its optional header is cut short)";
    return false;
  }
  const uint16_t magic = Get16(image, layout.optionalAt);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) {
    why = "is not a Windows program (its optional header is of no known kind)";
    return false;
  }
  const std::size_t directories = magic == kPe32Magic ? kDirectoriesAt32 : kDirectoriesAt64;
  const uint64_t count = coff.sizeOfOptionalHeader >= directories ? Get32(image, layout.optionalAt + directories - 4) : 0;
  if (count <= kRelocationDirectory || directories + 8 * count > coff.sizeOfOptionalHeader) {
    why = "is a Windows program without the data directories of its resources";
    return false;
  }
  layout.directoriesAt = layout.optionalAt + directories;
  layout.sectionsAt = layout.optionalAt + coff.sizeOfOptionalHeader;
  if (!Within(layout.sectionsAt, sizeof(SectionHeader) * uint64_t{coff.numberOfSections}, image.size())) {
    why = "is a Windows program whose section table is cut short";
    return false;
  }
  layout.sections.resize(coff.numberOfSections);
  for (std::size_t i = 0; i < layout.sections.size(); ++i) {
    std::memcpy(&layout.sections[i], image.data() + layout.SectionAt(i), sizeof(SectionHeader));
  }
  layout.sectionAlignment = Get32(image, layout.optionalAt + kSectionAlignmentAt);
  layout.fileAlignment = Get32(image, layout.optionalAt + kFileAlignmentAt);
  if (!PowerOfTwo(layout.sectionAlignment) || !PowerOfTwo(layout.fileAlignment)) {
    why = "is a Windows program with alignments that are no powers of two";
    return false;
  }
  return true;
}

// Finds the resource section, what the resource directory names, and
// (`forRewrite`) checks that it and the sections after it can be
// rewritten: the sections are in order, only the relocations follow it,
// back to back, and nothing follows them.
bool FindResources(std::span<const uint8_t> image, PeLayout& layout, bool forRewrite, std::string& why) {
  const uint32_t resourceRva = Get32(image, layout.DirectoryAt(kResourceDirectory));
  layout.relocationRva = Get32(image, layout.DirectoryAt(kRelocationDirectory));
  const std::vector<SectionHeader>& sections = layout.sections;
  std::size_t r = 0;
  while (r < sections.size() && (resourceRva == 0 || sections[r].virtualAddress != resourceRva)) ++r;
  if (r == sections.size()) {
    why = "is a Windows program without a resource section";
    return false;
  }
  layout.resources = r;
  uint64_t rawEnd = 0, virtualEnd = 0;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const SectionHeader& section = sections[i];
    const std::string name(section.name, strnlen(section.name, sizeof section.name));
    if (section.sizeOfRawData != 0 && !Within(section.pointerToRawData, section.sizeOfRawData, image.size())) {
      why = "is a Windows program whose section \"" + name + "\" lies outside the file";
      return false;
    }
    if (!forRewrite) continue;
    if (i > r && (i != r + 1 || section.virtualAddress != layout.relocationRva ||
                  section.pointerToRawData != rawEnd)) {
      why = "is a Windows program whose resource section is followed by \"" + name + "\", which cannot be moved";
      return false;
    }
    if (i <= r && (section.virtualAddress < virtualEnd || (section.sizeOfRawData != 0 && section.pointerToRawData < rawEnd))) {
      why = "is a Windows program whose sections are not in order";
      return false;
    }
    if (section.sizeOfRawData != 0) rawEnd = uint64_t{section.pointerToRawData} + section.sizeOfRawData;
    virtualEnd = uint64_t{section.virtualAddress} + section.virtualSize;
  }
  if (forRewrite && rawEnd != image.size()) {
    why = "is a Windows program with " + std::to_string(image.size() - rawEnd) +
          " bytes after its last section (symbols of an unstripped build?)";
    return false;
  }
  return true;
}

bool ReadLayout(std::span<const uint8_t> image, PeLayout& layout, bool forRewrite, std::string& why) {
  return ReadHeaders(image, layout, why) && FindResources(image, layout, forRewrite, why);
}

// A section's bytes as loaded: its virtual size, at most what the file holds.
uint32_t LoadedSize(const SectionHeader& section) {
  return section.virtualSize == 0 || section.virtualSize > section.sizeOfRawData ? section.sizeOfRawData
                                                                                  : section.virtualSize;
}

}  // namespace

std::optional<ResourceSection> FindResourceSection(std::span<const uint8_t> image, std::string& why) {
  PeLayout layout;
  if (!ReadLayout(image, layout, false, why)) return std::nullopt;
  const SectionHeader& section = layout.sections[layout.resources];
  const auto first = image.begin() + section.pointerToRawData;
  return ResourceSection{std::vector<uint8_t>(first, first + LoadedSize(section)), section.virtualAddress};
}

std::optional<std::vector<uint8_t>> ReplaceResourceSection(std::span<const uint8_t> image,
                                                           std::span<const uint8_t> section, std::string& why) {
  PeLayout layout;
  if (!ReadLayout(image, layout, true, why)) return std::nullopt;
  SectionHeader& resources = layout.sections[layout.resources];
  const uint64_t rawSize = AlignUp(section.size(), layout.fileAlignment);
  std::vector<uint8_t> out(image.begin(), image.begin() + resources.pointerToRawData);
  out.insert(out.end(), section.begin(), section.end());
  out.resize(out.size() + (rawSize - section.size()), 0);
  const int64_t grown = static_cast<int64_t>(rawSize) - resources.sizeOfRawData;
  const bool initialized = (resources.characteristics & kInitializedData) != 0;
  resources.virtualSize = static_cast<uint32_t>(section.size());
  resources.sizeOfRawData = static_cast<uint32_t>(rawSize);
  uint64_t nextRva = AlignUp(uint64_t{resources.virtualAddress} + section.size(), layout.sectionAlignment);
  for (std::size_t i = layout.resources + 1; i < layout.sections.size(); ++i) {
    SectionHeader& moved = layout.sections[i];
    const auto first = image.begin() + moved.pointerToRawData;
    moved.pointerToRawData = static_cast<uint32_t>(out.size());
    out.insert(out.end(), first, first + moved.sizeOfRawData);
    moved.virtualAddress = static_cast<uint32_t>(nextRva);
    Put32(out, layout.DirectoryAt(kRelocationDirectory), moved.virtualAddress);
    nextRva = AlignUp(nextRva + std::max(moved.virtualSize, moved.sizeOfRawData), layout.sectionAlignment);
  }
  if (out.size() > UINT32_MAX || nextRva > UINT32_MAX) {
    why = "would be too large with these resources";
    return std::nullopt;
  }
  for (std::size_t i = layout.resources; i < layout.sections.size(); ++i) {
    std::memcpy(out.data() + layout.SectionAt(i), &layout.sections[i], sizeof(SectionHeader));
  }
  Put32(out, layout.DirectoryAt(kResourceDirectory) + 4, static_cast<uint32_t>(section.size()));
  Put32(out, layout.optionalAt + kSizeOfImageAt, static_cast<uint32_t>(nextRva));
  if (initialized) {
    const uint32_t before = Get32(out, layout.optionalAt + kSizeOfInitializedDataAt);
    Put32(out, layout.optionalAt + kSizeOfInitializedDataAt, static_cast<uint32_t>(before + grown));
  }
  // Windows checks the sum of drivers only, but a program that has one
  // keeps it true.
  const std::size_t checksumAt = layout.optionalAt + kCheckSumAt;
  if (Get32(out, checksumAt) != 0) Put32(out, checksumAt, PeChecksum(out, checksumAt));
  return out;
}

uint32_t PeChecksum(std::span<const uint8_t> image, std::size_t checksumAt) {
  const auto byte = [&](std::size_t at) -> uint32_t {
    return at >= image.size() || (at >= checksumAt && at - checksumAt < 4) ? 0 : image[at];
  };
  uint64_t sum = 0;
  for (std::size_t at = 0; at < image.size(); at += 2) {
    sum += byte(at) | byte(at + 1) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

}  // namespace qpx::tool
