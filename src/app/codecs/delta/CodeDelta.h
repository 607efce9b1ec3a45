#pragma once
// Deltas that know program code (delta version 2). When a program changes,
// most of its code only moves, but every call, jump and address that spans
// the move changes its bytes: a plain delta pays a diff byte or two for
// each. Here the copies carry those references along: the decoder finds
// the x86 references in each copied range of the base, follows each one's
// target through the copies to where the target went in the result, and
// writes the reference as it must read there. The diff bytes then correct
// only what this prediction got wrong, which for a target that moved with
// its code is nothing.
//
// A version-2 body is version 1's with two additions:
//
//   header (96 bytes) | ranges | stream 0 | stream 1 | stream 2 | stream 3
//
// The header's version is 2 and five of its reserved bytes say how to read
// the code: reserved[0] the machine (1: x86, 32-bit; 2: x86-64),
// reserved[1] the base's ranges (1..kCodeRangesMax), reserved[2] the
// result's (1..kCodeRangesMax), reserved[3..4] the bytes of the ranges
// (16-bit); the other reserved bytes are zeros. The ranges follow the
// header, the base's then the result's, each five varints (as the streams'
// numbers are written): the fields of a CodeRange in order, fileOffset,
// size, address, flags and tail. A range says where a loaded piece of the
// program lies in its file and at which address it runs, and how much
// zero-filled memory follows it there.
// Each side's ranges are sorted by file offset, do not overlap, lie inside
// their file and wrap no address; a base range may hold code, and either
// side's may be data the program does not load (then at address 0, with no
// tail). After the ranges: a varint count of tail anchors (at most
// kTailAnchorsMax), then each anchor as two varints, its base address (the
// first: as it is; each later one: its distance from the one before, at
// least 1) and its result address (zigzag-signed, less the base address).
// Zero-filled memory has no bytes that copies could follow, so the
// anchors say where it went: a target in a base range's tail goes as far
// past the last anchor at or below it, if that anchor lies in the same
// tail, as the target lies past the anchor's base address.
//
// References (the same rule finds them in the encoder and the decoder):
// inside a copy, the base positions q whose bytes lie in the copy and in
// one base range, tried front to back from the copy's start; one found
// takes its bytes, and the next try starts after them.
//  - In a code range, 4 bytes preceded in the range by an opcode that takes
//    a 32-bit operand relative to the next instruction (E8 call, E9 jmp,
//    0F 80..8F jcc; on x86-64 also the instructions that take a ModRM
//    operand [rip + disp32], the next instruction starting after their
//    immediate where they have one), or on 32-bit x86 an
//    absolute address (a ModRM [disp32] operand, A1/A3 moves, 68 push and
//    B8..BF moves of a 32-bit immediate).
//  - In another range, at an address that is a multiple of the machine's
//    pointer size, a pointer (8 bytes on x86-64, 4 on x86) whose value is
//    an address in a base range; or at a multiple of 4, a 32-bit offset
//    from its own address to one in a code range (as unwinding tables
//    hold them); in a range that is a table of offsets from its own start
//    (an unwinding index), at a multiple of 4, such an offset to an
//    address in the base.
// Absolute targets below kCodeLowestAddress, or below the lowest code
// range's address where that is lower, do not count: small numbers are far
// more often counts and sizes than addresses.
// A reference counts only when its target's address lies in a base range
// (or the range's tail); it then takes its bytes even where it cannot be
// carried. It is rewritten when its target's file offset was copied into
// the result (see CopyMap) to where a result range gives it an address,
// and (for a relative one) its own new place has an address too: to that
// address, or to its distance from the reference's new place.
//
// Decoding needs, besides version 1's memory, the copy map: at most
// kCopyMapMaxEntries entries of 12 bytes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qpx {

inline constexpr uint32_t kCodeRangesMax = 16;
inline constexpr uint32_t kTailAnchorsMax = 4096;
inline constexpr uint32_t kCopyMapMaxEntries = 1u << 18;
// Copies shorter than this are left out of the copy map: a short copy is a
// coincidence of bytes more often than code that moved.
inline constexpr uint64_t kCopyMapMinCopy = 16;
inline constexpr uint64_t kCodeLowestAddress = 1u << 16;

enum CodeMachine : uint8_t {
  kCodeX86 = 1,
  kCodeX64 = 2,
};

// CodeRange::flags
inline constexpr uint32_t kCodeRangeExecutable = 0x1;  // holds code (base ranges only)
inline constexpr uint32_t kCodeRangeUnloaded = 0x2;    // data at no address (a symbol table); address 0
inline constexpr uint32_t kCodeRangeFromStart = 0x4;   // a table of offsets from its own start (base only)

struct CodeRange {
  uint64_t fileOffset;
  uint64_t size;
  uint64_t address;
  uint32_t flags;
  uint32_t tail;  // memory after the file's bytes, zeros when loaded (.bss)
};
static_assert(sizeof(CodeRange) == 32);
static_assert(offsetof(CodeRange, size) == 8);
static_assert(offsetof(CodeRange, address) == 16);
static_assert(offsetof(CodeRange, flags) == 24);
static_assert(offsetof(CodeRange, tail) == 28);

struct TailAnchor {
  uint64_t base, result;  // addresses
};

