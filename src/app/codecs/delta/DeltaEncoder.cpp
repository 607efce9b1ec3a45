#include "src/app/codecs/delta/DeltaEncoder.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <thread>

#include "src/app/codecs/delta/CodeDelta.h"
#include "src/app/codecs/delta/DeltaDecoder.h"
#include "src/app/codecs/delta/ExecutableLayout.h"
#include "src/app/codecs/delta/Varint.h"

namespace qpx::tool {
namespace {

// Matching. The base is indexed by a hash of the 8 bytes at every other
// position; the result is walked front to back, following one alignment of
// it with the base ("offset": base position minus result position) for as
// long as that keeps paying, mismatches included, as bsdiff does. At a byte
// where the alignment fails, the index and the last few alignments are
// asked for another that matches at least kMinSeed bytes from there; the
// best of them is taken when, over the next kJudgeWindow bytes, it scores
// more than kSwitchMargin above the current one (see Score: bytes right,
// or wrong in the way the same byte of the record before was). In tables
// of addresses that all moved (relocations, symbol tables), the alignment
// that pairs each entry with its old self differs in every entry, but
// always alike, which codes far shorter than hopping between entries that
// happen to match exactly; once entries are inserted, the old pairing
// differs every which way and the new one again alike.
constexpr uint32_t kSeedBytes = 8;
constexpr uint32_t kIndexStep = 2;
constexpr int64_t kMinSeed = 12;
constexpr int64_t kJudgeWindow = 256;
constexpr int64_t kSwitchMargin = 32;
constexpr int64_t kRecordStrides[] = {8, 16, 24, 32};
constexpr std::size_t kRecentOffsets = 4;
constexpr int64_t kPrefetchAhead = 16;
constexpr int64_t kMissesPerStep = 256;  // a step 2 bytes longer after each so many misses
constexpr int64_t kLongestStep = 7;      // 15 bytes
// Below this share of the result found in the base, a delta cannot gain
// much over compressing the result alone: results over kAlwaysCodeSize are
// then left to that, before any time goes into coding them.
constexpr uint64_t kFewCopiesShare = 32;
constexpr uint64_t kAlwaysCodeSize = 1 << 20;
constexpr int64_t kProgressStep = 1 << 20;
// The streams may exceed the result by this much (small results need
// room for their commands).
constexpr uint64_t kStreamSlack = 64 << 10;
constexpr uint64_t kMinDictionary = 64 << 10;
// Matchings against the base with its references carried, after the first.
constexpr int kCarriedMatchings = 1;
// Streams coded side by side, at the most: each coder needs its memory.
constexpr unsigned kMaxCoders = 2;

uint64_t Load64(const uint8_t* at) {
  uint64_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Base positions by the hash of the 8 bytes there: one per slot, the last
// one wins. 2^k slots of 4 bytes, at most one per indexed position.
class BaseIndex {
 public:
  explicit BaseIndex(std::span<const uint8_t> base) {
    const uint64_t positions = base.size() / kIndexStep;
    bits_ = positions < 2 ? 1 : static_cast<uint32_t>(std::bit_width(positions)) - 1;
    slots_.assign(std::size_t{1} << bits_, 0);
    for (uint64_t at = 0; at + kSeedBytes <= base.size(); at += kIndexStep) {
      slots_[Slot(base.data() + at)] = static_cast<uint32_t>(at + 1);
    }
  }

  // A base position whose next 8 bytes may be those at `at`, or -1.
  int64_t Find(const uint8_t* at) const { return int64_t{slots_[Slot(at)]} - 1; }
  // Asks for the slot of `at` to be brought to the cache: the index is far
  // larger than the cache, and lookups follow one another closely.
  void Prefetch(const uint8_t* at) const { __builtin_prefetch(&slots_[Slot(at)]); }

 private:
  std::size_t Slot(const uint8_t* at) const {
    return static_cast<std::size_t>((Load64(at) * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
  }

  uint32_t bits_ = 1;
  std::vector<uint32_t> slots_;
};

// The diff bytes of copies and their gaps (streams 1 and 2), as long as
// the streams stay within their budget.
class DiffWriter {
 public:
  // The differences of `length` result bytes `now` from the copied bytes
  // `was`; false once `size` would pass `budget`.
  bool Add(const uint8_t* now, const uint8_t* was, uint64_t length, uint64_t budget, uint64_t& size) {
    uint64_t i = 0;
    while (i < length) {
      if (i + 8 <= length && Load64(now + i) == Load64(was + i)) {
        zeros_ += 8;
        i += 8;
        continue;
      }
      const uint64_t end = std::min<uint64_t>(length, i + 8);
      for (; i < end; ++i) {
        const auto diff = static_cast<uint8_t>(now[i] - was[i]);
        if (diff == 0) {
          ++zeros_;
          continue;
        }
        if (1 + kDeltaVarintMaxBytes > budget - size) return false;
        const std::size_t before = gaps.size();
        PutVarint(gaps, zeros_);
        bytes.push_back(diff);
        size += gaps.size() - before + 1;
        zeros_ = 0;
      }
    }
    return true;
  }

  std::vector<uint8_t> gaps, bytes;

 private:
  uint64_t zeros_ = 0;  // copied bytes since the last diff byte
};

// A command as the matcher made it: result bytes from `at` on, copyLength
// of them from the base at `from`, then addLength new bytes.
struct Command {
  uint64_t at, copyLength, from, addLength;
};

// Turns commands into the four streams, as long as they stay within
// `budget` bytes together: streams larger than the result would not code
// shorter than the result alone, and the bound keeps their memory known.
// Keeps the commands too, for a delta that knows code.
class StreamWriter {
 public:
  StreamWriter(std::span<const uint8_t> base, std::span<const uint8_t> result)
      : base_(base), result_(result), budget_(uint64_t{result.size()} + kStreamSlack) {}

  // Result bytes from `at` on: `copyLength` of them from the base at
  // `from`, plus their diff bytes; then `addLength` new bytes. False once
  // the streams would outgrow their budget (and the delta is given up).
  bool Command(uint64_t at, uint64_t copyLength, uint64_t from, uint64_t addLength) {
    if (copyLength == 0 && addLength == 0) return true;
    if (3 * kDeltaVarintMaxBytes + addLength > budget_ - size_) return false;
    if (copyLength == 0) from = cursor_;
    const uint64_t seek = from >= cursor_ ? (from - cursor_) << 1 : ((cursor_ - from) << 1) - 1;
    std::vector<uint8_t>& commands = streams[kDeltaCommands];
    const std::size_t before = commands.size();
    PutVarint(commands, copyLength);
    PutVarint(commands, seek);
    PutVarint(commands, addLength);
    size_ += commands.size() - before;
    if (!diffs_.Add(result_.data() + at, base_.data() + from, copyLength, budget_, size_)) return false;
    cursor_ = from + copyLength;
    copied += copyLength;
    const uint8_t* added = result_.data() + at + copyLength;
    streams[kDeltaNewBytes].insert(streams[kDeltaNewBytes].end(), added, added + addLength);
    size_ += addLength;
    made.push_back({at, copyLength, from, addLength});
    return true;
  }

  // Streams 1 and 2 in place, once the matching is done.
  void Finish() {
    streams[kDeltaDiffGaps] = std::move(diffs_.gaps);
    streams[kDeltaDiffBytes] = std::move(diffs_.bytes);
  }

  std::array<std::vector<uint8_t>, kDeltaStreamCount> streams;
  std::vector<struct Command> made;
  uint64_t copied = 0;
  uint64_t budget() const { return budget_; }
  uint64_t sizeWithoutDiffs() const {
    return streams[kDeltaCommands].size() + streams[kDeltaNewBytes].size();
  }

 private:
  std::span<const uint8_t> base_, result_;
  uint64_t budget_, size_ = 0;
  uint64_t cursor_ = 0;  // in the base, after the last copy
  DiffWriter diffs_;
};

// Data files that hold their own offsets (tables of where each piece lies,
// or the pointers of an image meant to be mapped at a fixed address): the
// offsets shift as pieces before their targets grow. Such a file reads as
// one data range at the address that makes its values file offsets plus
// that address, found from the words the copies changed: a word that went
// from v to v + d names, for each copy that moved its bytes by d, the
// addresses at which v would point into that copy. The address most words
// agree on is the layout's, if enough of them do.
std::optional<CodeLayout> FindOffsetLayout(std::span<const uint8_t> base, std::span<const uint8_t> result,
                                           const std::vector<Command>& made) {
  constexpr uint64_t kSmallest = 64 << 10;
  constexpr std::size_t kMostWords = 1 << 18;
  constexpr uint32_t kCopiesPerShift = 4;
  if (base.size() < kSmallest || result.size() < kSmallest) return std::nullopt;
  std::map<int64_t, std::vector<const Command*>> byShift;
  for (const Command& command : made) {
    if (command.copyLength < kCopyMapMinCopy) continue;
    std::vector<const Command*>& copies = byShift[static_cast<int64_t>(command.at - command.from)];
    if (copies.size() < kCopiesPerShift) copies.push_back(&command);
  }
  const uint64_t fileSize = std::max(base.size(), result.size());
  std::optional<CodeLayout> best;
  std::size_t bestVotes = 0;
  for (const uint32_t width : {8u, 4u}) {
    // Each word's interval of addresses; the sweep finds the most covered.
    std::vector<std::pair<uint64_t, int>> edges;
    std::size_t words = 0;
    for (const Command& command : made) {
      if (command.copyLength < kCopyMapMinCopy || words >= kMostWords) continue;
      for (uint64_t q = (command.from + width - 1) / width * width; q + width <= command.from + command.copyLength;
           q += width) {
        uint64_t was = 0, now = 0;
        std::memcpy(&was, base.data() + q, width);
        std::memcpy(&now, result.data() + command.at + (q - command.from), width);
        if (was == now) continue;
        const int64_t shift = width == 8 ? static_cast<int64_t>(now - was)
                                         : int64_t{static_cast<int32_t>(static_cast<uint32_t>(now - was))};
        const auto copies = byShift.find(shift);
        if (copies == byShift.end()) continue;
        ++words;
        for (const Command* copy : copies->second) {
          // v - D lies in [from, from + length): D in (v - from - length, v - from].
          if (was < copy->from) continue;
          const uint64_t high = was - copy->from;
          const uint64_t low = high >= copy->copyLength - 1 ? high - (copy->copyLength - 1) : 0;
          edges.emplace_back(low, 1);
          edges.emplace_back(high + 1, -1);
        }
      }
    }
    // The middle of the most covered stretch: words near its ends point
    // near the ends of their copies.
    std::sort(edges.begin(), edges.end());
    int covered = 0, most = 0;
    uint64_t from = 0, to = 0;
    for (std::size_t i = 0; i < edges.size(); ++i) {
      covered += edges[i].second;
      if (covered > most && i + 1 < edges.size()) {
        most = covered;
        from = edges[i].first;
        to = edges[i + 1].first;
      }
    }
    const uint64_t address = (from + (to - from) / 2) / width * width;
    const uint64_t addressEnd = width == 8 ? UINT64_MAX : uint64_t{1} << 32;
    if (most < 64 || static_cast<std::size_t>(most) * 8 < words || address > addressEnd - fileSize ||
        static_cast<std::size_t>(most) <= bestVotes) {
      continue;
    }
    bestVotes = static_cast<std::size_t>(most);
    CodeLayout layout;
    layout.machine = width == 8 ? kCodeX64 : kCodeX86;
    layout.base = {CodeRange{0, base.size(), address, 0, 0}};
    layout.result = {CodeRange{0, result.size(), address, 0, 0}};
    best = layout;
  }
  if (best && !CodeLayoutHolds(*best, base.size(), result.size())) best.reset();
  return best;
}

// Where the commands' copies take the base, as the decoder sees them.
CopyMap CopyMapOf(const std::vector<Command>& commands) {
  CopyMap map;
  for (const Command& command : commands) map.Add(command.from, command.at, command.copyLength);
  map.Seal();
  return map;
}

// Learns where the base's zero-filled memory went from the references to
// it that the result holds: each one pairs its base target with the target
// the result's bytes name; runs of pairs that moved alike share an anchor.
class TailAnchors final : public TailWitness {
 public:
  TailAnchors(std::span<const uint8_t> result, const CodeLayout& layout) : result_(result), layout_(layout) {}

  void Saw(uint64_t p, uint32_t width, ReferenceForm form, uint64_t target) override {
    uint64_t place = 0;
    bool placed = false;
    for (const CodeRange& range : layout_.result) {
      if ((range.flags & kCodeRangeUnloaded) == 0 && p >= range.fileOffset && p - range.fileOffset < range.size &&
          width <= range.size - (p - range.fileOffset)) {
        place = range.address + (p - range.fileOffset);
        placed = true;
        break;
      }
    }
    if (!placed || p + width > result_.size()) return;
    uint64_t value = 0;
    std::memcpy(&value, result_.data() + p, width);
    const auto offset = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value)));
    uint64_t now = value;
    if (form == ReferenceForm::kFromNextInstruction) now = place + 4 + offset;
    if (form == ReferenceForm::kFromItself) now = place + offset;
    if (form == ReferenceForm::kFromStart) return;  // tables of such offsets point at bytes of the file
    if (layout_.machine == kCodeX86) now &= UINT32_MAX;
    pairs_.emplace_back(target, now);
  }

  // An anchor where the shift changes and the new shift holds for at
  // least two targets: one reference that went elsewhere costs less as a
  // diff than an anchor there and another after it.
  std::vector<TailAnchor> Anchors() {
    std::sort(pairs_.begin(), pairs_.end());
    pairs_.erase(std::unique(pairs_.begin(), pairs_.end()), pairs_.end());
    std::vector<TailAnchor> anchors;
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
      const auto [was, now] = pairs_[i];
      const uint64_t shift = now - was;
      if (!anchors.empty() && (anchors.back().base == was || anchors.back().result - anchors.back().base == shift)) {
        continue;
      }
      const bool held = i + 1 < pairs_.size() && pairs_[i + 1].first != was &&
                        pairs_[i + 1].second - pairs_[i + 1].first == shift;
      if (!held && !anchors.empty()) continue;
      if (anchors.size() == kTailAnchorsMax) break;
      anchors.push_back({was, now});
    }
    return anchors;
  }

