// A version-2 or version-3 run stopped by a power cut at any point is
// finished by the next run: the game is then byte for byte what one clean
// run leaves, and no journal is left behind. Every counted operation of a whole run is
// cut in turn; after each cut the disk keeps everything that was not
// flushed, nothing of it, or a seeded mixture with writes torn at sectors.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "src/app/run/PatchRunner.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "tests/support/FaultyFileSystem.h"
#include "tests/support/MultiVersionPatch.h"
#include "tests/support/PowerCutFileSystem.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx {
namespace {

using test::BuildCheckedPatchFile;
using test::CFileSystem_Faulty;
using test::CFileSystem_PowerCut;
using test::CheckedPatch;
using test::CrashMode;
using test::FaultPlan;
using test::FileOperation;
using test::ReadFile;
using test::ScratchDirectory;
using test::Words;
using test::WriteFile;
using Bytes = std::vector<uint8_t>;
using Folder = std::map<std::string, Bytes>;
namespace fs = std::filesystem;

const Bytes kImage(500, 0x4D);

// `base` with a few bytes changed in place: the same length.
Bytes Touched(Bytes base) {
  for (std::size_t at = 7; at < base.size(); at += base.size() / 3) base[at] ^= 0xA5;
  return base;
}

// `base` with a run of new bytes inserted: a delta that grows it.
Bytes Grown(const Bytes& base) {
  Bytes grown(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(base.size() / 2));
  const Bytes inserted = SampleBody(99, 1500);
  grown.insert(grown.end(), inserted.begin(), inserted.end());
  grown.insert(grown.end(), base.begin() + static_cast<std::ptrdiff_t>(base.size() / 2), base.end());
  return grown;
}

// The first place where `got` is not `want`: a file missing, one too
// many, or a file's first differing byte.
std::string FirstDifference(const Folder& got, const Folder& want) {
  for (const auto& [name, bytes] : want) {
    const auto it = got.find(name);
    if (it == got.end()) return name + " is missing";
    const Bytes& have = it->second;
    const auto [mine, theirs] = std::mismatch(have.begin(), have.end(), bytes.begin(), bytes.end());
    if (mine != have.end() || theirs != bytes.end()) {
      return name + " differs at offset " + std::to_string(mine - have.begin()) + " (" +
             std::to_string(have.size()) + " bytes, " + std::to_string(bytes.size()) + " expected)";
    }
  }
  for (const auto& [name, bytes] : got) {
    if (!want.contains(name)) return name + " is left over (" + std::to_string(bytes.size()) + " bytes)";
  }
  return "";
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (const wchar_t c : text) narrow += c == L'\n' ? '|' : static_cast<char>(c);
  return narrow;
}

struct CrashCase {
  CrashMode mode;
  uint64_t seed;
};

// All kept, all lost, and three seeded mixtures; a mixture's seed also
// depends on where the cut was, so that every cut sees other ones.
std::vector<CrashCase> CrashCases(uint64_t cut) {
  return {{CrashMode::KeepAll, 0},
          {CrashMode::LoseAll, 0},
          {CrashMode::Random, cut * 3 + 1},
          {CrashMode::Random, cut * 3 + 2},
          {CrashMode::Random, cut * 3 + 3}};
}

// `reached`: the cut struck the run; otherwise the power went once it ended.
std::string Describe(const char* what, uint64_t cut, bool reached, const CrashCase& crash) {
  return std::string(what) + (reached ? " cut at " + std::to_string(cut) : " whole, the power cut after it") + ", " +
         test::CrashModeName(crash.mode) + (crash.mode == CrashMode::Random ? " seed " + std::to_string(crash.seed) : "");
}

// The sweeps, for any game and patch: Prepare lays them down and learns
// what one clean run leaves and how many operations it counts.
class PowerCutSweep : public ::testing::Test {
 protected:
  void Prepare(const GameFolder& game, const Bytes& patchFile) {
    ASSERT_TRUE(game.Write(*real, dir.Path().wstring()));
    original = Snapshot();
    patch = patchFile;
    WriteFile(dir.Path() / "patch.exe", patch);

    // What one clean run leaves, the layer off.
    ASSERT_TRUE(Run(*real)) << Narrow(output);
    reference = Snapshot();
    // And what a whole run counts, through the layer, which changes nothing
    // of what the run leaves.
    Restore(original);
    CFileSystem_PowerCut counting(*real);
    ASSERT_TRUE(Run(counting)) << Narrow(output);
    ASSERT_EQ(FirstDifference(Snapshot(), reference), "");
    wholeRun = counting.Operations();
  }

