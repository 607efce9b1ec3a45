// Deltas that know program code: two versions of a small program, built by
// each toolchain the project has, rebuild exactly through any buffer; the
// code delta is kept only where it is smaller; files the layout reader
// does not understand fall back to the plain delta; and no body, however
// damaged, makes the decoder leave the base or the result (the asan
// preset runs these under the sanitizers).

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "src/app/codecs/delta/CodeDelta.h"
#include "src/app/codecs/delta/DeltaDecoder.h"
#include "src/app/codecs/delta/DeltaEncoder.h"
#include "src/app/codecs/delta/ExecutableLayout.h"

namespace qpx {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Program(const std::string& name) {
  std::ifstream in(std::string(QPX_TEST_PROGRAMS_DIR) + "/" + name, std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}

struct Pair {
  const char* kind;
  Bytes base, result;
  uint8_t machine;
};

std::vector<Pair> Pairs() {
  return {{"x86-64 ELF", Program("x64_v1.so"), Program("x64_v2.so"), kCodeX64},
          {"i386 ELF", Program("x86_v1.so"), Program("x86_v2.so"), kCodeX86},
          {"i386 PE", Program("pe_v1.exe"), Program("pe_v2.exe"), kCodeX86}};
}

Bytes Encode(const Bytes& base, const Bytes& result, tool::CodeDeltas code, unsigned threads = 2) {
  tool::DeltaSettings settings;
  settings.level = 9;
  settings.threads = threads;
  settings.code = code;
  auto delta = tool::EncodeDelta(base, result, settings, UINT64_MAX);
  EXPECT_TRUE(delta.has_value());
  return delta.value_or(Bytes{});
}

DecodeStatus Apply(const Bytes& base, const Bytes& delta, Bytes& result, std::size_t chunkSize = 4096) {
  MemorySource source(delta);
  Bytes chunk(chunkSize);
  return ApplyDelta(base, source, 0, delta.size(), result, chunk);
}

uint8_t VersionOf(const Bytes& delta) { return delta.size() > 4 ? delta[4] : 0; }

TEST(CodeDeltaTest, ProgramsOfEachToolchainRebuildExactlyThroughAnyBuffer) {
  for (const Pair& pair : Pairs()) {
    SCOPED_TRACE(pair.kind);
    const auto layout = tool::FindCodeLayout(pair.base, pair.result);
    ASSERT_TRUE(layout.has_value());
    EXPECT_EQ(layout->machine, pair.machine);
    const Bytes code = Encode(pair.base, pair.result, tool::CodeDeltas::kAlways);
    ASSERT_EQ(VersionOf(code), kDeltaCodeVersion);
    // A reference that straddles two pieces of the output is carried whole.
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{4096},
                                    pair.result.size()}) {
      Bytes rebuilt(pair.result.size(), 0xEE);
      EXPECT_EQ(Apply(pair.base, code, rebuilt, chunk), DecodeStatus::Done) << chunk;
      EXPECT_TRUE(rebuilt == pair.result) << "through a buffer of " << chunk;
    }
    // The choice by size never does worse than the plain delta.
    const Bytes plain = Encode(pair.base, pair.result, tool::CodeDeltas::kNever);
    const Bytes chosen = Encode(pair.base, pair.result, tool::CodeDeltas::kWhereSmaller);
    EXPECT_EQ(VersionOf(plain), kDeltaVersion);
    EXPECT_EQ(chosen, code.size() < plain.size() ? code : plain);
    // And the body is the same on one thread as on two.
    EXPECT_EQ(Encode(pair.base, pair.result, tool::CodeDeltas::kAlways, 1), code);
  }
}

TEST(CodeDeltaTest, MovedCodeCostsLessThanThePlainDelta) {
  // Version 2 moves most functions and globals of the x86-64 and PE
  // programs: the references that moved with their targets cost nothing.
  for (const Pair& pair : Pairs()) {
    if (std::string(pair.kind) == "i386 ELF") continue;  // its code reaches data through the GOT
    SCOPED_TRACE(pair.kind);
    const Bytes plain = Encode(pair.base, pair.result, tool::CodeDeltas::kNever);
    const Bytes code = Encode(pair.base, pair.result, tool::CodeDeltas::kAlways);
    EXPECT_LT(code.size(), plain.size());
  }
}