 private:
  std::span<const uint8_t> result_;
  const CodeLayout& layout_;
  std::vector<std::pair<uint64_t, uint64_t>> pairs_;
};

// Streams 1 and 2 of a delta that knows code: the same commands, each
// copy's bytes with the base's references carried along (as the decoder
// carries them) before the differences are taken; the layout gets the
// anchors of the zero-filled memory. False past the budget.
bool CodeDifferences(std::span<const uint8_t> base, std::span<const uint8_t> result, CodeLayout& layout,
                     const StreamWriter& writer, DiffWriter& diffs) {
  const CopyMap map = CopyMapOf(writer.made);
  std::vector<uint8_t> carried;
  const auto carry = [&](ReferenceCarrier& carrier, const Command& command) {
    carried.resize(static_cast<std::size_t>(command.copyLength));
    carrier.Begin(command.from, command.at, command.copyLength);
    carrier.Put(carried);
  };
  {
    TailAnchors anchors(result, layout);
    ReferenceCarrier carrier(base, layout, map, &anchors);
    for (const Command& command : writer.made) {
      if (command.copyLength != 0) carry(carrier, command);
    }
    layout.anchors = anchors.Anchors();
  }
  ReferenceCarrier carrier(base, layout, map);
  uint64_t size = writer.sizeWithoutDiffs();
  for (const Command& command : writer.made) {
    if (command.copyLength == 0) continue;
    carry(carrier, command);
    if (!diffs.Add(result.data() + command.at, carried.data(), command.copyLength, writer.budget(), size)) {
      return false;
    }
  }
  return true;
}

class Matcher {
 public:
  Matcher(std::span<const uint8_t> base, std::span<const uint8_t> result, const BaseIndex& index,
          StreamWriter& writer)
      : base_(base.data()), result_(result.data()), baseSize_(static_cast<int64_t>(base.size())),
        resultSize_(static_cast<int64_t>(result.size())), index_(index), writer_(writer) {}

