// Checks of the run that only a game in a particular state reaches: a
// stopped run's journal whose seal does not hold, a sealed journal whose
// bytes would run past the data file, a patch at the limits of what a
// version-3 payload may name, and alternatives that name one old version
// twice, not side by side.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "src/app/journal/RunJournal.h"
#include "src/app/payload/ContentDigest.h"
#include "src/archive/LooseFile.h"
#include "tests/support/GameRunFixture.h"
#include "tests/support/MultiVersionPatch.h"

namespace qpx {
namespace {

using test::BuildCheckedPatchFile;
using test::FaultPlan;
using test::kImage;
using test::Narrow;
using test::ReadFile;
using test::WriteFile;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// A journal's check: the first 8 bytes of the digest of `bytes`.
uint64_t CheckOf(const Bytes& bytes) {
  ContentDigest digest;
  digest.Update(bytes);
  const ContentDigest::Value value = digest.Finish();
  uint64_t check = 0;
  std::memcpy(&check, value.data(), sizeof check);
  return check;
}

template <typename T>
void Put(Bytes& bytes, const T& value) {
  const auto* raw = reinterpret_cast<const uint8_t*>(&value);
  bytes.insert(bytes.end(), raw, raw + sizeof value);
}

// A sealed journal of one data write of `length` bytes at `offset`, as a
// stopped run would leave one whose header, item and seal all hold.
Bytes SealedJournalOfOneWrite(uint64_t dataSizeBefore, uint64_t offset, uint64_t length) {
  JournalHeader header{};
  std::memcpy(header.magic, "QPXJRNL1", 8);
  header.dataSizeBefore = dataSizeBefore;
  Bytes journal;
  Put(journal, header);
  header.check = CheckOf(Bytes(journal.begin(), journal.begin() + offsetof(JournalHeader, check)));
  journal.clear();
  Put(journal, header);
  Put(journal, JournalItemHead{static_cast<uint32_t>(JournalItemKind::DataWrite), 3, offset, length, 0});
  journal.insert(journal.end(), static_cast<std::size_t>(length), 0xA5);
  JournalCommit commit{};
  std::memcpy(commit.magic, "QPXCOMIT", 8);
  commit.length = journal.size();
  commit.items = 1;
  commit.check = CheckOf(journal);
  Put(journal, commit);
  return journal;
}

class HeldChecksTest : public test::GameRunFixture {
 protected:
  void SetUp() override {
    game.AddEntry(3, SampleBody(1, 100));  // in place: its bytes go through the journal
    game.AddEntry(4, SampleBody(2, 40));   // grows: appended to DATA1.QPX
    game.AddLooseFile(2, LooseFileImage(SampleBody(5, 100)));
    ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
    original = Snapshot();
    patch = BuildCheckedPatchFile(kImage, {{3, SampleBody(11, 100), BodyEncoding::Stored, SampleBody(1, 100)},
                                                {4, SampleBody(12, 300), BodyEncoding::Stored, SampleBody(2, 40)},
                                                {1209, SampleBody(13, 700), BodyEncoding::Stored, SampleBody(5, 100)}});
    PutPatch(patch);
  }

  static RunSettings Asking(PatcherRequest request) {
    RunSettings settings;
    settings.arguments.request = request;
    return settings;
  }
  bool Run(const RunSettings& settings = {}) {
    FaultPlan plan;
    return RunPatch(plan, settings).Succeeded();
  }

  // The journal of a run stopped right after its commit (the stop asked for
  // while its last record is staged): sealed, and nothing of it in place.
  Bytes CommittedJournal() {
    EXPECT_TRUE(game.Write(*files, dir.Path().wstring()));
    test::StoppingConsole stopping(L"Processing patch 1209\n");
    EXPECT_FALSE(RunPatcher(*files, dir.Wide(kPatchName), stopping));
    EXPECT_TRUE(stopping.Text().ends_with(L"Stopped: run the patch again to finish\n")) << Narrow(stopping.Text());
    EXPECT_EQ(ReadFile(dir.Path() / "DATA0.QPX"), original.at("DATA0.QPX")) << "nothing in place yet";
    return ReadFile(dir.Path() / "QPXPATCH.JNL");
  }