  static ArchiveIndexEntry EntryOf(const Folder& folder, uint32_t number) {
    ArchiveIndexEntry entry{};
    std::memcpy(&entry, folder.at("DATA0.QPX").data() + number * sizeof entry, sizeof entry);
    return entry;
  }

  // Every file of the game folder, but the patcher's own.
  Folder Snapshot() const { return test::ReadFolder(dir.Path(), "patch.exe"); }

  // Makes the game folder hold exactly `files` (and the patch).
  void Restore(const Folder& files) {
    const Folder there = Snapshot();
    for (const auto& [name, bytes] : there) {
      if (!files.contains(name)) fs::remove(dir.Path() / name);
    }
    for (const auto& [name, bytes] : files) {
      if (const auto it = there.find(name); it == there.end() || it->second != bytes) WriteFile(dir.Path() / name, bytes);
    }
  }

  bool Run(CFileSystem& fileSystem) {
    CapturedConsole console;
    const bool success = RunPatcher(fileSystem, dir.Wide("patch.exe"), console);
    output = console.Text();
    return success;
  }

  // Runs the patch once more with nothing in the way; empty when it says
  // "Success!" and leaves the game as the clean run did, else what went wrong.
  std::string Finish() {
    const bool success = Run(*real);
    if (!success || !output.ends_with(L"Success!\n")) return "the rerun failed: " + Narrow(output);
    const std::string difference = FirstDifference(Snapshot(), reference);
    return difference.empty() ? "" : difference + "; the rerun said " + Narrow(output);
  }

  // Cuts every counted operation of a whole run in turn, and once more just
  // after it ends, before the system wrote back what the run left unflushed.
  void CutEveryOperation(std::vector<std::string>& failures) {
    for (uint64_t cut = 1; cut <= wholeRun + 1; ++cut) {
      for (const CrashCase& crash : CrashCases(cut)) {
        Restore(original);
        CFileSystem_PowerCut power(*real, cut);
        Run(power);
        ASSERT_EQ(power.PowerWentOff(), cut <= wholeRun) << cut;
        ASSERT_TRUE(power.Crash(crash.mode, crash.seed));
        const std::string failure = Finish();
        if (!failure.empty()) failures.push_back(Describe("the run", cut, cut <= wholeRun, crash) + ": " + failure);
      }
    }
  }

  // Cuts the run at every `step`th operation, then the rerun that settles
  // what it left: its first few operations one by one, then wider apart, up
  // to the first cut it no longer reaches, when the power goes after it.
  void CutTheFinishingRun(std::vector<std::string>& failures, uint64_t step) {
    for (uint64_t cut = 1; cut <= wholeRun; cut += step) {
      const CrashCase first = CrashCases(cut)[2 + cut % 3];
      Restore(original);
      {
        CFileSystem_PowerCut power(*real, cut);
        Run(power);
        ASSERT_TRUE(power.Crash(first.mode, first.seed));
      }
      const Folder afterFirst = Snapshot();
      bool reached = true;
      for (uint64_t second = 1; reached; second += second < 4 ? 1 : second / 2) {
        const CrashCase crash{second % 2 == 0 ? CrashMode::LoseAll : CrashMode::Random, cut * 1000 + second};
        Restore(afterFirst);
        CFileSystem_PowerCut power(*real, second);
        Run(power);
        reached = power.PowerWentOff();
        ASSERT_TRUE(power.Crash(crash.mode, crash.seed));
        const std::string failure = Finish();
        if (!failure.empty()) {
          failures.push_back(Describe("the run", cut, true, first) + ", then " +
                             Describe("the rerun", second, reached, crash) + ": " + failure);
        }
      }
    }
  }

