// What qpxtool says when it cannot do what it is asked: the file or folder
// that is wrong, by name, and what to give instead; "-" for a patch read
// from standard input or a body written to standard output; and a progress
// line that moves while a body is encoded.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "src/archive/ArchiveIndexEntry.h"
#include "tests/tool/ToolFixture.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;

class RefusalWordsTest : public test::ToolFixture {
 protected:
  void SetUp() override {
    MakeGame("game");
    Put("body", Text("a new body"));
    ASSERT_EQ(Tool({"build", "--stub", Config().patcher, "-o", "patch", "10=body", "1209=body"}).exitCode, kOk);
  }

  // Runs `command` (a shell command line, qpxtool as "$Q") in the scratch
  // folder, with `onTerminal` on a terminal.
  test::ProcessResult Shell(const std::string& command, bool onTerminal = false) const {
    // On a terminal: script(1) runs it on a pseudo-terminal of its own.
    const std::string line = onTerminal ? "script -qec '" + command + " 2>&1' /dev/null < /dev/null" : command;
    const std::vector<std::string> argv{"/bin/sh", "-c", line};
    test::ProcessOptions options;
    options.environment.push_back("Q=" + Config().qpxtool);
    return RunProcess(argv, dir.Path(), options);
  }
};

TEST_F(RefusalWordsTest, DashReadsThePatchFromStandardInputAndWritesABodyToStandardOutput) {
  const test::ProcessResult listed = Tool({"list", "patch"});
  ASSERT_EQ(listed.exitCode, kOk);
  const test::ProcessResult piped = Shell("cat patch | \"$Q\" list -");
  EXPECT_EQ(piped.exitCode, kOk) << piped.err;
  EXPECT_EQ(piped.out.substr(piped.out.find('\n')), listed.out.substr(listed.out.find('\n')))
      << "the same records, whatever the patch is called";
  EXPECT_TOOL(Shell("\"$Q\" plan - game < patch"), kOk, "would apply");
  EXPECT_TOOL(Shell("\"$Q\" verify - game < patch"), kFailedCheck, "NOT APPLIED");
  // A damaged patch through a pipe is refused as the file would be.
  Bytes damaged = Get("patch");
  damaged[damaged.size() - 40] ^= 1;
  Put("damaged", damaged);
  EXPECT_EQ(Shell("\"$Q\" list - < damaged").exitCode, Tool({"list", "damaged"}).exitCode);
  EXPECT_TOOL(Shell("\"$Q\" list - < /dev/null"), kFailedCheck, "patch \"-\"");
  EXPECT_TOOL(Shell("\"$Q\" list -", true), kBadInput, "standard input is a terminal");

  // The body goes out byte for byte; the report goes to standard error.
  const test::ProcessResult raw = Shell("\"$Q\" extract patch 1209 -");
  EXPECT_EQ(raw.exitCode, kOk);
  EXPECT_EQ(raw.out, "a new body");
  EXPECT_NE(raw.err.find("to standard output"), std::string::npos) << raw.err;
  const test::ProcessResult terminal = Shell("\"$Q\" extract game 10 -", true);
  EXPECT_TOOL(terminal, kBadInput, "OUT \"-\": standard output is a terminal");
  EXPECT_LT(terminal.out.size(), 371u) << "none of entry 10's 371 bytes";
  EXPECT_FALSE(LeftoverTemporaryFiles());
}

// diff takes an unpacked tree only when every file in it is a resource's,
// as pack does; a folder given twice, or the new one among the old ones, is
// refused; a default label that is only a folder's usual name is warned of.
TEST_F(RefusalWordsTest, DiffNamesWhatItCannotTake) {
  ASSERT_EQ(Tool({"unpack", "game", "tree"}).exitCode, kOk);
  Put("tree/entries/10.bin", Text("x"));
  Put("tree/entries/00010.txt", Text("y"));
  Put("tree/loose/D00002.BIN", Text("z"));
  const auto before = Snapshot();
  const test::ProcessResult tree = Tool({"diff", "game", "tree", "--stub", Config().patcher, "-o", "out"});
  EXPECT_TOOL(tree, kBadInput, "MODIFIED \"tree\": holds files that are no resource's; rename or remove them:");
  for (const char* file : {"tree/entries/10.bin", "tree/entries/00010.txt", "tree/loose/D00002.BIN"}) {
    EXPECT_NE(tree.err.find(std::string("\"") + file + "\" is no resource's file"), std::string::npos) << tree.err;
  }
  EXPECT_TOOL(Tool({"pack", "tree", "packed"}), kBadInput, "\"tree/entries/10.bin\" is no resource's file");
  EXPECT_EQ(Snapshot(), before);

  MakeGame("rel/1.1/game");
  Put("rel/1.1/game/res/D00003.bin", Get("game/res/D00004.bin"));
  MakeGame("rel/1.2/game");
  Put("rel/1.2/game/res/D00001.bin", Get("game/res/D00002.bin"));
  const std::string stub = Config().patcher;
  EXPECT_TOOL(Tool({"diff", "game", "./game", "rel/1.2/game", "--stub", stub, "-o", "out"}), kBadInput,
              "OLD \"game\" is given twice (also as \"./game\"): give each old version's folder once");
  EXPECT_TOOL(Tool({"diff", "game", "rel/1.2/game", "rel/1.2/game", "--stub", stub, "-o", "out"}), kBadInput,
              "NEW \"rel/1.2/game\" is also given as OLD \"rel/1.2/game\"");
  EXPECT_FALSE(fs::exists(At("out")));
  const test::ProcessResult labelled =
      Tool({"diff", "game", "rel/1.1/game", "rel/1.2/game", "--stub", stub, "-o", "out", "--label", "game=1.0"});
  EXPECT_EQ(labelled.exitCode, kOk) << labelled.err;
  EXPECT_NE(labelled.err.find("warning: \"rel/1.2/game\" is labelled \"game\", its folder's name, which does not "
                              "tell the version; give --label-new 1.2 to name it"),
            std::string::npos)
      << labelled.err;
  EXPECT_NE(labelled.err.find("give --label rel/1.1/game=1.1 to name it"), std::string::npos) << labelled.err;
  EXPECT_EQ(labelled.err.find("\"game\" is labelled"), std::string::npos) << "--label named it";
}

