#include "src/app/codecs/delta/ExecutableLayout.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace qpx::tool {
namespace {

// The headers' fields are read one at a time, each checked against the
// file's end, so no header can make the reader leave the file.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  template <typename T>
  bool Read(uint64_t at, T& value) const {
    if (at > bytes_.size() || sizeof(T) > bytes_.size() - at) return false;
    std::memcpy(&value, bytes_.data() + at, sizeof(T));
    return true;
  }
  uint64_t size() const { return bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
};

struct Program {
  uint8_t machine = 0;
  std::vector<CodeRange> ranges;
};

constexpr uint16_t kElfMachineX86 = 3;
constexpr uint16_t kElfMachineX64 = 62;
constexpr uint32_t kElfLoad = 1;
constexpr uint32_t kElfUnwindIndex = 0x6474E550;  // PT_GNU_EH_FRAME: .eh_frame_hdr
constexpr uint32_t kElfExecutable = 1;

constexpr uint32_t kElfSymbolTable = 2;

// Gives `part` (the unwinding index, a table of offsets from its own
// start) a range of its own, cut out of the loaded range that holds it.
void SplitOut(CodeRange part, Program& program) {
  for (std::size_t i = 0; i < program.ranges.size(); ++i) {
    const CodeRange whole = program.ranges[i];
    if ((whole.flags & kCodeRangeExecutable) != 0 || part.fileOffset < whole.fileOffset ||
        part.fileOffset - whole.fileOffset > whole.size || part.size > whole.size - (part.fileOffset - whole.fileOffset) ||
        part.address != whole.address + (part.fileOffset - whole.fileOffset)) {
      continue;
    }
    const uint64_t end = part.fileOffset + part.size;
    // Zeros after the index would belong to no range: keep the whole.
    if (end == whole.fileOffset + whole.size && whole.tail != 0) return;
    std::vector<CodeRange> pieces;
    if (part.fileOffset > whole.fileOffset) {
      pieces.push_back({whole.fileOffset, part.fileOffset - whole.fileOffset, whole.address, whole.flags, 0});
    }
    pieces.push_back({part.fileOffset, part.size, part.address, kCodeRangeFromStart, 0});
    if (end < whole.fileOffset + whole.size) {
      pieces.push_back({end, whole.fileOffset + whole.size - end, whole.address + (end - whole.fileOffset), whole.flags,
                        whole.tail});
    }
    program.ranges.erase(program.ranges.begin() + static_cast<std::ptrdiff_t>(i));
    program.ranges.insert(program.ranges.begin() + static_cast<std::ptrdiff_t>(i), pieces.begin(), pieces.end());
    return;
  }
}

// The symbol tables the program does not load: their values are addresses.
bool ReadSymbolTables(const Reader& file, bool wide, Program& program) {
  uint64_t table;
  uint16_t entrySize, count;
  if (wide) {
    if (!file.Read(40, table) || !file.Read(58, entrySize) || !file.Read(60, count)) return false;
  } else {
    uint32_t table32;
    if (!file.Read(32, table32) || !file.Read(46, entrySize) || !file.Read(48, count)) return false;
    table = table32;
  }
  if (count == 0) return true;
  if (entrySize < (wide ? 64 : 40)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t at = table + uint64_t{i} * entrySize;
    uint32_t type;
    uint64_t offset, size;
    if (!file.Read(at + 4, type)) return false;
    if (type != kElfSymbolTable) continue;
    if (wide) {
      if (!file.Read(at + 24, offset) || !file.Read(at + 32, size)) return false;
    } else {
      uint32_t offset32, size32;
      if (!file.Read(at + 16, offset32) || !file.Read(at + 20, size32)) return false;
      offset = offset32;
      size = size32;
    }
    if (size != 0) program.ranges.push_back(CodeRange{offset, size, 0, kCodeRangeUnloaded, 0});
  }
  return true;
}

bool ReadElf(const Reader& file, Program& program) {
  uint8_t ident[16];
  if (!file.Read(0, ident) || std::memcmp(ident, "\x7F" "ELF", 4) != 0 || ident[5] != 1) return false;
  const bool wide = ident[4] == 2;
  if (!wide && ident[4] != 1) return false;
  uint16_t machine, entrySize, count;
  if (!file.Read(18, machine)) return false;
  if (machine != (wide ? kElfMachineX64 : kElfMachineX86)) return false;
  program.machine = wide ? kCodeX64 : kCodeX86;
  uint64_t table;
  if (wide) {
    if (!file.Read(32, table) || !file.Read(54, entrySize) || !file.Read(56, count)) return false;
  } else {
    uint32_t table32;
    if (!file.Read(28, table32) || !file.Read(42, entrySize) || !file.Read(44, count)) return false;
    table = table32;
  }
  if (entrySize < (wide ? 56 : 32)) return false;
  std::optional<CodeRange> unwindIndex;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t at = table + uint64_t{i} * entrySize;
    if (at < table) return false;
    uint32_t type, flags;
    uint64_t memorySize;
    CodeRange range{};
    if (!file.Read(at, type)) return false;
    if (wide) {
      if (!file.Read(at + 4, flags) || !file.Read(at + 8, range.fileOffset) || !file.Read(at + 16, range.address) ||
          !file.Read(at + 32, range.size) || !file.Read(at + 40, memorySize)) {
        return false;
      }
    } else {
      uint32_t offset, address, size, memory;
      if (!file.Read(at + 4, offset) || !file.Read(at + 8, address) || !file.Read(at + 16, size) ||
          !file.Read(at + 20, memory) || !file.Read(at + 24, flags)) {
        return false;
      }
      memorySize = memory;
      range.fileOffset = offset;
      range.address = address;
      range.size = size;
    }
    if (type == kElfUnwindIndex && range.size != 0) unwindIndex = range;
    if (type != kElfLoad || range.size == 0) continue;
    range.flags = (flags & kElfExecutable) != 0 ? kCodeRangeExecutable : 0;
    if (memorySize > range.size) range.tail = static_cast<uint32_t>(std::min<uint64_t>(memorySize - range.size, UINT32_MAX));
    program.ranges.push_back(range);
  }
  if (unwindIndex) SplitOut(*unwindIndex, program);
  return ReadSymbolTables(file, wide, program);
}

