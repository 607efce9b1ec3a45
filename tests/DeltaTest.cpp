// Delta bodies: what the encoder writes rebuilds the result exactly, from
// any base, through any buffer; and no body, however damaged, makes the
// decoder read or write outside the base and the result (the asan preset
// runs these under the sanitizers), nor pass for a good one when it is cut
// short or runs on.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <span>
#include <cstring>
#include <random>
#include <vector>

#include "src/app/codecs/delta/DeltaDecoder.h"
#include "src/app/codecs/delta/DeltaEncoder.h"
#include "src/app/codecs/lzma/LzmaEncoder.h"

namespace qpx {
namespace {

using Bytes = std::vector<uint8_t>;

// Bytes of a small alphabet with repeats: compressible, as resources are.
Bytes Content(std::mt19937& random, std::size_t size) {
  Bytes bytes;
  bytes.reserve(size);
  while (bytes.size() < size) {
    const std::size_t run = std::min<std::size_t>(size - bytes.size(), 1 + random() % 40);
    if (bytes.size() > 64 && random() % 3 == 0) {
      const std::size_t from = bytes.size() - 1 - random() % std::min<std::size_t>(bytes.size(), 5000);
      for (std::size_t k = 0; k < run; ++k) bytes.push_back(bytes[from + k]);
    } else {
      for (std::size_t k = 0; k < run; ++k) bytes.push_back(static_cast<uint8_t>('a' + random() % 20));
    }
  }
  return bytes;
}

// `base` after `edits` random edits of the kinds a new version makes.
Bytes Edited(const Bytes& base, std::mt19937& random, int edits) {
  Bytes bytes = base;
  for (int i = 0; i < edits; ++i) {
    const std::size_t at = bytes.empty() ? 0 : random() % bytes.size();
    const std::size_t length = std::min<std::size_t>(bytes.size() - at, 1 + random() % 3000);
    const auto where = bytes.begin() + static_cast<std::ptrdiff_t>(at);
    switch (random() % 5) {
      case 0: {  // new bytes
        const Bytes fresh = Content(random, 1 + random() % 2000);
        bytes.insert(where, fresh.begin(), fresh.end());
        break;
      }
      case 1:  // a deletion
        bytes.erase(where, where + static_cast<std::ptrdiff_t>(length));
        break;
      case 2: {  // a block moved to the end, or repeated there
        const Bytes block(where, where + static_cast<std::ptrdiff_t>(length));
        if (random() % 2 == 0) bytes.erase(where, where + static_cast<std::ptrdiff_t>(length));
        bytes.insert(bytes.end(), block.begin(), block.end());
        break;
      }
      case 3:  // scattered small changes, as when addresses in a program move
        for (std::size_t k = at; k < at + length; k += 1 + random() % 50) bytes[k] = static_cast<uint8_t>(bytes[k] + 4);
        break;
      default:  // one byte
        if (!bytes.empty()) bytes[at] ^= 0x20;
        break;
    }
  }
  return bytes;
}

Bytes Encode(const Bytes& base, const Bytes& result, int level = 1, unsigned threads = 2) {
  auto delta = tool::EncodeDelta(base, result, {level, threads}, UINT64_MAX);
  EXPECT_TRUE(delta.has_value());
  return delta.value_or(Bytes{});
}

DecodeStatus Apply(const Bytes& base, const Bytes& delta, Bytes& result, std::size_t chunkSize = 4096) {
  MemorySource source(delta);
  Bytes chunk(chunkSize);
  return ApplyDelta(base, source, 0, delta.size(), result, chunk);
}

void ExpectRoundTrip(const Bytes& base, const Bytes& result, int level = 1, std::size_t chunk = 4096) {
  const Bytes delta = Encode(base, result, level);
  Bytes rebuilt(result.size(), 0xEE);
  EXPECT_EQ(Apply(base, delta, rebuilt, chunk), DecodeStatus::Done);
  EXPECT_TRUE(rebuilt == result) << "base " << base.size() << ", result " << result.size();
}

TEST(DeltaTest, RoundTripsOfEditedPairs) {
  std::mt19937 random(7);
  for (const std::size_t size : {1u, 100u, 5000u, 70000u, 300000u}) {
    const Bytes base = Content(random, size);
    for (const int edits : {1, 5, 40}) {
      SCOPED_TRACE(testing::Message() << size << " bytes, " << edits << " edits");
      ExpectRoundTrip(base, Edited(base, random, edits));
    }
  }
}

TEST(DeltaTest, RoundTripsOfEdgeCases) {
  std::mt19937 random(11);
  const Bytes base = Content(random, 50000);
  ExpectRoundTrip(base, base);                   // all the same
  ExpectRoundTrip(base, Content(random, 60000)); // all new
  ExpectRoundTrip({}, Content(random, 1000));    // an empty base
  ExpectRoundTrip(base, {});                     // an empty result
  ExpectRoundTrip(base, Bytes(base.begin() + 17, base.begin() + 18));
  ExpectRoundTrip(Bytes(1, 'x'), Bytes(1, 'y'));
  ExpectRoundTrip(Bytes(100000, 0), Bytes(100001, 0));
  Bytes doubled = base;
  doubled.insert(doubled.end(), base.begin(), base.end());
  ExpectRoundTrip(base, doubled);
  ExpectRoundTrip(doubled, base);
  ExpectRoundTrip(base, Edited(base, random, 20), 9);  // the default level
}

TEST(DeltaTest, RoundTripsAcrossBufferAndWindowSizes) {
  // Over the 4 MiB transfer buffer, read through chunks of every kind;
  // streams many times larger than the dictionary of the level (64 KiB),
  // and so than the window they are decoded through.
  std::mt19937 random(3);
  const Bytes base = Content(random, (4 << 20) + 3);
  Bytes result = Edited(base, random, 30);
  for (std::size_t k = 0; k + 16 < result.size(); k += 8 + random() % 16) result[k] ^= static_cast<uint8_t>(1 + k % 5);
  const Bytes delta = Encode(base, result);
  for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4} << 20}) {
    Bytes rebuilt(result.size());
    EXPECT_EQ(Apply(base, delta, rebuilt, chunk), DecodeStatus::Done) << chunk;
    EXPECT_TRUE(rebuilt == result) << chunk;
  }
  DeltaHeader header;
  std::memcpy(&header, delta.data(), sizeof header);
  EXPECT_GT(header.streams[kDeltaDiffBytes].decodedSize, 128u << 10);
  EXPECT_EQ(header.coding[kDeltaDiffBytes], kDeltaLzma);
}

