// Version-3 patches in process: one patch brings each of several old
// versions of a game, or a game whose resources come from different ones,
// to the new version, resource by resource; a game of a version it does not
// know is refused before any write, naming the versions it takes.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>

#include "src/app/payload/PayloadSeal.h"
#include "src/app/run/PatchRunner.h"
#include "src/archive/LooseFile.h"
#include "src/archive/ResourceArchive.h"
#include "tests/support/FaultyFileSystem.h"
#include "tests/support/MultiVersionPatch.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx {
namespace {

using test::Alternative;
using test::CFileSystem_Faulty;
using test::FaultPlan;
using test::FileOperation;
using test::MultiVersionPatch;
using test::ScratchDirectory;
using test::WriteFile;
using Bytes = std::vector<uint8_t>;
using test::Words;
using Folder = std::map<std::string, Bytes>;
using Resources = std::map<uint32_t, Bytes>;
namespace fs = std::filesystem;

const Bytes kImage(500, 0x4D);


// `base` as a release edits it: bytes inserted, some changed in place.
Bytes Edited(const Bytes& base, uint32_t seed) {
  Bytes edited(base.begin(), base.begin() + 4000);
  const Bytes inserted = SampleBody(seed, 64);
  edited.insert(edited.end(), inserted.begin(), inserted.end());
  edited.insert(edited.end(), base.begin() + 4000, base.end());
  for (std::size_t i = 90000; i < 90008; ++i) edited[i] ^= static_cast<uint8_t>(seed);
  return edited;
}

// Three releases of a game: each resource as 1.0, 1.1 and 1.2 hold it.
// Entry 3 changes in every release (two whole bodies, shared); entry 5
// only in 1.2 (one record for both old versions); entry 6 in each (two
// deltas); loose file 0 only in 1.1 (1.1 holds 1.2's bytes already); loose
// file 2 in each (two compressed bodies, shared).
const std::vector<uint32_t> kNumbers = {3, 5, 6, 1207, 1209};
Resources Release(int version) {
  const Bytes six0 = SampleBody(6, 200000), six1 = Edited(six0, 41), six2 = Edited(six1, 42);
  switch (version) {
    case 0: return {{3, SampleBody(1, 100)}, {5, Words(3, 3000)}, {6, six0}, {1207, SampleBody(4, 5000)},
                    {1209, Words(5, 100)}};
    case 1: return {{3, SampleBody(31, 100)}, {5, Words(3, 3000)}, {6, six1}, {1207, SampleBody(14, 700)},
                    {1209, Words(25, 200)}};
    default: return {{3, SampleBody(11, 120)}, {5, Words(13, 20000)}, {6, six2}, {1207, SampleBody(14, 700)},
                     {1209, Words(15, 9000)}};
  }
}

// The patch from every old release in `olds` (by number) to release 2, as
// qpxtool makes it: per resource one record per distinct old content.
std::vector<MultiVersionPatch> PatchesFrom(const std::vector<int>& olds) {
  const Resources target = Release(2);
  std::vector<MultiVersionPatch> patches;
  for (const uint32_t number : kNumbers) {
    MultiVersionPatch patch{number, target.at(number), {}};
    for (std::size_t bit = 0; bit < olds.size(); ++bit) {
      const Bytes base = Release(olds[bit]).at(number);
      if (base == patch.result) continue;
      bool known = false;
      for (Alternative& alternative : patch.alternatives) {
        if (alternative.base == base) alternative.versions |= uint64_t{1} << bit, known = true;
      }
      if (known) continue;
      const BodyEncoding coding = number == 6 ? BodyEncoding::Delta
                                  : number == 3 ? BodyEncoding::Stored
                                                : BodyEncoding::Lzma;
      patch.alternatives.push_back({base, uint64_t{1} << bit, coding});
    }
    if (!patch.alternatives.empty()) patches.push_back(patch);
  }
  return patches;
}

GameFolder GameOf(const Resources& resources) {
  GameFolder game;
  for (const auto& [number, bytes] : resources) game.AddResource(number, bytes);
  return game;
}

class MultiVersionTest : public ::testing::Test {
 protected:
  const std::vector<std::string> labels = {"1.2", "1.0", "1.1"};

  void Lay(const Resources& resources) {
    for (const auto& entry : fs::directory_iterator(dir.Path())) fs::remove_all(entry.path());
    ASSERT_TRUE(GameOf(resources).Write(*fileSystem, dir.Path().wstring()));
  }

