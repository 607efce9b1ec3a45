// qpxtool diff OLD... NEW end to end: one patch made from several old
// versions of a game brings each of them, or a game mixing them, to the new
// one, natively and with the Windows patcher under Wine (the QpxToolWine
// suites); a version it was not made from is refused with nothing changed.

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#include "src/app/payload/PatcherMarker.h"
#include "src/archive/LooseFile.h"
#include "src/filesystem/posix/PathEncoding_Posix.h"
#include "tests/tool/ToolFixture.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using Bytes = std::vector<uint8_t>;
using Resources = std::map<uint32_t, Bytes>;

// Release `k` of a small game: every entry and 8 loose files, each release
// changing some resources of the one before (in place, grown, shrunk), and
// leaving others as an earlier release made them.
Resources Release(int k) {
  Resources resources;
  for (uint32_t n = 0; n < kEntryCount; ++n) resources[n] = SampleBody(n, 1 + (n * 37) % 600);
  for (uint32_t i = 0; i < 8; ++i) resources[kEntryCount + i] = SampleBody(9000 + i, 100 + i * 1000);
  for (int release = 1; release <= k; ++release) {
    const auto seed = static_cast<uint32_t>(release * 1000);
    for (uint32_t n = static_cast<uint32_t>(release); n < kEntryCount; n += 97) {
      resources[n] = SampleBody(seed + n, static_cast<uint32_t>(resources[n].size()) + (n % 3 == 0 ? 40 : 0));
    }
    Bytes& loose = resources[kEntryCount + static_cast<uint32_t>(release % 8)];
    for (std::size_t at = 10; at < loose.size(); at += 333) loose[at] ^= static_cast<uint8_t>(release);
    resources[kEntryCount + 7] = SampleBody(seed + 7, 2000 + static_cast<uint32_t>(release) * 500);
  }
  return resources;
}

class MultiVersionTool : public test::ToolFixture {
 protected:
  // Every resource's bytes as extract reads them.
  Resources Held(const std::string& name) const {
    Resources held;
    const Bytes index = Get(name + "/DATA0.QPX"), data = Get(name + "/DATA1.QPX");
    for (uint32_t n = 0; n < kEntryCount; ++n) {
      ArchiveIndexEntry entry{};
      std::memcpy(&entry, index.data() + n * sizeof entry, sizeof entry);
      held[n] = Bytes(data.begin() + static_cast<std::ptrdiff_t>(entry.offset),
                      data.begin() + static_cast<std::ptrdiff_t>(entry.offset + entry.size));
    }
    for (uint32_t i = 0; i < 8; ++i) {
      const std::wstring loose = LooseFileName(i);
      const Bytes file = Get(name + "/res/" + std::string(loose.begin(), loose.end()));
      LooseFileHeader header{};
      std::memcpy(&header, file.data(), sizeof header);
      held[kEntryCount + i] = Bytes(file.begin() + sizeof header, file.begin() + sizeof header + header.totalSize);
    }
    return held;
  }

  // Runs `patch` in a copy `copy` of game `game`, natively or under Wine.
  ProcessResult ApplyToCopy(const std::string& patch, const std::string& game, const std::string& copy,
                            bool wine = false) const {
    fs::remove_all(At(copy));
    fs::copy(At(game), At(copy), fs::copy_options::recursive);
    test::ProcessOptions options;
    if (wine) options.launcher = Config().wine;
    return test::RunProcess({At(patch).string()}, At(copy), options);
  }

  void SharedDeltaRoundTrip(const std::string& stub, const std::string& patch, bool wine);

  // Releases 0..n-1 as folders v0.., release n as "new".
  void LaySeries(int olds) const {
    for (int k = 0; k < olds; ++k) LayGame("v" + std::to_string(k), Release(k));
    LayGame("new", Release(olds));
  }
};

