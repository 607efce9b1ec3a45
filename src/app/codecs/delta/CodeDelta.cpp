#include "src/app/codecs/delta/CodeDelta.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "src/app/codecs/delta/Varint.h"

namespace qpx {
namespace {

// One-byte opcodes whose ModRM operand may be [rip + disp32] (on x86-64)
// or [disp32] (on 32-bit x86): the bytes of the immediate that follows the
// displacement, or -1 for any other opcode. The ALU operations (00..3B),
// movsxd, imul, the immediate groups 80, 81 and 83, test, xchg, mov, lea,
// the shifts by an immediate, mov of an immediate and the FF group.
int MemoryOperandImmediate(uint8_t opcode) {
  if (opcode < 0x40) return (opcode & 0x07) < 4 ? 0 : -1;
  switch (opcode) {
    case 0x63: case 0x84: case 0x85: case 0x86: case 0x87: case 0x88: case 0x89: case 0x8A: case 0x8B:
    case 0x8D: case 0xD1: case 0xD3: case 0xFF:
      return 0;
    case 0x6B: case 0x80: case 0x83: case 0xC0: case 0xC1: case 0xC6:
      return 1;
    case 0x69: case 0x81: case 0xC7:
      return 4;
    default:
      return -1;
  }
}

// The same for opcodes after 0F: SSE moves and arithmetic, cmov, imul,
// movzx and movsx.
bool TakesMemoryOperandAfter0F(uint8_t opcode) {
  if (opcode >= 0x40 && opcode <= 0x4F) return true;  // cmovcc
  if (opcode >= 0x51 && opcode <= 0x5F) return true;  // sqrt .. max
  switch (opcode) {
    case 0x10: case 0x11: case 0x12: case 0x13: case 0x16: case 0x17: case 0x28: case 0x29: case 0x2A:
    case 0x2C: case 0x2D: case 0x2E: case 0x2F: case 0x6E: case 0x6F: case 0x7E: case 0x7F: case 0xAF:
    case 0xB6: case 0xB7: case 0xBE: case 0xBF: case 0xD6: case 0xE7:
      return true;
    default:
      return false;
  }
}

constexpr bool IsMemoryModRm(uint8_t modrm) { return (modrm & 0xC7) == 0x05; }

// The bytes that a reference in code may follow: the last byte of a branch
// opcode, a ModRM byte of a [disp32] operand, and on 32-bit x86 the
// opcodes of an absolute address or a 32-bit immediate.
constexpr std::array<bool, 256> MayPrecede(bool x64) {
  std::array<bool, 256> table{};
  for (int byte = 0; byte < 256; ++byte) {
    const auto b = static_cast<uint8_t>(byte);
    table[b] = b == 0xE8 || b == 0xE9 || (b >= 0x80 && b <= 0x8F) || IsMemoryModRm(b) ||
               (!x64 && (b == 0xA1 || b == 0xA3 || b == 0x68 || (b >= 0xB8 && b <= 0xBF)));
  }
  return table;
}
constexpr std::array<bool, 256> kMayPrecedeX64 = MayPrecede(true);
constexpr std::array<bool, 256> kMayPrecedeX86 = MayPrecede(false);

uint32_t Load32(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

bool Contains(const CodeRange& range, uint64_t fileOffset, uint64_t length) {
  return fileOffset >= range.fileOffset && fileOffset - range.fileOffset <= range.size &&
         length <= range.size - (fileOffset - range.fileOffset);
}

// The address of `length` bytes at `fileOffset`, where one range holds them.
bool AddressOf(const std::vector<CodeRange>& ranges, uint64_t fileOffset, uint64_t length, uint64_t& address) {
  for (const CodeRange& range : ranges) {
    if ((range.flags & kCodeRangeUnloaded) == 0 && Contains(range, fileOffset, length)) {
      address = range.address + (fileOffset - range.fileOffset);
      return true;
    }
  }
  return false;
}

// The file offset at which `address` lies, where a range holds it.
bool FileOffsetOf(const std::vector<CodeRange>& ranges, uint64_t address, uint64_t& fileOffset) {
  for (const CodeRange& range : ranges) {
    if ((range.flags & kCodeRangeUnloaded) == 0 && address >= range.address && address - range.address < range.size) {
      fileOffset = range.fileOffset + (address - range.address);
      return true;
    }
  }
  return false;
}

bool RangesHold(const std::vector<CodeRange>& ranges, uint64_t fileSize, uint32_t allowedFlags, uint64_t addressEnd) {
  if (ranges.empty() || ranges.size() > kCodeRangesMax) return false;
  uint64_t previousEnd = 0;
  for (const CodeRange& range : ranges) {
    if (range.size == 0 || range.size > fileSize || range.fileOffset > fileSize - range.size) return false;
    if (range.fileOffset < previousEnd) return false;  // unsorted or overlapping
    if (range.size > addressEnd - range.tail || range.address > addressEnd - range.tail - range.size) return false;
    if ((range.flags & ~allowedFlags) != 0) return false;
    if ((range.flags & kCodeRangeUnloaded) != 0 &&
        (range.address != 0 || range.tail != 0 || (range.flags & ~kCodeRangeUnloaded) != 0)) {
      return false;
    }
    if ((range.flags & kCodeRangeFromStart) != 0 && (range.flags & kCodeRangeExecutable) != 0) return false;
    previousEnd = range.fileOffset + range.size;
  }
  return true;
}

bool TakeVarint(std::span<const uint8_t>& bytes, uint64_t& value) {
  value = 0;
  for (uint32_t i = 0; i < 10 && !bytes.empty(); ++i) {
    const uint8_t byte = bytes.front();
    bytes = bytes.subspan(1);
    if (i == 9 && byte > 1) return false;  // past 64 bits
    value |= uint64_t{byte & 0x7Fu} << (7 * i);
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

}  // namespace

std::vector<uint8_t> WriteCodeRanges(const CodeLayout& layout) {
  std::vector<uint8_t> bytes;
  for (const std::vector<CodeRange>* ranges : {&layout.base, &layout.result}) {
    for (const CodeRange& range : *ranges) {
      for (const uint64_t field : {range.fileOffset, range.size, range.address, uint64_t{range.flags},
                                   uint64_t{range.tail}}) {
        PutVarint(bytes, field);
      }
    }
  }
  PutVarint(bytes, layout.anchors.size());
  uint64_t previous = 0;
  for (const TailAnchor& anchor : layout.anchors) {
    PutVarint(bytes, anchor.base - previous);
    const uint64_t shift = anchor.result - anchor.base;  // modulo 2^64
    PutVarint(bytes, (shift << 1) ^ (0 - (shift >> 63)));
    previous = anchor.base;
  }
  return bytes;
}

bool ReadCodeRanges(std::span<const uint8_t> bytes, uint32_t baseRanges, uint32_t resultRanges, CodeLayout& layout) {
  layout.base.assign(baseRanges, CodeRange{});
  layout.result.assign(resultRanges, CodeRange{});
  for (std::vector<CodeRange>* ranges : {&layout.base, &layout.result}) {
    for (CodeRange& range : *ranges) {
      uint64_t flags, tail;
      if (!TakeVarint(bytes, range.fileOffset) || !TakeVarint(bytes, range.size) ||
          !TakeVarint(bytes, range.address) || !TakeVarint(bytes, flags) || !TakeVarint(bytes, tail) ||
          flags > UINT32_MAX || tail > UINT32_MAX) {
        return false;
      }
      range.flags = static_cast<uint32_t>(flags);
      range.tail = static_cast<uint32_t>(tail);
    }
  }
  uint64_t count;
  if (!TakeVarint(bytes, count) || count > kTailAnchorsMax) return false;
  layout.anchors.assign(static_cast<std::size_t>(count), TailAnchor{});
  uint64_t previous = 0;
  for (std::size_t i = 0; i < layout.anchors.size(); ++i) {
    uint64_t distance, shift;
    if (!TakeVarint(bytes, distance) || !TakeVarint(bytes, shift)) return false;
    if ((i > 0 && distance == 0) || distance > UINT64_MAX - previous) return false;
    TailAnchor& anchor = layout.anchors[i];
    anchor.base = previous + distance;
    anchor.result = anchor.base + ((shift >> 1) ^ (0 - (shift & 1)));
    previous = anchor.base;
  }
  return bytes.empty();
}

bool CodeLayoutHolds(const CodeLayout& layout, uint64_t baseSize, uint64_t resultSize) {
  if (layout.machine != kCodeX86 && layout.machine != kCodeX64) return false;
  const uint64_t addressEnd = layout.machine == kCodeX86 ? uint64_t{1} << 32 : std::numeric_limits<uint64_t>::max();
  return RangesHold(layout.base, baseSize, kCodeRangeExecutable | kCodeRangeUnloaded | kCodeRangeFromStart,
                    addressEnd) &&
         RangesHold(layout.result, resultSize, kCodeRangeUnloaded, addressEnd);
}

void CopyMap::Add(uint64_t from, uint64_t to, uint64_t length) {
  if (length < kCopyMapMinCopy || entries_.size() >= kCopyMapMaxEntries) return;
  if (from > UINT32_MAX || to > UINT32_MAX || length > UINT32_MAX - from) return;
  entries_.push_back({static_cast<uint32_t>(from), static_cast<uint32_t>(to), static_cast<uint32_t>(length)});
}

void CopyMap::Seal() {
  std::sort(entries_.begin(), entries_.end(),
            [](const Entry& a, const Entry& b) {
              if (a.from != b.from) return a.from < b.from;
              return a.to != b.to ? a.to < b.to : a.length < b.length;
            });
  // Each base byte keeps the first copy that takes it: later ones start
  // where the one before ends, or go.
  std::size_t kept = 0;
  uint64_t reach = 0;
  for (Entry entry : entries_) {
    const uint64_t end = uint64_t{entry.from} + entry.length;
    if (end <= reach) continue;
    if (entry.from < reach) {
      const auto cut = static_cast<uint32_t>(reach - entry.from);
      entry.from += cut;
      entry.to += cut;
      entry.length -= cut;
    }
    entries_[kept++] = entry;
    reach = end;
  }
  entries_.resize(kept);
}

bool CopyMap::Find(uint64_t from, uint64_t& to) const {
  std::size_t hint = 0;
  return Find(from, to, hint);
}

bool CopyMap::Find(uint64_t from, uint64_t& to, std::size_t& hint) const {
  // References cluster: the copy that held the last target often holds
  // the next.
  const Entry* entry = nullptr;
  if (hint < entries_.size() && from >= entries_[hint].from && from - entries_[hint].from < entries_[hint].length) {
    entry = &entries_[hint];
  } else {
    const auto after = std::upper_bound(entries_.begin(), entries_.end(), from,
                                        [](uint64_t at, const Entry& e) { return at < e.from; });
    if (after == entries_.begin()) return false;
    entry = &*(after - 1);
    hint = static_cast<std::size_t>(entry - entries_.data());
  }
  if (from - entry->from >= entry->length) return false;
  to = uint64_t{entry->to} + (from - entry->from);
  return true;
}

ReferenceCarrier::ReferenceCarrier(std::span<const uint8_t> base, const CodeLayout& layout, const CopyMap& map,
                                   TailWitness* witness)
    : base_(base), layout_(layout), map_(map), witness_(witness), lowest_(kCodeLowestAddress) {
  for (const CodeRange& range : layout.base) {
    if ((range.flags & kCodeRangeUnloaded) != 0) continue;
    low_ = std::min(low_, range.address);
    high_ = std::max(high_, range.address + range.size + range.tail);
    if ((range.flags & kCodeRangeExecutable) == 0) continue;
    lowest_ = std::min(lowest_, range.address);
    codeLow_ = std::min(codeLow_, range.address);
    codeHigh_ = std::max(codeHigh_, range.address + range.size);
  }
}

void ReferenceCarrier::Begin(uint64_t from, uint64_t to, uint64_t length) {
  from_ = from;
  to_ = to;
  end_ = from + length;
  done_ = tried_ = from;
  range_ = 0;
  pending_ = false;
}

void ReferenceCarrier::Put(std::span<uint8_t> out) {
  const uint64_t start = done_, stop = done_ + out.size();
  std::memcpy(out.data(), base_.data() + start, out.size());
  // The bytes of a reference found at `at` that fall in this piece.
  const auto write = [&](uint64_t at, uint32_t width, const uint8_t* bytes) {
    for (uint64_t i = std::max(at, start); i < std::min(at + width, stop); ++i) out[i - start] = bytes[i - at];
  };
  const auto carry = [&](const Found& found) {
    std::array<uint8_t, 8> bytes;
    std::memcpy(bytes.data(), &found.value, sizeof found.value);
    write(tried_, found.width, bytes.data());
    if (tried_ + found.width > stop) {
      pending_ = true;
      pendingAt_ = tried_;
      pendingWidth_ = found.width;
      pendingBytes_ = bytes;
    }
    tried_ += found.width;
  };
  if (pending_) {
    write(pendingAt_, pendingWidth_, pendingBytes_.data());
    pending_ = pendingAt_ + pendingWidth_ > stop;
  }
  const std::array<bool, 256>& mayFollow = layout_.machine == kCodeX64 ? kMayPrecedeX64 : kMayPrecedeX86;
  const uint8_t* bytes = base_.data();
  while (tried_ < stop && tried_ + 4 <= end_) {
    const CodeRange* range = RangeOf(tried_, 4);
    if (range == nullptr) {
      // No reference lies outside the ranges: on to the next one.
      uint64_t next = stop;
      for (const CodeRange& r : layout_.base) {
        if (r.fileOffset > tried_) next = std::min(next, r.fileOffset);
      }
      tried_ = std::max(tried_ + 1, next);
      continue;
    }
    if (tried_ == 0) {
      ++tried_;
      continue;
    }
    // The positions of this range, the copy and the piece, in one loop:
    // in code, past the bytes that follow no opcode or ModRM byte of a
    // reference; in data, at its alignment.
    const uint64_t last = std::min({stop, end_ - 3, range->fileOffset + range->size - 3});
    Found found;
    if ((range->flags & kCodeRangeExecutable) != 0) {
      while (tried_ < last) {
        const uint8_t b = bytes[tried_ - 1];
        // A byte of 80..8F counts only after 0F (a conditional jump).
        if (!mayFollow[b] || (b >= 0x80 && b <= 0x8F && (tried_ < 2 || bytes[tried_ - 2] != 0x0F))) {
          ++tried_;
        } else if (Reference(tried_, *range, found)) {
          carry(found);
        } else {
          ++tried_;
        }
      }
    } else {
      const uint64_t here = (range->flags & kCodeRangeUnloaded) != 0 ? tried_ : range->address + (tried_ - range->fileOffset);
      tried_ += (4 - here % 4) % 4;
      while (tried_ < last) {
        if (InData(tried_, *range, found)) {
          carry(found);
        } else {
          tried_ += 4;
        }
      }
    }
  }
  done_ = stop;
}

const CodeRange* ReferenceCarrier::RangeOf(uint64_t q, uint64_t length) {
  const std::vector<CodeRange>& ranges = layout_.base;
  if (range_ < ranges.size() && Contains(ranges[range_], q, length)) return &ranges[range_];
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (Contains(ranges[i], q, length)) {
      range_ = i;
      return &ranges[i];
    }
  }
  return nullptr;
}

bool ReferenceCarrier::Reference(uint64_t q, const CodeRange& range, Found& found) {
  if (q < 1) return false;
  const uint8_t* at = base_.data() + q;
  const uint8_t b1 = at[-1];
  const bool x64 = layout_.machine == kCodeX64;
  if ((range.flags & kCodeRangeExecutable) == 0) return InData(q, range, found);
  // The cheap test first: most bytes follow no opcode of interest.
  if (b1 == 0xE8 || b1 == 0xE9) return InCode(q, range, 1, 0, found);
  if (q >= 2 && at[-2] == 0x0F && b1 >= 0x80 && b1 <= 0x8F) return InCode(q, range, 2, 0, found);
  if (q >= 2 && IsMemoryModRm(b1)) {
    int immediate = MemoryOperandImmediate(at[-2]);
    // An operand-size prefix makes a 32-bit immediate 16-bit.
    if (immediate == 4 && q >= 3 && at[-3] == 0x66) immediate = 2;
    if (immediate >= 0) return InCode(q, range, 2, static_cast<uint32_t>(immediate), found);
  }
  if (q >= 3 && IsMemoryModRm(b1) && at[-3] == 0x0F && TakesMemoryOperandAfter0F(at[-2])) {
    return InCode(q, range, 3, 0, found);
  }
  if (!x64 && (b1 == 0xA1 || b1 == 0xA3 || b1 == 0x68 || (b1 >= 0xB8 && b1 <= 0xBF))) return InCode(q, range, 1, 0, found);
  return false;
}

bool ReferenceCarrier::InCode(uint64_t q, const CodeRange& code, uint32_t opcodeBytes, uint32_t immediate,
                              Found& found) {
  // The opcode and the operand must lie in one code range: q's, as ranges
  // do not overlap.
  if (!Contains(code, q - opcodeBytes, opcodeBytes + 4)) return false;
  const CodeRange* range = &code;
  const uint8_t* at = base_.data() + q;
  const uint32_t raw = Load32(at);
  // Relative to the next instruction, except 32-bit x86's absolute forms:
  // all but the branches there.
  const bool branch = at[-1] == 0xE8 || at[-1] == 0xE9 || (opcodeBytes == 2 && at[-2] == 0x0F && at[-1] >= 0x80 &&
                                                             at[-1] <= 0x8F);
  const bool relative = layout_.machine == kCodeX64 || branch;
  uint64_t target = raw;
  if (relative) {
    const uint64_t next = range->address + (q - range->fileOffset) + 4 + immediate;
    target = next + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(raw)));
    if (layout_.machine == kCodeX86) target &= UINT32_MAX;
  }
  if ((!relative && target < lowest_) || !InBase(target)) return false;
  found = {4, raw};
  uint64_t address, place;
  const ReferenceForm form = relative ? ReferenceForm::kFromNextInstruction : ReferenceForm::kAbsolute;
  if (!NewAddress(q, 4, form, target, address)) return true;
  if (relative) {
    if (!NewPlace(q, 4, place)) return true;
    address -= place + 4 + immediate;
  }
  found.value = static_cast<uint32_t>(address);
  return true;
}

bool ReferenceCarrier::InData(uint64_t q, const CodeRange& range, Found& found) {
  // Data the program does not load is aligned in the file.
  const bool unloaded = (range.flags & kCodeRangeUnloaded) != 0;
  const uint64_t here = unloaded ? q : range.address + (q - range.fileOffset);
  const uint8_t* at = base_.data() + q;
  uint64_t address, place;
  if (layout_.machine == kCodeX64 && here % 8 == 0 && q + 8 <= end_ && Contains(range, q, 8)) {
    uint64_t raw;
    std::memcpy(&raw, at, sizeof raw);
    if (raw >= lowest_ && raw >= low_ && raw < high_ && InBase(raw)) {
      found = {8, raw};
      if (NewAddress(q, 8, ReferenceForm::kAbsolute, raw, address)) found.value = address;
      return true;
    }
  }
  if (here % 4 != 0 || unloaded) return false;
  const uint32_t raw = Load32(at);
  if ((range.flags & kCodeRangeFromStart) != 0) {
    uint64_t target = range.address + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(raw)));
    if (layout_.machine == kCodeX86) target &= UINT32_MAX;
    if (!InBase(target)) return false;
    found = {4, raw};
    uint64_t start;
    if (NewAddress(q, 4, ReferenceForm::kFromStart, target, address) &&
        NewAddress(q, 4, ReferenceForm::kFromStart, range.address, start)) {
      found.value = static_cast<uint32_t>(address - start);
    }
    return true;
  }
  if (layout_.machine == kCodeX86 && raw >= lowest_ && raw >= low_ && raw < high_ && InBase(raw)) {
    found = {4, raw};
    if (NewAddress(q, 4, ReferenceForm::kAbsolute, raw, address)) found.value = static_cast<uint32_t>(address);
    return true;
  }
  // An offset from here into code.
  uint64_t target = here + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(raw)));
  if (layout_.machine == kCodeX86) target &= UINT32_MAX;
  if (target < codeLow_ || target >= codeHigh_ || !InCodeRange(target)) return false;
  found = {4, raw};
  if (NewAddress(q, 4, ReferenceForm::kFromItself, target, address) && NewPlace(q, 4, place)) {
    found.value = static_cast<uint32_t>(address - place);
  }
  return true;
}