  // False when the streams outgrew their budget.
  bool Run(const std::function<void(uint64_t)>& progress) {
    progress_ = progress ? &progress : nullptr;
    // The copy being built: from regionStart on, at `offset`, established
    // by an exact match that ends at seedEnd.
    int64_t regionStart = 0, offset = 0, seedEnd = 0, scan = 0;
    for (;;) {
      const Seed seed = Search(scan, offset);
      const int64_t end = seed.found ? scan : resultSize_;
      int64_t forward = ForwardExtent(regionStart, end, offset);
      int64_t backward = seed.found ? BackwardExtent(seedEnd, scan, seed.offset) : 0;
      if (regionStart + forward > scan - backward) {
        // Both reach over the same bytes: split where the two do best.
        const int64_t overlap = regionStart + forward - (scan - backward);
        int64_t score = 0, best = 0, split = 0;
        for (int64_t i = 0; i < overlap; ++i) {
          const int64_t at = scan - backward + i;
          score += int64_t{Same(at, offset)} - int64_t{Same(at, seed.offset)};
          if (score > best) {
            best = score;
            split = i + 1;
          }
        }
        forward += split - overlap;
        backward -= split;
      }
      if (!writer_.Command(static_cast<uint64_t>(regionStart), static_cast<uint64_t>(forward),
                           static_cast<uint64_t>(regionStart + offset),
                           static_cast<uint64_t>(end - backward - regionStart - forward))) {
        return false;
      }
      if (!seed.found) break;

      Remember(offset);
      regionStart = scan - backward;
      offset = seed.offset;
      scan += ExactLength(scan, scan + offset, resultSize_);
      seedEnd = scan;
      if (scan >= nextReport_) Report(scan);
    }
    Report(resultSize_);
    return true;
  }