TEST(DeltaTest, SmallChangesMakeSmallDeltas) {
  std::mt19937 random(5);
  const Bytes base = Content(random, 8 << 20);
  Bytes result = base;
  for (const std::size_t at : {0u, 1000u, 3000000u, 5000000u, 7000000u, (8u << 20) - 1}) ++result[at];
  const Bytes delta = Encode(base, result, 9);
  EXPECT_LT(delta.size(), 300u);
  Bytes rebuilt(result.size());
  EXPECT_EQ(Apply(base, delta, rebuilt), DecodeStatus::Done);
  EXPECT_TRUE(rebuilt == result);
  // The same body from any number of threads; progress in steps that add
  // up to the result.
  uint64_t done = 0;
  int steps = 0;
  EXPECT_EQ(tool::EncodeDelta(base, result, {9, 1}, UINT64_MAX, [&](uint64_t step) { done += step, ++steps; }), delta);
  EXPECT_EQ(done, result.size());
  EXPECT_GT(steps, 1);
}

TEST(DeltaTest, EncoderDeclinesWhatIsNotShorter) {
  std::mt19937 random(9);
  const Bytes base = Content(random, 20000);
  const Bytes result = Edited(base, random, 3);
  const Bytes delta = Encode(base, result);
  EXPECT_FALSE(tool::EncodeDelta(base, result, {1, 2}, delta.size()).has_value()) << "the limit is exclusive";
  EXPECT_TRUE(tool::EncodeDelta(base, result, {1, 2}, delta.size() + 1).has_value());
  // A result that shares nothing with its base codes about as small as
  // compressed alone; a large one is left to plain compression.
  const Bytes other = Content(random, 200000);
  const Bytes compressed = *tool::EncodeLzma(other, {9}, UINT64_MAX);
  EXPECT_LE(Encode(base, other, 9).size(), compressed.size() + 128);
  const Bytes fresh = Content(random, 3 << 20);
  EXPECT_FALSE(tool::EncodeDelta(base, fresh, {1, 2}, UINT64_MAX).has_value());
  EXPECT_GT(tool::DeltaEncoderBound(), uint64_t{256} << 20);
}

