// Where qpxtool may write: never over a file it reads nor inside a folder
// it reads, however the output is spelled; a file it replaces keeps its
// permission bits, and is the old file or the new one whole, whatever
// fails and wherever the power goes.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "src/archive/ArchiveIndexEntry.h"
#include "tests/support/FaultyFileSystem.h"
#include "tests/support/PowerCutFileSystem.h"
#include "tests/tool/ToolFixture.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;

class OutputTest : public test::ToolFixture {
 protected:
  void SetUp() override {
    MakeGame("game");
    MakeGame("modified");
    Put("modified/res/D00001.bin", Get("game/res/D00002.bin"));
    fs::copy_file(Config().patcher, At("stub"));
    Put("body", Text("a new body"));
    ASSERT_EQ(Tool({"build", "--stub", "stub", "--out", "patch", "10=body"}).exitCode, kOk);
    fs::create_hard_link(At("patch"), At("patch-link"));
    fs::create_hard_link(At("game/DATA1.QPX"), At("data-link"));
    fs::create_directory_symlink(At("game"), At("game-link"));
    fs::create_directory(At("game/empty"));
    fs::create_directory_symlink(At("game/empty"), At("empty-link"));
  }

  // Rebuilds "patch" (of 10=body) as a patch of 12=body, through
  // `fileSystem`: its exit status, 1 for a failure it reported.
  int Rebuild(CFileSystem& fileSystem) const {
    tool::BuildOptions options;
    options.stub = At("stub").string();
    options.out = At("patch").string();
    options.pairs = {"12=" + At("body").string()};
    options.force = true;
    try {
      return tool::RunBuild(fileSystem, options);
    } catch (const tool::ToolError& error) {
      return error.Status();
    }
  }

  // The names qpxtool left beside its outputs.
  std::vector<std::string> Temporaries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
      const std::string name = entry.path().filename().string();
      if (name.find(".qpxtool-") != std::string::npos) names.push_back(name);
    }
    return names;
  }

  static mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  }
};

TEST_F(OutputTest, NoCommandWritesOverWhatItReadsOrInsideAFolderItReads) {
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::string stub = "--stub", out = "--out";
  const Case cases[] = {
      {{"reverse", "patch", "game", stub, "stub", out, "patch"}, "--out \"patch\": is the patch \"patch\""},
      {{"reverse", "patch", "game", stub, "stub", out, "patch-link"}, "--out \"patch-link\": is the patch"},
      {{"reverse", "patch", "game", stub, "stub", out, "./stub"}, "--out \"./stub\": is --stub \"stub\""},
      {{"reverse", "patch", "game", stub, "stub", out, "game/res/D00001.bin"},
       "lies inside the game folder \"game\""},
      {{"reverse", "patch", "game", stub, "stub", out, "game-link/new.exe"}, "lies inside the game folder"},
      {{"diff", "game", "modified", stub, "stub", out, "game/res/D00001.bin"}, "lies inside ORIGINAL \"game\""},
      {{"diff", "game", "modified", stub, "stub", out, "modified/patch"}, "lies inside MODIFIED \"modified\""},
      {{"diff", "game", "modified", stub, "stub", out, "stub"}, "is --stub \"stub\""},
      {{"diff", "game", "modified", "--manifest-out", "game/changes"}, "lies inside ORIGINAL \"game\""},
      {{"extract", "game", "10", "game/res/D00003.bin"}, "lies inside the game folder \"game\""},
      {{"extract", "game", "10", "data-link"}, "is \"game/DATA1.QPX\" of the game folder"},
      {{"extract", "game", "10", "game/../game/DATA0.QPX"}, "of the game folder"},
      {{"extract", "game", "1210", "game-link/res/D00003.bin"}, "of the game folder"},
      {{"extract", "game", "10", "missing/out.bin"}, "output \"missing/out.bin\": its folder does not exist"},
      {{"unpack", "game", "game/unpacked"}, "lies inside the game folder \"game\""},
      {{"unpack", "game", "game-link/res/"}, "lies inside the game folder \"game\""},
      {{"unpack", "game", "empty-link"}, "lies inside the game folder \"game\""},
  };
  const auto before = Snapshot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " ... " + c.arguments.back());
    EXPECT_TOOL(Tool(c.arguments), kBadInput, c.message);
  }
  EXPECT_EQ(Snapshot(), before) << "nothing written, nothing made";
  EXPECT_FALSE(fs::exists(At("game/unpacked")));
  EXPECT_FALSE(fs::exists(At("game/changes")));
  EXPECT_TRUE(fs::is_empty(At("game/empty")));

  // Beside the folders, all is well.
  EXPECT_TOOL(Tool({"reverse", "patch", "game", "--stub", "stub", "--out", "undo"}), kOk, "puts back 1 resource");
  EXPECT_TOOL(Tool({"extract", "game", "10", "entry-10.bin"}), kOk, "wrote entry 10");
}