TEST_F(MultiVersionTool, ThreeAndFourVersionsBringEveryOldGameAndAMixToTheNewOne) {
  for (const int olds : {2, 3}) {
    SCOPED_TRACE(std::to_string(olds) + " old versions");
    LaySeries(olds);
    std::vector<std::string> command = {"diff"};
    for (int k = 0; k < olds; ++k) command.push_back("v" + std::to_string(k));
    command.insert(command.end(), {"new", "--stub", Config().patcher, "--out", "patch", "-f", "--label", "v0=1.0",
                                   "--label-new", "2.0"});
    const ProcessResult made = Tool(command);
    EXPECT_TOOL(made, kOk, "old versions (1.0: ");
    EXPECT_TOOL(made, kOk, "format 3, sealed");
    ASSERT_EQ(made.exitCode, kOk);

    // A game holding some resources of each old release.
    Resources mixed = Release(0);
    const Resources last = Release(olds - 1);
    for (uint32_t n = 0; n < kEntryCount; n += 2) mixed[n] = last.at(n);
    mixed[kEntryCount + 7] = last.at(kEntryCount + 7);
    LayGame("mixed", mixed);
    std::vector<std::string> games = {"mixed"};
    for (int k = 0; k < olds; ++k) games.push_back("v" + std::to_string(k));
    for (const std::string& game : games) {
      const ProcessResult run = ApplyToCopy("patch", game, "applied");
      ASSERT_EQ(run.exitCode, 0) << game << ":\n" << run.out;
      EXPECT_EQ(Held("applied"), Release(olds)) << game;
      const auto before = Snapshot("applied");
      const ProcessResult again = RunPatch("patch", "applied");
      EXPECT_EQ(again.exitCode, 0);
      EXPECT_EQ(again.out.find("Done"), std::string::npos) << again.out;
      EXPECT_EQ(Snapshot("applied"), before);
      EXPECT_TOOL(Tool({"diff", "applied", "new", "--stub", Config().patcher, "--out", "none"}), kFailedCheck,
                  "the folders hold the same resources");
    }
  }
}

TEST_F(MultiVersionTool, AGameOfAnotherVersionIsRefusedNamingTheResourceAndTheVersions) {
  LaySeries(2);
  EXPECT_TOOL(Tool({"diff", "v0", "v1", "new", "--stub", Config().patcher, "--out", "patch", "--label", "v0=1.0",
                    "--label", "v1=1.1", "--label-new", "1.2"}),
              kOk, "2 old versions");
  Resources other = Release(1);
  other[1].back() ^= 1;  // entry 1: of no release
  LayGame("other", other);
  const auto before = Snapshot("other");
  const ProcessResult refused = RunPatch("patch", "other");
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(refused.out.starts_with("Resource 1 (entry 1) is from another version of the game\n")) << refused.out;
  EXPECT_TRUE(refused.out.ends_with("Nothing was changed\nThis patch updates 1.0, 1.1 to 1.2\n"))
      << refused.out;
  EXPECT_EQ(Snapshot("other"), before);
}

TEST_F(MultiVersionTool, WhatAPatchForSeveralVersionsCannotBeIsRefusedBeforeAnythingIsWritten) {
  LaySeries(2);
  const std::string stub = Config().patcher;
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"diff", "v0", "v1", "new", "--stub", stub, "--out", "p", "--format", "1"}, "--format 1 cannot hold it"},
      {{"diff", "v0", "v1", "new", "--manifest-out", "m"}, "--manifest-out writes the bodies of one pair"},
      {{"diff", "v0", "new", "--stub", stub, "--out", "p", "--label", "v0=1.0"}, "a patch of two folders has none"},
      {{"diff", "v0", "v1", "new", "--stub", stub, "--out", "p", "--label", "new=2"}, "is none of the old folders"},
      {{"diff", "v0", "v1", "new", "--stub", stub, "--out", "p", "--label", "v0=1.1", "--label", "v1=1.1"},
       "are both labelled \"1.1\""},
      {{"diff", "v0", "v1", "new", "--stub", stub, "--out", "p", "--label", "v0=" + std::string(33, 'x')},
       "a version's label has 1 to 32"},
      {{"diff", "v0", "v1", "new", "--stub", "v2-only", "--out", "p"}, "does not read patches for several old versions"},
  };
  // A stand-in for a patcher of before: it reads version 2, not version 3.
  Bytes older(4096, 0x90);
  const auto marker = Unmasked(kMaskedPatcherMarker);
  const auto version2 = Unmasked(kMaskedVersion2Marker);
  std::copy(marker.begin(), marker.end(), older.begin() + 1024);
  std::copy(version2.begin(), version2.end(), older.begin() + 2048);
  Put("v2-only", older);
  for (const auto& [arguments, said] : cases) {
    EXPECT_TOOL(Tool(arguments), kBadInput, said);
    EXPECT_FALSE(fs::exists(At("p")));
  }
  // Old folders that hold the same resources as the new one give no patch.
  LayGame("same", Release(2));
  LayGame("same-too", Release(2));
  EXPECT_TOOL(Tool({"diff", "same", "same-too", "new", "--stub", stub, "--out", "p"}), kFailedCheck,
              "the folders hold the same resources");
  EXPECT_FALSE(LeftoverTemporaryFiles());
}