// A body written by hand, every stream stored as is.
Bytes Body(uint64_t baseSize, uint64_t resultSize, const Bytes& commands, const Bytes& gaps, const Bytes& diffs,
           const Bytes& added) {
  DeltaHeader header{};
  std::memcpy(header.magic, kDeltaMagic, sizeof header.magic);
  header.version = kDeltaVersion;
  header.baseSize = baseSize;
  header.resultSize = resultSize;
  const Bytes* streams[] = {&commands, &gaps, &diffs, &added};
  Bytes body(sizeof header);
  for (uint32_t i = 0; i < kDeltaStreamCount; ++i) {
    header.streams[i] = {streams[i]->size(), streams[i]->size()};
    body.insert(body.end(), streams[i]->begin(), streams[i]->end());
  }
  std::memcpy(body.data(), &header, sizeof header);
  return body;
}

TEST(DeltaTest, CommandsOutsideTheBaseOrResultAreBadData) {
  const Bytes base = {10, 20, 30, 40};
  Bytes result(6);
  // Copy 3 from base[1] adding 5 to its second byte, then add "xyz".
  const Bytes good = Body(4, 6, {3, 2, 3}, {1}, {5}, {'x', 'y', 'z'});
  ASSERT_EQ(Apply(base, good, result), DecodeStatus::Done);
  EXPECT_EQ(result, (Bytes{20, 35, 40, 'x', 'y', 'z'}));

  const struct {
    const char* what;
    Bytes body;
  } bad[] = {
      {"a copy past the base's end", Body(4, 6, {4, 2, 2}, {}, {}, {'x', 'y'})},
      {"a seek before the base's start", Body(4, 6, {3, 1, 3}, {}, {}, {'x', 'y', 'z'})},
      {"a seek past the base's end", Body(4, 6, {0, 10, 6}, {}, {}, Bytes(6, 'n'))},
      {"more bytes than the result holds", Body(4, 6, {3, 2, 4}, {}, {}, {'x', 'y', 'z'})},
      {"fewer bytes than the result holds", Body(4, 6, {3, 2, 2}, {}, {}, {'x', 'y', 'z'})},
      {"new bytes left over", Body(4, 6, {3, 2, 3}, {}, {}, {'x', 'y', 'z', 'w'})},
      {"an empty command", Body(4, 6, {0, 0, 0, 3, 2, 3}, {}, {}, {'x', 'y', 'z'})},
      {"a diff past the copied bytes", Body(4, 6, {3, 2, 3}, {3}, {5}, {'x', 'y', 'z'})},
      {"a zero diff byte", Body(4, 6, {3, 2, 3}, {1}, {0}, {'x', 'y', 'z'})},
      {"a diff without its gap", Body(4, 6, {3, 2, 3}, {}, {5}, {'x', 'y', 'z'})},
      {"a gap left over", Body(4, 6, {3, 2, 3}, {1, 0}, {5}, {'x', 'y', 'z'})},
      {"a command left over", Body(4, 6, {3, 2, 3, 1, 0, 0}, {}, {}, {'x', 'y', 'z'})},
      {"a command cut short", Body(4, 6, {3, 2}, {}, {}, {'x', 'y', 'z'})},
      {"a varint of ten bytes", Body(4, 6, {0x83, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0, 2, 3}, {}, {},
                                        {'x', 'y', 'z'})},
      {"another base length", Body(5, 6, {3, 2, 3}, {}, {}, {'x', 'y', 'z'})},
      {"another result length", Body(4, 7, {3, 2, 3}, {}, {}, {'x', 'y', 'z'})},
  };
  for (const auto& [what, body] : bad) {
    EXPECT_EQ(Apply(base, body, result), DecodeStatus::BadData) << what;
  }
}