// No command puts its output in the place of a file already there unless
// it is told to (-f, --force): refused with nothing written, replaced
// whole with it. A folder output is new or empty, --force or not.
TEST_F(OutputTest, AnExistingOutputIsReplacedOnlyWithForce) {
  ASSERT_EQ(Tool({"unpack", "game", "tree"}).exitCode, kOk);
  MakeGame("older");
  Put("older/res/D00003.bin", Get("game/res/D00004.bin"));
  const std::string kept = "a file of the user's";
  struct Case {
    std::vector<std::string> arguments;  // the output is "existing"; --force is added at the end
    std::string message;
  };
  const Case files[] = {
      {{"build", "--stub", "stub", "-o", "existing", "10=body"}, "--out \"existing\": already exists"},
      {{"diff", "game", "modified", "--stub", "stub", "--out", "existing"}, "--out \"existing\": already exists"},
      {{"diff", "older", "game", "modified", "--stub", "stub", "-o", "existing"}, "--out \"existing\": already exists"},
      {{"reverse", "patch", "game", "--stub", "stub", "-o", "existing"}, "--out \"existing\": already exists"},
      {{"extract", "game", "10", "existing"}, "output \"existing\": already exists"},
      {{"extract", "patch", "10", "existing"}, "output \"existing\": already exists"},
  };
  for (const Case& c : files) {
    SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
    Put("existing", Text(kept));
    const auto before = Snapshot();
    EXPECT_TOOL(Tool(c.arguments), kBadInput, c.message + "; give -f (--force) to replace it");
    EXPECT_EQ(Snapshot(), before) << "nothing written";
    EXPECT_FALSE(LeftoverTemporaryFiles());
    for (const char* force : {"-f", "--force"}) {
      std::vector<std::string> forced = c.arguments;
      forced.push_back(force);
      Put("existing", Text(kept));
      EXPECT_EQ(Tool(forced).exitCode, kOk) << force;
      EXPECT_NE(Get("existing"), Text(kept)) << force;
      EXPECT_GT(Get("existing").size(), 0u);
    }
  }
  // A link that leads nowhere is a name taken, too.
  fs::create_symlink(At("nowhere"), At("dangling"));
  EXPECT_TOOL(Tool({"extract", "game", "10", "dangling"}), kBadInput, "output \"dangling\": already exists");
  EXPECT_FALSE(fs::exists(At("nowhere")));

  const Case folders[] = {
      {{"unpack", "game", "full"}, "is not empty; give a new or empty folder"},
      {{"pack", "tree", "full"}, "is not empty; give a new or empty folder"},
      {{"diff", "game", "modified", "--manifest-out", "full"}, "is not empty; give a new or empty folder"},
      {{"sample", "game"}, "already holds DATA0.QPX; give a new or empty folder"},
  };
  Put("full/mine", Text(kept));
  const auto before = Snapshot();
  for (const Case& c : folders) {
    SCOPED_TRACE(c.arguments[0]);
    EXPECT_TOOL(Tool(c.arguments), kBadInput, c.message);
  }
  EXPECT_EQ(Snapshot(), before);
  // A new output is written without being told.
  EXPECT_EQ(Tool({"build", "--stub", "stub", "-o", "fresh", "10=body"}).exitCode, kOk);
  EXPECT_EQ(Tool({"extract", "game", "10", "fresh.bin"}).exitCode, kOk);
}

TEST_F(OutputTest, AReplacedFileKeepsItsPermissionBits) {
  fs::permissions(At("stub"), fs::perms(0750));
  ASSERT_EQ(Tool({"build", "--stub", "stub", "--out", "fresh", "10=body"}).exitCode, kOk);
  EXPECT_EQ(ModeOf(At("fresh")), 0750u) << "a new patch takes the stub's";

  fs::permissions(At("patch"), fs::perms(0604));
  ASSERT_EQ(Tool({"build", "--stub", "stub", "--out", "patch", "--force", "12=body"}).exitCode, kOk);
  EXPECT_EQ(ModeOf(At("patch")), 0604u);

  Put("entry.bin", Text("old"));
  fs::permissions(At("entry.bin"), fs::perms(0600));
  ASSERT_EQ(Tool({"extract", "game", "10", "entry.bin", "-f"}).exitCode, kOk);
  EXPECT_EQ(ModeOf(At("entry.bin")), 0600u);
  EXPECT_EQ(Get("entry.bin").size(), 371u);

  Put("undo", Text("old"));
  fs::permissions(At("undo"), fs::perms(0640));
  ASSERT_EQ(Tool({"reverse", "patch", "game", "--stub", "stub", "--out", "undo", "-f"}).exitCode, kOk);
  EXPECT_EQ(ModeOf(At("undo")), 0640u);
}