TEST_F(RefusalWordsTest, AFileWhereAFolderBelongsAndAGameOfAnotherVersion) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"verify", "patch", "body"}, {"plan", "patch", "body"}, {"unpack", "body", "out"}}) {
    EXPECT_TOOL(Tool(arguments), kBadInput, "game folder \"body\": is a file, not a folder");
  }
  EXPECT_TOOL(Tool({"unpack", "game", "body"}), kBadInput, "output folder \"body\": is a file, not a folder");
  EXPECT_TOOL(Tool({"sample", "body"}), kBadInput, "game folder \"body\": is a file, not a folder");

  // Made on one game, undone on another: the resource that differs is named.
  MakeGame("modified");
  Put("modified/res/D00002.bin", Get("game/res/D00005.bin"));
  Put("modified/res/D00004.bin", Get("game/res/D00006.bin"));
  ASSERT_EQ(Tool({"diff", "game", "modified", "--stub", Config().patcher, "-o", "known"}).exitCode, kOk);
  MakeGame("other");
  Put("other/res/D00002.bin", Get("game/res/D00003.bin"));
  const test::ProcessResult reversed = Tool({"reverse", "known", "other", "--stub", Config().patcher, "-o", "undo"});
  EXPECT_TOOL(reversed, kBadInput, "game folder \"other\" is another version of the game than \"known\" was made for");
  EXPECT_TOOL(reversed, kBadInput, "res\\D00002.bin (resource 1209) holds other bytes than record 0 was made from");
  EXPECT_EQ(reversed.err.find("D00004"), std::string::npos) << "res\\D00004.bin is as the patch knows it";
  EXPECT_FALSE(fs::exists(At("undo")));
}

// A body with a base is made a delta, then compressed alone too: each pass
// moves the line, which names the body; it never goes back, and shows
// below 100% until the last pass is done.
TEST_F(RefusalWordsTest, TheEncodingLineMovesThroughEveryPass) {
  // Words of ten letters in no order: compressible, but slowly enough at
  // level 9 for the line to be drawn many times; the new text is new, so
  // that the delta does not spare the compression its work.
  const auto words = [](uint32_t state) {
    Bytes text;
    const auto next = [&state] { return (state = state * 1103515245u + 12345u) >> 16; };
    while (text.size() < (2u << 20)) {
      for (uint32_t n = 2 + next() % 8; n != 0; --n) text.push_back(static_cast<uint8_t>('a' + next() % 10));
      text.push_back(' ');
    }
    return text;
  };
  const Bytes older = words(1), newer = words(2);
  LayGame("old", {{10, older}, {11, Text("same")}});
  LayGame("new", {{10, newer}, {11, Text("same")}});
  const test::ProcessResult made = Shell(
      "QPXTOOL_PROGRESS_DELAY_MS=0 \"$Q\" diff old new --stub \"" + Config().patcher + "\" -o update", true);
  ASSERT_EQ(made.exitCode, kOk) << made.out;
  const std::regex line("encoding: ([0-9]+)% \\([0-9,]+ of 2 MiB\\); entry 10 ([0-9]+)%");
  std::vector<int> shown;
  for (auto at = std::sregex_iterator(made.out.begin(), made.out.end(), line); at != std::sregex_iterator(); ++at) {
    shown.push_back(std::stoi((*at)[1]));
    EXPECT_EQ((*at)[1], (*at)[2]) << "one body: the body's share is the whole";
  }
  ASSERT_FALSE(shown.empty()) << made.out;
  EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
  EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [](int p) { return p >= 50 && p < 100; }))
      << "the second pass is counted too";
}

}  // namespace
}  // namespace qpx