TEST(DeltaTest, HeadersThatDoNotHoldAreBadData) {
  const Bytes base = {1, 2, 3};
  const Bytes body = Body(3, 3, {3, 0, 0}, {}, {}, {});
  Bytes result(3);
  ASSERT_EQ(Apply(base, body, result), DecodeStatus::Done);
  const auto changed = [&](auto change) {
    Bytes copy = body;
    DeltaHeader header;
    std::memcpy(&header, copy.data(), sizeof header);
    change(header);
    std::memcpy(copy.data(), &header, sizeof header);
    return Apply(base, copy, result);
  };
  EXPECT_EQ(changed([](DeltaHeader& h) { h.magic[3] = 'E'; }), DecodeStatus::BadData);
  EXPECT_EQ(changed([](DeltaHeader& h) { h.version = 2; }), DecodeStatus::BadData);
  EXPECT_EQ(changed([](DeltaHeader& h) { h.reserved[6] = 1; }), DecodeStatus::BadData);
  EXPECT_EQ(changed([](DeltaHeader& h) { h.coding[0] = 2; }), DecodeStatus::BadData);
  EXPECT_EQ(changed([](DeltaHeader& h) { h.coding[0] = kDeltaLzma; }), DecodeStatus::BadData);
  EXPECT_EQ(changed([](DeltaHeader& h) { h.streams[0].decodedSize = 4; }), DecodeStatus::BadData);
  EXPECT_EQ(changed([](DeltaHeader& h) { h.streams[3].storedSize = UINT64_MAX; }), DecodeStatus::BadData);
  EXPECT_EQ(changed([](DeltaHeader& h) { h.streams[3] = {0, 4}; }), DecodeStatus::BadData);

  // Coded streams whose decoder would need more memory than a delta may:
  // a dictionary larger than the window, or lc + lp over 4.
  tool::LzmaSettings wide;
  wide.level = 1;
  wide.lc = 4;
  wide.lp = 1;
  const std::pair<Bytes, tool::LzmaSettings> streams[] = {
      {Bytes(kDeltaWindowLimit + 1, 'a'), tool::LzmaSettings{4}},
      {Bytes(1000, 7), wide},
  };
  for (const auto& [stream, settings] : streams) {
    const Bytes coded = *tool::EncodeLzma(stream, settings, UINT64_MAX);
    Bytes withCoded = Body(3, 3, coded, {}, {}, {});
    DeltaHeader header;
    std::memcpy(&header, withCoded.data(), sizeof header);
    header.coding[kDeltaCommands] = kDeltaLzma;
    header.streams[kDeltaCommands].decodedSize = stream.size();
    std::memcpy(withCoded.data(), &header, sizeof header);
    EXPECT_EQ(Apply(base, withCoded, result), DecodeStatus::BadData) << stream.size();
  }
}

// `body` (every stream stored as is) with stream `index` coded as `coded`.
Bytes WithCodedStream(const Bytes& body, uint32_t index, const Bytes& coded) {
  DeltaHeader header;
  std::memcpy(&header, body.data(), sizeof header);
  std::size_t at = sizeof header;
  for (uint32_t i = 0; i < index; ++i) at += static_cast<std::size_t>(header.streams[i].storedSize);
  Bytes result(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(at));
  result.insert(result.end(), coded.begin(), coded.end());
  result.insert(result.end(), body.begin() + static_cast<std::ptrdiff_t>(at + header.streams[index].storedSize),
                body.end());
  header.coding[index] = kDeltaLzma;
  header.streams[index].storedSize = coded.size();
  std::memcpy(result.data(), &header, sizeof header);
  return result;
}

