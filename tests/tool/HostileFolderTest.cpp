// Game folders made to mislead: index records pointing far outside the data
// file, FIFOs where files should be, links where the sample would write.
// The patcher and qpxtool must refuse them promptly and write nothing.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "src/archive/ArchiveIndexEntry.h"
#include "tests/tool/ToolFixture.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using Bytes = std::vector<uint8_t>;

// Long enough for any of these runs, short enough that a hang fails the
// test rather than the whole suite.
constexpr int kTimeLimit = 20;

class HostileFolder : public test::ToolFixture {
 protected:
  // The sample game with entry `number`'s record pointing at `offset`, its
  // size and attributes as they were (0 for the entries used here).
  void MakeGameWithRecord(const std::string& name, uint32_t number, uint64_t offset) {
    MakeGame(name);
    Bytes index = Get(name + "/DATA0.QPX");
    std::memcpy(index.data() + number * sizeof(ArchiveIndexEntry), &offset, sizeof offset);
    Put(name + "/DATA0.QPX", index);
  }

  // A patch (built by qpxtool on the native patcher) of `body` for
  // resource `number`, with a payload of version `format`.
  void MakePatch(const std::string& name, uint32_t number, const Bytes& body, const std::string& format = "2") {
    Put(name + ".body", body);
    ASSERT_EQ(Tool({"build", "--format", format, "--stub", Config().patcher, "--out", name,
                    std::to_string(number) + "=" + name + ".body"})
                  .exitCode,
              kOk);
  }

  void MakeFifo(const std::string& name) {
    fs::remove(At(name));
    ASSERT_EQ(mkfifo(At(name).c_str(), 0666), 0) << name;
  }

  // Asks the version-2 patch `patch` with --check in `game`, then runs it:
  // the check must end as the run does. The run's result.
  ProcessResult CheckThenRun(const std::string& patch, const std::string& game) {
    const ProcessResult check = test::RunProcess({At(patch).string(), "--check"}, At(game), Limited());
    EXPECT_FALSE(check.timedOut);
    const ProcessResult run = test::RunProcess({At(patch).string()}, At(game), Limited());
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(check.exitCode, run.exitCode) << "--check foretold otherwise:\n" << check.out << "\nthe run:\n" << run.out;
    return run;
  }

  test::ProcessOptions Limited() const {
    test::ProcessOptions options;
    options.timeLimitSeconds = kTimeLimit;
    return options;
  }
};

// Entry 10 of the sample holds 371 bytes (slot 384) with attributes 0.
// A version-1 patch fails that record; a version-2 one refuses the whole
// patch before it writes.
TEST_F(HostileFolder, AnInPlaceSlotOutsideTheDataFileFailsInThePatcherAndInPlan) {
  MakePatch("patch", 10, SampleBody(5, 380), "1");
  MakePatch("checked", 10, SampleBody(5, 380));
  for (const uint64_t offset : {uint64_t{1} << 40, uint64_t{0x7FFFFFFFFFFFFFF0}}) {
    SCOPED_TRACE("offset " + std::to_string(offset));
    fs::remove_all(At("game"));
    MakeGameWithRecord("game", 10, offset);
    const auto before = Snapshot("game");

    EXPECT_TOOL(Tool({"plan", "patch", "game"}), kFailedCheck,
                "FAILS: its index record puts its slot outside DATA1.QPX (\"Failed\")");
    ProcessResult run = RunPatch("patch", "game");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "Processing patch 10\nFailed\nFailed patches: 1\nPress Any Key...");
    EXPECT_EQ(Snapshot("game"), before) << "nothing written, the data file not stretched";

    EXPECT_TOOL(Tool({"plan", "checked", "game"}), kFailedCheck,
                "FAILS: its index record points outside DATA1.QPX (\"Resource 10 (entry 10) points outside");
    run = CheckThenRun("checked", "game");
    EXPECT_EQ(run.exitCode, 1);
    ExpectRefusal(run.out, "Resource 10 (entry 10) points outside DATA1.QPX", "Nothing was changed\n");
    EXPECT_EQ(Snapshot("game"), before);
  }
}