  ScratchDirectory dir;
  std::unique_ptr<CFileSystem> real = CreatePlatformFileSystem();
  Folder original, reference;
  Bytes patch;
  uint64_t wholeRun = 0;
  std::wstring output;
};

// Failures are gathered, so that one report names the cuts that fail; the
// first twenty are enough to go on.
std::string Listed(const std::vector<std::string>& failures) {
  std::string text = std::to_string(failures.size()) + " cases fail:\n";
  for (std::size_t i = 0; i < failures.size() && i < 20; ++i) text += "  " + failures[i] + "\n";
  return text;
}

class PowerCutTest : public PowerCutSweep {
 protected:
  void SetUp() override {
    GameFolder game;
    game.AddEntry(3, SampleBody(1, 100));                   // in place, the same size
    game.AddEntry(7, SampleBody(2, 120));                   // in place, smaller in the same slot
    game.AddEntry(8, Words(3, 3000));                       // a delta in place, several sectors
    game.AddEntry(4, SampleBody(4, 40), /*attributes=*/1);  // appended for its attributes
    game.AddEntry(6, SampleBody(6, 20000));                 // a delta that grows: appended
    game.AddEntry(9, SampleBody(9, 500));                   // a chain of two records
    game.AddLooseFile(0, LooseFileImage(SampleBody(20, 5000)));  // the same size
    game.AddLooseFile(1, LooseFileImage(Words(22, 9000)));       // shrinks
    game.AddLooseFile(2, LooseFileImage(SampleBody(24, 1000)));  // grows past many 4 KiB boundaries

    const Bytes chainMiddle = SampleBody(19, 700);
    ASSERT_NO_FATAL_FAILURE(Prepare(
        game, BuildCheckedPatchFile(
                  kImage, {
                              {3, SampleBody(11, 100), BodyEncoding::Stored, SampleBody(1, 100)},
                              {7, SampleBody(12, 100), BodyEncoding::Stored, SampleBody(2, 120)},
                              {8, Touched(Words(3, 3000)), BodyEncoding::Delta, Words(3, 3000)},
                              {4, SampleBody(14, 40), BodyEncoding::Stored, SampleBody(4, 40)},
                              {6, Grown(SampleBody(6, 20000)), BodyEncoding::Delta, SampleBody(6, 20000)},
                              // Appended, then rewritten in its new slot by the next record.
                              {9, chainMiddle, BodyEncoding::Stored, SampleBody(9, 500)},
                              {9, Touched(chainMiddle), BodyEncoding::Delta, chainMiddle},
                              {1207, SampleBody(21, 5000), BodyEncoding::Stored, SampleBody(20, 5000)},
                              {1208, Words(23, 2000), BodyEncoding::Lzma, Words(22, 9000)},
                              {1209, Words(25, 100000), BodyEncoding::Lzma, SampleBody(24, 1000)},
                          })));
    for (const uint32_t number : {3, 7, 8}) {
      EXPECT_EQ(EntryOf(reference, number).offset, EntryOf(original, number).offset) << number << " goes in place";
    }
    for (const uint32_t number : {4, 6, 9}) {
      EXPECT_GE(EntryOf(reference, number).offset, original.at("DATA1.QPX").size()) << number << " is appended";
    }
  }
};

TEST_F(PowerCutTest, EveryCutOfARunIsFinishedByTheNext) {
  ASSERT_GT(wholeRun, 20u) << "a run that writes every kind of record";
  std::vector<std::string> failures;
  CutEveryOperation(failures);
  EXPECT_TRUE(failures.empty()) << Listed(failures);
}

// The flush of the commit record fails (an I/O error), so the run stops;
// the power then goes at any step after it. The commit record may still
// reach the disk: whatever the cut, the next run must find a game it can
// finish, never a journal that replays index records over a data file
// already cut back.
TEST_F(PowerCutTest, EveryCutOfTheUndoAfterAFailedCommitFlushIsFinishedByTheNext) {
  // The flushes of a run, in order: the one that fails is the journal's
  // after its commit record, the last flush of the journal before the
  // writes in place.
  uint64_t commitFlush = 0;
  for (uint64_t flush = 1; commitFlush == 0; ++flush) {
    Restore(original);
    FaultPlan plan;
    plan.failAt = flush;
    plan.counted = static_cast<uint32_t>(FileOperation::Flush);
    CFileSystem_Faulty faulty(*real, plan);
    Run(faulty);
    ASSERT_TRUE(plan.struck) << "no flush of the journal after its commit";
    if (plan.struckPath.ends_with(L"QPXPATCH.JNL") && output.find(L"cannot be written") != std::wstring::npos) {
      commitFlush = flush;
    }
  }
  // Where that run's counted operations start its undo, and how many it makes.
  uint64_t atStrike = 0, whole = 0;
  {
    Restore(original);
    CFileSystem_PowerCut counting(*real);
    FaultPlan plan;
    plan.failAt = commitFlush;
    plan.counted = static_cast<uint32_t>(FileOperation::Flush);
    plan.onStrike = [&] { atStrike = counting.Operations(); };
    CFileSystem_Faulty faulty(counting, plan);
    EXPECT_FALSE(Run(faulty));
    EXPECT_TRUE(output.ends_with(L"Stopped: run the patch again to finish\n")) << Narrow(output);
    whole = counting.Operations();
    ASSERT_TRUE(counting.Crash(CrashMode::KeepAll));
  }
  ASSERT_GE(whole, atStrike);
  std::vector<std::string> failures;
  for (uint64_t cut = atStrike + 1; cut <= whole + 1; ++cut) {
    for (const CrashCase& crash : CrashCases(cut)) {
      Restore(original);
      {
        CFileSystem_PowerCut power(*real, cut);
        FaultPlan plan;
        plan.failAt = commitFlush;
        plan.counted = static_cast<uint32_t>(FileOperation::Flush);
        CFileSystem_Faulty faulty(power, plan);
        Run(faulty);
        ASSERT_TRUE(power.Crash(crash.mode, crash.seed));
      }
      const std::string failure = Finish();
      if (!failure.empty()) failures.push_back(Describe("the undo", cut, cut <= whole, crash) + ": " + failure);
    }
  }
  EXPECT_TRUE(failures.empty()) << Listed(failures);
}

// The run that finishes the job may itself be cut, at its replay of a
// sealed journal or its undoing of an unsealed one; the one after it
// still finishes.
TEST_F(PowerCutTest, ACutDuringTheRunThatFinishesIsFinishedByTheNext) {
  std::vector<std::string> failures;
  CutTheFinishingRun(failures, 3);
  EXPECT_TRUE(failures.empty()) << Listed(failures);
}

// A patch for two old releases, 1.0 and 1.1, to 1.2. Entry 3 differs in
// each (two stored alternatives sharing one body, in place); entry 5 is the
// same in both (one delta for both, in place); entry 6 differs in each (two
// deltas, the result appended); loose file 0 differs in each (two
// compressed alternatives sharing one body, the file grows). After a cut,
// some resources may hold 1.2 already and the rest their old bytes: the
// rerun must choose again for each one, and end where a clean run does.
const std::vector<uint32_t> kReleaseNumbers = {3, 5, 6, kEntryCount};
std::map<uint32_t, Bytes> Release(int version) {
  const Bytes five = Words(3, 3000), six0 = SampleBody(6, 6000), six1 = Touched(six0);
  switch (version) {
    case 0: return {{3, SampleBody(1, 100)}, {5, five}, {6, six0}, {kEntryCount, SampleBody(20, 2000)}};
    case 1: return {{3, SampleBody(31, 100)}, {5, five}, {6, six1}, {kEntryCount, Words(22, 3000)}};
    default: return {{3, SampleBody(11, 100)}, {5, Touched(five)}, {6, Grown(six1)}, {kEntryCount, Words(25, 20000)}};
  }
}

GameFolder GameOf(const std::map<uint32_t, Bytes>& resources) {
  GameFolder game;
  for (const auto& [number, bytes] : resources) game.AddResource(number, bytes);
  return game;
}

class PowerCutVersion3Test : public PowerCutSweep {
 protected:
  static Bytes PatchToTheNewRelease() {
    const auto r0 = Release(0), r1 = Release(1), r2 = Release(2);
    const auto two = [&](uint32_t number, BodyEncoding coding) {
      return test::MultiVersionPatch{number, r2.at(number), {{r0.at(number), 0b01, coding}, {r1.at(number), 0b10, coding}}};
    };
    return test::BuildMultiVersionPatchFile(
        kImage, {"1.2", "1.0", "1.1"},
        {two(3, BodyEncoding::Stored), {5, r2.at(5), {{r0.at(5), 0b11, BodyEncoding::Delta}}},
         two(6, BodyEncoding::Delta), two(kEntryCount, BodyEncoding::Lzma)});
  }