TEST(CodeDeltaTest, FilesTheLayoutReaderRejectsGetThePlainDelta) {
  const Pair pair = Pairs()[0];
  std::vector<std::pair<const char*, Bytes>> rejected;
  rejected.emplace_back("the ELF header alone", Bytes(pair.base.begin(), pair.base.begin() + 64));
  Bytes table = pair.base;  // program headers past the end of the file
  const uint64_t far = table.size();
  std::memcpy(table.data() + 32, &far, sizeof far);
  rejected.emplace_back("a program header table past the end", table);
  Bytes big = pair.base;  // big-endian
  big[5] = 2;
  rejected.emplace_back("a big-endian ELF", big);
  Bytes other = pair.base;  // another machine
  other[18] = 183;          // AArch64
  rejected.emplace_back("another machine", other);
  Bytes mz(4096, 0);
  mz[0] = 'M';
  mz[1] = 'Z';
  mz[0x3C] = 0xF0;
  mz[0x3D] = 0xFF;  // the PE header beyond the file
  rejected.emplace_back("an MZ header leading nowhere", mz);
  Bytes text(pair.base.size(), 'a');
  rejected.emplace_back("text", text);
  for (const auto& [what, bytes] : rejected) {
    SCOPED_TRACE(what);
    EXPECT_FALSE(tool::FindCodeLayout(bytes, pair.result).has_value());
    EXPECT_FALSE(tool::FindCodeLayout(pair.base, bytes).has_value());
    const Bytes delta = Encode(bytes, pair.result, tool::CodeDeltas::kAlways);
    EXPECT_EQ(VersionOf(delta), kDeltaVersion);
    Bytes rebuilt(pair.result.size());
    EXPECT_EQ(Apply(bytes, delta, rebuilt), DecodeStatus::Done);
    EXPECT_TRUE(rebuilt == pair.result);
  }
  // Programs of two machines are not paired.
  EXPECT_FALSE(tool::FindCodeLayout(Pairs()[0].base, Pairs()[1].result).has_value());
}

// A data file in the way archives lay themselves out: a table of the
// 32-bit offsets of its pieces, then the pieces, at file offsets plus
// `address` (0 for offsets from the start). Every `grown`th piece gets
// longer, each by its own few bytes.
Bytes Archive(uint32_t pieces, uint32_t address, uint32_t grown) {
  Bytes table, body;
  for (uint32_t i = 0; i < pieces; ++i) {
    const uint32_t at = address + pieces * 4 + static_cast<uint32_t>(body.size());
    table.insert(table.end(), {static_cast<uint8_t>(at), static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at >> 16),
                               static_cast<uint8_t>(at >> 24)});
    const uint32_t length = 200 + (i * 37) % 300 + (grown != 0 && i % grown == 7 ? 1 + i % 13 : 0);
    uint32_t state = i * 7919 + 1;  // each piece its own letters
    for (uint32_t k = 0; k < length; ++k) {
      state = state * 1103515245 + 12345;
      body.push_back(static_cast<uint8_t>('a' + (state >> 16) % 23));
    }
  }
  table.insert(table.end(), body.begin(), body.end());
  return table;
}

TEST(CodeDeltaTest, ADataFileOfItsOwnOffsetsGetsTheirAddress) {
  for (const uint32_t address : {0u, 0x10000000u}) {
    SCOPED_TRACE(address);
    const Bytes base = Archive(2000, address, 0), result = Archive(2000, address, 40);
    const Bytes plain = Encode(base, result, tool::CodeDeltas::kNever);
    const Bytes code = Encode(base, result, tool::CodeDeltas::kAlways);
    ASSERT_EQ(VersionOf(code), kDeltaCodeVersion);
    EXPECT_LT(code.size() * 2, plain.size());
    Bytes rebuilt(result.size());
    EXPECT_EQ(Apply(base, code, rebuilt), DecodeStatus::Done);
    EXPECT_TRUE(rebuilt == result);
  }
}