// The header of a coded stream must not decide what its decoder takes:
// sound bodies whose streams say they need a window beyond the bound, or
// coder tables beyond lc + lp = 4, are refused, and the same bodies within
// the bounds decode.
TEST(DeltaTest, ACodedStreamIsHeldToTheDecodersMemoryBounds) {
  // Commands of more than the window, each adding one new byte: "0 0 1".
  const std::size_t count = kDeltaWindowLimit / 3 + 1000;
  Bytes commands, added(count);
  for (std::size_t i = 0; i < count; ++i) {
    commands.insert(commands.end(), {0, 0, 1});
    added[i] = static_cast<uint8_t>(i * 7);
  }
  const Bytes plain = Body(0, count, commands, {}, {}, added);
  Bytes coded = *tool::EncodeLzma(commands, tool::LzmaSettings{1}, UINT64_MAX);
  LzmaProperties properties;
  ASSERT_TRUE(ParseLzmaProperties(std::span<const uint8_t, kLzmaPropertiesSize>(coded.data(), kLzmaPropertiesSize),
                                  properties));
  ASSERT_LE(properties.dictionarySize, kDeltaWindowLimit);
  Bytes result(count);
  ASSERT_EQ(Apply({}, WithCodedStream(plain, kDeltaCommands, coded), result), DecodeStatus::Done);
  EXPECT_EQ(result, added);
  // The same coded bytes with a dictionary of 4 MiB said: they decode alike
  // through a window of their whole length, which is beyond the bound.
  const uint32_t wide = 4u << 20;
  for (int k = 0; k < 4; ++k) coded[1 + k] = static_cast<uint8_t>(wide >> (8 * k));
  EXPECT_EQ(Apply({}, WithCodedStream(plain, kDeltaCommands, coded), result), DecodeStatus::BadData);

  // lc + lp: 4 is taken, 5 is not, in a stream read a window at a time and
  // in the new bytes alike.
  const Bytes small = Body(0, 3, {0, 0, 3}, {}, {}, {'x', 'y', 'z'});
  for (const uint32_t index : {uint32_t{kDeltaCommands}, uint32_t{kDeltaNewBytes}}) {
    SCOPED_TRACE(index);
    for (const int lc : {3, 4}) {
      tool::LzmaSettings settings{1};
      settings.lc = lc;
      settings.lp = 1;
      const Bytes stream = index == kDeltaCommands ? Bytes{0, 0, 3} : Bytes{'x', 'y', 'z'};
      const Bytes body = WithCodedStream(small, index, *tool::EncodeLzma(stream, settings, UINT64_MAX));
      Bytes three(3);
      if (lc + 1 <= 4) {
        EXPECT_EQ(Apply({}, body, three), DecodeStatus::Done);
        EXPECT_EQ(three, (Bytes{'x', 'y', 'z'}));
      } else {
        EXPECT_EQ(Apply({}, body, three), DecodeStatus::BadData);
      }
    }
  }
}