  // Prepares `start` and proves that a clean run brings it to 1.2.
  void PrepareFrom(const std::map<uint32_t, Bytes>& start) {
    ASSERT_NO_FATAL_FAILURE(Prepare(GameOf(start), PatchToTheNewRelease()));
    const Bytes& data = reference.at("DATA1.QPX");
    for (const auto& [number, bytes] : Release(2)) {
      if (number >= kEntryCount) {
        const std::wstring name = LooseFileName(number - kEntryCount);
        EXPECT_EQ(reference.at("res/" + std::string(name.begin(), name.end())), LooseFileImage(bytes)) << number;
        continue;
      }
      const ArchiveIndexEntry entry = EntryOf(reference, number);
      ASSERT_LE(entry.offset + entry.size, data.size()) << number;
      EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(entry.offset),
                             data.begin() + static_cast<std::ptrdiff_t>(entry.offset + entry.size)))
          << number;
    }
    EXPECT_EQ(EntryOf(reference, 3).offset, EntryOf(original, 3).offset) << "in place";
    EXPECT_GE(EntryOf(reference, 6).offset, original.at("DATA1.QPX").size()) << "appended";
    EXPECT_GT(wholeRun, 15u) << "a run that writes every resource";
  }
};

TEST_F(PowerCutVersion3Test, EveryCutOfARunFromAnOldVersionIsFinishedByTheNext) {
  ASSERT_NO_FATAL_FAILURE(PrepareFrom(Release(1)));
  std::vector<std::string> failures;
  CutEveryOperation(failures);
  CutTheFinishingRun(failures, 5);
  EXPECT_TRUE(failures.empty()) << Listed(failures);
}

