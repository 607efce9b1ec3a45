// qpxtool diff on a game whose resources are programs: the records of the
// programs are deltas that know code, and the patch rebuilds every
// resource exactly, natively and with the Windows patcher under Wine (the
// QpxToolWine suite).

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "tests/tool/ToolFixture.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using Bytes = std::vector<uint8_t>;
using Resources = std::map<uint32_t, Bytes>;

Bytes Program(const std::string& name) {
  std::ifstream in(std::string(QPX_TEST_PROGRAMS_DIR) + "/" + name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Version `v` of a game that ships the tests' programs among its resources:
// two entries and a loose file, beside resources that do not change.
Resources Game(int v) {
  const std::string n = std::to_string(v);
  Resources resources;
  for (uint32_t i = 0; i < 5; ++i) resources[i] = SampleBody(i, 300 + i * 50);
  resources[5] = Program("x64_v" + n + ".so");
  resources[6] = Program("x86_v" + n + ".so");
  resources[kEntryCount + 2] = Program("pe_v" + n + ".exe");
  return resources;
}

class CodeDeltaTool : public test::ToolFixture {
 protected:
  // How many bodies of the patch are deltas that know code.
  int CodeDeltas(const std::string& patch) const { return Occurrences(Get(patch), "QPXD\x02"); }

  // Makes the patch on `stub`, then applies it to a copy of the old game
  // (under Wine with `wine`) and to the result once more.
  void RoundTrip(const std::string& stub, const std::string& patch, bool wine) {
    LayGame("old", Game(1));
    LayGame("new", Game(2));
    EXPECT_TOOL(Tool({"diff", "old", "new", "--stub", stub, "--out", patch}), kOk, "3 of 2715 resources differ");
    EXPECT_GE(CodeDeltas(patch), 2);
    fs::copy(At("old"), At("game"), fs::copy_options::recursive);
    test::ProcessOptions options;
    if (wine) options.launcher = Config().wine;
    const ProcessResult run = test::RunProcess({At(patch).string()}, At("game"), options);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TOOL(Tool({"diff", "game", "new", "--stub", Config().patcher, "--out", "none"}), kFailedCheck,
                "the folders hold the same resources");
    EXPECT_TOOL(Tool({"verify", patch, "game"}), kOk, "3 of 3 records applied");
  }
};

TEST_F(CodeDeltaTool, ProgramsAreDeltasThatKnowCodeAndRebuildExactly) {
  RoundTrip(Config().patcher, "patch", false);
  // plan tells the same from the old game, with the run's own decoding.
  EXPECT_TOOL(Tool({"plan", "patch", "old"}), kOk, "3 of 3");
}

using QpxToolWineCodeDeltas = CodeDeltaTool;

TEST_F(QpxToolWineCodeDeltas, TheWindowsPatcherRebuildsThePrograms) {
  if (Config().patcherExe.empty()) GTEST_SKIP() << "no --patcher-exe";
  fs::copy(Config().patcherExe, At("qpxpatch.exe"));
  RoundTrip("qpxpatch.exe", "patch.exe", true);
}

}  // namespace
}  // namespace qpx
