// Sealed payloads and signed patchers: a damaged payload never reaches the
// game, and a signature's certificate table does not hide the payload.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "src/app/payload/ContentDigest.h"
#include "src/app/payload/PayloadSeal.h"
#include "src/app/payload/SignedImage.h"
#include "src/app/run/PatchRunner.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx {
namespace {

using test::BuildPatchFile;
using test::BuildSealedPatchFile;
using test::PeImage;
using test::Sign;
using test::ReadFile;
using test::ScratchDirectory;
using test::WriteFile;
using Bytes = std::vector<uint8_t>;

std::string Hex(const ContentDigest::Value& value) {
  std::string text;
  for (uint8_t byte : value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

// Both builds, both inner loops (the build's own and the wider one chosen
// at run time), and every way of feeding the bytes give one digest: a patch
// sealed by either tool is checked alike by either patcher on any processor.
TEST(PayloadDigestTest, KnownAnswersHoldOnEveryBuildLoopAndSplit) {
  std::vector<DigestUpdate> loops = {BuildDigestUpdate()};
  if (const DigestUpdate wide = WideDigestUpdate()) loops.push_back(wide);
  const Bytes bytes = SampleBody(7, 5000);
  for (const DigestUpdate loop : loops) {
    SCOPED_TRACE(loop == BuildDigestUpdate() ? "the build's loop" : "the wider loop");
    EXPECT_EQ(Hex(ContentDigest(loop).Finish()), "99aa06d3014798d86001c324468d497f");  // XXH3-128 of nothing
    ContentDigest whole(loop);
    whole.Update(bytes);
    EXPECT_EQ(Hex(whole.Finish()), "d8f998eeace47ac74e03146facbeb97b");
    for (std::size_t piece : {1u, 7u, 64u, 240u, 4999u}) {
      ContentDigest pieces(loop);
      for (std::size_t at = 0; at < bytes.size(); at += piece) {
        pieces.Update(std::span(bytes).subspan(at, std::min(piece, bytes.size() - at)));
      }
      EXPECT_EQ(pieces.Finish(), whole.Finish()) << "pieces of " << piece;
    }
  }
  // Long inputs run the loops' stripes and blocks, where they differ.
  const Bytes longer = SampleBody(11, 3u << 20);
  ContentDigest built(BuildDigestUpdate()), chosen;
  built.Update(longer);
  chosen.Update(longer);
  EXPECT_EQ(chosen.Finish(), built.Finish());
}

class SealTest : public ::testing::Test {
 protected:
  PayloadError Check(const Bytes& bytes) {
    WriteFile(dir.Path() / "patch.bin", bytes);
    auto file = fs->Open(dir.Wide("patch.bin").c_str(), OpenMode_Read);
    payload = Payload{};
    const PayloadError error = ReadPayload(*file, payload);
    if (error != PayloadError::None) return error;
    CTransferBuffer buffer;
    return VerifySeal(*file, payload, buffer);
  }
  // A copy of `file` whose seal has `edit` applied and its digest made
  // right again: a seal that holds, but says something else.
  static Bytes Reseal(Bytes file, void (*edit)(PayloadSeal&)) {
    PayloadSeal seal;
    const std::size_t at = file.size() - kSealDistance;
    std::memcpy(&seal, file.data() + at, sizeof seal);
    edit(seal);
    ContentDigest digest;
    if (seal.coveredStart <= at) digest.Update(std::span(file).subspan(seal.coveredStart, at - seal.coveredStart));
    PayloadTrailer trailer;
    std::memcpy(&trailer, file.data() + file.size() - sizeof trailer, sizeof trailer);
    const auto value = FinishSealDigest(digest, seal, trailer);
    std::memcpy(seal.digest, value.data(), sizeof seal.digest);
    std::memcpy(file.data() + at, &seal, sizeof seal);
    return file;
  }

  ScratchDirectory dir;
  std::unique_ptr<CFileSystem> fs = CreatePlatformFileSystem();
  Payload payload;
  const Bytes image = Bytes(300, 0x90);
};

TEST_F(SealTest, AnIntactSealHoldsAndAPlainPayloadHasNone) {
  EXPECT_EQ(Check(BuildSealedPatchFile(image, {{747, {1, 2, 3}}, {1368, {4}}})), PayloadError::None);
  EXPECT_TRUE(payload.sealed);
  EXPECT_EQ(payload.seal.coveredStart, 300u);
  EXPECT_EQ(Check(BuildSealedPatchFile(image, {})), PayloadError::None) << "no records, still sealed";
  EXPECT_TRUE(payload.sealed);
  EXPECT_EQ(Check(BuildPatchFile(image, {{747, {1, 2, 3}}})), PayloadError::None);
  EXPECT_FALSE(payload.sealed);
  EXPECT_EQ(Check(BuildPatchFile({}, {})), PayloadError::None) << "too short to hold a seal";
}

TEST_F(SealTest, ASealThatContradictsTheFileIsDamage) {
  const Bytes file = BuildSealedPatchFile(image, {{747, {1, 2, 3}}, {1368, {4}}});
  const std::pair<const char*, void (*)(PayloadSeal&)> cases[] = {
      {"a start after the table", [](PayloadSeal& s) { s.coveredStart = 305; }},
      {"a start after the seal", [](PayloadSeal& s) { s.coveredStart = 400; }},
      {"a start past the end", [](PayloadSeal& s) { s.coveredStart = ~uint64_t{0}; }},
      {"a body before the start", [](PayloadSeal& s) { s.coveredStart = 301; }},
      {"another version", [](PayloadSeal& s) { s.version = 2; }},
  };
  for (const auto& [what, edit] : cases) EXPECT_EQ(Check(Reseal(file, edit)), PayloadError::Damaged) << what;
  // What is not in the covered range needs no cover: the image before it.
  EXPECT_EQ(Check(Reseal(file, [](PayloadSeal& s) { s.coveredStart = 299; })), PayloadError::None);
}

TEST_F(SealTest, AChangedDigestOrCoveredByteIsDamage) {
  const Bytes file = BuildSealedPatchFile(image, {{747, {1, 2, 3}}});
  for (std::size_t at : {std::size_t{300}, file.size() - kSealDistance + 24, file.size() - 40 + 15}) {
    Bytes changed = file;
    changed[at] ^= 0x20;
    EXPECT_EQ(Check(changed), PayloadError::Damaged) << "byte " << at;
  }
}

// ---------------------------------------------------------------------------
// Signed Windows patchers.

// Runs patches on fresh copies of `game` and compares whole folders.
class FreshGameTest : public ::testing::Test {
 protected:
  // Applies `patch` to a fresh copy of the game: every file of the folder
  // after, but for the patcher's own; its messages go to `output`.
  std::map<std::string, Bytes> Apply(const Bytes& patch) {
    ScratchDirectory dir;
    EXPECT_TRUE(game.Write(*fs, dir.Path().wstring()));
    WriteFile(dir.Path() / "patch.exe", patch);
    CapturedConsole console;
    RunPatcher(*fs, dir.Wide("patch.exe"), console);
    output = console.Text();
    return test::ReadFolder(dir.Path(), "patch.exe");
  }

  std::unique_ptr<CFileSystem> fs = CreatePlatformFileSystem();
  GameFolder game;
  std::wstring output;
};

class SignedPatchTest : public FreshGameTest {
 protected:
  void SetUp() override {
    game.AddEntry(747, SampleBody(1, 100));
    game.AddLooseFile(0, LooseFileImage(SampleBody(2, 10)));
  }

  const Bytes stub = PeImage(512, 0, 0);
  const std::vector<test::TestPatch> patches = {{747, SampleBody(3, 90)}, {1207, SampleBody(4, 33)}};
};

TEST_F(SignedPatchTest, ASignedPatchAppliesAsTheUnsignedOne) {
  for (bool sealed : {true, false}) {
    // A plain payload's length is rarely a multiple of 8: signing pads it.
    const Bytes patch = sealed ? BuildSealedPatchFile(stub, patches) : BuildPatchFile(stub, patches);
    const auto unsigned_ = Apply(patch);
    EXPECT_EQ(output, L"Processing patch 747\nDone\nProcessing patch 1207\nDone\nSuccess!\n");
    for (bool wide : {false, true}) {
      EXPECT_EQ(Apply(Sign(patch, wide)), unsigned_) << "sealed " << sealed << ", PE32+ " << wide;
      EXPECT_EQ(output, L"Processing patch 747\nDone\nProcessing patch 1207\nDone\nSuccess!\n");
    }
  }
}

TEST_F(SignedPatchTest, TheEndIsTheCertificateTableOnlyWhenItEndsTheFile) {
  ScratchDirectory dir;
  const Bytes signedPatch = Sign(BuildSealedPatchFile(stub, patches));
  const auto endOf = [&](const Bytes& bytes) {
    WriteFile(dir.Path() / "f", bytes);
    auto file = fs->Open(dir.Wide("f").c_str(), OpenMode_Read);
    return FindPayloadEnd(*file, static_cast<int64_t>(bytes.size()));
  };
  const std::size_t tableAt = signedPatch.size() - 1000;
  EXPECT_EQ(endOf(signedPatch), static_cast<int64_t>(tableAt));
  Bytes longer = signedPatch;
  longer.push_back(0);
  EXPECT_EQ(endOf(longer), static_cast<int64_t>(longer.size())) << "a table that does not end the file";
  Bytes elf = signedPatch;
  elf[0] = 0x7F;
  EXPECT_EQ(endOf(elf), static_cast<int64_t>(elf.size())) << "no PE: the native patcher";
  Bytes truncated(signedPatch.begin(), signedPatch.begin() + 100);
  EXPECT_EQ(endOf(truncated), 100) << "headers cut off";
  // The padding signing added to a plain payload is taken off.
  const Bytes plain = BuildPatchFile(stub, patches);
  ASSERT_NE(plain.size() % 8, 0u);
  EXPECT_EQ(endOf(Sign(plain)), static_cast<int64_t>(plain.size()));
}

TEST_F(SignedPatchTest, ADamagedSignedPatchIsRefusedBeforeTheGameIsTouched) {
  const auto original = Apply(BuildPatchFile(stub, {}));
  Bytes patch = Sign(BuildSealedPatchFile(stub, patches));
  patch[512 + 40] ^= 1;  // a body byte
  EXPECT_EQ(Apply(patch), original);
  EXPECT_EQ(output, L"Patch data is damaged\n");
}

// ---------------------------------------------------------------------------
// Any one byte of a sealed payload changed: the game is untouched, or left
// exactly as by the intact patch (the byte was one the run never relies
// on). Never "Success!" with other content, never a patch before a refusal.

using ChangedByteTest = FreshGameTest;

TEST_F(ChangedByteTest, NoSingleChangedByteReachesTheGame) {
  game.AddEntry(3, SampleBody(1, 64));
  game.AddEntry(4, SampleBody(2, 40), /*attributes=*/1);
  game.AddLooseFile(2, LooseFileImage(SampleBody(3, 20)));
  const Bytes image(200, 0x4D);
  const Bytes patch = BuildSealedPatchFile(
      image, {{3, SampleBody(4, 64)}, {4, SampleBody(5, 50)}, {1209, SampleBody(6, 300)}});

  const auto untouched = Apply(BuildPatchFile(image, {}) /* reads nothing */);
  const auto applied = Apply(patch);
  ASSERT_EQ(output, L"Processing patch 3\nDone\nProcessing patch 4\nDone\nProcessing patch 1209\nDone\nSuccess!\n");
  ASSERT_NE(applied, untouched);

  // Every byte from the table to the end, and every 7th body byte.
  const std::size_t tableAt = image.size() + 64 + 50 + 300;
  std::vector<std::size_t> positions;
  for (std::size_t at = image.size(); at < tableAt; at += 7) positions.push_back(at);
  for (std::size_t at = tableAt; at < patch.size(); ++at) positions.push_back(at);
  int refused = 0, unchanged = 0;
  for (std::size_t at : positions) {
    for (uint8_t flip : {uint8_t{0x01}, uint8_t{0xFF}}) {
      Bytes changed = patch;
      changed[at] ^= flip;
      const auto after = Apply(changed);
      SCOPED_TRACE("byte " + std::to_string(at) + " ^ " + std::to_string(flip) + ": " +
                   std::string(output.begin(), output.end()));
      if (after == applied && output.ends_with(L"Success!\n")) {
        ++unchanged;
        EXPECT_GE(at, patch.size() - kSealDistance) << "only a byte of the seal may go unnoticed";
        EXPECT_LT(at, patch.size() - kSealDistance + sizeof kSealMagic) << "only the seal's magic";
        continue;
      }
      ++refused;
      EXPECT_EQ(after, untouched);
      EXPECT_EQ(output.find(L"Processing patch"), std::wstring::npos);
      EXPECT_EQ(output.find(L"Success!"), std::wstring::npos);
    }
  }
  std::cout << "[ changed-byte cases: " << refused + unchanged << " (" << refused << " refused, " << unchanged
            << " where only the seal's magic changed) ]\n";
  EXPECT_EQ(unchanged, 2 * static_cast<int>(sizeof kSealMagic));
}

}  // namespace
}  // namespace qpx