 private:
  struct Seed {
    bool found = false;
    int64_t offset = 0;
  };

  bool Same(int64_t at, int64_t offset) const {
    const int64_t from = at + offset;
    return from >= 0 && from < baseSize_ && base_[from] == result_[at];
  }

  // How many bytes from result position `at` equal those from base
  // position `from`, counting at most `limit`.
  int64_t ExactLength(int64_t at, int64_t from, int64_t limit) const {
    if (from < 0 || from >= baseSize_) return 0;
    const int64_t most = std::min({limit, resultSize_ - at, baseSize_ - from});
    int64_t n = 0;
    while (n + 8 <= most) {
      const uint64_t x = Load64(result_ + at + n) ^ Load64(base_ + from + n);
      if (x != 0) return n + std::countr_zero(x) / 8;
      n += 8;
    }
    while (n < most && result_[at + n] == base_[from + n]) ++n;
    return n;
  }

  // How well the base at `offset` serves the `length` result bytes from
  // `at` (fewer at the result's end): the bytes it has right, and those it
  // has wrong by the same difference as the byte 8, 16, 24 or 32 before.
  // Those cost next to nothing once coded: in a table of addresses that
  // all moved by the same amount, each entry differs from its old self
  // as the one before did.
  int64_t Score(int64_t at, int64_t offset, int64_t length) const {
    // Only the bytes whose base position lies in the base count.
    const int64_t first = std::max(int64_t{0}, -offset);
    const int64_t end = std::min({at + length, resultSize_, baseSize_ - offset});
    int64_t score = 0;
    for (int64_t i = std::max(first, at); i < end;) {
      if (i + 8 <= end && Load64(result_ + i) == Load64(base_ + i + offset)) {
        score += 8;
        i += 8;
        continue;
      }
      const auto diff = static_cast<uint8_t>(result_[i] - base_[i + offset]);
      if (diff == 0) {
        ++score;
      } else {
        for (const int64_t stride : kRecordStrides) {
          const int64_t j = i - stride;
          if (j >= first && static_cast<uint8_t>(result_[j] - base_[j + offset]) == diff) {
            ++score;
            break;
          }
        }
      }
      ++i;
    }
    return score;
  }