constexpr uint16_t kPeMachineX86 = 0x14C;
constexpr uint16_t kPeMachineX64 = 0x8664;
constexpr uint32_t kPeCode = 0x20;
constexpr uint32_t kPeExecute = 0x20000000;
constexpr uint32_t kPeDiscardable = 0x02000000;

bool ReadPe(const Reader& file, Program& program) {
  uint16_t mz;
  uint32_t header, signature;
  if (!file.Read(0, mz) || mz != 0x5A4D || !file.Read(0x3C, header) || !file.Read(header, signature) ||
      signature != 0x00004550) {
    return false;
  }
  uint16_t machine, sections, optionalSize, magic;
  if (!file.Read(header + 4, machine) || !file.Read(header + 6, sections) || !file.Read(header + 20, optionalSize) ||
      !file.Read(header + 24, magic)) {
    return false;
  }
  uint64_t imageBase;
  if (machine == kPeMachineX86 && magic == 0x10B) {
    uint32_t base32;
    if (!file.Read(header + 24 + 28, base32)) return false;
    imageBase = base32;
    program.machine = kCodeX86;
  } else if (machine == kPeMachineX64 && magic == 0x20B) {
    if (!file.Read(header + 24 + 24, imageBase)) return false;
    program.machine = kCodeX64;
  } else {
    return false;
  }
  const uint64_t table = uint64_t{header} + 24 + optionalSize;
  for (uint32_t i = 0; i < sections; ++i) {
    const uint64_t at = table + uint64_t{i} * 40;
    uint32_t virtualSize, virtualAddress, rawSize, rawOffset, characteristics;
    if (!file.Read(at + 8, virtualSize) || !file.Read(at + 12, virtualAddress) || !file.Read(at + 16, rawSize) ||
        !file.Read(at + 20, rawOffset) || !file.Read(at + 36, characteristics)) {
      return false;
    }
    // Past its virtual size a section's raw bytes are padding.
    const uint32_t size = virtualSize != 0 ? std::min(rawSize, virtualSize) : rawSize;
    // Debugging sections and relocations are not part of the loaded image.
    if (size == 0 || (characteristics & kPeDiscardable) != 0) continue;
    CodeRange range{rawOffset, size, imageBase + virtualAddress, 0, 0};
    if (virtualSize > rawSize) range.tail = virtualSize - rawSize;
    if ((characteristics & (kPeCode | kPeExecute)) != 0) range.flags = kCodeRangeExecutable;
    program.ranges.push_back(range);
  }
  return true;
}

std::optional<Program> ReadProgram(std::span<const uint8_t> bytes) {
  const Reader file(bytes);
  Program program;
  if (!ReadElf(file, program) && (program = Program{}, !ReadPe(file, program))) return std::nullopt;
  std::sort(program.ranges.begin(), program.ranges.end(),
            [](const CodeRange& a, const CodeRange& b) { return a.fileOffset < b.fileOffset; });
  return program;
}

}  // namespace

std::optional<CodeLayout> FindCodeLayout(std::span<const uint8_t> base, std::span<const uint8_t> result) {
  const std::optional<Program> was = ReadProgram(base), now = ReadProgram(result);
  if (!was || !now || was->machine != now->machine) return std::nullopt;
  CodeLayout layout;
  layout.machine = was->machine;
  layout.base = was->ranges;
  layout.result = now->ranges;
  for (CodeRange& range : layout.result) range.flags &= kCodeRangeUnloaded;
  if (std::none_of(layout.base.begin(), layout.base.end(),
                   [](const CodeRange& range) { return (range.flags & kCodeRangeExecutable) != 0; })) {
    return std::nullopt;
  }
  // A program the decoder would not take (overlapping pieces, too many)
  // is coded as any other file.
  if (!CodeLayoutHolds(layout, base.size(), result.size())) return std::nullopt;
  return layout;
}

}  // namespace qpx::tool