// A game whose resources come from both old releases.
TEST_F(PowerCutVersion3Test, EveryCutOfARunFromAMixedGameIsFinishedByTheNext) {
  std::map<uint32_t, Bytes> mixed = Release(0);
  mixed[6] = Release(1).at(6);
  ASSERT_NO_FATAL_FAILURE(PrepareFrom(mixed));
  std::vector<std::string> failures;
  CutEveryOperation(failures);
  EXPECT_TRUE(failures.empty()) << Listed(failures);
}

// The layer keeps what it claims: a flushed write survives every crash, an
// unflushed one is gone when the disk keeps nothing, a torn write keeps
// whole sectors, a file made or deleted without its folder's flush may be
// undone, and nothing happens from the cut on.
TEST(PowerCutFileSystemTest, KeepsWhatWasFlushedAndMayLoseTheRest) {
  ScratchDirectory dir;
  const std::unique_ptr<CFileSystem> real = CreatePlatformFileSystem();
  const auto write = [](CAbstractFile& file, int64_t at, std::size_t size, uint8_t byte) {
    const Bytes bytes(size, byte);
    return file.Seek64(at) && file.Write(bytes.data(), static_cast<uint32_t>(size)) == size;
  };
  const auto filled = [](std::initializer_list<std::pair<std::size_t, char>> runs) {
    Bytes bytes;
    for (const auto& [size, byte] : runs) bytes.insert(bytes.end(), size, static_cast<uint8_t>(byte));
    return bytes;
  };
  // Flushed 'b' over the start, then unflushed 'c' across six sectors; a
  // file made and flushed, one deleted, the folder flushed or not.
  const auto crashed = [&](CrashMode mode, bool flushFolder, uint64_t seed = 0) {
    WriteFile(dir.Path() / "old.bin", Bytes(4096, 'a'));
    WriteFile(dir.Path() / "doomed.bin", Bytes(100, 'd'));
    fs::remove(dir.Path() / "new.bin");
    CFileSystem_PowerCut power(*real);
    {
      const auto file = power.Open(L"old.bin", OpenMode_ReadWrite);
      EXPECT_TRUE(file && write(*file, 0, 600, 'b') && file->Flush() && write(*file, 300, 3000, 'c'));
      const auto made = power.Open(L"new.bin", OpenMode_Write | OpenMode_Create);
      EXPECT_TRUE(made && write(*made, 0, 10, 'n') && made->Flush());
    }
    EXPECT_TRUE(power.DeleteFile(L"doomed.bin"));
    if (flushFolder) {
      EXPECT_TRUE(power.FlushDirectory(L""));
    }
    EXPECT_EQ(power.Operations(), flushFolder ? 8u : 7u);
    EXPECT_TRUE(power.Crash(mode, seed));
    Folder files;
    for (const char* name : {"old.bin", "new.bin", "doomed.bin"}) {
      if (fs::exists(dir.Path() / name)) files[name] = ReadFile(dir.Path() / name);
    }
    return files;
  };
  EXPECT_EQ(crashed(CrashMode::LoseAll, false),
            (Folder{{"old.bin", filled({{600, 'b'}, {3496, 'a'}})}, {"doomed.bin", Bytes(100, 'd')}}));
  EXPECT_EQ(crashed(CrashMode::KeepAll, false),
            (Folder{{"old.bin", filled({{300, 'b'}, {3000, 'c'}, {796, 'a'}})}, {"new.bin", Bytes(10, 'n')}}));
  EXPECT_EQ(crashed(CrashMode::LoseAll, true),
            (Folder{{"old.bin", filled({{600, 'b'}, {3496, 'a'}})}, {"new.bin", Bytes(10, 'n')}}));

  // Mixtures: each sector the write covers is wholly old or wholly new,
  // the same seed gives the same disk, and some seeds keep part of it.
  bool sawPart = false;
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    const Folder files = crashed(CrashMode::Random, true, seed);
    const Bytes& old = files.at("old.bin");
    ASSERT_EQ(old.size(), 4096u);
    for (std::size_t sector = 1; sector < 7; ++sector) {
      const auto begin = old.begin() + static_cast<std::ptrdiff_t>(std::max<std::size_t>(sector * 512, 600));
      const auto end = old.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(sector * 512 + 512, 3300));
      EXPECT_TRUE(std::all_of(begin, end, [&](uint8_t b) { return b == *begin; })) << "seed " << seed;
    }
    const auto kept = std::count(old.begin(), old.end(), 'c');
    sawPart = sawPart || (kept != 0 && kept != 3000);
    EXPECT_EQ(crashed(CrashMode::Random, true, seed), files) << "seed " << seed;
  }
  EXPECT_TRUE(sawPart);

  // From the cut on, nothing is done: not the cut write, not a read.
  WriteFile(dir.Path() / "old.bin", Bytes(4096, 'a'));
  CFileSystem_PowerCut power(*real, 2);
  const auto file = power.Open(L"old.bin", OpenMode_ReadWrite);
  ASSERT_TRUE(file && write(*file, 0, 10, 'b'));
  EXPECT_FALSE(write(*file, 0, 10, 'c'));
  uint8_t byte = 0;
  EXPECT_EQ(file->Read(&byte, 1), 0u);
  EXPECT_FALSE(power.Open(L"old.bin", OpenMode_Read));
  EXPECT_TRUE(power.PowerWentOff());
  EXPECT_EQ(ReadFile(dir.Path() / "old.bin"), filled({{10, 'b'}, {4086, 'a'}}));
}

}  // namespace
}  // namespace qpx