  // Tells the caller of the result bytes passed since the last time.
  void Report(int64_t scan) {
    if (progress_ != nullptr && scan > reported_) (*progress_)(static_cast<uint64_t>(scan - reported_));
    reported_ = scan;
    nextReport_ = scan + kProgressStep;
  }

  // Moves `scan` to the next byte where another alignment beats `offset`.
  Seed Search(int64_t& scan, int64_t offset) {
    // Lookups that found nothing, in a row: through bytes that neither the
    // alignment nor the index knows, the walk takes longer (odd) steps,
    // so that both parities of the index's positions stay in reach.
    int64_t misses = 0;
    while (scan < resultSize_) {
      if (scan >= nextReport_) Report(scan);
      const int64_t same = ExactLength(scan, scan + offset, resultSize_);
      scan += same;
      if (same >= 4) misses = 0;
      if (scan >= resultSize_) break;
      if (scan + kSeedBytes + kPrefetchAhead <= resultSize_) index_.Prefetch(result_ + scan + kPrefetchAhead);
      if (scan + kSeedBytes <= resultSize_) {
        int64_t bestScore = -1, bestOffset = 0;
        const auto consider = [&](int64_t candidate) {
          if (candidate == offset || ExactLength(scan, scan + candidate, kMinSeed) < kMinSeed) return;
          const int64_t score = Score(scan, candidate, kJudgeWindow);
          if (score > bestScore) {
            bestScore = score;
            bestOffset = candidate;
          }
        };
        if (const int64_t found = index_.Find(result_ + scan); found >= 0) consider(found - scan);
        for (const int64_t candidate : recent_) consider(candidate);
        if (bestScore > kSwitchMargin && bestScore > Score(scan, offset, kJudgeWindow) + kSwitchMargin) {
          return Seed{true, bestOffset};
        }
      }
      scan += 1 + 2 * std::min(misses++ / kMissesPerStep, kLongestStep);
    }
    return Seed{};
  }

  // How far the copy from `start` at `offset` pays, up to `end`: the length
  // with the most matching bytes over mismatching ones, 0 if none pays.
  int64_t ForwardExtent(int64_t start, int64_t end, int64_t offset) const {
    const int64_t from = start + offset;
    const int64_t most = std::min(end - start, baseSize_ - from);
    int64_t score = 0, best = 0, extent = 0, i = 0;
    while (i < most) {
      if (i + 8 <= most && Load64(result_ + start + i) == Load64(base_ + from + i)) {
        score += 8;
        i += 8;
      } else {
        score += result_[start + i] == base_[from + i] ? 1 : -1;
        ++i;
      }
      if (score > best) {
        best = score;
        extent = i;
      }
    }
    return extent;
  }

  // The same backwards from `end` at `offset`, down to `low` at the lowest.
  int64_t BackwardExtent(int64_t low, int64_t end, int64_t offset) const {
    const int64_t most = std::min(end - low, end + offset);
    int64_t score = 0, best = 0, extent = 0;
    for (int64_t i = 1; i <= most; ++i) {
      score += result_[end - i] == base_[end - i + offset] ? 1 : -1;
      if (score > best) {
        best = score;
        extent = i;
      }
    }
    return extent;
  }

  void Remember(int64_t offset) {
    auto last = std::find(recent_.begin(), recent_.end() - 1, offset);
    std::move_backward(recent_.begin(), last, last + 1);
    recent_[0] = offset;
  }