bool ReferenceCarrier::InCodeRange(uint64_t address) const {
  for (const CodeRange& range : layout_.base) {
    if ((range.flags & kCodeRangeExecutable) != 0 && address >= range.address && address - range.address < range.size) {
      return true;
    }
  }
  return false;
}

bool ReferenceCarrier::InBase(uint64_t target) const {
  uint64_t offset;
  if (FileOffsetOf(layout_.base, target, offset)) return true;
  for (const CodeRange& range : layout_.base) {
    const uint64_t end = range.address + range.size;
    if ((range.flags & kCodeRangeUnloaded) == 0 && target >= end && target - end < range.tail) return true;
  }
  return false;
}

bool ReferenceCarrier::NewAddress(uint64_t q, uint32_t width, ReferenceForm form, uint64_t target,
                                  uint64_t& address) const {
  uint64_t targetOffset, newTargetOffset;
  if (FileOffsetOf(layout_.base, target, targetOffset)) {
    return map_.Find(targetOffset, newTargetOffset, mapHint_) &&
           AddressOf(layout_.result, newTargetOffset, 1, address);
  }
  // In the zeros after a range's bytes: by the anchor below it.
  for (const CodeRange& range : layout_.base) {
    const uint64_t end = range.address + range.size;
    if ((range.flags & kCodeRangeUnloaded) != 0 || target < end || target - end >= range.tail) continue;
    if (witness_ != nullptr) witness_->Saw(to_ + (q - from_), width, form, target);
    const std::vector<TailAnchor>& anchors = layout_.anchors;
    const auto after = std::upper_bound(anchors.begin(), anchors.end(), target,
                                        [](uint64_t at, const TailAnchor& anchor) { return at < anchor.base; });
    if (after == anchors.begin() || (after - 1)->base < end) return false;
    address = (after - 1)->result + (target - (after - 1)->base);
    if (layout_.machine == kCodeX86) address &= UINT32_MAX;
    return true;
  }
  return false;
}

bool ReferenceCarrier::NewPlace(uint64_t q, uint64_t width, uint64_t& address) const {
  return AddressOf(layout_.result, to_ + (q - from_), width, address);
}

}  // namespace qpx