// Where each side's loaded pieces lie, the machine whose code it is, and
// where the base's zero-filled memory went.
struct CodeLayout {
  uint8_t machine = kCodeX64;
  std::vector<CodeRange> base;
  std::vector<CodeRange> result;
  std::vector<TailAnchor> anchors;
};

// Whether `layout` is one a body may give for a base and a result of
// these sizes (the rules above).
bool CodeLayoutHolds(const CodeLayout& layout, uint64_t baseSize, uint64_t resultSize);

// The ranges and anchors as a body holds them, and back: `bytes` must hold
// exactly `baseRanges` and then `resultRanges` ranges, then the anchors.
std::vector<uint8_t> WriteCodeRanges(const CodeLayout& layout);
bool ReadCodeRanges(std::span<const uint8_t> bytes, uint32_t baseRanges, uint32_t resultRanges, CodeLayout& layout);

// How a reference reaches its target: the encoder is told of each one that
// points into zero-filled memory, to learn the anchors from the result.
enum class ReferenceForm : uint8_t {
  kFromNextInstruction,  // target = the reference's address + 4 + value
  kFromItself,           // target = the reference's address + value
  kAbsolute,             // target = value
  kFromStart,            // target = its range's start + value
};
class TailWitness {
 public:
  virtual ~TailWitness() = default;
  // A reference of `width` bytes at base position q and result position
  // p, whose target in the base is the tail address `target`.
  virtual void Saw(uint64_t p, uint32_t width, ReferenceForm form, uint64_t target) = 0;
};

// Where the base's bytes went in the result: the copies of at least
// kCopyMapMinCopy bytes, the first kCopyMapMaxEntries of them in command
// order; where two copies take the same base byte, the one that starts
// lower in the base (then lower in the result) keeps it.
class CopyMap {
 public:
  // A copy of `length` base bytes from `from` to result position `to`.
  // Sizes are 32-bit: the patcher takes no larger base or result.
  void Add(uint64_t from, uint64_t to, uint64_t length);
  // Sorts the copies and cuts their overlaps; call once, after the last Add.
  void Seal();
  // The result position the base byte at `from` went to; false if none.
  bool Find(uint64_t from, uint64_t& to) const;
  // The same, trying first the copy that `hint` names, and naming in it
  // the copy found.
  bool Find(uint64_t from, uint64_t& to, std::size_t& hint) const;

 private:
  struct Entry {
    uint32_t from, to, length;
  };
  static_assert(sizeof(Entry) == 12);
  std::vector<Entry> entries_;
};

// Writes the base's bytes of one copy with their references carried
// along, a piece at a time: the copy of `length` bytes from base position
// `from` to result position `to`, in order, through as many Put calls as
// the caller likes.
class ReferenceCarrier {
 public:
  ReferenceCarrier(std::span<const uint8_t> base, const CodeLayout& layout, const CopyMap& map,
                   TailWitness* witness = nullptr);

  void Begin(uint64_t from, uint64_t to, uint64_t length);
  // The next out.size() bytes of the copy, into `out`.
  void Put(std::span<uint8_t> out);

 private:
  // A reference found: its 4 or 8 bytes, and what they must read in the
  // result.
  struct Found {
    uint32_t width;
    uint64_t value;
  };
  // Whether a reference starts at base position q (inside the copy), and
  // what it must read in the result (what it reads in the base, where its
  // target cannot be followed).
  bool Reference(uint64_t q, const CodeRange& range, Found& found);
  bool InCode(uint64_t q, const CodeRange& code, uint32_t opcodeBytes, uint32_t immediate, Found& found);
  bool InData(uint64_t q, const CodeRange& range, Found& found);
  // Whether an address lies in a base range or its tail; in a code range.
  bool InBase(uint64_t target) const;
  bool InCodeRange(uint64_t address) const;
  // The range that holds `length` bytes at q, trying the last one first.
  const CodeRange* RangeOf(uint64_t q, uint64_t length);
  // Where the base's `target` address went, for the reference at q: its
  // new address.
  bool NewAddress(uint64_t q, uint32_t width, ReferenceForm form, uint64_t target, uint64_t& address) const;
  // The new address of the reference at q.
  bool NewPlace(uint64_t q, uint64_t width, uint64_t& address) const;

  std::span<const uint8_t> base_;
  const CodeLayout& layout_;
  const CopyMap& map_;
  TailWitness* witness_;
  uint64_t lowest_;                       // the lowest absolute target that counts
  // The base's addresses, and its code's: quick bounds for a value.
  uint64_t low_ = UINT64_MAX, high_ = 0, codeLow_ = UINT64_MAX, codeHigh_ = 0;
  uint64_t from_ = 0, to_ = 0, end_ = 0;  // the copy, in the base
  uint64_t done_ = 0;                     // base position of the next byte to put
  uint64_t tried_ = 0;                    // the next position to try for a reference
  std::size_t range_ = 0;                 // the range last found
  mutable std::size_t mapHint_ = 0;       // the copy that held the last target
  // The reference that overlaps the piece boundary: its place and bytes.
  bool pending_ = false;
  uint64_t pendingAt_ = 0;
  uint32_t pendingWidth_ = 0;
  std::array<uint8_t, 8> pendingBytes_{};
};

}  // namespace qpx