  const uint8_t* base_;
  const uint8_t* result_;
  int64_t baseSize_, resultSize_;
  const BaseIndex& index_;
  StreamWriter& writer_;
  std::array<int64_t, kRecentOffsets> recent_{};
  const std::function<void(uint64_t)>* progress_ = nullptr;
  int64_t reported_ = 0, nextReport_ = kProgressStep;
};

struct CodedStream {
  DeltaCoding coding = kDeltaStored;
  std::vector<uint8_t> bytes;  // when coded; stored streams stay in the writer
};

// A stream to be coded, and what coding made of it.
struct Job {
  const std::vector<uint8_t>* stream = nullptr;
  uint32_t index = 0;
  CodedStream coded;
};

// The stream coded with LZMA where that makes it shorter than `room` and
// than the stream itself. `pairSize` is the base's and the result's size.
CodedStream Code(const std::vector<uint8_t>& stream, uint32_t index, int level, uint64_t room, uint64_t pairSize) {
  CodedStream coded;
  if (stream.empty()) return coded;
  LzmaSettings settings;
  settings.level = level;
  // A coder needs about 11.5 times its dictionary: a sixteenth of the pair
  // keeps two of them under 1.5 times the pair. (A power of two, which the
  // coder states as it is; streams 0 to 2 are decoded through a window of
  // bounded size.)
  settings.maxDictionary =
      std::bit_floor(static_cast<uint32_t>(std::clamp<uint64_t>(pairSize / 16, kMinDictionary, uint64_t{1} << 30)));
  if (index != kDeltaNewBytes) settings.maxDictionary = std::min(settings.maxDictionary, kDeltaWindowLimit);
  // New bytes that are random, or compressed already, stay as they are.
  if (LooksIncompressible(stream)) return coded;
  if (auto bytes = EncodeLzma(stream, settings, std::min<uint64_t>(room, stream.size()))) {
    coded.coding = kDeltaLzma;
    coded.bytes = std::move(*bytes);
  }
  return coded;
}

// The body of the four streams, each coded or as it is, with the layout of
// a delta that knows code when there is one; nullopt unless shorter than
// `limit`.
std::optional<std::vector<uint8_t>> Assemble(uint64_t baseSize, uint64_t resultSize, const CodeLayout* layout,
                                             const std::array<const Job*, kDeltaStreamCount>& streams,
                                             uint64_t limit) {
  DeltaHeader header{};
  std::memcpy(header.magic, kDeltaMagic, sizeof header.magic);
  header.version = kDeltaVersion;
  header.baseSize = baseSize;
  header.resultSize = resultSize;
  uint64_t total = sizeof header;
  std::vector<uint8_t> ranges;
  if (layout != nullptr) {
    ranges = WriteCodeRanges(*layout);
    header.version = kDeltaCodeVersion;
    header.reserved[0] = layout->machine;
    header.reserved[1] = static_cast<uint8_t>(layout->base.size());
    header.reserved[2] = static_cast<uint8_t>(layout->result.size());
    header.reserved[3] = static_cast<uint8_t>(ranges.size());
    header.reserved[4] = static_cast<uint8_t>(ranges.size() >> 8);
    total += ranges.size();
  }
  static const std::vector<uint8_t> kNone;
  const auto bytesOf = [&](uint32_t i) -> const std::vector<uint8_t>& {
    switch (streams[i]->coded.coding) {
      case kDeltaLzma: return streams[i]->coded.bytes;
      case kDeltaShared: return kNone;  // the new bytes, stored once beside the parts
      default: return *streams[i]->stream;
    }
  };
  for (uint32_t i = 0; i < kDeltaStreamCount; ++i) {
    header.coding[i] = streams[i]->coded.coding;
    header.streams[i] = {bytesOf(i).size(), streams[i]->stream->size()};
    total += bytesOf(i).size();
  }
  if (total >= limit) return std::nullopt;

  std::vector<uint8_t> body(static_cast<std::size_t>(total));
  std::memcpy(body.data(), &header, sizeof header);
  std::size_t at = sizeof header;
  if (!ranges.empty()) {
    std::memcpy(body.data() + at, ranges.data(), ranges.size());
    at += ranges.size();
  }
  for (uint32_t i = 0; i < kDeltaStreamCount; ++i) {
    const std::vector<uint8_t>& bytes = bytesOf(i);
    if (!bytes.empty()) std::memcpy(body.data() + at, bytes.data(), bytes.size());
    at += bytes.size();
  }
  return body;
}

}  // namespace

uint64_t DeltaEncoderBound() {
  // Base positions are indexed as 32-bit numbers; a 32-bit process holds
  // both inputs and the coder's tables in about 3 GiB.
  if constexpr (sizeof(void*) < 8) return uint64_t{384} << 20;
  return uint64_t{4} << 30;
}