TEST(CodeDeltaTest, LayoutsThatBreakTheRulesAreRefused) {
  const CodeRange code{0x1000, 0x2000, 0x401000, kCodeRangeExecutable, 0};
  const CodeRange data{0x3000, 0x1000, 0x404000, 0, 0x800};
  const CodeRange moved{0x1000, 0x2000, 0x501000, 0, 0};  // a result range: code is the base's to say
  const auto holds = [&](std::vector<CodeRange> base, std::vector<CodeRange> result, uint8_t machine = kCodeX64) {
    CodeLayout layout;
    layout.machine = machine;
    layout.base = std::move(base);
    layout.result = std::move(result);
    return CodeLayoutHolds(layout, 0x4000, 0x4000);
  };
  EXPECT_TRUE(holds({code, data}, {moved, data}));
  EXPECT_TRUE(holds({code, data}, {data}, kCodeX86));
  EXPECT_FALSE(holds({code, data}, {data}, 3));                 // no such machine
  EXPECT_FALSE(holds({data, code}, {data}));                    // unsorted
  EXPECT_FALSE(holds({code, {0x2FFF, 0x10, 0, 0, 0}}, {data}));  // overlapping
  EXPECT_FALSE(holds({code, {0x3000, 0x1001, 0, 0, 0}}, {data}));  // past the file
  EXPECT_FALSE(holds({code, {0x3000, 0, 0, 0, 0}}, {data}));     // empty
  EXPECT_FALSE(holds({code}, {}));                              // no result ranges
  EXPECT_FALSE(holds({code}, {{0, 0x10, UINT64_MAX - 8, 0, 0}})); // an address that wraps
  EXPECT_FALSE(holds({code}, {{0, 0x10, 0xFFFFFFF8, 0, 0}}, kCodeX86));  // past 32 bits
  EXPECT_FALSE(holds({code}, {{0, 0x10, 0xFFFFFFE8, 0, 0x10}}, kCodeX86));  // its tail past 32 bits
  EXPECT_FALSE(holds({code}, {{0, 0x10, 0, kCodeRangeExecutable, 0}}));  // code is the base's to say
  EXPECT_FALSE(holds({code}, {{0, 0x10, 0x10, kCodeRangeUnloaded, 0}}));  // unloaded data at an address
  EXPECT_FALSE(holds({code}, {{0, 0x10, 0, 0x8, 0}}));           // an unknown flag
  EXPECT_FALSE(holds(std::vector<CodeRange>(kCodeRangesMax + 1, code), {data}));

  // The ranges as a body holds them: exactly, and no more.
  CodeLayout layout;
  layout.base = {code, data};
  layout.result = {data};
  layout.anchors = {{0x405000, 0x405100}, {0x405400, 0x405300}};
  const Bytes bytes = WriteCodeRanges(layout);
  CodeLayout read;
  ASSERT_TRUE(ReadCodeRanges(bytes, 2, 1, read));
  EXPECT_EQ(read.base.size(), 2u);
  EXPECT_EQ(read.result[0].tail, 0x800u);
  ASSERT_EQ(read.anchors.size(), 2u);
  EXPECT_EQ(read.anchors[1].result, 0x405300u);
  EXPECT_FALSE(ReadCodeRanges(bytes, 2, 2, read));
  EXPECT_FALSE(ReadCodeRanges(std::span(bytes).first(bytes.size() - 1), 2, 1, read));
  Bytes longer = bytes;
  longer.push_back(0);
  EXPECT_FALSE(ReadCodeRanges(longer, 2, 1, read));
}

TEST(CodeDeltaTest, TheCopyMapKeepsTheFirstCopyOfEachBaseByte) {
  CopyMap map;
  map.Add(100, 1000, 50);
  map.Add(120, 5000, 100);  // overlaps the first from 120 to 150
  map.Add(400, 9000, 8);    // too short to count
  map.Seal();
  uint64_t to = 0;
  ASSERT_TRUE(map.Find(149, to));
  EXPECT_EQ(to, 1049u);
  ASSERT_TRUE(map.Find(150, to));
  EXPECT_EQ(to, 5030u);
  EXPECT_FALSE(map.Find(99, to));
  EXPECT_FALSE(map.Find(220, to));
  EXPECT_FALSE(map.Find(400, to));
}

TEST(CodeDeltaTest, EveryDamagedByteIsBadDataOrHarmless) {
  // Under the sanitizers, any access outside the base or the result ends
  // the test; here each damaged body decodes to BadData or to some bytes.
  const Pair pair = Pairs()[0];
  const Bytes delta = Encode(pair.base, pair.result, tool::CodeDeltas::kAlways);
  ASSERT_EQ(VersionOf(delta), kDeltaCodeVersion);
  Bytes rebuilt(pair.result.size());
  int refused = 0;
  for (std::size_t at = 0; at < delta.size(); ++at) {
    for (const uint8_t flip : {0x01, 0xFF}) {
      Bytes damaged = delta;
      damaged[at] ^= flip;
      const DecodeStatus status = Apply(pair.base, damaged, rebuilt);
      ASSERT_NE(status, DecodeStatus::ReadFailed);
      if (status == DecodeStatus::BadData) ++refused;
    }
  }
  EXPECT_GT(refused, static_cast<int>(delta.size()) / 2);
  for (std::size_t length = 0; length < delta.size(); length += 7) {
    const Bytes cut(delta.begin(), delta.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(Apply(pair.base, cut, rebuilt), DecodeStatus::BadData) << "cut to " << length;
  }
}

TEST(CodeDeltaTest, ACodeDeltaIsRefusedAgainstAnotherBase) {
  // The layout names ranges of the base it was made for: a body applied to
  // a shorter base is refused before anything is read outside it.
  const Pair pair = Pairs()[0];
  const Bytes delta = Encode(pair.base, pair.result, tool::CodeDeltas::kAlways);
  Bytes shorter(pair.base.begin(), pair.base.end() - 1);
  Bytes rebuilt(pair.result.size());
  EXPECT_EQ(Apply(shorter, delta, rebuilt), DecodeStatus::BadData);
}

}  // namespace
}  // namespace qpx
