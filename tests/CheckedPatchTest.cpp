// Version-2 patches in process: every record is checked against the game
// before anything is written, so that a patch for another version of the
// game, or one whose writes cannot all succeed, changes nothing; a game
// already patched is left alone; a run that stopped midway is finished by
// the next; and no body reaches the game unless it hashes to its result.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>

#include "src/app/journal/RunJournal.h"
#include "src/app/payload/PayloadSeal.h"
#include "src/app/run/PatchRunner.h"
#include "src/archive/LooseFile.h"
#include "src/archive/ResourceArchive.h"
#include "src/filesystem/ProcessSetup.h"
#include "tests/support/GameRunFixture.h"

namespace qpx {
namespace {

using test::AppendCheckedTable;
using test::BuildCheckedPatchFile;
using test::CheckedPatch;
using test::FaultPlan;
using test::FileOperation;
using test::HashOf;
using test::kImage;
using test::ReadFile;
using test::ScratchDirectory;
using test::WriteFile;
using Bytes = std::vector<uint8_t>;
using test::Words;
using Folder = std::map<std::string, Bytes>;
namespace fs = std::filesystem;

// A program's new version, as an update makes it: `base` with bytes
// inserted, deleted, changed in place and a block moved.
Bytes Edited(const Bytes& base) {
  Bytes edited(base.begin(), base.begin() + 5000);
  const Bytes inserted = SampleBody(77, 100);
  edited.insert(edited.end(), inserted.begin(), inserted.end());
  edited.insert(edited.end(), base.begin() + 5000, base.begin() + 50000);
  edited.insert(edited.end(), base.begin() + 50300, base.end());  // 300 bytes deleted
  for (std::size_t i = 150000; i < 150016; ++i) edited[i] ^= 0x5A;
  edited.insert(edited.end(), base.begin() + 20000, base.begin() + 22000);  // a block repeated at the end
  return edited;
}

// The first 8 bytes of a hash in hex, as the messages show it.
std::wstring Hex(const ContentHash& hash) {
  std::wstring text;
  for (std::size_t i = 0; i < 8; ++i) {
    text += L"0123456789abcdef"[hash[i] >> 4];
    text += L"0123456789abcdef"[hash[i] & 15];
  }
  return text;
}

// Stops the run after `doneLines` patches, as a killed process would: the
// line is the last thing the patcher does for a patch.
struct Killed {};
class KillingConsole final : public Console {
 public:
  explicit KillingConsole(int doneLines) : left_(doneLines) {}
  void Write(std::wstring_view text) override {
    text_ += text;
    if ((text == L"Done\n" || text == L"Already applied\n") && --left_ == 0) throw Killed{};
  }
  const std::wstring& Text() const { return text_; }

 private:
  int left_;
  std::wstring text_;
};

class CheckedPatchTest : public test::GameRunFixture {
 protected:
  void SetUp() override {
    game.AddEntry(3, SampleBody(1, 100));               // replaced in place
    game.AddEntry(4, SampleBody(2, 40), /*attributes=*/1);  // appended for its attributes
    game.AddEntry(5, Words(3, 3000));                   // grows, compressed
    game.AddEntry(6, SampleBody(6, 200000));            // edited: a delta
    game.AddLooseFile(0, LooseFileImage(SampleBody(4, 5000)));  // cut shorter
    game.AddLooseFile(2, LooseFileImage(Words(5, 100)));        // grows, compressed
    ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
    original = Snapshot();
  }

  // The patch from this game to new bytes for each of those resources.
  std::vector<CheckedPatch> Patches(bool withBase = true) const {
    std::vector<CheckedPatch> patches = {
        {3, SampleBody(11, 120), BodyEncoding::Stored, SampleBody(1, 100)},
        {4, SampleBody(12, 40), BodyEncoding::Stored, SampleBody(2, 40)},
        {5, Words(13, 20000), BodyEncoding::Lzma, Words(3, 3000)},
        {6, Edited(SampleBody(6, 200000)), BodyEncoding::Delta, SampleBody(6, 200000)},
        {1207, SampleBody(14, 700), BodyEncoding::Stored, SampleBody(4, 5000)},
        {1209, Words(15, 90000), BodyEncoding::Lzma, Words(5, 100)},
    };
    if (!withBase) {
      for (CheckedPatch& patch : patches) patch.base.reset();
      patches[3].coding = BodyEncoding::Lzma;  // a delta needs its base
    }
    return patches;
  }

  // Runs `patch` through a file layer that counts (and may fail) what
  // `plan` says; the run's text goes to `output`.
  bool Run(const Bytes& patch, FaultPlan& plan) {
    PutPatch(patch);
    return RunPatch(plan).Succeeded();
  }
  bool Run(const Bytes& patch) {
    FaultPlan plan;
    return Run(patch, plan);
  }