TEST(DeltaTest, EveryDamagedByteIsBadDataOrHarmless) {
  // Under the sanitizers, any access outside the base or the result ends
  // the test; here each damaged body decodes to BadData or to some bytes.
  std::mt19937 random(13);
  const Bytes base = Content(random, 3000);
  const Bytes result = Edited(base, random, 4);
  const Bytes delta = Encode(base, result, 9);
  ASSERT_LT(delta.size(), 2000u);
  Bytes rebuilt(result.size());
  int refused = 0;
  for (std::size_t at = 0; at < delta.size(); ++at) {
    for (const uint8_t flip : {0x01, 0x80, 0xFF}) {
      Bytes damaged = delta;
      damaged[at] ^= flip;
      const DecodeStatus status = Apply(base, damaged, rebuilt);
      ASSERT_NE(status, DecodeStatus::ReadFailed);
      if (status == DecodeStatus::BadData) ++refused;
    }
  }
  EXPECT_GT(refused, static_cast<int>(delta.size()));

  for (std::size_t length = 0; length < delta.size(); ++length) {
    const Bytes cut(delta.begin(), delta.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(Apply(base, cut, rebuilt), DecodeStatus::BadData) << "cut to " << length;
  }
  Bytes longer = delta;
  longer.push_back(0);
  EXPECT_EQ(Apply(base, longer, rebuilt), DecodeStatus::BadData) << "a byte after the body";
}

TEST(DeltaTest, ABodyIsReadWhereTheSourceHasIt) {
  std::mt19937 random(17);
  const Bytes base = Content(random, 40000);
  const Bytes result = Edited(base, random, 10);
  const Bytes delta = Encode(base, result);
  Bytes file(1234, 0xAB);
  file.insert(file.end(), delta.begin(), delta.end());
  file.resize(file.size() + 99, 0xCD);
  MemorySource source(file);
  Bytes rebuilt(result.size()), chunk(1000);
  EXPECT_EQ(ApplyDelta(base, source, 1234, delta.size(), rebuilt, chunk), DecodeStatus::Done);
  EXPECT_TRUE(rebuilt == result);
}

TEST(DeltaTest, AFailingSourceIsAReadFailure) {
  // A source that fails from its n-th read on, for every n the body needs.
  class Failing final : public CByteSource {
   public:
    Failing(const Bytes& bytes, int reads) : inner_(bytes), reads_(reads) {}
    uint64_t Size() const override { return inner_.Size(); }
    bool ReadAt(uint64_t offset, std::span<uint8_t> into) override {
      return reads_-- > 0 && inner_.ReadAt(offset, into);
    }

   private:
    MemorySource inner_;
    int reads_;
  };
  std::mt19937 random(19);
  const Bytes base = Content(random, 20000);
  const Bytes result = Edited(base, random, 6);
  const Bytes delta = Encode(base, result);
  Bytes rebuilt(result.size()), chunk(512);
  for (int reads = 0;; ++reads) {
    Failing source(delta, reads);
    const DecodeStatus status = ApplyDelta(base, source, 0, delta.size(), rebuilt, chunk);
    if (status == DecodeStatus::Done) break;
    ASSERT_EQ(status, DecodeStatus::ReadFailed) << "failing from read " << reads;
  }
}

// A delta for several bases: one body that the alternatives of a resource
// share, whose new bytes are stored once.
namespace sharing {

using Hash = std::array<uint8_t, 16>;

Hash HashFor(uint8_t k) {
  Hash hash{};
  hash.fill(k);
  return hash;
}

struct Versions {
  std::vector<Bytes> bases;
  std::vector<Hash> hashes;
  Bytes result;
};

// Three old versions, and a new one that adds the same new bytes to each.
Versions Make(std::mt19937& random) {
  Versions v;
  const Bytes oldest = Content(random, 60000);
  v.bases = {oldest, Edited(oldest, random, 3), Edited(oldest, random, 6)};
  v.result = v.bases[2];
  for (int i = 0; i < 6; ++i) {
    Bytes fresh(1500);
    for (uint8_t& byte : fresh) byte = static_cast<uint8_t>(random());
    const std::size_t at = random() % v.result.size();
    v.result.insert(v.result.begin() + static_cast<std::ptrdiff_t>(at), fresh.begin(), fresh.end());
  }
  for (uint8_t k = 0; k < 3; ++k) v.hashes.push_back(HashFor(k + 1));
  return v;
}

Bytes EncodeShared(const Versions& v) {
  std::vector<std::span<const uint8_t>> bases(v.bases.begin(), v.bases.end());
  auto body = tool::EncodeSharedDelta(bases, v.hashes, v.result, {9, 2}, UINT64_MAX);
  EXPECT_TRUE(body.has_value());
  return body.value_or(Bytes{});
}

DecodeStatus ApplyFor(const Versions& v, std::size_t k, const Bytes& body, Bytes& out, std::size_t chunk = 4096) {
  MemorySource source(body);
  Bytes buffer(chunk);
  return ApplyDelta(v.bases[k], source, 0, body.size(), out, buffer, v.hashes[k]);
}

}  // namespace sharing

TEST(DeltaTest, ADeltaForSeveralBasesRebuildsFromEachAndStoresTheNewBytesOnce) {
  std::mt19937 random(21);
  const sharing::Versions v = sharing::Make(random);
  const Bytes body = sharing::EncodeShared(v);
  ASSERT_GT(body.size(), 4u);
  EXPECT_EQ(body[4], kDeltaSharedVersion);
  std::size_t separate = 0;
  for (std::size_t k = 0; k < v.bases.size(); ++k) {
    SCOPED_TRACE(k);
    separate += Encode(v.bases[k], v.result, 9).size();
    for (const std::size_t chunk : {std::size_t{7}, std::size_t{4096}}) {
      Bytes rebuilt(v.result.size(), 0xEE);
      EXPECT_EQ(sharing::ApplyFor(v, k, body, rebuilt, chunk), DecodeStatus::Done);
      EXPECT_TRUE(rebuilt == v.result);
    }
  }
  // 9,000 random new bytes, once instead of three times.
  EXPECT_LT(body.size() + 12000, separate);
  // The same bytes on one thread as on two.
  std::vector<std::span<const uint8_t>> bases(v.bases.begin(), v.bases.end());
  EXPECT_EQ(tool::EncodeSharedDelta(bases, v.hashes, v.result, {9, 1}, UINT64_MAX), body);
}

TEST(DeltaTest, ADeltaForSeveralBasesTakesOnlyThePartOfItsBase) {
  std::mt19937 random(22);
  const sharing::Versions v = sharing::Make(random);
  const Bytes body = sharing::EncodeShared(v);
  Bytes rebuilt(v.result.size());
  MemorySource source(body);
  Bytes chunk(4096);
  EXPECT_EQ(ApplyDelta(v.bases[0], source, 0, body.size(), rebuilt, chunk), DecodeStatus::BadData) << "no base hash";
  EXPECT_EQ(ApplyDelta(v.bases[0], source, 0, body.size(), rebuilt, chunk, sharing::HashFor(9)), DecodeStatus::BadData)
      << "a base of no part";
  EXPECT_EQ(ApplyDelta(v.bases[0], source, 0, body.size(), rebuilt, chunk, v.hashes[1]), DecodeStatus::BadData)
      << "another part's hash, of another size";
  // A plain delta ignores the hash.
  const Bytes plain = Encode(v.bases[0], v.result);
  MemorySource plainSource(plain);
  EXPECT_EQ(ApplyDelta(v.bases[0], plainSource, 0, plain.size(), rebuilt, chunk, v.hashes[0]), DecodeStatus::Done);
}

TEST(DeltaTest, EveryDamagedByteOfADeltaForSeveralBasesIsBadDataOrHarmless) {
  std::mt19937 random(23);
  sharing::Versions v;
  const Bytes oldest = Content(random, 3000);
  v.bases = {oldest, Edited(oldest, random, 2)};
  v.result = Edited(v.bases[1], random, 3);
  v.hashes = {sharing::HashFor(1), sharing::HashFor(2)};
  const Bytes body = sharing::EncodeShared(v);
  Bytes rebuilt(v.result.size());
  int refused = 0;
  for (std::size_t at = 0; at < body.size(); ++at) {
    for (const uint8_t flip : {0x01, 0xFF}) {
      Bytes damaged = body;
      damaged[at] ^= flip;
      for (std::size_t k = 0; k < 2; ++k) {
        const DecodeStatus status = sharing::ApplyFor(v, k, damaged, rebuilt);
        ASSERT_NE(status, DecodeStatus::ReadFailed);
        if (status == DecodeStatus::BadData) ++refused;
      }
    }
  }
  EXPECT_GT(refused, static_cast<int>(body.size()));
  for (std::size_t length = 0; length < body.size(); ++length) {
    const Bytes cut(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(sharing::ApplyFor(v, 1, cut, rebuilt), DecodeStatus::BadData) << "cut to " << length;
  }
}

}  // namespace
}  // namespace qpx
