// pack, unpack's inverse: a game folder made from an unpacked tree (or its
// manifest) holds the same resources as the folder unpacked, judged by
// qpxtool's own game reader; unsafe trees are refused and nothing is made.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/tool/ToolFixture.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;

class PackTest : public test::ToolFixture {
 protected:
  // Whether qpxtool finds that `a` and `b` hold the same resources.
  bool SameResources(const std::string& a, const std::string& b) {
    const test::ProcessResult result = Tool({"diff", a, b, "--manifest-out", "differences"});
    EXPECT_EQ(result.exitCode == kFailedCheck, result.err.find("hold the same resources") != std::string::npos)
        << result.out << result.err;
    fs::remove_all(At("differences"));
    return result.exitCode == kFailedCheck && result.err.find("hold the same resources") != std::string::npos;
  }
};

TEST_F(PackTest, PackOfUnpackHoldsTheSameResources) {
  ASSERT_EQ(Tool({"sample", "game"}).exitCode, kOk);
  ASSERT_EQ(Tool({"unpack", "game", "tree"}).exitCode, kOk);
  EXPECT_TOOL(Tool({"pack", "tree", "packed"}), kOk,
              "made \"packed\" from \"tree\": 1207 of 1207 entries (24 with attributes), 8 loose files");
  // The sample is laid out as pack lays out any game: byte for byte.
  for (const char* file : {"DATA0.QPX", "DATA1.QPX", "res/D00007.bin"}) {
    EXPECT_EQ(Get(std::string("packed/") + file), Get(std::string("game/") + file)) << file;
  }
  EXPECT_TRUE(SameResources("game", "packed"));
  EXPECT_TOOL(Tool({"pack", "tree/patch.manifest", "from-manifest"}), kOk, "1207 of 1207 entries (24 with attributes)");
  EXPECT_TRUE(SameResources("game", "from-manifest"));

  // A game changed by a patch made with diff: unpacked and packed again,
  // it holds what the patch wrote.
  Put("tree/entries/00010.bin", Text("A new title screen text.\n"));
  Put("tree/loose/D00002.bin", Bytes(9000, 0x22));
  fs::remove(At("tree/entries/00300.bin"));
  ASSERT_EQ(Tool({"diff", "game", "tree", "--stub", Config().patcher, "--out", "patch"}).exitCode, kOk);
  fs::copy(At("game"), At("patched"), fs::copy_options::recursive);
  ASSERT_EQ(RunPatch("patch", "patched").exitCode, 0);
  ASSERT_EQ(Tool({"unpack", "patched", "tree2"}).exitCode, kOk);
  ASSERT_EQ(Tool({"pack", "tree2", "repacked"}).exitCode, kOk);
  EXPECT_TRUE(SameResources("patched", "repacked"));
  EXPECT_EQ(Tool({"verify", "patch", "repacked"}).exitCode, kOk);
  // Entry 300's file was deleted from the tree: packed, it is empty.
  ASSERT_EQ(Tool({"pack", "tree", "without-300"}).exitCode, kOk);
  EXPECT_TOOL(Tool({"extract", "without-300", "300", "-"}), kOk, "");
  EXPECT_EQ(Tool({"extract", "without-300", "300", "-"}).out, "");
  EXPECT_FALSE(LeftoverTemporaryFiles());
}

TEST_F(PackTest, UnsafeTreesAreRefusedAndNothingIsMade) {
  const auto refused = [&](const std::vector<std::string>& arguments, const std::string& text) {
    EXPECT_TOOL(Tool(arguments), kBadInput, text);
    EXPECT_FALSE(fs::exists(At(arguments.back()))) << text;
    EXPECT_FALSE(LeftoverTemporaryFiles()) << text;
  };
  Put("tree/entries/00010.bin", Text("ten"));
  Put("tree/loose/D00002.bin", Text("loose"));
  Put("outside.bin", Text("outside"));

  // Names outside the tree, from a manifest: ../, an absolute path.
  Put("tree/escape.manifest", Text("10 ../outside.bin\n"));
  refused({"pack", "tree/escape.manifest", "out"}, "\"tree/../outside.bin\" lies outside the manifest's folder");
  Put("tree/absolute.manifest", Text("11 " + At("outside.bin").string() + "\n"));
  refused({"pack", "tree/absolute.manifest", "out"}, "lies outside the manifest's folder");
  Put("tree/twice.manifest", Text("10 entries/00010.bin\n10 loose/D00002.bin\n"));
  refused({"pack", "tree/twice.manifest", "out"}, "entry 10 is named twice");

  // Files that are no resource's, and a loose body too large for its format.
  Put("tree/entries/01207.bin", Text("past the last entry"));
  Put("tree/loose/notes.txt", Text("notes"));
  Put("tree/loose/D00005.bin", {});
  fs::resize_file(At("tree/loose/D00005.bin"), 132907009);
  const test::ProcessResult result = Tool({"pack", "tree", "out"});
  EXPECT_TOOL(result, kBadInput, "\"tree/entries/01207.bin\" is no resource's file");
  EXPECT_TOOL(result, kBadInput, "\"tree/loose/notes.txt\" is no resource's file");
  EXPECT_TOOL(result, kBadInput, "has 132,907,009 bytes: a loose file holds at most 132,907,008");
  EXPECT_FALSE(fs::exists(At("out")));

  // Never over a folder that holds anything, nor inside the tree.
  fs::remove(At("tree/entries/01207.bin"));
  fs::remove(At("tree/loose/notes.txt"));
  fs::remove(At("tree/loose/D00005.bin"));
  Put("full/keep.txt", Text("mine"));
  EXPECT_TOOL(Tool({"pack", "tree", "full"}), kBadInput, "GAMEDIR \"full\": is not empty");
  EXPECT_EQ(Get("full/keep.txt"), Text("mine"));
  refused({"pack", "tree", "tree/game"}, "lies inside TREE \"tree\"");
  refused({"pack", "nothing", "out"}, "TREE \"nothing\": no such file or folder");
  fs::create_directories(At("empty-tree"));
  refused({"pack", "empty-tree", "out"}, "holds neither entries/ nor loose/");
  EXPECT_TOOL(Tool({"pack", "tree", "out"}), kOk, "1 of 1207 entries, 1 loose file");
}

}  // namespace
}  // namespace qpx