  bool Run(const Bytes& patch, FaultPlan& plan, const std::vector<std::wstring>& arguments = {}) {
    WriteFile(dir.Path() / "patch.exe", patch);
    CFileSystem_Faulty faulty(*fileSystem, plan);
    CapturedConsole console;
    RunSettings settings;
    settings.arguments = ParseArguments(arguments, false);
    const RunResult result = RunPatcher(faulty, dir.Wide("patch.exe"), console, settings);
    output = console.Text();
    return result.Succeeded();
  }
  bool Run(const Bytes& patch) {
    FaultPlan plan;
    return Run(patch, plan);
  }
  static FaultPlan CountingWrites() {
    FaultPlan plan;
    plan.counted = static_cast<uint32_t>(FileOperation::Write) | static_cast<uint32_t>(FileOperation::SetSize);
    return plan;
  }

  // Each resource's bytes as qpxtool extracts them.
  Resources Held() {
    ResourceArchive archive(*fileSystem);
    EXPECT_TRUE(archive.OpenArchive());
    Resources held;
    for (const uint32_t number : kNumbers) {
      Bytes bytes;
      if (number < kEntryCount) {
        const ArchiveIndexEntry entry = archive.Entries()[number];
        bytes.resize(entry.size);
        EXPECT_TRUE(archive.ReadData(entry.offset, bytes));
      } else {
        const Bytes file = test::ReadFile(dir.Path() / "res" / LooseFileName(number - kEntryCount));
        LooseFileHeader header{};
        std::memcpy(&header, file.data(), sizeof header);
        bytes.assign(file.begin() + sizeof header, file.begin() + sizeof header + header.totalSize);
        EXPECT_EQ(file, LooseFileImage(bytes)) << "laid out as the patcher writes it";
      }
      held[number] = bytes;
    }
    return held;
  }
  Folder Snapshot() const { return test::ReadFolder(dir.Path(), "patch.exe"); }