  // A record of `patch` edited as a forger would, the seal made right again.
  static Bytes Forge(const Bytes& patch, std::size_t record, void (*edit)(PatchRecordV2&)) {
    Payload payload;
    PayloadTrailerHeaderV2 header;
    std::memcpy(&header, patch.data() + patch.size() - sizeof(PayloadTrailer), sizeof header);
    std::vector<PatchRecordV2> records(header.recordCount);
    std::memcpy(records.data(), patch.data() + header.tableOffset, records.size() * sizeof(PatchRecordV2));
    edit(records[record]);
    Bytes forged(patch.begin(), patch.begin() + static_cast<std::ptrdiff_t>(header.tableOffset));
    AppendCheckedTable(forged, kImage.size(), records);
    return forged;
  }

  Folder original;
};

TEST_F(CheckedPatchTest, AppliesEveryRecordAndASecondRunWritesNothing) {
  const Bytes patch = BuildCheckedPatchFile(kImage, Patches());
  ASSERT_TRUE(Run(patch)) << std::string(output.begin(), output.end());
  EXPECT_EQ(output,
            L"Processing patch 3\nDone\nProcessing patch 4\nDone\nProcessing patch 5\nDone\nProcessing patch 6\nDone\n"
            L"Processing patch 1207\nDone\nProcessing patch 1209\nDone\nSuccess!\n");
  const Folder patched = Snapshot();
  EXPECT_EQ(patched.at("res/D00000.bin"), LooseFileImage(SampleBody(14, 700)));
  EXPECT_EQ(patched.at("res/D00002.bin"), LooseFileImage(Words(15, 90000)));

  // The same game as a version-1 patch of the same bodies leaves it.
  ScratchDirectory reference;
  ASSERT_TRUE(game.Write(*files, reference.Path().wstring()));
  std::vector<test::TestPatch> plain;
  for (const CheckedPatch& p : Patches()) plain.push_back({p.resourceNumber, p.body});
  WriteFile(reference.Path() / "patch.exe", test::BuildPatchFile(kImage, plain));
  CapturedConsole console;
  ASSERT_TRUE(RunPatcher(*files, reference.Wide("patch.exe"), console));
  for (const auto& [name, bytes] : patched) EXPECT_EQ(ReadFile(reference.Path() / name), bytes) << name;

  FaultPlan writes = CountingWrites();
  EXPECT_TRUE(Run(patch, writes));
  EXPECT_EQ(writes.operations, 0u) << "a game already patched is not written to";
  EXPECT_EQ(output,
            L"Processing patch 3\nAlready applied\nProcessing patch 4\nAlready applied\nProcessing patch 5\n"
            L"Already applied\nProcessing patch 6\nAlready applied\nProcessing patch 1207\nAlready applied\n"
            L"Processing patch 1209\nAlready applied\nSuccess!\n");
  EXPECT_EQ(Snapshot(), patched);
}

TEST_F(CheckedPatchTest, APatchForAnotherVersionChangesNothing) {
  // The game has moved on: entry 5 and the second loose file are not what
  // the patch was made from; the records before them would apply.
  std::vector<CheckedPatch> patches = Patches();
  patches[2].base = Words(99, 3000);
  patches[5].base = Words(98, 100);
  FaultPlan writes = CountingWrites();
  EXPECT_FALSE(Run(BuildCheckedPatchFile(kImage, patches), writes));
  EXPECT_EQ(output,
            L"Resource 5 (entry 5) is from another version of the game\n" +
                test::Shown(L"Resource 1209 (res\\D00002.bin) is from another version of the game\n") +
                L"The game in " + Here() + L" is not one this patch knows: entry 5 holds 3,000 bytes (XXH3 " +
                Hex(HashOf(Words(3, 3000))) + L"), where the patch expects 3,000 bytes (XXH3 " +
                Hex(HashOf(Words(99, 3000))) + L")\n"
            L"Nothing was changed\n");
  EXPECT_EQ(writes.operations, 0u);
  EXPECT_EQ(Snapshot(), original);
}

// Each check on its own, with the record that fails it last in the table:
// the run ends before its first write, naming the resource.
TEST_F(CheckedPatchTest, EachFailedCheckEndsTheRunBeforeAnyWrite) {
  struct Case {
    const char* what;
    std::function<Bytes()> patch;
    std::function<void(FaultPlan&)> prepare;
    std::wstring message;
  };
  const auto with = [&](CheckedPatch extra) {
    std::vector<CheckedPatch> patches = Patches();
    patches.push_back(std::move(extra));
    return BuildCheckedPatchFile(kImage, patches);
  };
  const auto none = [](FaultPlan&) {};
  // A loose file that is not a loose file; an entry whose record points
  // far past the end of the data file, where the body would go in place.
  WriteFile(dir.Path() / "res" / "D00003.bin", Bytes(3000, 7));
  Bytes index = ReadFile(dir.Path() / "DATA0.QPX");
  ArchiveIndexEntry far{uint64_t{1} << 40, 64, 64, 0};
  std::memcpy(index.data() + 9 * sizeof far, &far, sizeof far);
  WriteFile(dir.Path() / "DATA0.QPX", index);
  game.AddLooseFile(3, Bytes(3000, 7));
  original = Snapshot();

  const std::vector<Case> cases = {
      {"no such resource", [&] { return with({2715, Bytes(10, 1), BodyEncoding::Stored, {}}); }, none,
       L"Resource 2715 is not a resource of the game"},
      {"too large for a loose file",
       [&] {
         return Forge(with({1208, Bytes(10, 1), BodyEncoding::Stored, {}}), 6,
                      [](PatchRecordV2& r) { r.resultSize = kLooseMaxBodySize + 1; r.encoding = 1; });
       },
       none, test::Shown(L"Resource 1208 (res\\D00001.bin) is too large for a loose file (at most 132,907,008 bytes)")},
      {"a loose file's size so large that its count of blocks would wrap to none",
       [&] {
         return Forge(with({1208, Bytes(10, 1), BodyEncoding::Stored, {}}), 6,
                      [](PatchRecordV2& r) { r.resultSize = UINT64_MAX; r.encoding = 1; });
       },
       none, test::Shown(L"Resource 1208 (res\\D00001.bin) is too large for a loose file (at most 132,907,008 bytes)")},
      {"a missing loose file", [&] { return with({1300, Bytes(10, 1), BodyEncoding::Stored, {}}); }, none,
       test::Shown(L"Resource 1300 (res\\D00093.bin) is missing")},
      {"a read-only loose file late in the table", [&] { return with({1207 + 2, Words(1, 10), BodyEncoding::Stored, {}}); },
       [](FaultPlan& plan) { plan.readOnly.insert(L"res\\D00002.bin"); },
       test::Shown(L"Resource 1209 (res\\D00002.bin) cannot be written (is it read-only?)")},
      {"not a loose file, where the patch needs its bytes",
       [&] { return with({1210, Bytes(10, 1), BodyEncoding::Stored, Bytes(10, 2)}); }, none,
       test::Shown(L"Resource 1210 (res\\D00003.bin) is not a loose resource file")},
      {"an entry in place far outside DATA1.QPX", [&] { return with({9, Bytes(60, 1), BodyEncoding::Stored, {}}); }, none,
       L"Resource 9 (entry 9) points outside DATA1.QPX"},
      {"a data file that cannot be read", [&] { return with({6, Bytes(10, 1), BodyEncoding::Stored, {}}); },
       [](FaultPlan& plan) { plan.unreadable.insert(L"DATA1.QPX"); }, L"Resource 3 (entry 3) cannot be read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FaultPlan plan = CountingWrites();
    c.prepare(plan);
    const Bytes patch = c.patch();
    EXPECT_FALSE(Run(patch, plan));
    EXPECT_EQ(plan.operations, 0u) << "nothing written";
    EXPECT_NE(output.find(c.message), std::wstring::npos) << std::string(output.begin(), output.end());
    EXPECT_TRUE(output.ends_with(L"Nothing was changed\n"));
    EXPECT_EQ(output.find(L"Processing patch"), std::wstring::npos);
    EXPECT_EQ(Snapshot(), original);
  }
}

TEST_F(CheckedPatchTest, ADiskTooSmallForWhatTheRunAddsChangesNothing) {
  const Bytes patch = BuildCheckedPatchFile(kImage, Patches());
  // What the run adds: entry 3 stays in its slot, 4 and 5 are appended,
  // the first loose file shrinks and the second grows.
  const uint64_t adds = SlotLength(40) + SlotLength(20000) + SlotLength(Edited(SampleBody(6, 200000)).size()) +
                        LooseFileLength(90000) - LooseFileLength(100);
  // And its journal, while it runs: the header and commit, entry 3's body
  // and record, the other entries' records, both loose files' bodies.
  const uint64_t journal = 96 + (64 + 32 + SlotLength(120)) + 3 * 64 + (32 + 700) + (32 + 90000);
  FaultPlan small = CountingWrites();
  small.freeSpace = adds + journal - 1;
  small.allocationUnit = 1;
  EXPECT_FALSE(Run(patch, small));
  EXPECT_EQ(output, L"Not enough disk space: the patch needs 1 bytes more\nFree 1 byte more on the disk of " + Here() +
                        L": it has " + std::to_wstring(adds + journal - 1).insert(3, L",") + L" free, the run takes " +
                        std::to_wstring(adds + journal).insert(3, L",") + L"\nNothing was changed\n");
  EXPECT_EQ(small.operations, 0u);
  EXPECT_EQ(Snapshot(), original);

  FaultPlan enough;
  enough.freeSpace = adds + journal;
  enough.allocationUnit = 1;
  EXPECT_TRUE(Run(patch, enough)) << std::string(output.begin(), output.end());
  EXPECT_EQ(std::filesystem::file_size(dir.Path() / "DATA1.QPX") + std::filesystem::file_size(dir.Path() / "res" / "D00000.bin") +
                std::filesystem::file_size(dir.Path() / "res" / "D00002.bin"),
            original.at("DATA1.QPX").size() + original.at("res/D00000.bin").size() +
                original.at("res/D00002.bin").size() + adds - (LooseFileLength(5000) - LooseFileLength(700)));
}

// A run stopped after any number of patches (the process killed, or
// its console's output failing) is finished by the next: nothing of it
// reached the game before its commit, and the next run undoes what it
// staged and applies the whole patch, leaving the game as one clean run.
TEST_F(CheckedPatchTest, ARunStoppedBetweenTwoPatchesIsFinishedByTheNext) {
  const Bytes patch = BuildCheckedPatchFile(kImage, Patches());
  ASSERT_TRUE(Run(patch));
  const Folder clean = Snapshot();
  for (int k = 1; k <= 5; ++k) {
    SCOPED_TRACE("stopped after " + std::to_string(k));
    ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
    std::filesystem::remove(dir.Path() / "QPXPATCH.JNL");
    ASSERT_EQ(Snapshot(), original);
    WriteFile(dir.Path() / "patch.exe", patch);
    KillingConsole killing(k);
    EXPECT_THROW(RunPatcher(*files, dir.Wide("patch.exe"), killing), Killed);
    ASSERT_TRUE(std::filesystem::exists(dir.Path() / "QPXPATCH.JNL")) << "the stopped run's journal";

    EXPECT_TRUE(Run(patch)) << std::string(output.begin(), output.end());
    EXPECT_EQ(output.find(L"Already applied"), std::wstring::npos) << "nothing of the stopped run was in";
    EXPECT_EQ(Snapshot(), clean);
  }
}

// Torn in the middle of its write, a resource is neither what the patch
// replaces nor what it writes: refused like another version.
TEST_F(CheckedPatchTest, AResourceTornMidWriteIsRefused) {
  const Bytes patch = BuildCheckedPatchFile(kImage, Patches());
  Bytes data = ReadFile(dir.Path() / "DATA1.QPX");
  const Bytes half = SampleBody(11, 50);
  std::copy(half.begin(), half.end(), data.begin() + static_cast<std::ptrdiff_t>(game.index[3].offset));
  WriteFile(dir.Path() / "DATA1.QPX", data);
  const Folder torn = Snapshot();
  EXPECT_FALSE(Run(patch));
  EXPECT_EQ(output, L"Resource 3 (entry 3) is from another version of the game\nThe game in " + Here() +
                        L" is not one this patch knows: entry 3 holds 100 bytes (XXH3 " +
                        Hex(HashOf(Bytes(data.begin() + static_cast<std::ptrdiff_t>(game.index[3].offset),
                                         data.begin() + static_cast<std::ptrdiff_t>(game.index[3].offset) + 100))) +
                        L"), where the patch expects 100 bytes (XXH3 " + Hex(HashOf(SampleBody(1, 100))) +
                        L")\nNothing was changed\n");
  EXPECT_EQ(Snapshot(), torn);

  // Without the bytes it replaces, a record rewrites its resource whole.
  EXPECT_TRUE(Run(BuildCheckedPatchFile(kImage, Patches(/*withBase=*/false))));
}

// A body that the seal holds but that does not decode to its result (a
// writer's fault) fails its record, and the run stops there and takes
// back what it staged: nothing is written.
TEST_F(CheckedPatchTest, ABodyThatDoesNotDecodeToItsResultFailsTheWholeRun) {
  const Bytes patch = BuildCheckedPatchFile(kImage, Patches());
  const auto offsetOf = [&](std::size_t record) {
    PayloadTrailerHeaderV2 header;
    std::memcpy(&header, patch.data() + patch.size() - sizeof(PayloadTrailer), sizeof header);
    PatchRecordV2 r;
    std::memcpy(&r, patch.data() + header.tableOffset + record * sizeof r, sizeof r);
    return r;
  };
  const PatchRecordV2 compressed = offsetOf(2);
  ASSERT_EQ(compressed.encoding, static_cast<uint16_t>(BodyEncoding::Lzma));
  for (const uint64_t at : {uint64_t{0}, uint64_t{6}, compressed.storedSize / 2, compressed.storedSize - 1}) {
    SCOPED_TRACE("byte " + std::to_string(at) + " of the compressed body");
    ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
    Bytes damaged = patch;
    damaged[compressed.bodyOffset + at] ^= 0x55;
    damaged = Forge(damaged, 0, [](PatchRecordV2&) {});  // the seal made right again
    EXPECT_FALSE(Run(damaged));
    EXPECT_EQ(output,
              L"Processing patch 3\nDone\nProcessing patch 4\nDone\nProcessing patch 5\nFailed\n"
              L"Resource 5 (entry 5): its body does not decode to the bytes the patch names (the patch is faulty)\n"
              L"Failed patches: 1\nNothing was changed\n");
    EXPECT_EQ(Snapshot(), original);
  }
  // A stored body whose hash is not the record's.
  const Bytes wrongHash = Forge(patch, 0, [](PatchRecordV2& r) { r.resultHash[0] ^= 1; });
  ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
  EXPECT_FALSE(Run(wrongHash));
  EXPECT_TRUE(output.starts_with(L"Processing patch 3\nFailed\n"));
  const Bytes data = ReadFile(dir.Path() / "DATA1.QPX");
  const Bytes old = SampleBody(1, 100);
  EXPECT_TRUE(std::equal(old.begin(), old.end(), data.begin() + static_cast<std::ptrdiff_t>(game.index[3].offset)))
      << "entry 3 is as it was";
}

// Any one byte of a delta body changed, its seal made right again (as a
// writer at fault would leave it): the record fails and its resource stays
// as it was, or the body still rebuilds the very result. Never another
// result, never a read or write outside the base or the result (the suite
// runs under the sanitizers too).
TEST_F(CheckedPatchTest, EveryChangedByteOfADeltaFailsItsRecordOrIsHarmless) {
  const Bytes base = SampleBody(6, 200000), result = Edited(base);
  const Bytes patch = BuildCheckedPatchFile(kImage, {{6, result, BodyEncoding::Delta, base}});
  PayloadTrailerHeaderV2 header;
  std::memcpy(&header, patch.data() + patch.size() - sizeof(PayloadTrailer), sizeof header);
  PatchRecordV2 record;
  std::memcpy(&record, patch.data() + header.tableOffset, sizeof record);
  ASSERT_EQ(record.encoding, static_cast<uint16_t>(BodyEncoding::Delta));
  ASSERT_LT(record.storedSize, 2000u) << "a delta of a few edits";
  const auto entry6 = [&] {
    const Bytes index = ReadFile(dir.Path() / "DATA0.QPX");
    ArchiveIndexEntry entry;
    std::memcpy(&entry, index.data() + 6 * sizeof entry, sizeof entry);
    const Bytes data = ReadFile(dir.Path() / "DATA1.QPX");
    return Bytes(data.begin() + static_cast<std::ptrdiff_t>(entry.offset),
                 data.begin() + static_cast<std::ptrdiff_t>(entry.offset + entry.size));
  };
  int failed = 0, harmless = 0;
  for (uint64_t at = 0; at < record.storedSize; ++at) {
    for (const uint8_t flip : {uint8_t{0x01}, uint8_t{0xFF}}) {
      ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
      Bytes changed = patch;
      changed[record.bodyOffset + at] ^= flip;
      const bool success = Run(Forge(changed, 0, [](PatchRecordV2&) {}));
      SCOPED_TRACE("byte " + std::to_string(at) + " ^ " + std::to_string(flip) + ": " +
                   std::string(output.begin(), output.end()));
      if (success) {
        ++harmless;
        EXPECT_EQ(entry6(), result);
      } else {
        ++failed;
        EXPECT_EQ(output, L"Processing patch 6\nFailed\nResource 6 (entry 6): its body does not decode to the bytes "
                          L"the patch names (the patch is faulty)\nFailed patches: 1\nNothing was changed\n");
        EXPECT_EQ(entry6(), base);
      }
      if (HasFailure()) return;
    }
  }
  std::cout << "[ changed-byte cases of a delta body: " << failed + harmless << " (" << failed << " failed the record, "
            << harmless << " still rebuilt the result) ]\n";
}

TEST_F(CheckedPatchTest, RecordsThatMakeNoSenseAreDamage) {
  const Bytes patch = BuildCheckedPatchFile(kImage, Patches());
  const std::pair<const char*, void (*)(PatchRecordV2&)> cases[] = {
      {"an unknown encoding", [](PatchRecordV2& r) { r.encoding = 7; }},
      {"an unknown flag", [](PatchRecordV2& r) { r.flags |= 0x8000; }},
      {"a stored body of another length than its result", [](PatchRecordV2& r) { r.storedSize -= 1; }},
      {"a body beyond the covered bytes", [](PatchRecordV2& r) { r.bodyOffset = 100; }},
      {"a delta that does not know its base", [](PatchRecordV2& r) { r.encoding = 2; r.flags = 0; }},
  };
  for (const auto& [what, edit] : cases) {
    EXPECT_FALSE(Run(Forge(patch, 0, edit))) << what;
    EXPECT_EQ(output, L"Patch data is damaged\nDownload the patch again; nothing was changed\n") << what;
  }
  EXPECT_EQ(Snapshot(), original);
}

// Any one byte of a version-2 payload changed, its seal's magic included:
// the patch is refused before the game is touched. (The version's bytes
// may turn it into what an older patcher refuses as well.)
TEST_F(CheckedPatchTest, NoSingleChangedByteReachesTheGame) {
  std::vector<CheckedPatch> patches = Patches();
  patches[2].body = Words(13, 2000);  // small enough to try every byte
  patches.erase(patches.begin() + 3);  // the delta's turn is below
  patches[4].body = Words(15, 3000);
  const Bytes patch = BuildCheckedPatchFile(kImage, patches);
  // Every byte from the table on, and every 5th byte of the bodies.
  PayloadTrailerHeaderV2 header;
  std::memcpy(&header, patch.data() + patch.size() - sizeof(PayloadTrailer), sizeof header);
  int refused = 0;
  for (std::size_t at = kImage.size(); at < patch.size(); at += at < header.tableOffset ? 5 : 1) {
    // A low bit and a high one, in turn; the version also made 1.
    std::vector<uint8_t> flips = {at % 2 == 0 ? uint8_t{0x01} : uint8_t{0x80}};
    if (at == patch.size() - sizeof(PayloadTrailer)) flips.push_back(0x03);
    for (const uint8_t flip : flips) {
      Bytes changed = patch;
      changed[at] ^= flip;
      FaultPlan writes = CountingWrites();
      const bool success = Run(changed, writes);
      SCOPED_TRACE("byte " + std::to_string(at) + " ^ " + std::to_string(flip) + ": " +
                   std::string(output.begin(), output.end()));
      EXPECT_FALSE(success);
      EXPECT_EQ(writes.operations, 0u);
      EXPECT_EQ(output.find(L"Processing patch"), std::wstring::npos);
      if (HasFailure()) return;
      ++refused;
    }
  }
  EXPECT_EQ(Snapshot(), original);
  std::cout << "[ changed-byte cases of a version-2 payload: " << refused << ", every one refused ]\n";
}

// The records of one resource are judged as a chain, each against what
// the records before it leave (an in-place slot in the bytes an earlier
// record appended, a delta against an earlier record's result); a game
// holding any stage of the chain is finished by the patch.
TEST_F(CheckedPatchTest, ARecordChainOnOneResourceFinishesFromAnyStage) {
  const Bytes x5 = Words(3, 3000), y5 = Words(21, 9000), x0 = SampleBody(4, 5000), y0 = SampleBody(22, 800);
  Bytes z5 = y5;
  for (std::size_t i = 100; i < 140; ++i) z5[i] ^= 0x21;  // the same length: in place, in the appended slot
  const Bytes z0 = SampleBody(23, 60000);
  const std::vector<CheckedPatch> firstHalf = {{5, y5, BodyEncoding::Lzma, x5}, {1207, y0, BodyEncoding::Stored, x0}};
  const Bytes chain = BuildCheckedPatchFile(
      kImage, {{5, y5, BodyEncoding::Lzma, x5}, {5, z5, BodyEncoding::Delta, y5}, {1207, y0, BodyEncoding::Stored, x0},
               {1207, z0, BodyEncoding::Stored, y0}});

  ASSERT_TRUE(Run(chain)) << std::string(output.begin(), output.end());
  const Folder clean = Snapshot();
  EXPECT_EQ(clean.at("res/D00000.bin"), LooseFileImage(z0));
  EXPECT_TRUE(Run(chain));
  EXPECT_EQ(output,
            L"Processing patch 5\nAlready applied\nProcessing patch 5\nAlready applied\nProcessing patch 1207\n"
            L"Already applied\nProcessing patch 1207\nAlready applied\nSuccess!\n");

  // The game at the chain's middle stage: only the second records write.
  ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
  ASSERT_TRUE(Run(BuildCheckedPatchFile(kImage, firstHalf)));
  ASSERT_TRUE(Run(chain)) << std::string(output.begin(), output.end());
  EXPECT_EQ(output,
            L"Processing patch 5\nAlready applied\nProcessing patch 5\nDone\nProcessing patch 1207\n"
            L"Already applied\nProcessing patch 1207\nDone\nSuccess!\n");
  EXPECT_EQ(Snapshot(), clean);
}

// A loose file that holds the record's result but not laid out as the
// patcher lays it out (bytes left after it by a run that stopped before
// its cut, a fill that is not zeros) is neither "already applied" nor
// another version: it is rewritten from its own bytes, even by a record
// whose base is long gone.
TEST_F(CheckedPatchTest, ALooseFileHoldingItsResultUntidilyIsRewrittenNotRefused) {
  const Bytes result = SampleBody(14, 700);
  const Bytes patch = BuildCheckedPatchFile(kImage, {{1207, result, BodyEncoding::Delta, SampleBody(4, 5000)}});
  Bytes staleTail = LooseFileImage(SampleBody(4, 5000));
  const Bytes exact = LooseFileImage(result);
  std::copy(exact.begin(), exact.end(), staleTail.begin());
  Bytes dirtyFill = exact;
  dirtyFill.back() = 1;
  for (const Bytes& untidy : {staleTail, dirtyFill}) {
    WriteFile(dir.Path() / "res" / "D00000.bin", untidy);
    EXPECT_TRUE(Run(patch)) << std::string(output.begin(), output.end());
    EXPECT_EQ(output, L"Processing patch 1207\nDone\nSuccess!\n");
    EXPECT_EQ(ReadFile(dir.Path() / "res" / "D00000.bin"), exact);
  }
}

// The disk is judged as it allocates: whole units for every file that
// grows, and the run's journal. What it cannot tell is no full disk.
TEST_F(CheckedPatchTest, TheDiskIsJudgedAsItAllocates) {
  // Eight loose files that each grow by 256 bytes across a 4 KiB unit.
  std::vector<CheckedPatch> patches;
  for (uint32_t i = 8; i < 16; ++i) {
    game.AddLooseFile(i, LooseFileImage(SampleBody(i, 1900)));
    patches.push_back({kEntryCount + i, SampleBody(100 + i, 2100), BodyEncoding::Stored, SampleBody(i, 1900)});
  }
  ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
  original = Snapshot();
  const Bytes patch = BuildCheckedPatchFile(kImage, patches);
  const uint64_t grows = 8 * (LooseFileLength(2100) - LooseFileLength(1900));  // 2,048 bytes
  const uint64_t journal = 96 + 8 * (32 + 2100);                              // 17,152 bytes
  FaultPlan small = CountingWrites();
  small.allocationUnit = 4096;
  small.freeSpace = grows + journal + 4096;
  EXPECT_FALSE(Run(patch, small));
  // 8 units of the files and 5 of the journal, against 23,296 bytes free.
  ASSERT_EQ(8 * 4096 + AllocatedLength(journal, 4096) - *small.freeSpace, 29952u);
  EXPECT_EQ(output, L"Not enough disk space: the patch needs 29,952 bytes more\n"
                    L"Free 32,768 bytes more on the disk of " + Here() + L": it has 23,296 free, the run takes 53,248 "
                    L"(in whole units of 4,096 bytes)\nNothing was changed\n");
  EXPECT_EQ(small.operations, 0u);
  EXPECT_EQ(Snapshot(), original);

  FaultPlan unknown;
  unknown.counted = static_cast<uint32_t>(FileOperation::FreeSpace);
  unknown.failAt = 1;
  EXPECT_TRUE(Run(patch, unknown)) << std::string(output.begin(), output.end());
  EXPECT_TRUE(unknown.struck);
}

// One run at a time in a game folder: a second one, version 1 or 2,
// changes nothing while the first holds it, and runs once it is gone.
TEST_F(CheckedPatchTest, ASecondRunWhileOneHoldsTheFolderChangesNothing) {
  std::vector<test::TestPatch> plain;
  for (const CheckedPatch& p : Patches()) plain.push_back({p.resourceNumber, p.body});
  for (const Bytes& patch : {BuildCheckedPatchFile(kImage, Patches()), test::BuildPatchFile(kImage, plain)}) {
    ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
    {
      ResourceArchive first(*files);
      ASSERT_EQ(first.OpenArchiveLocked(), ResourceArchive::Opening::Opened);
      EXPECT_FALSE(Run(patch));
      EXPECT_EQ(output, L"Another patch is running in this folder\nNothing was changed\n");
      EXPECT_EQ(Snapshot(), original);
    }
    EXPECT_TRUE(Run(patch)) << std::string(output.begin(), output.end());
  }
}

// Ctrl+C, a closed console or a request to terminate stop a version-2 run
// at a safe point, heard at once. Before the last record the resource being
// written is finished and then taken back with everything before it (no
// "Done" for it): the game is as it was. During the last, the commit seals
// it and the rest is left to the next run. Either way the next run
// finishes the job. A journal that is none (torn as it was made) is
// cleared.
TEST_F(CheckedPatchTest, AStopRequestEndsTheRunAtASafePointAndTheNextFinishes) {
  const Bytes patch = BuildCheckedPatchFile(kImage, Patches());
  ASSERT_TRUE(Run(patch));
  const Folder clean = Snapshot();
  for (const wchar_t* trigger : {L"Processing patch 4\n", L"Processing patch 1209\n"}) {
    SCOPED_TRACE(std::wstring(trigger).c_str());
    ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
    WriteFile(dir.Path() / "patch.exe", patch);
    test::StoppingConsole stopping(trigger);
    EXPECT_FALSE(RunPatcher(*files, dir.Wide("patch.exe"), stopping));
    const std::wstring heard = std::wstring(trigger) + L"Stopping after this resource...\n";
    if (std::wstring(trigger) == L"Processing patch 4\n") {
      EXPECT_TRUE(stopping.Text().ends_with(heard + L"Stopped: the game is as it was\n"))
          << std::string(stopping.Text().begin(), stopping.Text().end());
      EXPECT_EQ(Snapshot(), original) << "stopped before its commit, nothing is in";
    } else {
      EXPECT_TRUE(stopping.Text().ends_with(heard + L"Done\nStopped: run the patch again to finish\n"));
      EXPECT_TRUE(std::filesystem::exists(dir.Path() / "QPXPATCH.JNL")) << "committed, the rest is the next run's";
    }
    EXPECT_TRUE(Run(patch)) << std::string(output.begin(), output.end());
    EXPECT_EQ(Snapshot(), clean);
  }
  ASSERT_TRUE(game.Write(*files, dir.Path().wstring()));
  WriteFile(dir.Path() / "QPXPATCH.JNL", SampleBody(9, 40));
  EXPECT_TRUE(Run(patch)) << std::string(output.begin(), output.end());
  EXPECT_EQ(Snapshot(), clean);
}

// A journal whose seal holds but whose bytes would go far outside the data
// file is none of ours: it is not carried out, and the data file is not
// stretched to wherever it points.
TEST_F(CheckedPatchTest, ASealedJournalPointingOutsideTheDataFileIsNotCarriedOut) {
  const auto check = [](const Bytes& bytes) {
    ContentDigest digest;
    digest.Update(bytes);
    const ContentDigest::Value value = digest.Finish();
    uint64_t first = 0;
    std::memcpy(&first, value.data(), sizeof first);
    return first;
  };
  const auto put = [](Bytes& bytes, const auto& value) {
    const auto* raw = reinterpret_cast<const uint8_t*>(&value);
    bytes.insert(bytes.end(), raw, raw + sizeof value);
  };
  JournalHeader header{};
  std::memcpy(header.magic, "QPXJRNL1", 8);
  header.dataSizeBefore = original.at("DATA1.QPX").size();
  Bytes journal;
  put(journal, header);
  header.check = check(Bytes(journal.begin(), journal.begin() + 56));
  journal.clear();
  put(journal, header);
  put(journal, JournalItemHead{static_cast<uint32_t>(JournalItemKind::DataWrite), 3, uint64_t{1} << 40, 4, 0});
  journal.insert(journal.end(), {1, 2, 3, 4});
  JournalCommit commit{};
  std::memcpy(commit.magic, "QPXCOMIT", 8);
  commit.length = journal.size();
  commit.items = 1;
  commit.check = check(journal);
  put(journal, commit);
  WriteFile(dir.Path() / "QPXPATCH.JNL", journal);

  EXPECT_FALSE(Run(BuildCheckedPatchFile(kImage, Patches())));
  EXPECT_EQ(output, L"Stopped: run the patch again to finish\nSettling QPXPATCH.JNL in " + Here() +
                        L", left by a run that was stopped, failed\n");
  std::filesystem::remove(dir.Path() / "QPXPATCH.JNL");
  EXPECT_EQ(Snapshot(), original);
}

}  // namespace
}  // namespace qpx