namespace {

// One base's side of a delta: the commands and their streams, and where the
// pair are programs (or hold their own offsets), the code layout and the
// streams 1 and 2 that carry their references.
struct Part {
  explicit Part(std::span<const uint8_t> base, std::span<const uint8_t> result) : writer(base, result) {}
  StreamWriter writer;
  std::optional<CodeLayout> layout;
  DiffWriter codeDiffs;
};

std::unique_ptr<Part> MatchPart(std::span<const uint8_t> base, std::span<const uint8_t> result,
                                const DeltaSettings& settings, const std::function<void(uint64_t)>& progress) {
  auto part = std::make_unique<Part>(base, result);
  {
    const BaseIndex index(base);
    if (!Matcher(base, result, index, part->writer).Run(progress)) return nullptr;
  }
  if (result.size() > kAlwaysCodeSize && part->writer.copied < result.size() / kFewCopiesShare) return nullptr;
  part->writer.Finish();
  if (settings.code != CodeDeltas::kNever) {
    part->layout = FindCodeLayout(base, result);
    if (!part->layout) part->layout = FindOffsetLayout(base, result, part->writer.made);
  }
  if (part->layout && !CodeDifferences(base, result, *part->layout, part->writer, part->codeDiffs)) {
    part->layout.reset();
  }
  // Matching again, against the base with its references carried as the
  // first matching's copies carry them: moved code then matches in longer
  // runs, and fewer of its bytes differ (libjvm.so 17.0.19 -> 17.0.21.1:
  // 18% smaller). Kept where its diff bytes are fewer; a third matching
  // gains under 1%.
  for (int pass = 0; pass < kCarriedMatchings && part->layout; ++pass) {
    std::vector<uint8_t> carried(base.begin(), base.end());
    {
      const CopyMap map = CopyMapOf(part->writer.made);
      ReferenceCarrier carrier(base, *part->layout, map);
      for (const Command& command : part->writer.made) {
        if (command.copyLength < kCopyMapMinCopy) continue;
        carrier.Begin(command.from, command.at, command.copyLength);
        carrier.Put(std::span<uint8_t>(carried).subspan(static_cast<std::size_t>(command.from),
                                                        static_cast<std::size_t>(command.copyLength)));
      }
    }
    auto next = std::make_unique<Part>(base, result);
    {
      const BaseIndex index(carried);
      if (!Matcher(carried, result, index, next->writer).Run(nullptr)) break;
    }
    next->writer.Finish();
    next->layout = part->layout;
    if (!CodeDifferences(base, result, *next->layout, next->writer, next->codeDiffs)) break;
    if (next->codeDiffs.bytes.size() >= part->codeDiffs.bytes.size()) break;
    part = std::move(next);
  }
  return part;
}

// Codes each job's stream on its own, the largest first, on one thread or
// two: the bytes do not depend on their number.
void CodeJobs(std::vector<Job*>& jobs, const DeltaSettings& settings, uint64_t room, uint64_t pairSize) {
  std::stable_sort(jobs.begin(), jobs.end(), [](const Job* a, const Job* b) { return a->stream->size() > b->stream->size(); });
  std::atomic<std::size_t> next{0};
  std::array<std::exception_ptr, kMaxCoders> failures;
  const auto work = [&](unsigned thread) {
    try {
      for (std::size_t i; (i = next.fetch_add(1)) < jobs.size();) {
        Job& job = *jobs[i];
        job.coded = Code(*job.stream, job.index, settings.level, room, pairSize);
      }
    } catch (...) {  // out of memory: the caller hears of it, not std::terminate
      failures[thread] = std::current_exception();
      next = jobs.size();
    }
  };
  const unsigned threads =
      std::clamp(settings.threads != 0 ? settings.threads : std::thread::hardware_concurrency(), 1u, kMaxCoders);
  {
    std::vector<std::jthread> helpers;
    for (unsigned i = 1; i < threads; ++i) helpers.emplace_back(work, i);
    work(0);
  }
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

// A part's streams: 0 to 3 as matched, then the code variant's 1 and 2.
struct PartJobs {
  std::array<Job, kDeltaStreamCount + 2> jobs;
  std::array<const Job*, kDeltaStreamCount> Plain() const { return {&jobs[0], &jobs[1], &jobs[2], &jobs[3]}; }
  std::array<const Job*, kDeltaStreamCount> Code() const { return {&jobs[0], &jobs[4], &jobs[5], &jobs[3]}; }
};

// Fills `jobs` for `part`, and lists those to be coded in `coded` (which
// point into `jobs`: it must stay where it is).
void FillJobs(Part& part, bool sharedNewBytes, PartJobs& jobs, std::vector<Job*>& coded) {
  StreamWriter& writer = part.writer;
  for (uint32_t i = 0; i < kDeltaStreamCount; ++i) jobs.jobs[i] = {&writer.streams[i], i, {}};
  jobs.jobs[4] = {&part.codeDiffs.gaps, kDeltaDiffGaps, {}};
  jobs.jobs[5] = {&part.codeDiffs.bytes, kDeltaDiffBytes, {}};
  for (uint32_t i = 0; i < kDeltaStreamCount; ++i) {
    if (i == kDeltaNewBytes && sharedNewBytes) {
      jobs.jobs[i].coded.coding = kDeltaShared;
    } else {
      coded.push_back(&jobs.jobs[i]);
    }
  }
  if (part.layout) {
    coded.push_back(&jobs.jobs[4]);
    coded.push_back(&jobs.jobs[5]);
  }
}

// The part's body: plain, or with the code carried where that is smaller
// (or always, when asked); nullopt unless shorter than `limit`.
std::optional<std::vector<uint8_t>> PartBody(const Part& part, const PartJobs& jobs, uint64_t baseSize,
                                             uint64_t resultSize, const DeltaSettings& settings, uint64_t limit) {
  std::optional<std::vector<uint8_t>> body = Assemble(baseSize, resultSize, nullptr, jobs.Plain(), limit);
  if (part.layout) {
    const uint64_t best = body && settings.code != CodeDeltas::kAlways ? body->size() : limit;
    if (auto coded = Assemble(baseSize, resultSize, &*part.layout, jobs.Code(), best)) body = std::move(coded);
  }
  return body;
}

}  // namespace

std::optional<std::vector<uint8_t>> EncodeDelta(std::span<const uint8_t> base, std::span<const uint8_t> result,
                                                const DeltaSettings& settings, uint64_t limit,
                                                const std::function<void(uint64_t)>& progress) {
  if (uint64_t{base.size()} + result.size() > DeltaEncoderBound() || limit <= sizeof(DeltaHeader)) {
    return std::nullopt;
  }
  const std::unique_ptr<Part> part = MatchPart(base, result, settings, progress);
  if (!part) return std::nullopt;
  std::vector<Job*> coded;
  PartJobs jobs;
  FillJobs(*part, false, jobs, coded);
  CodeJobs(coded, settings, limit - sizeof(DeltaHeader), uint64_t{base.size()} + result.size());
  return PartBody(*part, jobs, base.size(), result.size(), settings, limit);
}

namespace {

// The result's bytes that any of `parts` adds, each once: `shared` holds
// them in order, `runBytes` the runs they come from (as varints: the gap
// before each run, then its length).
void GatherAddedBytes(const std::vector<std::unique_ptr<Part>>& parts, std::span<const uint8_t> result,
                      std::vector<uint8_t>& shared, std::vector<uint8_t>& runBytes) {
  std::vector<std::pair<uint64_t, uint64_t>> added;  // [start, end)
  for (const auto& part : parts) {
    for (const Command& command : part->writer.made) {
      const uint64_t start = command.at + command.copyLength;
      if (command.addLength != 0) added.emplace_back(start, start + command.addLength);
    }
  }
  std::sort(added.begin(), added.end());
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  for (const auto& [start, end] : added) {
    if (!runs.empty() && start <= runs.back().second) {
      runs.back().second = std::max(runs.back().second, end);
    } else {
      runs.emplace_back(start, end);
    }
  }
  uint64_t previous = 0;
  for (const auto& [start, end] : runs) {
    PutVarint(runBytes, start - previous);
    PutVarint(runBytes, end - start);
    shared.insert(shared.end(), result.begin() + static_cast<std::ptrdiff_t>(start),
                  result.begin() + static_cast<std::ptrdiff_t>(end));
    previous = end;
  }
}

}  // namespace

std::optional<std::vector<uint8_t>> EncodeSharedDelta(std::span<const std::span<const uint8_t>> bases,
                                                      std::span<const std::array<uint8_t, 16>> baseHashes,
                                                      std::span<const uint8_t> result, const DeltaSettings& settings,
                                                      uint64_t limit) {
  if (bases.size() < 2 || bases.size() > kSharedDeltaPartsMax || baseHashes.size() != bases.size() ||
      limit <= sizeof(SharedDeltaHeader)) {
    return std::nullopt;
  }
  uint64_t pairSize = result.size();
  for (const std::span<const uint8_t> base : bases) {
    if (uint64_t{base.size()} + result.size() > DeltaEncoderBound()) return std::nullopt;
    pairSize = std::max<uint64_t>(pairSize, uint64_t{base.size()} + result.size());
  }
  std::vector<std::unique_ptr<Part>> parts;
  for (const std::span<const uint8_t> base : bases) {
    parts.push_back(MatchPart(base, result, settings, nullptr));
    if (!parts.back()) return std::nullopt;
  }

  // The result's bytes that any part adds, in runs, each byte once.
  std::vector<uint8_t> shared, runBytes;
  GatherAddedBytes(parts, result, shared, runBytes);

  std::vector<Job*> coded;
  std::vector<PartJobs> jobs(parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) FillJobs(*parts[i], true, jobs[i], coded);
  Job sharedJob{&shared, kDeltaNewBytes, {}};
  coded.push_back(&sharedJob);
  CodeJobs(coded, settings, limit - sizeof(SharedDeltaHeader), pairSize);

  SharedDeltaHeader header{};
  std::memcpy(header.magic, kDeltaMagic, sizeof header.magic);
  header.version = kDeltaSharedVersion;
  header.coding = sharedJob.coded.coding;
  header.partCount = static_cast<uint32_t>(parts.size());
  header.resultSize = result.size();
  header.runsBytes = runBytes.size();
  const std::vector<uint8_t>& sharedStored = sharedJob.coded.coding == kDeltaLzma ? sharedJob.coded.bytes : shared;
  header.shared = {sharedStored.size(), shared.size()};
  std::vector<SharedDeltaPart> table(parts.size());
  std::vector<std::vector<uint8_t>> bodies;
  uint64_t total = sizeof header + table.size() * sizeof(SharedDeltaPart) + runBytes.size() + sharedStored.size();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (total >= limit) return std::nullopt;
    auto body = PartBody(*parts[i], jobs[i], bases[i].size(), result.size(), settings, limit - total);
    if (!body) return std::nullopt;
    table[i].baseSize = bases[i].size();
    std::memcpy(table[i].baseHash, baseHashes[i].data(), sizeof table[i].baseHash);
    table[i].bodySize = body->size();
    total += body->size();
    bodies.push_back(std::move(*body));
  }
  if (total >= limit) return std::nullopt;

  std::vector<uint8_t> out;
  out.reserve(static_cast<std::size_t>(total));
  const auto append = [&](const void* bytes, std::size_t size) {
    out.insert(out.end(), static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size);
  };
  append(&header, sizeof header);
  append(table.data(), table.size() * sizeof(SharedDeltaPart));
  append(runBytes.data(), runBytes.size());
  for (const std::vector<uint8_t>& body : bodies) append(body.data(), body.size());
  append(sharedStored.data(), sharedStored.size());
  return out;
}

}  // namespace qpx::tool