// A replaced patch is the old one until the new one is whole on the disk:
// a write, flush, rename or change of permissions that fails leaves the
// old patch as it was and no temporary beside it, and a power cut at any
// point leaves the old patch or the new one, never a mix.
TEST_F(OutputTest, AReplacedPatchIsTheOldOneOrTheNewOneWhole) {
  const auto real = CreatePlatformFileSystem();
  const Bytes old = Get("patch");
  ASSERT_EQ(Rebuild(*real), kOk);
  const Bytes rebuilt = Get("patch");
  ASSERT_NE(rebuilt, old);

  tool::SetTextReport(false);
  for (const test::FileOperation operation : {test::FileOperation::Write, test::FileOperation::Flush,
                                              test::FileOperation::Permissions, test::FileOperation::Rename}) {
    SCOPED_TRACE(test::OperationName(operation));
    Put("patch", old);
    test::FaultPlan plan;
    plan.failAt = 1;
    plan.counted = static_cast<uint32_t>(operation);
    test::CFileSystem_Faulty faulty(*real, plan);
    EXPECT_EQ(Rebuild(faulty), kFailedCheck);
    EXPECT_TRUE(plan.struck);
    EXPECT_EQ(Get("patch"), old);
    EXPECT_EQ(Temporaries(), std::vector<std::string>{});
  }

  uint64_t operations = 0;
  {
    Put("patch", old);
    test::CFileSystem_PowerCut counting(*real);
    ASSERT_EQ(Rebuild(counting), kOk);
    operations = counting.Operations();
  }
  ASSERT_GT(operations, 3u);
  for (uint64_t cutAt = 1; cutAt <= operations + 1; ++cutAt) {
    for (const test::CrashMode mode : {test::CrashMode::LoseAll, test::CrashMode::KeepAll}) {
      SCOPED_TRACE("power cut at operation " + std::to_string(cutAt) + ", " + test::CrashModeName(mode));
      Put("patch", old);
      test::CFileSystem_PowerCut cut(*real, cutAt);
      const int status = Rebuild(cut);
      ASSERT_TRUE(cut.Crash(mode));
      const Bytes after = Get("patch");
      EXPECT_TRUE(after == old || after == rebuilt) << after.size() << " bytes";
      // Only once every byte and the rename were flushed is the new patch
      // sure to stay.
      if (status == kOk) {
        EXPECT_EQ(after, rebuilt);
      }
      for (const std::string& name : Temporaries()) fs::remove(At(name));
    }
  }
  tool::SetTextReport(true);
}

// The Windows build: an unpack goes through a fresh folder renamed into
// place, and what lies inside a game folder is judged by its folders' file
// IDs. Under Wine only (each start is costly).
using QpxToolWineOutputs = test::ToolFixture;

TEST_F(QpxToolWineOutputs, UnpackRenamesItsFolderIntoPlaceAndNothingIsWrittenInsideTheGame) {
  MakeGame("game");
  EXPECT_TOOL(Tool({"unpack", "game", "out"}), kOk, "wrote 1215 resources");
  EXPECT_EQ(Get("out/loose/D00002.bin"), SampleBody(kEntryCount + 2, 2100));
  for (const auto& entry : fs::directory_iterator(dir.Path())) {
    EXPECT_EQ(entry.path().filename().string().find(".qpxtool-"), std::string::npos) << entry.path();
  }
  const auto before = Snapshot("game");
  EXPECT_TOOL(Tool({"unpack", "game", "game\\sub"}), kBadInput, "lies inside the game folder \"game\"");
  EXPECT_TOOL(Tool({"extract", "game", "10", "game/RES/d00003.bin"}), kBadInput, "lies inside the game folder");
  EXPECT_EQ(Snapshot("game"), before);
  EXPECT_FALSE(fs::exists(At("game/sub")));
}

}  // namespace
}  // namespace qpx