// list, plan, verify, reverse and extract know a resource's alternatives:
// which old version each one is for, which one the game takes.
TEST_F(MultiVersionTool, ListPlanVerifyReverseAndExtractKnowTheAlternatives) {
  LaySeries(2);
  ASSERT_EQ(Tool({"diff", "v0", "v1", "new", "--stub", Config().patcher, "--out", "patch"}).exitCode, kOk);
  const ProcessResult listed = Tool({"list", "patch"});
  EXPECT_TOOL(listed, kOk, "format 3: the patch updates v0, v1 to new, each resource from whichever");
  EXPECT_TOOL(listed, kOk, "  for v1 (an alternative of record ");
  const ProcessResult json = Tool({"list", "--json", "patch"});
  EXPECT_TOOL(json, kOk, "\"labels\": [\n    \"v0\",\n    \"v1\"\n  ]");
  EXPECT_TOOL(json, kOk, "\"fate\": \"alternative\"");

  // Entry 1 changes in both releases: two alternatives, the second for v1.
  const ProcessResult planned = Tool({"plan", "patch", "v1"});
  EXPECT_TOOL(planned, kOk, "(the game holds v1)");
  EXPECT_TOOL(planned, kOk, "for another version (v0)");
  EXPECT_TOOL(planned, kOk, " for other old versions");
  Resources other = Release(1);
  other[1].back() ^= 1;
  LayGame("other", other);
  const ProcessResult refused = Tool({"plan", "patch", "other"});
  EXPECT_TOOL(refused, kFailedCheck, "plan: the patcher would refuse this patch and change nothing");
  EXPECT_TOOL(refused, kFailedCheck, "plan: the patch updates v0, v1 to new");

  EXPECT_TOOL(Tool({"verify", "patch", "v1"}), kFailedCheck, "it still holds the bytes of v1, which the patch replaces");
  EXPECT_TOOL(Tool({"verify", "patch", "new"}), kOk, " for other old versions");

  // The undo is the one for the version the game holds.
  const ProcessResult reversed = Tool({"reverse", "patch", "v1", "--stub", Config().patcher, "--out", "undo"});
  ASSERT_EQ(reversed.exitCode, kOk) << reversed.err;
  ASSERT_EQ(ApplyToCopy("patch", "v1", "applied").exitCode, 0);
  EXPECT_EQ(Held("applied"), Release(2));
  ASSERT_EQ(RunPatch("undo", "applied").exitCode, 0);
  EXPECT_EQ(Held("applied"), Release(1));

  // extract decodes the alternative for the --base folder's version: a
  // delta against v0's loose file 1, a body of loose file 7 for either.
  for (const auto& [number, base] : {std::pair{"1208", "v0"}, std::pair{"1214", "v0"}, std::pair{"1214", "v1"}}) {
    EXPECT_TOOL(Tool({"extract", "patch", number, "out.bin", "--base", base, "--force"}), kOk, "as record ");
    EXPECT_EQ(Get("out.bin"), Release(2).at(static_cast<uint32_t>(std::stoul(number)))) << number << " " << base;
  }
}

