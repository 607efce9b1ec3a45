// Which patcher a patch is built on, as a new author meets it: the names of
// the installed ones, what a missing one's message says, what a command
// says it wrote; and the messages for an option qpxtool does not know.

#include <gtest/gtest.h>

#include <filesystem>

#include "src/app/payload/PatcherMarker.h"
#include "tests/tool/ToolFixture.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;

class StubTest : public test::ToolFixture {
 protected:
  void SetUp() override {
    // qpxtool as the Debian package lays it out, and alone. A stand-in for
    // qpxpatch.exe: a PE image that carries the patcher's markers.
    for (const char* tool : {"deb/usr/bin/qpxtool", "alone/bin/qpxtool"}) {
      fs::create_directories(At(tool).parent_path());
      fs::copy_file(Config().qpxtool, At(tool));
    }
    fs::create_directories(At("deb/usr/share/qpxpatch"));
    fs::copy_file(Config().patcher, At("deb/usr/share/qpxpatch/qpxpatch"));
    Bytes exe = test::PeImage(4096, 0, 0);
    const auto marker = Unmasked(kMaskedPatcherMarker);
    std::copy(marker.begin(), marker.end(), exe.begin() + 1024);
    const auto version2 = Unmasked(kMaskedVersion2Marker);
    std::copy(version2.begin(), version2.end(), exe.begin() + 2048);
    Put("deb/usr/share/qpxpatch/qpxpatch.exe", exe);
    Put("body", Text("a body"));
    MakeGame("game");
  }

  // Runs the copy of qpxtool at `tool` in the scratch folder.
  test::ProcessResult RunCopy(const std::string& tool, const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{At(tool).string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return test::RunProcess(command, dir.Path());
  }
  test::ProcessResult Deb(const std::vector<std::string>& arguments) const {
    return RunCopy("deb/usr/bin/qpxtool", arguments);
  }
  test::ProcessResult Alone(const std::vector<std::string>& arguments) const {
    return RunCopy("alone/bin/qpxtool", arguments);
  }

  bool StartsWith(const std::string& patch, const std::string& stub) const {
    const Bytes a = Get(patch), b = Get(stub);
    return a.size() > b.size() && std::equal(b.begin(), b.end(), a.begin());
  }
};

TEST_F(StubTest, TheInstalledPatchersGoByTheNamesWindowsAndLinux) {
  EXPECT_TOOL(Deb({"build", "--stub", "linux", "--out", "linux-patch", "10=body"}), kOk,
              "wrote \"linux-patch\", a Linux patch: ");
  EXPECT_TRUE(StartsWith("linux-patch", "deb/usr/share/qpxpatch/qpxpatch"));
  EXPECT_TOOL(Deb({"build", "--stub", "windows", "--out", "windows-patch", "10=body"}), kOk,
              "wrote \"windows-patch\", a Windows patch: ");
  EXPECT_TRUE(StartsWith("windows-patch", "deb/usr/share/qpxpatch/qpxpatch.exe"));
  EXPECT_TOOL(Deb({"build", "--out", "default-patch", "10=body"}), kOk, "a Windows patch");
  EXPECT_EQ(Get("default-patch"), Get("windows-patch"));

  // diff and reverse say it too.
  ASSERT_EQ(Tool({"unpack", "game", "mod"}).exitCode, kOk);
  Put("mod/entries/00010.bin", Text("changed"));
  EXPECT_TOOL(Deb({"diff", "game", "mod", "--stub", "linux", "--out", "diff"}), kOk, "wrote \"diff\", a Linux patch (");
  EXPECT_TOOL(Deb({"reverse", "diff", "game", "--out", "undo"}), kOk, "wrote \"undo\", a Windows patch (");

  // The names are the installed patchers'; a file of that name is ./linux.
  Put("linux", Text("not a patcher"));
  EXPECT_TOOL(Deb({"build", "--stub", "linux", "--out", "p", "10=body"}), kOk, "a Linux patch");
  EXPECT_TOOL(Deb({"build", "--stub", "./linux", "--out", "p", "10=body"}), kBadInput,
              "--stub \"./linux\": is not a qpxpatch patcher");
}

TEST_F(StubTest, AMissingStubSaysWhichPatchersAreInstalled) {
  EXPECT_TOOL(Deb({"build", "--stub", "qpxpatch", "--out", "p", "10=body"}), kBadInput,
              "--stub \"qpxpatch\": no such file; installed with qpxtool: --stub windows for \"" +
                  At("deb/usr/share/qpxpatch/qpxpatch.exe").string() + "\", --stub linux for \"" +
                  At("deb/usr/share/qpxpatch/qpxpatch").string() + "\"");
  EXPECT_TOOL(Alone({"build", "--stub", "linux", "--out", "p", "10=body"}), kBadInput,
              "--stub linux: no Linux patcher is installed with qpxtool (no \"" +
                  At("alone/share/qpxpatch/qpxpatch").string() + "\" or \"" +
                  At("alone/bin/qpxpatch").string() + "\"); no patcher is installed with qpxtool");
  EXPECT_TOOL(Alone({"diff", "game", "game", "--out", "p"}), kBadInput,
              "--stub PATCHER is required: no Windows patcher is installed with qpxtool");
  EXPECT_FALSE(fs::exists(At("p")));
}

TEST_F(StubTest, AnOptionBeforeTheSubcommandIsNamed) {
  for (const char* option : {"-V", "--bogus", "-x"}) {
    EXPECT_TOOL(Tool({option}), kBadInput, std::string("qpxtool: unknown option \"") + option + "\"");
    EXPECT_TOOL(Tool({option, "list", "patch"}), kBadInput, std::string("unknown option \"") + option + "\"");
  }
  EXPECT_TOOL(Tool({"--version"}), kOk, "qpxtool 1.");
  EXPECT_TOOL(Tool({"-h"}), kOk, "Subcommands:");
  EXPECT_TOOL(Tool({}), kBadInput, "qpxtool: give a subcommand");
}

}  // namespace
}  // namespace qpx