  Folder original;
  Bytes patch;
};

// A journal is replayed only when its commit record seals every byte
// before it. Changed bytes, or a commit record whose check never reached
// the disk, are a run that never committed: it is taken back, and the run
// writes every record itself. Replayed, a changed item would put bytes no
// patch makes into the game.
TEST_F(HeldChecksTest, AJournalWhoseSealDoesNotHoldIsUndoneNotReplayed) {
  ASSERT_TRUE(Run()) << Narrow(output);
  const Folder clean = Snapshot();
  const std::wstring allDone = L"Processing patch 3\nDone\nProcessing patch 4\nDone\nProcessing patch 1209\nDone\n"
                               L"Success!\n";

  // As it was written: replayed, so the run finds every record in.
  WriteFile(dir.Path() / "QPXPATCH.JNL", CommittedJournal());
  ASSERT_TRUE(Run()) << Narrow(output);
  EXPECT_EQ(output, L"Processing patch 3\nAlready applied\nProcessing patch 4\nAlready applied\n"
                    L"Processing patch 1209\nAlready applied\nSuccess!\n");
  EXPECT_EQ(Snapshot(), clean);

  const std::pair<const char*, void (*)(Bytes&)> cases[] = {
      {"a byte of a staged item changed",  // entry 3's body, the first item
       [](Bytes& journal) { journal[sizeof(JournalHeader) + sizeof(JournalItemHead) + 10] ^= 0x40; }},
      {"the commit record torn before its check",
       [](Bytes& journal) { std::fill(journal.end() - 8, journal.end(), uint8_t{0}); }},
      {"a bit of the commit record's check changed", [](Bytes& journal) { journal.back() ^= 1; }},
  };
  for (const auto& [what, change] : cases) {
    SCOPED_TRACE(what);
    Bytes journal = CommittedJournal();
    ASSERT_GT(journal.size(), sizeof(JournalHeader) + sizeof(JournalItemHead) + 10 + sizeof(JournalCommit));
    change(journal);
    WriteFile(dir.Path() / "QPXPATCH.JNL", journal);

    // --check says it will be taken back, and leaves it.
    EXPECT_TRUE(Run(Asking(PatcherRequest::Check))) << Narrow(output);
    EXPECT_NE(output.find(L"QPXPATCH.JNL holds a run that was stopped before its changes were sealed"),
              std::wstring::npos) << Narrow(output);
    EXPECT_EQ(ReadFile(dir.Path() / "QPXPATCH.JNL"), journal);

    EXPECT_TRUE(Run()) << Narrow(output);
    EXPECT_EQ(output, allDone) << "nothing of the stopped run was in";
    EXPECT_EQ(Snapshot(), clean);
    EXPECT_FALSE(fs::exists(dir.Path() / "QPXPATCH.JNL"));
  }
}

// Bytes in place lie inside DATA1.QPX (but for a slot's fill, under 32
// bytes past its end). A sealed journal whose write starts inside the data
// file but runs on past that is none of ours: it is not carried out, and
// the data file is not stretched.
TEST_F(HeldChecksTest, ASealedJournalWriteRunningPastTheDataFileIsNotCarriedOut) {
  const uint64_t dataSize = original.at("DATA1.QPX").size();
  ASSERT_GE(dataSize, 64u);
  const std::pair<const char*, Bytes> cases[] = {
      {"from the first byte to 1 MiB past the end", SealedJournalOfOneWrite(dataSize, 0, dataSize + (1u << 20))},
      {"from near the end to a byte past any slot's fill", SealedJournalOfOneWrite(dataSize, dataSize - 8, 8 + 32)},
  };
  for (const auto& [what, journal] : cases) {
    SCOPED_TRACE(what);
    WriteFile(dir.Path() / "QPXPATCH.JNL", journal);
    EXPECT_FALSE(Run());
    EXPECT_EQ(output, L"Stopped: run the patch again to finish\nSettling QPXPATCH.JNL in " + Here() +
                          L", left by a run that was stopped, failed\n");
    fs::remove(dir.Path() / "QPXPATCH.JNL");
    EXPECT_EQ(Snapshot(), original);
  }
}

// The version-3 limits are limits, not one past them: a label of 32 bytes
// and 64 old versions (every bit of a record's `versions`, which fill the
// largest versions block a writer makes) are a patch the patcher takes.
TEST_F(HeldChecksTest, APatchForSixtyFourOldVersionsWithLabelsOfThirtyTwoBytesApplies) {
  std::vector<std::string> labels;
  for (uint32_t i = 0; i <= kMaxOldVersions; ++i) {
    std::string label(i == 0 ? "new release" : "old release ");
    if (i != 0) label += std::to_string(i);
    label += ' ';
    label.resize(kMaxLabelLength, '.');
    labels.push_back(label);
  }
  ASSERT_EQ(test::VersionsBlock(labels).size(), sizeof(PayloadVersionsHeader) + kMaxLabelBytes);
  // Entry 3 as the 64th old version holds it, entry 4 as the first does.
  const Bytes result = test::BuildMultiVersionPatchFile(
      kImage, labels,
      {{3, SampleBody(11, 100), {{SampleBody(1, 100), uint64_t{1} << 63, BodyEncoding::Stored}}},
       {4, SampleBody(12, 300), {{SampleBody(2, 40), 1, BodyEncoding::Stored}}}});
  PutPatch(result);

  std::string olds;
  for (std::size_t i = 1; i < labels.size(); ++i) olds += (i == 1 ? "" : ", ") + labels[i];
  EXPECT_TRUE(Run(Asking(PatcherRequest::Describe))) << Narrow(output);
  EXPECT_NE(Narrow(output).find("\nThis patch updates " + olds + " to " + labels[0] + ".\n"), std::string::npos)
      << Narrow(output);

  ASSERT_TRUE(Run()) << Narrow(output);
  EXPECT_EQ(output, L"Processing patch 3\nDone\nProcessing patch 4\nDone\nSuccess!\n");
}

// Of a resource's alternatives no two may name one old version, wherever
// they stand in the table: the first and the third as much as two side by
// side. A game of that version could not tell which one is its.
TEST_F(HeldChecksTest, AlternativesNamingOneVersionApartAreDamage) {
  const Bytes result = SampleBody(11, 100);
  const auto alternatives = [](std::initializer_list<uint64_t> versions) {
    std::vector<test::Alternative> made;
    uint32_t seed = 1;
    for (const uint64_t named : versions) made.push_back({SampleBody(seed++ * 10, 100), named, BodyEncoding::Stored});
    return made;
  };
  const std::pair<const char*, Bytes> cases[] = {
      {"the first and the third name 1.0",
       test::BuildMultiVersionPatchFile(kImage, {"1.2", "1.0", "1.1"},
                                        {{3, result, alternatives({0b01, 0b10, 0b01})}})},
      {"the first and the third share 1.1b among others",
       test::BuildMultiVersionPatchFile(kImage, {"1.2", "1.0", "1.1", "1.1b"},
                                        {{3, result, alternatives({0b101, 0b010, 0b100})}})},
  };
  for (const auto& [what, forged] : cases) {
    SCOPED_TRACE(what);
    PutPatch(forged);
    FaultPlan writes = CountingWrites();
    EXPECT_FALSE(RunPatch(writes).Succeeded());
    EXPECT_EQ(output, L"Patch data is damaged\nDownload the patch again; nothing was changed\n");
    EXPECT_EQ(writes.operations, 0u);
    EXPECT_EQ(Snapshot(), original);
  }
}

}  // namespace
}  // namespace qpx