// Two old versions of a resource (the second a scattered edit of the first)
// and a new one that adds 20,000 new bytes to them: its alternatives share
// one delta, which stores those bytes once, and it brings each old game,
// and a game mixing them, to the new one (under Wine with `wine`).
void MultiVersionTool::SharedDeltaRoundTrip(const std::string& stub, const std::string& patch, bool wine) {
  Resources v0 = Release(0), v1 = v0, newer = v0;
  Bytes body = SampleBody(77, 60000);
  v0[3] = v0[kEntryCount + 1] = body;
  for (std::size_t at = 100; at < body.size(); at += 997) body[at] ^= 0x5A;
  v1[3] = v1[kEntryCount + 1] = body;
  const Bytes fresh = SampleBody(78, 20000);
  body.insert(body.begin() + 30000, fresh.begin(), fresh.end());
  newer[3] = newer[kEntryCount + 1] = body;
  LayGame("v0", v0);
  LayGame("v1", v1);
  LayGame("new", newer);
  EXPECT_TOOL(Tool({"diff", "v0", "v1", "new", "--stub", stub, "--out", patch}), kOk,
              "format 3, sealed");
  const Bytes bytes = Get(patch);
  // The stub is a path of its own or a name in the scratch folder.
  const auto payload = bytes.begin() + static_cast<std::ptrdiff_t>(fs::file_size(At(stub)));
  EXPECT_EQ(Occurrences(bytes, "QPXD\x03", static_cast<std::size_t>(payload - bytes.begin())), 2)
      << "one delta for both bases of each resource";
  EXPECT_LT(bytes.end() - payload, static_cast<std::ptrdiff_t>(fresh.size() * 3))
      << "the new bytes stored once for each resource";
  Resources mixed = v0;
  mixed[kEntryCount + 1] = v1[kEntryCount + 1];
  LayGame("mixed", mixed);
  for (const std::string game : {"v0", "v1", "mixed"}) {
    const ProcessResult run = ApplyToCopy(patch, game, "applied", wine);
    ASSERT_EQ(run.exitCode, 0) << game << ":\n" << run.out;
    EXPECT_EQ(Held("applied"), newer) << game;
  }
  EXPECT_TOOL(Tool({"verify", patch, "applied"}), kOk, "records applied");
}

TEST_F(MultiVersionTool, AlternativesThatAddTheSameBytesShareOneDelta) {
  SharedDeltaRoundTrip(Config().patcher, "patch", false);
}

// The Windows patcher under Wine: three versions, each old game and a mix.
using QpxToolWineVersions = MultiVersionTool;
TEST_F(QpxToolWineVersions, AlternativesThatAddTheSameBytesShareOneDeltaWithTheExe) {
  if (Config().patcherExe.empty()) GTEST_SKIP() << "no --patcher-exe";
  fs::copy(Config().patcherExe, At("qpxpatch.exe"));
  SharedDeltaRoundTrip("qpxpatch.exe", "patch.exe", true);
}

TEST_F(QpxToolWineVersions, EachOldGameEndsAsTheNewOneWithTheExe) {
  if (Config().patcherExe.empty()) GTEST_SKIP() << "no --patcher-exe";
  LaySeries(2);
  fs::copy(Config().patcherExe, At("qpxpatch.exe"));
  EXPECT_TOOL(Tool({"diff", "v0", "v1", "new", "--stub", "qpxpatch.exe", "--out", "patch.exe"}), kOk,
              "format 3, sealed");
  // The Windows tool's report for scripts (its lines end in CR LF), checked
  // against its schema with the others.
  const ProcessResult listed = Tool({"list", "--json", "patch.exe"});
  EXPECT_TOOL(listed, kOk, "\"runsOn\": \"windows\"");
  EXPECT_TOOL(listed, kOk, "\"schema\": \"qpxtool-list/1\"");
  Resources mixed = Release(0);
  for (uint32_t n = 0; n < kEntryCount; n += 2) mixed[n] = Release(1).at(n);
  LayGame("mixed", mixed);
  for (const std::string game : {"v0", "v1", "mixed"}) {
    const ProcessResult run = ApplyToCopy("patch.exe", game, "applied", /*wine=*/true);
    ASSERT_EQ(run.exitCode, 0) << game << ":\n" << run.out;
    EXPECT_EQ(Held("applied"), Release(2)) << game;
  }
  const ProcessResult again = ApplyToCopy("patch.exe", "applied", "again", /*wine=*/true);
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(again.out.find("Done"), std::string::npos);
  Resources other = Release(1);
  other[1].back() ^= 1;
  LayGame("other", other);
  const ProcessResult refused = ApplyToCopy("patch.exe", "other", "refused", /*wine=*/true);
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(refused.out.ends_with("Nothing was changed\r\nThis patch updates v0, v1 to new\r\n"))
      << refused.out;
}

}  // namespace
}  // namespace qpx