TEST_F(HostileFolder, AFifoInPlaceOfALooseFileFailsThatFileOnlyAndNothingHangs) {
  MakeGame("game");
  MakeFifo("game/res/D00002.bin");
  MakePatch("patch", 1209, SampleBody(5, 100), "1");
  MakePatch("checked", 1209, SampleBody(5, 100));

  ProcessResult run = test::RunProcess({At("patch").string()}, At("game"), Limited());
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.out, "Processing patch 1209\nFailed\nFailed patches: 1\nPress Any Key...");
  run = CheckThenRun("checked", "game");
  ExpectRefusal(run.out, "Resource 1209 (res/D00002.bin) is missing", "Nothing was changed\n");
  // Each command treats it as it treats a loose file that is missing.
  EXPECT_TOOL(Tool({"plan", "patch", "game"}, Limited()), kFailedCheck, "FAILS: no such loose file res\\D00002.bin");
  EXPECT_TOOL(Tool({"plan", "checked", "game"}, Limited()), kFailedCheck, "FAILS: missing (res\\D00002.bin)");
  EXPECT_TOOL(Tool({"verify", "patch", "game"}, Limited()), kFailedCheck, "missing or cannot be read");
  run = Tool({"unpack", "game", "out"}, Limited());
  EXPECT_TOOL(run, kOk, "wrote 1214 resources");
  EXPECT_FALSE(fs::exists(At("out/loose/D00002.bin")));
  EXPECT_TOOL(Tool({"extract", "game", "1209", "-"}, Limited()), kBadInput, "missing or cannot be read");
  EXPECT_TOOL(Tool({"reverse", "patch", "game", "--stub", Config().patcher, "--out", "undo"}, Limited()), kBadInput,
              "res\\D00002.bin does not exist");
  MakeGame("copy");
  EXPECT_TOOL(Tool({"diff", "copy", "game", "--manifest-out", "changes"}, Limited()), kBadInput,
              "res\\D00002.bin is in ORIGINAL but not in MODIFIED");
}

TEST_F(HostileFolder, AFifoInPlaceOfAnArchiveFileIsRefusedAtOnce) {
  MakePatch("patch", 10, SampleBody(5, 100));
  for (const char* file : {"DATA0.QPX", "DATA1.QPX"}) {
    SCOPED_TRACE(file);
    fs::remove_all(At("game"));
    MakeGame("game");
    MakeFifo(std::string("game/") + file);
    const ProcessResult run = CheckThenRun("patch", "game");
    // The first line names the file the next one explains.
    const std::string named = std::string("Can't open ") + file;
    EXPECT_TRUE(run.out.starts_with(named + "\n" + file + " in ")) << run.out;
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"plan", "patch", "game"}, {"verify", "patch", "game"}, {"unpack", "game", "out"},
          {"extract", "game", "10", "-"}}) {
      const ProcessResult result = Tool(command, Limited());
      EXPECT_FALSE(result.timedOut) << command[0];
      EXPECT_NE(result.exitCode, kOk) << command[0];
    }
  }
}

TEST_F(HostileFolder, SampleRefusesAFolderThatHoldsAnyPartOfAGame) {
  MakeGame("victim");
  const auto victim = Snapshot("victim");
  const std::pair<const char*, const char*> cases[] = {
      {"DATA0.QPX", "already holds DATA0.QPX"},
      {"data1.qpx", "already holds DATA1.QPX"},
      {"res/D00003.bin", "already holds res, not empty"},
  };
  for (const auto& [file, message] : cases) {
    fs::remove_all(At("g"));
    Put(std::string("g/") + file, Text("mine"));
    EXPECT_TOOL(Tool({"sample", "g"}), kBadInput, message);
    EXPECT_EQ(Get(std::string("g/") + file), Text("mine"));
  }
  // Links, whether or not they lead anywhere, are written through: refused.
  fs::remove_all(At("g"));
  fs::create_directories(At("g/res"));
  fs::create_symlink(At("victim/res/D00000.bin"), At("g/res/D00000.bin"));
  EXPECT_TOOL(Tool({"sample", "g"}), kBadInput, "already holds res, not empty");
  fs::remove_all(At("g"));
  fs::create_directories(At("g"));
  fs::create_symlink(At("elsewhere"), At("g/DATA0.QPX"));
  EXPECT_TOOL(Tool({"sample", "g"}), kBadInput, "already holds DATA0.QPX");
  EXPECT_FALSE(fs::exists(At("elsewhere")));
  EXPECT_EQ(Snapshot("victim"), victim);

  // An empty res, and other files, are no game.
  fs::remove_all(At("g"));
  fs::create_directories(At("g/res"));
  Put("g/readme.txt", Text("mine"));
  EXPECT_TOOL(Tool({"sample", "g"}), kOk, "made \"g\"");
}

}  // namespace
}  // namespace qpx