  ScratchDirectory dir;
  std::unique_ptr<CFileSystem> fileSystem = CreatePlatformFileSystem();
  std::wstring output;
};

TEST_F(MultiVersionTest, EveryOldVersionAndAMixOfThemEndAsTheNewOneAndARunAgainFindsItApplied) {
  const Bytes patch = test::BuildMultiVersionPatchFile(kImage, labels, PatchesFrom({0, 1}));
  // Whole bodies are stored once for all the alternatives that write them.
  const std::vector<PatchRecordV3> records = test::RecordsOf(patch);
  ASSERT_EQ(records.size(), 8u);
  EXPECT_EQ(records[0].bodyOffset, records[1].bodyOffset) << "entry 3's stored body";
  EXPECT_EQ(records[6].bodyOffset, records[7].bodyOffset) << "loose file 2's compressed body";
  EXPECT_NE(records[3].bodyOffset, records[4].bodyOffset) << "entry 6's deltas";

  Resources mixed = Release(0);
  mixed[6] = Release(1).at(6);
  mixed[1209] = Release(1).at(1209);
  mixed[1207] = Release(2).at(1207);
  for (const Resources& start : {Release(0), Release(1), mixed}) {
    Lay(start);
    ASSERT_TRUE(Run(patch)) << std::string(output.begin(), output.end());
    EXPECT_EQ(Held(), Release(2));
    const Folder patched = Snapshot();
    FaultPlan writes = CountingWrites();
    EXPECT_TRUE(Run(patch, writes));
    EXPECT_EQ(writes.operations, 0u) << "a game already patched is not written to";
    EXPECT_EQ(output, L"Processing patch 3\nAlready applied\nProcessing patch 5\nAlready applied\nProcessing patch 6\n"
                      L"Already applied\nProcessing patch 1207\nAlready applied\nProcessing patch 1209\n"
                      L"Already applied\nSuccess!\n");
    EXPECT_EQ(Snapshot(), patched);
  }
  // Each resource is named once, whichever alternative the game takes.
  Lay(Release(1));
  ASSERT_TRUE(Run(patch));
  EXPECT_EQ(output, L"Processing patch 3\nDone\nProcessing patch 5\nDone\nProcessing patch 6\nDone\n"
                    L"Processing patch 1207\nAlready applied\nProcessing patch 1209\nDone\nSuccess!\n");
}

TEST_F(MultiVersionTest, FourVersionsInOnePatch) {
  // 1.0 and 1.1 as above, and a 1.1b that shares entry 6 with 1.0 and holds
  // a fourth entry 3 of its own.
  Resources third = Release(1);
  third[3] = SampleBody(51, 100);
  third[6] = Release(0).at(6);
  std::vector<MultiVersionPatch> patches = PatchesFrom({0, 1});
  patches[0].alternatives.push_back({third[3], 0b100, BodyEncoding::Stored});
  patches[2].alternatives[0].versions |= 0b100;  // 1.0's entry 6
  patches[4].alternatives[1].versions |= 0b100;  // 1.1's loose file 2
  const Bytes patch = test::BuildMultiVersionPatchFile(kImage, {"1.2", "1.0", "1.1", "1.1b"}, patches);
  for (const Resources& start : {Release(0), Release(1), third}) {
    Lay(start);
    ASSERT_TRUE(Run(patch)) << std::string(output.begin(), output.end());
    EXPECT_EQ(Held(), Release(2));
  }
}

TEST_F(MultiVersionTest, AVersionThePatchDoesNotKnowIsRefusedNamingTheVersionsItUpdates) {
  const Bytes patch = test::BuildMultiVersionPatchFile(kImage, {"1.2", "1.0", "1.1 \xC3\xA9\x01"}, PatchesFrom({0, 1}));
  Resources modded = Release(1);
  modded[6][1000] ^= 1;  // of no release
  Lay(modded);
  const Folder before = Snapshot();
  FaultPlan writes = CountingWrites();
  EXPECT_FALSE(Run(patch, writes));
  const std::wstring here = fs::current_path().wstring();
  EXPECT_TRUE(output.starts_with(L"Resource 6 (entry 6) is from another version of the game\nThe game in " + here +
                                 L" is not one this patch knows: entry 6 holds 200,064 bytes"))
      << std::string(output.begin(), output.end());
  EXPECT_TRUE(output.ends_with(L"\nNothing was changed\nThis patch updates 1.0, 1.1 \\xC3\\xA9\\x01 to 1.2\n"))
      << std::string(output.begin(), output.end());
  // What each old version holds there, not one of them alone.
  const std::size_t where = output.find(L"), where 1.0 holds ");
  EXPECT_NE(where, std::wstring::npos) << std::string(output.begin(), output.end());
  EXPECT_NE(output.find(L", 1.1 \\xC3\\xA9\\x01 holds ", where), std::wstring::npos)
      << std::string(output.begin(), output.end());
  EXPECT_EQ(writes.operations, 0u);
  EXPECT_EQ(Snapshot(), before);

  // --check says the same and changes nothing; --help names the versions.
  EXPECT_FALSE(Run(patch, writes, {L"--check"}));
  EXPECT_TRUE(output.ends_with(L"nothing was changed\nThis patch updates 1.0, 1.1 \\xC3\\xA9\\x01 to 1.2\n"));
  EXPECT_TRUE(Run(patch, writes, {L"--help"}));
  EXPECT_NE(output.find(L"payload format 3, 5 records, "), std::wstring::npos) << "five resources, each once";
  EXPECT_NE(output.find(L"\nThis patch updates 1.0, 1.1 \\xC3\\xA9\\x01 to 1.2.\n"), std::wstring::npos);
  EXPECT_EQ(writes.operations, 0u);
  EXPECT_EQ(Snapshot(), before);
}

// A version-3 payload whose seal holds but whose records or labels say what
// no writer writes is damaged, and nothing is written.
TEST_F(MultiVersionTest, AlternativesThatMakeNoSenseAreDamage) {
  Lay(Release(0));
  const Folder before = Snapshot();
  const Bytes patch = test::BuildMultiVersionPatchFile(kImage, labels, PatchesFrom({0, 1}));
  const std::vector<PatchRecordV3> records = test::RecordsOf(patch);
  PayloadTrailerHeaderV2 header;
  std::memcpy(&header, patch.data() + patch.size() - sizeof(PayloadTrailer), sizeof header);
  const auto forge = [&](std::vector<PatchRecordV3> edited, const Bytes& versions) {
    Bytes forged(patch.begin(), patch.begin() + static_cast<std::ptrdiff_t>(header.tableOffset));
    test::AppendMultiVersionTable(forged, kImage.size(), edited, versions);
    return forged;
  };
  const Bytes good = test::VersionsBlock(labels);
  Bytes badMagic = good;
  badMagic[0] ^= 1;
  Bytes emptyLabel = test::VersionsBlock({"1.2", "", "1.1"});
  Bytes tooFew = test::VersionsBlock({"1.2"});
  Bytes longLabel = test::VersionsBlock({"1.2", std::string(kMaxLabelLength + 1, 'x'), "1.1"});
  Bytes shortCount = good;
  shortCount[8] = 2;  // three labels follow
  const auto edit = [&](std::size_t i, void (*change)(PatchRecordV3&)) {
    std::vector<PatchRecordV3> edited = records;
    change(edited[i]);
    return edited;
  };
  const std::pair<const char*, Bytes> cases[] = {
      {"an alternative of another result", forge(edit(1, [](PatchRecordV3& r) { r.resultHash[0] ^= 1; }), good)},
      {"an alternative without a base", forge(edit(0, [](PatchRecordV3& r) { r.flags = 0; }), good)},
      {"a record for no version", forge(edit(0, [](PatchRecordV3& r) { r.versions = 0; }), good)},
      {"a version past the labels", forge(edit(0, [](PatchRecordV3& r) { r.versions = 0b101; }), good)},
      {"one version named by two alternatives", forge(edit(1, [](PatchRecordV3& r) { r.versions = 0b11; }), good)},
      {"labels without their magic", forge(records, badMagic)},
      {"an empty label", forge(records, emptyLabel)},
      {"no label for an old version", forge(records, tooFew)},
      {"a label too long", forge(records, longLabel)},
      {"more labels than counted", forge(records, shortCount)},
  };
  for (const auto& [what, forged] : cases) {
    FaultPlan writes = CountingWrites();
    EXPECT_FALSE(Run(forged, writes)) << what;
    EXPECT_EQ(output, L"Patch data is damaged\nDownload the patch again; nothing was changed\n") << what;
    EXPECT_EQ(writes.operations, 0u) << what;
  }
  // Two alternatives of one base: no game could tell which it takes.
  {
    std::vector<PatchRecordV3> same = records;
    std::memcpy(same[1].baseHash, same[0].baseHash, 16);
    same[1].baseSize = same[0].baseSize;
    EXPECT_FALSE(Run(forge(same, good)));
    EXPECT_EQ(output, L"Patch data is damaged\nDownload the patch again; nothing was changed\n");
  }
  // No versions block at all: the table runs into the seal.
  {
    Bytes forged(patch.begin(), patch.begin() + static_cast<std::ptrdiff_t>(header.tableOffset));
    test::AppendMultiVersionTable(forged, kImage.size(), records, {});
    EXPECT_FALSE(Run(forged));
    EXPECT_NE(output, L"") << "refused";
    EXPECT_EQ(output.find(L"Processing patch"), std::wstring::npos);
  }
  EXPECT_EQ(Snapshot(), before);
}

// A patcher that knows versions 1 and 2 only refuses a version-3 payload at
// its trailer, before it opens the game: the reader's own check of the
// version, seen here on a version past 3.
TEST_F(MultiVersionTest, AnUnknownPayloadVersionIsRefusedBeforeTheGameIsOpened) {
  Lay(Release(0));
  const Folder before = Snapshot();
  Bytes patch = test::BuildMultiVersionPatchFile(kImage, labels, PatchesFrom({0, 1}));
  patch[patch.size() - sizeof(PayloadTrailer)] = 4;
  FaultPlan writes = CountingWrites();
  EXPECT_FALSE(Run(patch, writes));
  EXPECT_EQ(output, L"Can't read patch header\nDownload the patch again; nothing was changed\n");
  EXPECT_EQ(writes.operations, 0u);
  EXPECT_EQ(Snapshot(), before);
}

// Any one byte of a version-3 payload changed: refused before the game is
// touched, shared bodies and the versions block included.
TEST_F(MultiVersionTest, NoSingleChangedByteReachesTheGame) {
  Lay(Release(1));
  const Folder before = Snapshot();
  std::vector<MultiVersionPatch> patches = PatchesFrom({0, 1});
  patches.erase(patches.begin() + 2);  // the large delta: every 5th of its bytes would take long
  const Bytes patch = test::BuildMultiVersionPatchFile(kImage, labels, patches);
  PayloadTrailerHeaderV2 header;
  std::memcpy(&header, patch.data() + patch.size() - sizeof(PayloadTrailer), sizeof header);
  int refused = 0;
  for (std::size_t at = kImage.size(); at < patch.size(); at += at < header.tableOffset ? 7 : 1) {
    Bytes changed = patch;
    changed[at] ^= at % 2 == 0 ? uint8_t{0x01} : uint8_t{0x80};
    FaultPlan writes = CountingWrites();
    const bool success = Run(changed, writes);
    SCOPED_TRACE("byte " + std::to_string(at) + ": " + std::string(output.begin(), output.end()));
    EXPECT_FALSE(success);
    EXPECT_EQ(writes.operations, 0u);
    EXPECT_EQ(output.find(L"Processing patch"), std::wstring::npos);
    if (HasFailure()) return;
    ++refused;
  }
  EXPECT_EQ(Snapshot(), before);
  std::cout << "[ changed-byte cases of a version-3 payload: " << refused << ", every one refused ]\n";
}

}  // namespace
}  // namespace qpx
