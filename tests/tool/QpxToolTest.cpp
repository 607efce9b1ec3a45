// End-to-end tests of qpxtool: the built program is run as an author runs
// it, natively, or (--wine) the Windows build under Wine. With --wine only
// the QpxToolWine suite runs, since each Wine start is costly.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "src/app/payload/PatchPayload.h"
#include "src/app/payload/PatcherMarker.h"
#include "src/app/payload/PayloadSeal.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "src/filesystem/posix/PathEncoding_Posix.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/TestSupport.h"
#include "tests/tool/ToolFixture.h"
#include "tools/qpxtool/authoring/GameFolder.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using test::ReadFile;
using test::WriteFile;
using tool::Grouped;
using Bytes = std::vector<uint8_t>;

using Config = test::ToolTestConfig;
Config& TheConfig() { return test::TheToolTestConfig(); }

uint32_t U32(const Bytes& bytes, std::size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

class QpxTool : public test::ToolFixture {
 protected:
  // Runs `program` (a copy of qpxtool in the scratch folder) with `arguments` there.
  ProcessResult ToolAt(const std::string& program, const std::vector<std::string>& arguments) const {
    return Tool(arguments, {}, At(program).string());
  }

  // A stand-in for the patcher program: any bytes will do for the layout.
  void MakeStub(const std::string& name, std::size_t size = 1000) {
    Bytes stub(size);
    for (std::size_t i = 0; i < size; ++i) stub[i] = static_cast<uint8_t>(i * 7 + 3);
    Put(name, stub);
  }
};

// ---------------------------------------------------------------- usage

TEST_F(QpxTool, UsageHelpAndVersion) {
  EXPECT_TOOL(Tool({}), kBadInput, "qpxtool: give a subcommand; run \"qpxtool --help\" for the list");
  EXPECT_TOOL(Tool({"--help"}), kOk, "Subcommands:");
  EXPECT_TOOL(Tool({"--version"}), kOk, "qpxtool 1.");
  EXPECT_TOOL(Tool({"frobnicate"}), kBadInput, "unknown subcommand \"frobnicate\"");
  for (const char* command :
       {"build", "list", "verify", "extract", "unpack", "pack", "diff", "plan", "reverse", "sample"}) {
    const ProcessResult help = Tool({command, "--help"});
    EXPECT_TOOL(help, kOk, std::string("Usage: qpxtool ") + command);
    EXPECT_EQ(help.err, "") << command;
    // "qpxtool help SUB" is the same text.
    const ProcessResult asked = Tool({"help", command});
    EXPECT_EQ(asked.exitCode, kOk) << command;
    EXPECT_EQ(asked.out, help.out) << command;
    // Each option once, plainly: no validator's words after its type.
    EXPECT_EQ(help.out.find(":{"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find(":INT"), std::string::npos) << help.out;
    // No type name CLI11 adds of its own ("TEXT" stands only where an option
    // names its value so, as --description TEXT).
    for (std::size_t at = help.out.find(" TEXT"); at != std::string::npos; at = help.out.find(" TEXT", at + 1)) {
      const std::size_t line = help.out.rfind('\n', at) + 1;
      const std::string before = help.out.substr(line, at - line);
      EXPECT_TRUE(before.ends_with("--product-version") || before.ends_with("--description")) << help.out;
    }
  }
  EXPECT_EQ(Tool({"help"}).out, Tool({"--help"}).out);
  EXPECT_TOOL(Tool({"help", "frobnicate"}), kBadInput, "qpxtool help: unknown subcommand \"frobnicate\"");
  EXPECT_TOOL(Tool({"build", "--help"}), kOk, "Manifest:");
  EXPECT_TOOL(Tool({"build", "--help"}), kOk, "  --level 0..9  ");
  EXPECT_TOOL(Tool({"build", "--help"}), kOk, "  --format 1|2  ");
}

// The parser's refusals name the subcommand, say what was wrong in our
// words and point at its help.
TEST_F(QpxTool, ParserRefusalsNameTheSubcommandAndWhatToGive) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"build", "--any-stub", "--stub", "s"}, "qpxtool build: --out PATCH is required (see qpxtool help build)"},
      {{"build", "-o"}, "qpxtool build: --out needs a value (PATCH)"},
      {{"build", "-o", "x", "--level", "12"}, "qpxtool build: --level \"12\": give 0..9 (see qpxtool help build)"},
      {{"build", "-o", "x", "--level", "hard"}, "qpxtool build: --level \"hard\": give 0..9"},
      {{"build", "-o", "x", "--format", "3"}, "qpxtool build: --format \"3\": give 1|2"},
      {{"build", "--any-stub", "--stub", "s", "--out", "o", "--bogus"}, "qpxtool build: unknown option \"--bogus\""},
      {{"list"}, "qpxtool list: give the patch (or - for standard input) (see qpxtool help list)"},
      {{"list", "a", "b"}, "qpxtool list: unexpected argument \"b\" (see qpxtool help list)"},
      {{"verify", "p"}, "qpxtool verify: give the patch (or - for standard input) and the game folder"},
      {{"extract", "g", "1"}, "qpxtool extract: give the game folder (or a patch), the resource number and the file"},
      {{"sample"}, "qpxtool sample: give the folder to make"},
      {{"diff", "game"}, "qpxtool diff: give the old folder(s) and the new folder (see qpxtool help diff)"},
      {{"reverse", "p", "g"}, "qpxtool reverse: --out UNDO is required"},
  };
  for (const auto& [arguments, message] : cases) {
    const ProcessResult result = Tool(arguments);
    EXPECT_TOOL(result, kBadInput, message);
    EXPECT_EQ(result.err.find("required STRING"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_TOOL(Tool({"build", "--any-stub", "--stub", "s", "--out", "o", "-1=body"}), kBadInput, "-1=body");
}

// ---------------------------------------------------------------- build

TEST_F(QpxTool, BuildWritesExactlyThePayloadLayout) {
  MakeStub("stub");
  fs::permissions(At("stub"), fs::perms(0751));
  Put("bodies/a.bin", {1, 2, 3, 4, 5});
  Put("bodies/b with spaces.bin", {6, 7, 8, 9, 10, 11, 12});
  Put("bodies/c.bin", {13, 14, 15});
  Put("d.bin", {16, 17});
  // A byte order mark, CRLF line ends, comments, blank lines, blanks around.
  Put("bodies/list.manifest",
      Text("\xEF\xBB\xBF# a comment\r\n\r\n  3 a.bin\r\n\t1207\tb with spaces.bin  \r\n# 5 x.bin\n2714 c.bin\n"));
  const ProcessResult result = Tool(
      {"build", "--any-stub", "--no-seal", "--stub", "stub", "--out", "patch", "--manifest", "bodies/list.manifest", "1206=d.bin"});
  EXPECT_TOOL(result, kOk, "wrote \"patch\"");
  EXPECT_EQ(result.err, "");

  const Bytes patch = Get("patch");
  const Bytes stub = Get("stub");
  // Stub, then bodies in record order, back to back.
  Bytes expected = stub;
  for (const Bytes& body : {Bytes{1, 2, 3, 4, 5}, Bytes{6, 7, 8, 9, 10, 11, 12}, Bytes{13, 14, 15}, Bytes{16, 17}}) {
    expected.insert(expected.end(), body.begin(), body.end());
  }
  const uint32_t table = 1000 + 17;
  // The table: resourceNumber, reserved 0, bodyOffset, bodySize.
  const std::vector<std::array<uint32_t, 4>> records = {
      {3, 0, 1000, 5}, {1207, 0, 1005, 7}, {2714, 0, 1012, 3}, {1206, 0, 1015, 2}};
  ASSERT_EQ(patch.size(), table + 16 * records.size() + 24);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), patch.begin()));
  for (std::size_t i = 0; i < records.size(); ++i) {
    for (std::size_t field = 0; field < 4; ++field) {
      EXPECT_EQ(U32(patch, table + 16 * i + 4 * field), records[i][field]) << "record " << i << " field " << field;
    }
  }
  // The trailer: version 1, reserved 1, tableOffset, recordCount, magic.
  const std::size_t trailer = patch.size() - 24;
  EXPECT_EQ(U32(patch, trailer), 1u);
  EXPECT_EQ(U32(patch, trailer + 4), 1u);
  EXPECT_EQ(U32(patch, trailer + 8), table);
  EXPECT_EQ(U32(patch, trailer + 12), 4u);
  EXPECT_EQ(std::string(patch.end() - 8, patch.end()), "PATCHDAT");
  // The same bytes as the test suites' own writer of the layout.
  const std::vector<test::TestPatch> patches = {
      {3, {1, 2, 3, 4, 5}}, {1207, {6, 7, 8, 9, 10, 11, 12}}, {2714, {13, 14, 15}}, {1206, {16, 17}}};
  EXPECT_EQ(patch, test::BuildPatchFile(stub, patches));

  // The stub's permission bits, no leftovers.
  EXPECT_EQ(fs::status(At("patch")).permissions() & fs::perms::all, fs::perms(0751));
  EXPECT_FALSE(LeftoverTemporaryFiles());

  // Sealed by default: the same bodies and table, zeros to a length that is
  // a multiple of 8, the seal, the same trailer; identical on a rebuild.
  for (const char* out : {"sealed", "again"}) {
    EXPECT_TOOL(Tool({"build", "--format", "1", "--any-stub", "--stub", "stub", "--out", out, "--manifest",
                        "bodies/list.manifest", "1206=d.bin"}),
                  kOk, "bytes in all, format 1, sealed");
  }
  const Bytes sealed = Get("sealed");
  EXPECT_EQ(sealed, test::BuildSealedPatchFile(stub, patches));
  EXPECT_EQ(sealed.size() % 8, 0u);
  EXPECT_TRUE(std::equal(patch.begin(), patch.end() - 24, sealed.begin()));
  EXPECT_TRUE(std::equal(patch.end() - 24, patch.end(), sealed.end() - 24));
  EXPECT_EQ(std::string(sealed.end() - 64, sealed.end() - 56), "QPX-SEAL");
  EXPECT_EQ(Get("again"), sealed);
}

TEST_F(QpxTool, BuildReplacesAnExistingOutputWhole) {
  MakeStub("stub", 64);
  Put("body", {42});
  Put("patch", Bytes(5000, 0xEE));
  EXPECT_TOOL(Tool({"build", "--format", "1", "--any-stub", "--stub", "stub", "--out", "patch", "-f", "7=body"}), kOk,
              "wrote");
  EXPECT_EQ(Get("patch"), test::BuildSealedPatchFile(Get("stub"), {{7, {42}}}));
  EXPECT_FALSE(LeftoverTemporaryFiles());
}

TEST_F(QpxTool, BuildWarnsOfARepeatedResource) {
  MakeStub("stub", 64);
  Put("a", {1});
  Put("b", {2});
  const ProcessResult result = Tool({"build", "--format", "1", "--any-stub", "--stub", "stub", "--out", "patch", "7=a", "7=b"});
  EXPECT_TOOL(result, kOk, "warning: argument \"7=b\": resource 7 was already given by argument \"7=a\"");
  EXPECT_EQ(Get("patch"), test::BuildSealedPatchFile(Get("stub"), {{7, {1}}, {7, {2}}}));
}

struct Refusal {
  const char* what;
  std::vector<std::string> arguments;
  std::string message;
};

TEST_F(QpxTool, BuildRefusesBadInputNamingTheLineOrArgument) {
  MakeStub("stub");
  Put("body", {1, 2, 3});
  Put("empty", {});
  fs::create_directories(At("folder"));
  Put("patched", test::BuildPatchFile(Get("stub"), {{5, {9}}}));
  Put("bad.manifest", Text("# numbers\n10 body\n2715 body\n"));
  Put("short.manifest", Text("10 body\n\n12\n"));
  Put("word.manifest", Text("ten body\n"));
  Put("missing-body.manifest", Text("10 body\n11 nothing.bin\n"));
  fs::create_hard_link(At("stub"), At("stub-link"));
  ASSERT_EQ(mkfifo(At("pipe").c_str(), 0644), 0);
  // Sparse files: sizes without the bytes.
  fs::resize_file((WriteFile(At("loose-too-big"), {}), At("loose-too-big")), uint64_t{kLooseMaxBodySize} + 1);
  fs::resize_file((WriteFile(At("two-gib"), {}), At("two-gib")), uint64_t{1} << 31);

  const std::vector<Refusal> refusals = {
      {"number above 2714 in a manifest", {"--manifest", "bad.manifest"},
       "manifest \"bad.manifest\" line 3: resource number 2715 is outside 0..2714"},
      {"number above 2714 in an argument", {"2715=body"},
       "argument \"2715=body\": resource number 2715 is outside 0..2714"},
      {"a huge number", {"4294967296=body"}, "argument \"4294967296=body\": \"4294967296\" is not a resource number"},
      {"not a number", {"--manifest", "word.manifest"},
       "manifest \"word.manifest\" line 1: \"ten\" is not a resource number"},
      {"a line without a file", {"--manifest", "short.manifest"},
       "manifest \"short.manifest\" line 3: expected NUMBER FILE"},
      {"an argument without =", {"body"}, "argument \"body\": expected NUMBER=FILE"},
      {"an argument without a file", {"12="}, "argument \"12=\": expected NUMBER=FILE"},
      {"a missing body", {"--manifest", "missing-body.manifest"},
       "manifest \"missing-body.manifest\" line 2: body \"nothing.bin\": no such file"},
      {"a body that is a folder", {"3=folder"}, "argument \"3=folder\": body \"folder\": is a folder"},
      {"a body that is a pipe", {"3=pipe"}, "argument \"3=pipe\": body \"pipe\": is not a regular file"},
      {"an empty body", {"3=body", "4=empty"}, "argument \"4=empty\": body \"empty\": is empty"},
      {"a loose body over 507 blocks", {"1300=loose-too-big"},
       "argument \"1300=loose-too-big\": body \"loose-too-big\": has 132,907,009 bytes; a loose file "
       "(res\\D00093.bin) holds at most 132,907,008"},
      {"offsets beyond 32 bits", {"--format", "1", "1=two-gib", "2=body", "3=two-gib"},
       "argument \"3=two-gib\": body \"two-gib\": would end at byte 4,294,968,299 of the patch; version-1 payload "
       "offsets must fit in 32 bits"},
      {"a missing manifest", {"--manifest", "none.manifest"}, "manifest \"none.manifest\": no such file"},
      {"no bodies at all", {}, "no bodies to put in the patch"},
  };
  for (const Refusal& refusal : refusals) {
    std::vector<std::string> arguments = {"build", "--any-stub", "--stub", "stub", "--out", "patch"};
    arguments.insert(arguments.end(), refusal.arguments.begin(), refusal.arguments.end());
    const ProcessResult result = Tool(arguments);
    EXPECT_TOOL(result, kBadInput, refusal.message);
    EXPECT_TRUE(result.err.starts_with("qpxtool build: ")) << refusal.what << ": " << result.err;
    EXPECT_FALSE(fs::exists(At("patch"))) << refusal.what;
  }

  const std::vector<Refusal> stubRefusals = {
      {"a missing stub", {"--stub", "nostub", "--out", "patch", "1=body"}, "--stub \"nostub\": no such file"},
      {"an empty stub", {"--stub", "empty", "--out", "patch", "1=body"}, "--stub \"empty\": is empty"},
      {"a stub with a payload", {"--stub", "patched", "--out", "patch", "1=body"},
       "--stub \"patched\": already carries a patch payload"},
      {"the output is the stub", {"--stub", "stub", "--out", "stub", "1=body"},
       "--out \"stub\": is the stub itself"},
      {"the stub by another name", {"--stub", "stub", "--out", "./folder/../stub", "1=body"},
       "--out \"./folder/../stub\": is the stub itself"},
      {"a hard link to the stub", {"--stub", "stub", "--out", "stub-link", "1=body"},
       "--out \"stub-link\": is the stub itself"},
      {"an output folder", {"--stub", "stub", "--out", "folder", "1=body"}, "--out \"folder\": is a folder"},
      {"an output that is a pipe", {"--stub", "stub", "--out", "pipe", "1=body"},
       "--out \"pipe\": is not a regular file"},
      {"an output in a missing folder", {"--stub", "stub", "--out", "nowhere/patch", "1=body"},
       "--out \"nowhere/patch\": its folder does not exist"},
  };
  fs::remove(At("loose-too-big"));
  fs::remove(At("two-gib"));
  const auto before = Snapshot();
  for (const Refusal& refusal : stubRefusals) {
    std::vector<std::string> arguments = {"build", "--any-stub"};
    arguments.insert(arguments.end(), refusal.arguments.begin(), refusal.arguments.end());
    EXPECT_TOOL(Tool(arguments), kBadInput, refusal.message);
  }
  EXPECT_EQ(Snapshot(), before) << "a refusal writes nothing";
  EXPECT_FALSE(LeftoverTemporaryFiles());
}

TEST_F(QpxTool, BuildRefusesAnUnreadableBody) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  MakeStub("stub");
  Put("secret", {1});
  fs::permissions(At("secret"), fs::perms::none);
  EXPECT_TOOL(Tool({"build", "--any-stub", "--stub", "stub", "--out", "patch", "3=secret"}), kBadInput,
                "body \"secret\": cannot be opened for reading");
}

TEST_F(QpxTool, ReplacePayloadBuildsFromTheProgramAlone) {
  MakeStub("stub", 3000);
  Put("a", Bytes(100, 1));
  Put("b", Bytes(50, 2));
  Put("c", Bytes(70, 3));
  ASSERT_EQ(Tool({"build", "--any-stub", "--stub", "stub", "--out", "first", "10=a", "1207=b"}).exitCode, kOk);
  ASSERT_EQ(Tool({"build", "--any-stub", "--stub", "stub", "--out", "direct", "11=c"}).exitCode, kOk);
  const ProcessResult result = Tool({"build", "--any-stub", "--stub", "first", "--out", "second", "--replace-payload", "11=c"});
  // 150 bytes of bodies, a table of 32, 2 bytes of padding, the seal and the trailer.
  EXPECT_TOOL(result, kOk, "old payload of 248 bytes was left out");
  EXPECT_EQ(Get("second"), Get("direct"));
  // A stub without a payload is taken whole.
  EXPECT_TOOL(Tool({"build", "--any-stub", "--stub", "stub", "--out", "third", "--replace-payload", "11=c"}), kOk, "wrote");
  EXPECT_EQ(Get("third"), Get("direct"));
}

TEST_F(QpxTool, ReplacePayloadRefusesAPayloadItCannotCutCleanly) {
  MakeStub("stub", 1000);
  Put("body", {1});
  // A body taken from the program itself: stripping at it would cut the program.
  Bytes fromImage = Get("stub");
  Bytes extra(30, 9);
  fromImage.insert(fromImage.end(), extra.begin(), extra.end());
  test::AppendTrailer(fromImage, 1, test::AppendTable(fromImage, {{5, 0, 10, 20}, {6, 0, 1000, 30}}), 2);
  Put("from-image", fromImage);
  // A damaged payload: the magic, but a version no patcher reads.
  Bytes damaged = Get("stub");
  test::AppendTrailer(damaged, 4, 1000, 0);
  Put("damaged", damaged);
  // A patch of a patch.
  Put("twice", test::BuildPatchFile(test::BuildPatchFile(Get("stub"), {{1, {1}}}), {{2, {2}}}));

  EXPECT_TOOL(Tool({"build", "--any-stub", "--stub", "from-image", "--out", "p", "--replace-payload", "1=body"}), kBadInput,
                "cannot strip its payload: its payload leaves bytes 30..999 unused");
  EXPECT_TOOL(Tool({"build", "--any-stub", "--stub", "damaged", "--out", "p", "--replace-payload", "1=body"}), kBadInput,
                "carries a damaged payload (the patcher says \"Can't read patch header\")");
  EXPECT_TOOL(Tool({"build", "--any-stub", "--stub", "twice", "--out", "p", "--replace-payload", "1=body"}), kBadInput,
                "still ends in a payload once its own is stripped");
  EXPECT_FALSE(fs::exists(At("p")));
}

TEST_F(QpxTool, BuildStreamsInBoundedMemory) {
  MakeStub("stub", 4096);
  // The largest loose body there is (sparse on disk), and a big entry body.
  fs::resize_file((WriteFile(At("largest"), {}), At("largest")), kLooseMaxBodySize);
  fs::resize_file((WriteFile(At("big"), {}), At("big")), 64u << 20);
  const ProcessResult result =
      Tool({"build", "--format", "1", "--any-stub", "--stub", "stub", "--out", "patch", "2714=largest", "0=big"});
  EXPECT_TOOL(result, kOk, "wrote");
  const uint64_t tableEnd = 4096u + kLooseMaxBodySize + (64u << 20) + 2 * 16;
  EXPECT_EQ(fs::file_size(At("patch")), tableEnd + SealPadding(tableEnd) + kSealDistance);
  if (TheConfig().wine.empty() && !test::kUnderSanitizer) {
    EXPECT_LT(result.maxResidentKiB, 16 * 1024) << "peak memory must not follow the payload's size";
  }
}

TEST_F(QpxTool, ABuildThatCannotWriteLeavesNothingBehind) {
  MakeStub("stub");
  fs::resize_file((WriteFile(At("big"), {}), At("big")), 8u << 20);
  Put("earlier", Text("an earlier patch"));
  // Past the file size limit a write fails as on a full disk; the signal
  // that would end the process by default is not let do so.
  test::ProcessOptions limited;
  limited.fileSizeLimit = 1u << 20;
  for (const char* out : {"patch", "earlier"}) {
    const ProcessResult result =
        Tool({"build", "--format", "1", "--any-stub", "--stub", "stub", "--out", out, "--force", "0=big"}, limited);
    EXPECT_TOOL(result, kFailedCheck, "writing failed");
    EXPECT_FALSE(LeftoverTemporaryFiles()) << out;
  }
  EXPECT_FALSE(fs::exists(At("patch")));
  EXPECT_EQ(Get("earlier"), Text("an earlier patch"));
}

// ---------------------------------------------------------------- the round trip

class RoundTrip : public QpxTool {
 protected:
  void SetUp() override {
    MakeGame("game");
    fs::copy(fs::path(QPX_SOURCE_DIR) / "examples", At("examples"), fs::copy_options::recursive);
    // Beside the examples: an entry replaced by a body of its very length
    // (in place, its record left as it was) and a second loose file.
    Put("same-size.bin", SampleBody(500, 1 + (20 * 37) % 600));
    Put("loose7.bin", SampleBody(501, 300000));
  }

  std::vector<std::pair<uint32_t, std::string>> Bodies() const {
    return {{10, "examples/bodies/entry-10.txt"}, {12, "examples/bodies/entry-12.txt"},
            {49, "examples/bodies/entry-49.txt"}, {1209, "examples/bodies/res-D00002.txt"},
            {20, "same-size.bin"},                {1214, "loose7.bin"}};
  }

  std::vector<ArchiveIndexEntry> Index() const {
    const Bytes bytes = Get("game/DATA0.QPX");
    std::vector<ArchiveIndexEntry> index(kEntryCount);
    std::memcpy(index.data(), bytes.data(), kIndexFileSize);
    return index;
  }
};

TEST_F(RoundTrip, BuildPatchVerifyAndExtract) {
  const ProcessResult built = Tool({"build", "--format", "1", "--stub", TheConfig().patcher, "--out", "patch",
                                    "--manifest", "examples/patch.manifest", "20=same-size.bin", "1214=loose7.bin"});
  EXPECT_TOOL(built, kOk, "6 bodies");
  EXPECT_EQ(fs::status(At("patch")).permissions(), fs::status(TheConfig().patcher).permissions());

  const ProcessResult listed = Tool({"list", "patch"});
  EXPECT_TOOL(listed, kOk, "total: 6 records (4 entries, 2 loose files), 302,235 bytes of bodies");
  EXPECT_NE(listed.out.find("  1209  res\\D00002.bin  "), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("    12  entry 12        "), std::string::npos) << listed.out;

  // Before the patch: nothing is there yet, but the same-size entry's record.
  const ProcessResult before = Tool({"verify", "patch", "game"});
  EXPECT_TOOL(before, kFailedCheck, "verify: 0 of 6 records applied, 6 NOT applied");
  EXPECT_TOOL(before, kFailedCheck, "differs from the body at byte 0");
  EXPECT_TOOL(before, kFailedCheck, "res\\D00002.bin is 4,224 bytes, not 2,816");

  const auto oldIndex = Index();
  const uint64_t oldDataSize = fs::file_size(At("game/DATA1.QPX"));
  const ProcessResult patched = RunPatch("patch", "game");
  ASSERT_EQ(patched.exitCode, 0) << patched.out;
  ASSERT_NE(patched.out.find("Success!"), std::string::npos) << patched.out;

  // The examples do what the manifest says they do.
  const auto index = Index();
  EXPECT_EQ(index[10].offset, oldIndex[10].offset) << "in place";
  EXPECT_EQ(index[10].size, 380u);
  EXPECT_EQ(index[12].offset, oldDataSize) << "appended";
  EXPECT_GT(index[49].offset, oldDataSize) << "appended for its attributes";
  EXPECT_EQ(index[49].attributes, 0u);
  EXPECT_EQ(std::memcmp(&index[20], &oldIndex[20], sizeof index[20]), 0) << "record left as it was";
  EXPECT_EQ(fs::file_size(At("game/res/D00002.bin")), 2816u);

  const auto snapshot = Snapshot();
  const ProcessResult after = Tool({"verify", "patch", "game"});
  EXPECT_TOOL(after, kOk, "verify: 6 of 6 records applied");
  EXPECT_EQ(after.err, "");
  EXPECT_EQ(Snapshot(), snapshot) << "verify writes nothing";

  // From the game, and from the patch itself.
  for (const auto& [number, file] : Bodies()) {
    for (const char* from : {"game", "patch"}) {
      const std::string out = std::string("extracted-") + from + "-" + std::to_string(number);
      EXPECT_TOOL(Tool({"extract", from, std::to_string(number), out}), kOk, "wrote");
      EXPECT_EQ(Get(out), Get(file)) << number << " from the " << from;
    }
  }
}

TEST_F(RoundTrip, VerifyTellsSupersededRecordsAndDifferences) {
  Put("first.bin", Bytes(200, 1));
  Put("second.bin", Bytes(300, 2));
  ASSERT_EQ(Tool({"build", "--format", "1", "--stub", TheConfig().patcher, "--out", "patch", "7=first.bin",
                  "1208=loose7.bin", "7=second.bin"})
                .exitCode,
            kOk);
  ASSERT_EQ(RunPatch("patch", "game").exitCode, 0);
  const ProcessResult result = Tool({"verify", "patch", "game"});
  EXPECT_TOOL(result, kOk, "superseded by record 2");
  EXPECT_TOOL(result, kOk, "verify: 2 of 3 records applied, 1 superseded");

  // One byte changed in the data file, a byte added to a loose file.
  Bytes data = Get("game/DATA1.QPX");
  data[Index()[7].offset + 150] ^= 0xFF;
  Put("game/DATA1.QPX", data);
  Bytes loose = Get("game/res/D00001.bin");
  loose.push_back(0);
  Put("game/res/D00001.bin", loose);
  const ProcessResult changed = Tool({"verify", "patch", "game"});
  EXPECT_TOOL(changed, kFailedCheck, "DATA1.QPX differs from the body at byte 150 of the body");
  EXPECT_TOOL(changed, kFailedCheck, "res\\D00001.bin is 302,081 bytes, not 302,080");
  EXPECT_TOOL(changed, kFailedCheck, "verify: 0 of 3 records applied, 2 NOT applied, 1 superseded");

  // A loose file whose fill is not zeros, then a missing one.
  loose.pop_back();
  loose.back() = 1;
  Put("game/res/D00001.bin", loose);
  EXPECT_TOOL(Tool({"verify", "patch", "game"}), kFailedCheck, "has other bytes than zeros after the body");
  fs::remove(At("game/res/D00001.bin"));
  EXPECT_TOOL(Tool({"verify", "patch", "game"}), kFailedCheck, "res\\D00001.bin is missing");
}

TEST_F(RoundTrip, VerifyFollowsThePatcherThroughOddRecords) {
  // Written by hand: a skipped record, a resource that does not exist, a body
  // outside the file, and a record after it that the run never reaches.
  Bytes patch = Bytes(100, 0x55);
  const uint32_t table =
      test::AppendTable(patch, {{5, 0, 0, 0}, {2715, 0, 0, 10}, {6, 0, 1000, 20}, {7, 0, 0, 10}});
  test::AppendTrailer(patch, 1, table, 4);
  Put("odd", patch);
  const ProcessResult verified = Tool({"verify", "odd", "game"});
  EXPECT_TOOL(verified, kFailedCheck, "skipped: size 0");
  EXPECT_TOOL(verified, kFailedCheck, "NOT APPLIED: no such resource (the patcher prints \"Failed\")");
  EXPECT_TOOL(verified, kFailedCheck, "NOT APPLIED: body outside the patch file");
  EXPECT_TOOL(verified, kFailedCheck, "NOT APPLIED: the patcher stops at record 2");
  EXPECT_TOOL(verified, kFailedCheck, "verify: 0 of 4 records applied, 3 NOT applied, 1 skipped");

  const ProcessResult listed = Tool({"list", "odd"});
  EXPECT_TOOL(listed, kFailedCheck, "skipped: size 0");
  EXPECT_TOOL(listed, kFailedCheck, "record 1: the patcher would print \"Failed\"");
  EXPECT_TOOL(listed, kFailedCheck, "record 2: the patcher would print \"Can't read patch data\" and stop");
  EXPECT_TOOL(listed, kFailedCheck, "not reached: the run stops at record 2");
  EXPECT_TOOL(listed, kFailedCheck, "payload not laid out back to back");
  EXPECT_TOOL(listed, kFailedCheck, "out of range");
}

// A record's size may be anything a forger writes: the total that list
// shows never wraps to a small one.
TEST_F(RoundTrip, ListNeverWrapsTheTotalOfForgedSizes) {
  PutForgedHugePatch("huge");
  const ProcessResult listed = Tool({"list", "huge"});
  EXPECT_NE(listed.out.find("for more than 18,446,744,073,709,551,615 bytes of resources"), std::string::npos)
      << listed.out << listed.err;
}

TEST_F(RoundTrip, VerifyAndListRefuseWhatThePatcherRefuses) {
  Put("plain", Bytes(100, 1));
  Bytes version = Bytes(100, 1);
  test::AppendTrailer(version, 4, 100, 0);
  Put("version", version);
  Bytes table = Bytes(100, 1);
  test::AppendTrailer(table, 1, 90, 5);
  Put("table", table);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "Can't find patch data"}, {"version", "Can't read patch header"}, {"table", "Can't read patch info"}};
  for (const auto& [file, message] : cases) {
    EXPECT_TOOL(Tool({"list", file}), kFailedCheck, "qpxtool list: patch \"" + file + "\": " + message);
    EXPECT_TOOL(Tool({"verify", file, "game"}), kBadInput, "qpxtool verify: patch \"" + file + "\": " + message);
  }
  EXPECT_TOOL(Tool({"list", "nothing"}), kBadInput, "patch \"nothing\": no such file");
  EXPECT_TOOL(Tool({"list", "game"}), kBadInput, "patch \"game\": is a folder");
  Put("empty-patch", test::BuildPatchFile(Bytes(10, 1), {}));
  EXPECT_TOOL(Tool({"list", "empty-patch"}), kOk, "total: 0 records");
  EXPECT_TOOL(Tool({"verify", "empty-patch", "nowhere"}), kBadInput, "game folder \"nowhere\": no such folder");
  Put("entry-patch", test::BuildPatchFile(Bytes(10, 1), {{3, {1}}}));
  fs::create_directories(At("not-a-game"));
  EXPECT_TOOL(Tool({"verify", "entry-patch", "not-a-game"}), kBadInput, "cannot be opened; is this a game folder?");
}

TEST_F(RoundTrip, EveryReaderRefusesADamagedPatch) {
  const std::string& patcher = TheConfig().patcher;
  for (const char* out : {"patch", "plain"}) {
    std::vector<std::string> arguments = {"build", "--stub", patcher, "--out", out, "--manifest", "examples/patch.manifest"};
    if (std::string(out) == "plain") arguments.push_back("--no-seal");
    ASSERT_EQ(Tool(arguments).exitCode, kOk);
  }
  EXPECT_TOOL(Tool({"list", "patch"}), kOk, "sealed: the seal holds");
  EXPECT_TOOL(Tool({"list", "plain"}), kOk, "not sealed");

  Bytes damaged = Get("patch");
  damaged[fs::file_size(patcher) + 10] ^= 1;  // one bit of the first body
  Put("damaged", damaged);
  fs::permissions(At("damaged"), fs::perms::owner_all);
  const std::string message = "patch \"damaged\": Patch data is damaged";
  EXPECT_TOOL(Tool({"list", "damaged"}), kFailedCheck, "qpxtool list: " + message);
  EXPECT_TOOL(Tool({"verify", "damaged", "game"}), kFailedCheck, "qpxtool verify: " + message);
  EXPECT_TOOL(Tool({"plan", "damaged", "game"}), kFailedCheck, "qpxtool plan: " + message);
  EXPECT_TOOL(Tool({"reverse", "damaged", "game", "--stub", patcher, "--out", "p"}), kFailedCheck,
                "qpxtool reverse: " + message);
  EXPECT_TOOL(Tool({"build", "--stub", "damaged", "--replace-payload", "--out", "p", "1=same-size.bin"}), kBadInput,
                "carries a damaged payload (the patcher says \"Patch data is damaged\")");
  EXPECT_FALSE(fs::exists(At("p")));

  const auto before = Snapshot();
  const ProcessResult run = RunPatch("damaged", "game");
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_EQ(run.out, "Patch data is damaged\nDownload the patch again; nothing was changed\n");
  EXPECT_EQ(Snapshot(), before) << "not a byte written";
}

TEST_F(QpxTool, ASignedStubIsRefused) {
  Put("body", {1});
  Put("signed-stub", test::Sign(Bytes(2000, 1)));
  EXPECT_TOOL(Tool({"build", "--stub", "signed-stub", "--out", "p", "3=body"}), kBadInput,
                "is signed (it carries an Authenticode certificate table)");
  EXPECT_TOOL(Tool({"build", "--stub", "signed-stub", "--out", "p", "3=body"}), kBadInput, "sign the built patch");
  // A signed patch is listed whole, but cannot be the stub of another.
  Put("signed-patch", test::Sign(test::BuildSealedPatchFile(test::PeImage(600, 0, 0), {{3, {1}}})));
  EXPECT_TOOL(Tool({"list", "signed-patch"}), kOk, "signed: an Authenticode certificate table of 1,0");
  EXPECT_TOOL(Tool({"list", "signed-patch"}), kOk, "sealed: the seal holds");
  EXPECT_TOOL(Tool({"build", "--stub", "signed-patch", "--replace-payload", "--out", "p", "3=body"}), kBadInput,
                "is signed");
  EXPECT_FALSE(fs::exists(At("p")));
}

TEST_F(RoundTrip, ExtractRefusesBadInput) {
  EXPECT_TOOL(Tool({"extract", "game", "2715", "out"}), kBadInput, "NUMBER \"2715\": not a resource number");
  EXPECT_TOOL(Tool({"extract", "game", "x1", "out"}), kBadInput, "NUMBER \"x1\": not a resource number");
  EXPECT_TOOL(Tool({"extract", "nowhere", "1", "out"}), kBadInput, "game folder \"nowhere\": no such folder");
  EXPECT_TOOL(Tool({"extract", "game", "1215", "out"}), kBadInput, "res\\D00008.bin: ");
  Put("game/res/D00009.bin", Bytes(3000, 7));
  EXPECT_TOOL(Tool({"extract", "game", "1216", "out"}), kBadInput, "is not a loose resource file");
  EXPECT_TOOL(Tool({"extract", "game", "3", "game/DATA1.QPX"}), kBadInput, "of the game folder");
  EXPECT_TOOL(Tool({"extract", "game", "1207", "game/res/D00000.bin"}), kBadInput, "of the game folder");
  EXPECT_TOOL(Tool({"extract", "game", "3", "game"}), kBadInput, "output \"game\": is a folder");
  EXPECT_FALSE(fs::exists(At("out")));
  // An entry is its record's size bytes at its offset; a loose file's body follows its header.
  EXPECT_TOOL(Tool({"extract", "game", "599", "e"}), kOk, "wrote entry 599 (resource 599, 564 bytes)");
  EXPECT_EQ(Get("e"), SampleBody(599, 564));
  EXPECT_TOOL(Tool({"extract", "game", "1210", "l"}), kOk, "res\\D00003.bin (resource 1210, 3,100 bytes)");
  EXPECT_EQ(Get("l"), SampleBody(kEntryCount + 3, 3100));
}

// ---------------------------------------------------------------- sample

TEST_F(QpxTool, SampleMakesTheSyntheticGameFolder) {
  const ProcessResult made = Tool({"sample", "mine"});
  EXPECT_TOOL(made, kOk, "made \"mine\"");
  MakeGame("reference");
  for (const char* file : {"DATA0.QPX", "DATA1.QPX", "res/D00000.bin", "res/D00007.bin"}) {
    EXPECT_EQ(Get(std::string("mine/") + file), Get(std::string("reference/") + file)) << file;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(At("mine/res")), fs::directory_iterator()), 8);

  EXPECT_TOOL(Tool({"sample", "mine"}), kBadInput, "game folder \"mine\": already holds DATA0.QPX");
  Put("lower/data0.qpx", {1});
  EXPECT_TOOL(Tool({"sample", "lower"}), kBadInput, "already holds DATA0.QPX");
  EXPECT_EQ(Get("lower/data0.qpx"), Bytes{1});
  Put("data-only/Data1.Qpx", {1});
  EXPECT_TOOL(Tool({"sample", "data-only"}), kBadInput, "already holds DATA1.QPX");
  Put("a-file", {1});
  EXPECT_TOOL(Tool({"sample", "a-file"}), kBadInput, "is a file, not a folder");
  EXPECT_TOOL(Tool({"sample", "no/such/parent"}), kBadInput, "cannot be made");
  fs::create_directories(At("empty"));
  EXPECT_TOOL(Tool({"sample", "empty"}), kOk, "made");
}

// ---------------------------------------------------------------- paths

TEST_F(QpxTool, NonAsciiPathsWork) {
  MakeGame("spiel ü");
  Put("körper/ä body.bin", Bytes(333, 0xA5));
  Put("körper/liste.manifest", Text("1211 ä body.bin\n"));
  EXPECT_TOOL(Tool({"build", "--stub", TheConfig().patcher, "--out", "pätch", "--manifest",
                      "körper/liste.manifest"}),
                kOk, "wrote \"pätch\"");
  ASSERT_EQ(RunPatch("pätch", "spiel ü").exitCode, 0);
  EXPECT_TOOL(Tool({"verify", "pätch", "spiel ü"}), kOk, "1 of 1 record applied");
  EXPECT_TOOL(Tool({"extract", "spiel ü", "1211", "ø.bin"}), kOk, "to \"ø.bin\"");
  EXPECT_EQ(Get("ø.bin"), Bytes(333, 0xA5));
}

// ---------------------------------------------------------------- the author's workflow

// The bytes of every resource of a game folder, read in-process as extract
// reads them (nullopt: a loose file that is not there), and the entries'
// attributes.
struct GameContents {
  std::vector<std::optional<Bytes>> resources;
  std::vector<uint64_t> attributes;
};

GameContents ReadGame(const fs::path& game) {
  GameContents contents;
  const Bytes index = ReadFile(game / "DATA0.QPX");
  const Bytes data = ReadFile(game / "DATA1.QPX");
  for (uint32_t n = 0; n < kEntryCount; ++n) {
    ArchiveIndexEntry entry{};
    std::memcpy(&entry, index.data() + n * sizeof entry, sizeof entry);
    contents.resources.emplace_back(Bytes(data.begin() + static_cast<std::ptrdiff_t>(entry.offset),
                                          data.begin() + static_cast<std::ptrdiff_t>(entry.offset + entry.size)));
    contents.attributes.push_back(entry.attributes);
  }
  for (uint32_t i = 0; i < kLooseFileCount; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "D%05u.bin", i);
    if (!fs::exists(game / "res" / name)) {
      contents.resources.emplace_back();
      continue;
    }
    const Bytes file = ReadFile(game / "res" / name);
    contents.resources.emplace_back(Bytes(file.begin() + 2048, file.begin() + 2048 + U32(file, 4)));
  }
  return contents;
}

// A patch's payload, read in-process by the patcher's own reader.
Payload PayloadOf(const Bytes& patch) {
  const fs::path file = fs::temp_directory_path() / ("qpx-payload-" + std::to_string(getpid()));
  WriteFile(file, patch);
  const auto fileSystem = CreatePlatformFileSystem();
  Payload payload;
  {
    const auto opened = fileSystem->Open(file.wstring().c_str(), OpenMode_Read);
    EXPECT_TRUE(opened && ReadPayload(*opened, payload) == PayloadError::None);
  }
  fs::remove(file);
  return payload;
}

// The record numbers of a patch, in order.
std::vector<uint32_t> RecordNumbers(const Bytes& patch) {
  std::vector<uint32_t> numbers;
  for (const PayloadRecord& record : PayloadOf(patch).records) numbers.push_back(record.resourceNumber);
  return numbers;
}

class Workflow : public RoundTrip {
 protected:
  ProcessResult Diff(const std::string& original, const std::string& modified, const std::string& out) {
    return Tool({"diff", original, modified, "--stub", TheConfig().patcher, "--out", out, "--force"});
  }
  // Copies `game` to `copy` and runs `patch` there natively.
  ProcessResult ApplyToCopy(const std::string& patch, const std::string& game, const std::string& copy) {
    fs::remove_all(At(copy));
    fs::copy(At(game), At(copy), fs::copy_options::recursive);
    return RunPatch(patch, copy);
  }
};

// A random pair of game folders: MODIFIED has entries replaced in place,
// grown, shrunk, filled where ORIGINAL's were empty, attributes dropped, and
// loose files grown and shrunk. Returns the resources that differ.
std::vector<uint32_t> MakeRandomPair(uint32_t seed, GameFolder& original, GameFolder& modified) {
  std::vector<uint32_t> differ;
  uint32_t state = seed * 2654435761u + 1;
  const auto next = [&](uint32_t bound) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state % bound;
  };
  for (uint32_t n = 0; n < kEntryCount; ++n) {
    const uint32_t size = n % 97 == 5 ? 0 : 1 + next(700);
    const uint64_t attributes = next(10) == 0 ? 1 : 0;
    original.AddEntry(n, SampleBody(n + seed, size), attributes);
    uint32_t newSize = size;
    bool newBytes = true, changed = true;
    switch (next(12)) {
      case 0: break;                                            // new bytes, same length: in place
      case 1: newSize = size + 1 + next(300); break;            // grown
      case 2: newSize = size == 0 ? 0 : 1 + next(size); break;  // shrunk
      case 3: newBytes = false; changed = attributes != 0 && size != 0; break;  // attributes dropped
      default: newBytes = changed = false;
    }
    if (size == 0 && newSize == 0 && newBytes && n % 2 == 0) newSize = 1 + next(50);  // an empty entry filled
    if (newBytes && newSize == 0) newBytes = changed = false;
    const Bytes body = newBytes ? SampleBody(n + seed + 7777, newSize) : SampleBody(n + seed, size);
    modified.AddEntry(n, body, changed ? 0 : attributes);
    if (changed) differ.push_back(n);
  }
  for (uint32_t i = 0; i < 12; ++i) {
    const uint32_t size = 100 + next(5000);
    original.AddLooseFile(i, LooseFileImage(SampleBody(9000 + i, size)));
    const uint32_t kind = next(3);
    const uint32_t newSize = kind == 0 ? size + 1 + next(300000) : kind == 1 ? 1 + next(size) : size;
    modified.AddLooseFile(i, LooseFileImage(SampleBody(kind == 2 ? 9000 + i : 19000 + i, newSize)));
    if (kind != 2) differ.push_back(kEntryCount + i);
  }
  return differ;
}

TEST_F(Workflow, DiffOfRandomFoldersMakesEveryResourceReadAsModified) {
  const auto fileSystem = CreatePlatformFileSystem();
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    GameFolder original, modified;
    const std::vector<uint32_t> differ = MakeRandomPair(seed, original, modified);
    fs::remove_all(At("a"));
    fs::remove_all(At("b"));
    fs::create_directories(At("a"));
    fs::create_directories(At("b"));
    ASSERT_TRUE(original.Write(*fileSystem, posix::DecodePath(At("a").string())));
    ASSERT_TRUE(modified.Write(*fileSystem, posix::DecodePath(At("b").string())));

    EXPECT_TOOL(Diff("a", "b", "patch"), kOk, std::to_string(differ.size()) + " of 2715 resources differ");
    EXPECT_EQ(RecordNumbers(Get("patch")), differ) << "exactly the differing resources, in number order";
    EXPECT_TOOL(Tool({"plan", "patch", "a"}), kOk, "would apply");
    ASSERT_EQ(ApplyToCopy("patch", "a", "applied").exitCode, 0);
    const GameContents want = ReadGame(At("b")), got = ReadGame(At("applied"));
    for (uint32_t n = 0; n < kResourceLimit; ++n) ASSERT_EQ(got.resources[n], want.resources[n]) << "resource " << n;
    for (uint32_t n : differ) {
      if (n < kEntryCount) {
        EXPECT_EQ(got.attributes[n], 0u) << n;
      }
    }
    // Now the folders hold the same resources.
    EXPECT_TOOL(Diff("applied", "b", "empty"), kFailedCheck, "the folders hold the same resources; no patch written");
    EXPECT_FALSE(fs::exists(At("empty")));
  }
}

TEST_F(Workflow, DiffRefusesWhatNoPatchCanDoAndWritesNothing) {
  const auto copy = [&](const std::string& name) { fs::copy(At("game"), At(name), fs::copy_options::recursive); };
  const auto entryRecord = [&](const std::string& game, uint32_t n, auto change) {
    Bytes index = Get(game + "/DATA0.QPX");
    ArchiveIndexEntry entry{};
    std::memcpy(&entry, index.data() + n * 32, 32);
    change(entry);
    std::memcpy(index.data() + n * 32, &entry, 32);
    Put(game + "/DATA0.QPX", index);
  };
  copy("attributed");  // entry 100 moved onto entry 101's bytes, with attributes
  entryRecord("attributed", 100, [](ArchiveIndexEntry& e) { e.attributes = 3; e.offset += 32; });
  copy("emptied");
  entryRecord("emptied", 7, [](ArchiveIndexEntry& e) { e.size = 0; });
  copy("missing-loose");
  fs::remove(At("missing-loose/res/D00003.bin"));
  copy("extra-loose");
  Put("extra-loose/res/D00100.bin", LooseFileImage(Bytes(10, 1)));
  fs::create_directories(At("neither"));
  Put("neither/notes.txt", Text("hello"));
  ASSERT_EQ(Tool({"unpack", "game", "big"}).exitCode, kOk);
  fs::resize_file(At("big/loose/D00001.bin"), uint64_t{kLooseMaxBodySize} + 1);

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"neither", "MODIFIED \"neither\": is neither a game folder"},
      {"attributed", "entry 100 differs, but MODIFIED's has attributes 3"},
      {"emptied", "entry 7 is empty in MODIFIED"},
      {"missing-loose", "res\\D00003.bin is in ORIGINAL but not in MODIFIED"},
      {"extra-loose", "res\\D00100.bin is in MODIFIED but not in ORIGINAL"},
      {"big", "res\\D00001.bin has 132,907,009 bytes in MODIFIED"},
  };
  for (const auto& [modified, message] : cases) {
    EXPECT_TOOL(Diff("game", modified, "patch"), kBadInput, message);
    EXPECT_FALSE(fs::exists(At("patch"))) << modified;
  }
  EXPECT_TOOL(Diff("neither", "game", "patch"), kBadInput, "ORIGINAL \"neither\": is not a game folder");
  EXPECT_TOOL(Tool({"diff", "game", "game", "--manifest-out", "neither"}), kBadInput, "is not empty");
  EXPECT_TOOL(Tool({"diff", "game", "game", "--stub", "p"}), kBadInput, "--out PATCH is required");
  EXPECT_FALSE(LeftoverTemporaryFiles());
}

TEST_F(Workflow, UnpackEditDiffApply) {
  const ProcessResult unpacked = Tool({"unpack", "game", "mod"});
  EXPECT_TOOL(unpacked, kOk, "wrote 1215 resources (1207 entries, 8 loose files; 390,184 bytes)");
  EXPECT_TOOL(unpacked, kOk, "24 entries with attributes are named in comments only");
  const Bytes manifestBytes = Get("mod/patch.manifest");
  const std::string manifest(manifestBytes.begin(), manifestBytes.end());
  EXPECT_NE(manifest.find("\n10 entries/00010.bin\n"), std::string::npos);
  EXPECT_NE(manifest.find("\n1209 loose/D00002.bin\n"), std::string::npos);
  EXPECT_NE(manifest.find("\n# 49 entries/00049.bin  (attributes 1: a patch would store it as a plain entry"),
            std::string::npos);
  EXPECT_EQ(Get("mod/entries/00599.bin"), SampleBody(599, 564));
  EXPECT_EQ(Get("mod/loose/D00003.bin"), SampleBody(kEntryCount + 3, 3100));

  // The manifest builds a full patch, which changes nothing but attributes.
  EXPECT_TOOL(Tool({"build", "--stub", TheConfig().patcher, "--out", "full", "--manifest", "mod/patch.manifest"}),
                kOk, "1191 bodies");
  // Nothing edited: nothing differs.
  // Nothing edited: nothing differs, and a patch of no records is written only when asked for.
  const auto unchanged = Snapshot();
  const ProcessResult same = Diff("game", "mod", "none");
  EXPECT_TOOL(same, kFailedCheck, "qpxtool diff: the folders hold the same resources; no patch written");
  EXPECT_EQ(same.out, "");
  EXPECT_EQ(Snapshot(), unchanged);
  EXPECT_FALSE(LeftoverTemporaryFiles());
  EXPECT_TOOL(Tool({"diff", "game", "mod", "--manifest-out", "bodies"}), kFailedCheck, "no patch written");
  EXPECT_FALSE(fs::exists(At("bodies")));
  EXPECT_TOOL(Tool({"diff", "game", "mod", "--stub", TheConfig().patcher, "--out", "none", "--allow-empty"}), kOk,
              "the folders hold the same resources; wrote \"none\", a Linux patch with no records");
  EXPECT_TRUE(RecordNumbers(Get("none")).empty());

  // Two files edited (one an attributed entry), one deleted.
  Put("mod/entries/00049.bin", Bytes(40, 0x49));
  Put("mod/loose/D00002.bin", Bytes(9000, 0x22));
  fs::remove(At("mod/entries/00300.bin"));
  const ProcessResult diffed = Diff("game", "mod", "patch");
  EXPECT_TOOL(diffed, kOk, "2 of 2715 resources differ (1 entry, 1 loose file; 9,040 bytes)");
  EXPECT_TOOL(diffed, kOk, "1 resource whose file was deleted from MODIFIED is left as it is");
  EXPECT_EQ(RecordNumbers(Get("patch")), (std::vector<uint32_t>{49, 1209}));

  // Made against the game, every record knows the bytes it replaces.
  for (const PayloadRecord& record : PayloadOf(Get("patch")).records) EXPECT_TRUE(record.hasBase);

  // The same as a folder of bodies, which build turns into the same patch
  // (but for the bytes they replace, which only diff knows).
  EXPECT_TOOL(Tool({"diff", "game", "mod", "--manifest-out", "edits"}), kOk, "wrote the bodies and patch.manifest");
  EXPECT_TOOL(Tool({"build", "--format", "1", "--stub", TheConfig().patcher, "--out", "built", "--manifest",
                      "edits/patch.manifest"}),
                kOk, "2 bodies");
  EXPECT_TOOL(Tool({"diff", "--format", "1", "game", "mod", "--stub", TheConfig().patcher, "--out", "patch1"}), kOk,
                "2 of 2715 resources differ");
  EXPECT_EQ(Get("built"), Get("patch1"));

  ASSERT_EQ(ApplyToCopy("patch", "game", "applied").exitCode, 0);
  const GameContents before = ReadGame(At("game")), after = ReadGame(At("applied"));
  for (uint32_t n = 0; n < kResourceLimit; ++n) {
    if (n != 49 && n != 1209) {
      ASSERT_EQ(after.resources[n], before.resources[n]) << n;
    }
  }
  EXPECT_EQ(after.resources[49], Bytes(40, 0x49));
  EXPECT_EQ(after.resources[1209], Bytes(9000, 0x22));

  EXPECT_TOOL(Tool({"unpack", "game", "mod"}), kBadInput, "output folder \"mod\": is not empty");
  EXPECT_TOOL(Tool({"unpack", "mod", "other"}), kBadInput, "cannot be opened; is this a game folder?");
  EXPECT_FALSE(fs::exists(At("other")));
}

// What plan says of each record, by the index in its first column (its
// rows are laid out in fixed columns, the verdict from column 46 on; from
// column 58 for a version-2 patch, whose rows have a column more).
std::map<int, std::string> PlanVerdicts(const std::string& out, std::size_t column = 46) {
  std::map<int, std::string> verdicts;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const std::string index = line.substr(0, 6);
    if (line.size() > column && index.find_first_not_of(' ') != std::string::npos &&
        index.find_first_not_of(" 0123456789") == std::string::npos) {
      verdicts[std::stoi(index)] = line.substr(column);
    }
  }
  return verdicts;
}

TEST_F(Workflow, PlanAgreesWithRealRuns) {
  const Bytes patcher = ReadFile(TheConfig().patcher);
  const auto patchOf = [&](const std::string& name, const std::vector<test::TestPatch>& patches) {
    Put(name, test::BuildPatchFile(patcher, patches));
    fs::permissions(At(name), fs::perms::owner_all);
  };
  // Entry 20 keeps its slot (in place); 21 grows (append); 49 has attributes
  // (append though the length is kept); 1208 is rewritten; 30 is written
  // twice (the first superseded); a record of size 0 is skipped.
  patchOf("good", {{20, SampleBody(1, 1 + (20 * 37) % 600)},
                   {21, SampleBody(2, 900)},
                   {49, SampleBody(3, 1 + (49 * 37) % 600)},
                   {1208, SampleBody(4, 5000)},
                   {30, SampleBody(5, 2000)},
                   {30, SampleBody(6, 10)},
                   {31, {}}});
  const uint64_t dataBefore = fs::file_size(At("game/DATA1.QPX"));
  const ProcessResult planned = Tool({"plan", "good", "game"});
  EXPECT_TOOL(planned, kOk, "plan: 5 of 7 records would apply, 1 superseded, 1 skipped");
  const auto verdicts = PlanVerdicts(planned.out);
  EXPECT_EQ(verdicts.at(0), "in place");
  EXPECT_EQ(verdicts.at(1), "append (+928 bytes)");
  EXPECT_EQ(verdicts.at(2),
            "append (+" + std::to_string(SlotLength(1 + (49 * 37) % 600)) + " bytes) (attributes 1 -> 0)");
  EXPECT_EQ(verdicts.at(3), "rewrite res\\D00001.bin");
  EXPECT_EQ(verdicts.at(4), "superseded by record 5 (append (+2,016 bytes) first)");
  EXPECT_EQ(verdicts.at(6), "skipped (size 0)");
  const auto snapshot = Snapshot();

  const auto oldIndex = Index();
  ASSERT_EQ(ApplyToCopy("good", "game", "run").exitCode, 0);
  // What the real run did: the same growth, the same places.
  const uint64_t growth = fs::file_size(At("run/DATA1.QPX")) - dataBefore;
  EXPECT_NE(planned.out.find("(grows by " + Grouped(growth) + ")"), std::string::npos) << planned.out << growth;
  Bytes runIndex = Get("run/DATA0.QPX");
  ArchiveIndexEntry entry20{}, entry21{};
  std::memcpy(&entry20, runIndex.data() + 20 * 32, 32);
  std::memcpy(&entry21, runIndex.data() + 21 * 32, 32);
  EXPECT_EQ(entry20.offset, oldIndex[20].offset);
  EXPECT_EQ(entry21.offset, dataBefore);

  // Run again on the patched copy: everything is there already, but entry
  // 30 grows for the superseded body and shrinks again, so both append.
  const ProcessResult again = Tool({"plan", "good", "run"});
  EXPECT_TOOL(again, kOk, "plan: 1 of 7 records would apply, 4 already applied, 1 superseded, 1 skipped");
  for (int i : {0, 1, 2, 3}) EXPECT_EQ(PlanVerdicts(again.out).at(i), "already applied") << i;
  EXPECT_EQ(PlanVerdicts(again.out).at(5), "append (+32 bytes)");
  const uint64_t runSize = fs::file_size(At("run/DATA1.QPX"));
  ASSERT_EQ(RunPatch("good", "run").exitCode, 0);
  EXPECT_NE(again.out.find("(grows by " + Grouped(fs::file_size(At("run/DATA1.QPX")) - runSize) + ")"),
            std::string::npos);

  // Failures: no such resource, no such loose file, a body outside the
  // patch (the run stops) and a record never reached.
  Bytes bad = patcher;
  const auto start = static_cast<uint32_t>(bad.size());
  bad.insert(bad.end(), 64, 0x33);
  const uint32_t table = test::AppendTable(
      bad, {{2715, 0, start, 8}, {1300, 0, start, 8}, {22, 0, start, 40}, {23, 0, 0x7FFFFFF0, 40}, {24, 0, start, 8}});
  test::AppendTrailer(bad, 1, table, 5);
  Put("bad", bad);
  fs::permissions(At("bad"), fs::perms::owner_all);
  const ProcessResult failing = Tool({"plan", "bad", "game"});
  EXPECT_TOOL(failing, kFailedCheck, "plan: 1 of 5 records would apply, 4 would FAIL");
  const auto failed = PlanVerdicts(failing.out);
  EXPECT_EQ(failed.at(0), "FAILS: resource out of range (\"Failed\")");
  EXPECT_EQ(failed.at(1), "FAILS: no such loose file res\\D00093.bin (\"Failed\")");
  EXPECT_EQ(failed.at(2), "append (+64 bytes)");
  EXPECT_NE(failed.at(3).find("body outside the patch file"), std::string::npos);
  EXPECT_EQ(failed.at(4), "FAILS: not reached, the run stops at record 3");
  const ProcessResult run = ApplyToCopy("bad", "game", "run2");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(fs::file_size(At("run2/DATA1.QPX")) - dataBefore, 64u);
  EXPECT_EQ(Snapshot().count("game/DATA1.QPX"), 1u);
  EXPECT_EQ(Get("game/DATA1.QPX"), snapshot.at("game/DATA1.QPX")) << "plan writes nothing";
  EXPECT_TOOL(Tool({"plan", "good", "nowhere"}), kBadInput, "no such folder");
}

TEST_F(Workflow, ReverseUndoesAPatch) {
  ASSERT_EQ(Tool({"build", "--stub", TheConfig().patcher, "--out", "patch", "--manifest", "examples/patch.manifest",
                  "20=same-size.bin", "1214=loose7.bin", "10=loose7.bin"})
                .exitCode,
            kOk);
  // Entry 49 of the examples has attributes: nothing can put them back.
  EXPECT_TOOL(Tool({"reverse", "patch", "game", "--stub", TheConfig().patcher, "--out", "undo"}), kBadInput,
                "entry 49 has attributes 1");
  ASSERT_EQ(Tool({"build", "--stub", TheConfig().patcher, "--out", "missing", "1300=loose7.bin"}).exitCode, kOk);
  EXPECT_TOOL(Tool({"reverse", "missing", "game", "--stub", TheConfig().patcher, "--out", "undo"}), kBadInput,
                "res\\D00093.bin does not exist");
  EXPECT_FALSE(fs::exists(At("undo")));

  // The undo of a version-1 patch as of a version-2 one: its bodies are
  // decoded as the patcher reads them, whether or not they name a hash.
  for (const char* format : {"1", "2"}) {
    SCOPED_TRACE(std::string("format ") + format);
    ASSERT_EQ(Tool({"build", "--format", format, "--stub", TheConfig().patcher, "--out", "patch", "--force",
                    "10=examples/bodies/entry-10.txt", "12=examples/bodies/entry-12.txt",
                    "1209=examples/bodies/res-D00002.txt", "20=same-size.bin", "1214=loose7.bin", "10=loose7.bin"})
                  .exitCode,
              kOk);
    EXPECT_TOOL(Tool({"reverse", "patch", "game", "--stub", TheConfig().patcher, "--out", "undo", "--force"}), kOk,
                "puts back 5 resources");
    EXPECT_EQ(RecordNumbers(Get("undo")), (std::vector<uint32_t>{10, 12, 20, 1209, 1214}));
    const GameContents before = ReadGame(At("game"));
    ASSERT_EQ(RunPatch("patch", "game").exitCode, 0);
    ASSERT_NE(ReadGame(At("game")).resources[1214], before.resources[1214]);
    ASSERT_EQ(RunPatch("undo", "game").exitCode, 0);
    EXPECT_EQ(ReadGame(At("game")).resources, before.resources);
  }
}

// A folder `name` whose entry 100 holds other bytes than the sample game's:
// another version of the game.
void ChangeEntryBytes(const fs::path& game, uint32_t number) {
  const Bytes index = ReadFile(game / "DATA0.QPX");
  ArchiveIndexEntry entry{};
  std::memcpy(&entry, index.data() + number * sizeof entry, sizeof entry);
  Bytes data = ReadFile(game / "DATA1.QPX");
  data[entry.offset] ^= 0xFF;
  WriteFile(game / "DATA1.QPX", data);
}

TEST_F(Workflow, APatchForAnotherVersionOfTheGameIsRefusedWhole) {
  ASSERT_EQ(Tool({"unpack", "game", "mod"}).exitCode, kOk);
  Put("mod/entries/00010.bin", Text("A new title screen text.\n"));
  Put("mod/entries/00100.bin", Bytes(5000, 'a'));
  Put("mod/loose/D00002.bin", SampleBody(7, 6000));
  ASSERT_EQ(Diff("game", "mod", "patch").exitCode, kOk);

  fs::copy(At("game"), At("other"), fs::copy_options::recursive);
  ChangeEntryBytes(At("other"), 100);
  const auto before = Snapshot();
  const ProcessResult run = RunPatch("patch", "other");
  EXPECT_EQ(run.exitCode, 1);
  ExpectRefusal(run.out, "Resource 100 (entry 100) is from another version of the game",
                "Nothing was changed\n");
  EXPECT_EQ(Snapshot(), before) << "every file of the folder as it was";

  const ProcessResult planned = Tool({"plan", "patch", "other"});
  EXPECT_TOOL(planned, kFailedCheck, "plan: the patcher would refuse this patch and change nothing");
  EXPECT_EQ(PlanVerdicts(planned.out, 58).at(1),
            "FAILS: another version of the game (resource 100) (\"Resource 100 (entry 100) is from another "
            "version of the game\")");
  EXPECT_EQ(PlanVerdicts(planned.out, 58).at(0), "append (+32 bytes)");
  EXPECT_TOOL(Tool({"verify", "patch", "other"}), kFailedCheck,
              "NOT APPLIED: expected the 5,000 bytes the patch writes, found 101 bytes");
}

TEST_F(Workflow, ALargeBodyIsCodedInBlocksAndPutOnlyOnAPatcherThatReadsThem) {
  const Bytes text = test::Words(21, (9u << 20) + 5);  // from 8 MiB on: LZMA in blocks
  Put("big", text);
  // The patcher as it was before it read the second body codings.
  Bytes older = ReadFile(TheConfig().patcher);
  const auto marker = Unmasked(kMaskedCodecs2Marker);
  int found = 0;
  for (auto at = older.begin(); (at = std::search(at, older.end(), marker.begin(), marker.end())) != older.end();) {
    *at ^= 1;
    ++found;
  }
  ASSERT_NE(found, 0);
  Put("older", older);
  EXPECT_TOOL(Tool({"build", "--stub", "older", "--level", "0", "--out", "p", "100=big"}), kBadInput,
              "--stub \"older\": is an older qpxpatch that does not read the second body codings (LZMA in blocks, "
              "deltas of program code), and the body of entry 100 is one; give a newer patcher");
  EXPECT_FALSE(fs::exists(At("p")));
  EXPECT_FALSE(LeftoverTemporaryFiles());
  // Small bodies still go on it.
  Put("small", test::Words(22, 5000));
  EXPECT_TOOL(Tool({"build", "--stub", "older", "--out", "small.patch", "100=small"}), kOk, "1 of 1 body compressed");

  EXPECT_TOOL(Tool({"build", "--stub", TheConfig().patcher, "--level", "0", "--out", "p", "100=big"}), kOk,
              "1 of 1 body compressed");
  EXPECT_TOOL(Tool({"list", "p"}), kOk, "lzma blocks");
  EXPECT_TOOL(Tool({"list", "p", "--json"}), kOk, "\"lzma blocks\"");
  EXPECT_TOOL(Tool({"extract", "p", "100", "body"}), kOk, "as record 0 of patch \"p\" writes it");
  EXPECT_TRUE(Get("body") == text);
  const ProcessResult run = RunPatch("p", "game");
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(*ReadGame(At("game")).resources[100] == text);
}

TEST_F(Workflow, Version2PatchesRoundTrip) {
  ASSERT_EQ(Tool({"unpack", "game", "mod"}).exitCode, kOk);
  Put("mod/entries/00010.bin", Text("A new title screen text.\n"));
  Put("mod/entries/00100.bin", Bytes(5000, 'a'));
  Put("mod/loose/D00002.bin", SampleBody(7, 6000));
  const ProcessResult diffed = Diff("game", "mod", "patch");
  EXPECT_TOOL(diffed, kOk, "format 2, sealed; 1 of 3 bodies compressed (11,025 -> ");

  const ProcessResult listed = Tool({"list", "patch"});
  EXPECT_TOOL(listed, kOk, "format 2: the patcher checks every record against the game");
  EXPECT_NE(listed.out.find("entry 100       lzma"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("res\\D00002.bin  as is"), std::string::npos) << listed.out;
  EXPECT_TOOL(listed, kOk, "3 of 3 know the bytes they replace");
  const ProcessResult planned = Tool({"plan", "patch", "game"});
  EXPECT_TOOL(planned, kOk, "plan: 3 of 3 records would apply");
  EXPECT_EQ(PlanVerdicts(planned.out, 58).at(1), "append (+5,024 bytes)");
  EXPECT_TOOL(Tool({"verify", "patch", "game"}), kFailedCheck, "it still holds the bytes the patch replaces");

  // The body a record writes, decoded from the patch.
  EXPECT_TOOL(Tool({"extract", "patch", "100", "body"}), kOk, "as record 1 of patch \"patch\" writes it");
  EXPECT_EQ(Get("body"), Bytes(5000, 'a'));
  EXPECT_TOOL(Tool({"extract", "patch", "11", "body"}), kBadInput, "no record writes resource 11");

  ASSERT_EQ(Tool({"reverse", "patch", "game", "--stub", TheConfig().patcher, "--out", "undo"}).exitCode, kOk);
  for (const PayloadRecord& record : PayloadOf(Get("undo")).records) EXPECT_TRUE(record.hasBase);
  const GameContents original = ReadGame(At("game"));
  ProcessResult run = RunPatch("patch", "game");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_TOOL(Tool({"verify", "patch", "game"}), kOk, "verify: 3 of 3 records applied");
  EXPECT_EQ(*ReadGame(At("game")).resources[100], Bytes(5000, 'a'));

  // Again: nothing to do, nothing written.
  const auto patched = Snapshot();
  run = RunPatch("patch", "game");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out,
            "Processing patch 10\nAlready applied\nProcessing patch 100\nAlready applied\nProcessing patch 1209\n"
            "Already applied\nSuccess!\n");
  EXPECT_EQ(Snapshot(), patched);

  // The undo knows the patched game, and puts the original back.
  ASSERT_EQ(RunPatch("undo", "game").exitCode, 0);
  EXPECT_EQ(ReadGame(At("game")).resources, original.resources);
  EXPECT_TOOL(Tool({"plan", "undo", "game"}), kOk, "already applied");
}

// Two versions of a game whose larger resources an update edits (bytes
// inserted, deleted, changed), as real updates do; the small ones are
// replaced. Written in-process as folders "a" and "b".
void MakeEditedPair(const fs::path& a, const fs::path& b) {
  GameFolder original, modified;
  const auto edit = [](Bytes bytes, uint32_t seed) {
    const Bytes inserted = SampleBody(seed, 300);
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 3), inserted.begin(), inserted.end());
    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2),
                bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2 + 200));
    for (std::size_t i = 1000; i < bytes.size(); i += 9973) bytes[i] ^= 0x11;
    return bytes;
  };
  for (uint32_t n = 0; n < 20; ++n) {
    const Bytes body = SampleBody(n, n < 4 ? 200000 + n * 1000 : 300);
    original.AddEntry(n, body);
    modified.AddEntry(n, n < 4 ? edit(body, n) : (n % 5 == 0 ? SampleBody(n + 50, 280) : body));
  }
  for (uint32_t i = 0; i < 3; ++i) {
    const Bytes body = SampleBody(100 + i, 150000);
    original.AddLooseFile(i, LooseFileImage(body));
    modified.AddLooseFile(i, LooseFileImage(i == 1 ? body : edit(body, 100 + i)));
  }
  const auto fileSystem = CreatePlatformFileSystem();
  for (const auto& [path, game] : {std::pair{a, &original}, std::pair{b, &modified}}) {
    fs::create_directories(path);
    ASSERT_TRUE(game->Write(*fileSystem, posix::DecodePath(path.string())));
  }
}

TEST_F(Workflow, DiffShipsWhatChangedInsideAResource) {
  MakeEditedPair(At("a"), At("b"));
  const ProcessResult diffed = Diff("a", "b", "patch");
  EXPECT_TOOL(diffed, kOk, "9 of 2715 resources differ");
  EXPECT_TOOL(diffed, kOk, "6 deltas");
  const Payload payload = PayloadOf(Get("patch"));
  uint64_t stored = 0, result = 0;
  for (const PayloadRecord& record : payload.records) {
    stored += record.storedSize;
    result += record.resultSize;
    if (record.resultSize > 100000) {
      EXPECT_EQ(record.encoding, BodyEncoding::Delta) << record.resourceNumber;
    }
  }
  EXPECT_LT(stored * 50, result) << "the edits, not the resources";
  const ProcessResult listed = Tool({"list", "patch"});
  EXPECT_NE(listed.out.find("entry 0         delta"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("res\\D00000.bin  delta"), std::string::npos) << listed.out;

  // Without deltas: every body whole (random bytes stay as they are).
  EXPECT_TOOL(Tool({"diff", "a", "b", "--no-delta", "--stub", TheConfig().patcher, "--out", "whole"}), kOk,
                "0 of 9 bodies compressed (");
  for (const PayloadRecord& record : PayloadOf(Get("whole")).records) EXPECT_NE(record.encoding, BodyEncoding::Delta);

  const ProcessResult planned = Tool({"plan", "patch", "a"});
  EXPECT_TOOL(planned, kOk, "plan: 9 of 9 records would apply");
  EXPECT_TOOL(planned, kOk, "download " + Grouped(stored) + " bytes");

  // On another version of the game: nothing changed, not even by the
  // records whose resources match.
  fs::copy(At("a"), At("other"), fs::copy_options::recursive);
  ChangeEntryBytes(At("other"), 2);
  const auto before = Snapshot();
  ExpectRefusal(RunPatch("patch", "other").out, "Resource 2 (entry 2) is from another version of the game",
                "Nothing was changed\n");
  EXPECT_EQ(Snapshot(), before);

  // The undo is made of deltas too, and both rebuild every resource.
  ASSERT_EQ(Tool({"reverse", "patch", "a", "--stub", TheConfig().patcher, "--out", "undo"}).exitCode, kOk);
  EXPECT_EQ(PayloadOf(Get("undo")).records.front().encoding, BodyEncoding::Delta);
  const GameContents original = ReadGame(At("a"));
  ProcessResult run = RunPatch("patch", "a");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(ReadGame(At("a")).resources, ReadGame(At("b")).resources);
  run = RunPatch("undo", "a");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(ReadGame(At("a")).resources, original.resources);
}

TEST_F(Workflow, AVersion2PayloadIsNeverPutOnAnOlderPatcher) {
  // The patcher as it was before it read version-2 payloads: without the
  // marker that says it does.
  Bytes older = ReadFile(TheConfig().patcher);
  const auto marker = Unmasked(kMaskedVersion2Marker);
  int found = 0;
  for (auto at = older.begin(); (at = std::search(at, older.end(), marker.begin(), marker.end())) != older.end();) {
    *at ^= 1;
    ++found;
  }
  ASSERT_NE(found, 0);
  Put("older", older);
  Put("body", {1, 2, 3});
  EXPECT_TOOL(Tool({"build", "--stub", "older", "--out", "p", "5=body"}), kBadInput,
                "--stub \"older\": is an older qpxpatch that reads only version-1 payloads");
  EXPECT_FALSE(fs::exists(At("p")));
  ASSERT_EQ(Tool({"build", "--format", "1", "--stub", "older", "--out", "p1", "5=body"}).exitCode, kOk);
  EXPECT_TOOL(Tool({"build", "--stub", "p1", "--replace-payload", "--out", "p2", "5=body"}), kBadInput,
                "reads only version-1 payloads");
  EXPECT_TOOL(Tool({"build", "--format", "1", "--stub", "p1", "--replace-payload", "--out", "p2", "5=body"}), kOk,
                "format 1, sealed");
  EXPECT_TOOL(Tool({"diff", "game", "game", "--stub", "older", "--out", "p3", "--allow-empty"}), kBadInput,
              "--format 1");
  EXPECT_TOOL(Tool({"build", "--no-seal", "--format", "2", "--stub", "older", "--out", "p4", "5=body"}), kBadInput,
                "a version-2 payload is always sealed");
}

TEST_F(Workflow, TheStubDefaultsToTheWindowsPatcherInstalledWithTheTool) {
  // qpxtool as the Debian package lays it out, as the Windows zip does, and
  // alone. The native patcher stands in for qpxpatch.exe: it carries the
  // same marker.
  const Bytes patcher = ReadFile(TheConfig().patcher);
  for (const char* tool : {"deb/usr/bin/qpxtool", "zip/qpxtool", "alone/bin/qpxtool"}) {
    fs::create_directories(At(tool).parent_path());
    fs::copy_file(TheConfig().qpxtool, At(tool));
  }
  Put("deb/usr/share/qpxpatch/qpxpatch.exe", patcher);
  Put("zip/qpxpatch.exe", patcher);
  const auto startsWithPatcher = [&](const std::string& name) {
    const Bytes patch = Get(name);
    return patch.size() > patcher.size() && std::equal(patcher.begin(), patcher.end(), patch.begin());
  };

  for (const std::string tool : {"deb/usr/bin/qpxtool", "zip/qpxtool"}) {
    SCOPED_TRACE(tool);
    EXPECT_TOOL(ToolAt(tool, {"build", "--out", "patch", "--manifest", "examples/patch.manifest"}), kOk, "wrote");
    EXPECT_TRUE(startsWithPatcher("patch"));
    EXPECT_TOOL(Tool({"list", "patch"}), kOk, "total: 4 records");
    fs::remove(At("patch"));
  }
  ASSERT_EQ(ToolAt("zip/qpxtool", {"build", "--out", "patch", "1209=examples/bodies/res-D00002.txt"}).exitCode, kOk);
  EXPECT_TOOL(ToolAt("zip/qpxtool", {"reverse", "patch", "game", "--out", "undo"}), kOk, "puts back 1 resource");
  EXPECT_TRUE(startsWithPatcher("undo"));
  ASSERT_EQ(Tool({"unpack", "game", "mod"}).exitCode, kOk);
  Put("mod/entries/00010.bin", Text("changed"));
  EXPECT_TOOL(ToolAt("zip/qpxtool", {"diff", "game", "mod", "--out", "diff"}), kOk, "1 of 2715 resources differ");
  EXPECT_TRUE(startsWithPatcher("diff"));

  // With no patcher installed, every command that writes a patch asks for one.
  const auto before = Snapshot();
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"build", "--out", "p", "10=examples/bodies/entry-10.txt"},
        std::vector<std::string>{"reverse", "patch", "game", "--out", "p"},
        std::vector<std::string>{"diff", "game", "mod", "--out", "p"}}) {
    const ProcessResult refused = ToolAt("alone/bin/qpxtool", arguments);
    EXPECT_TOOL(refused, kBadInput, "--stub PATCHER is required: no Windows patcher is installed with qpxtool");
    EXPECT_TOOL(refused, kBadInput, "alone/share/qpxpatch/qpxpatch.exe\" or \"");
  }
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(Workflow, BuildRefusesOutputsThatAreItsInputsAndStubsThatAreNoPatcher) {
  Put("body", {1, 2, 3});
  Put("list.manifest", Text("5 body\n"));
  const std::string patcher = TheConfig().patcher;
  const std::vector<Refusal> refusals = {
      {"the output is a body", {"--stub", patcher, "--out", "body", "5=body"}, "--out \"body\": is the body named by"},
      {"the output is the manifest", {"--stub", patcher, "--out", "list.manifest", "--manifest", "list.manifest"},
       "--out \"list.manifest\": is the manifest"},
      {"the output is a game's data file", {"--stub", patcher, "--out", "game/data1.qpx", "5=body"},
       "is named like a game's DATA1.QPX"},
      {"a fake stub", {"--stub", "body", "--out", "p", "5=body"}, "--stub \"body\": is not a qpxpatch patcher"},
      {"the tool as stub", {"--stub", TheConfig().qpxtool, "--out", "p", "5=body"}, "is not a qpxpatch patcher"},
  };
  const auto before = Snapshot();
  for (const Refusal& refusal : refusals) {
    std::vector<std::string> arguments = {"build"};
    arguments.insert(arguments.end(), refusal.arguments.begin(), refusal.arguments.end());
    EXPECT_TOOL(Tool(arguments), kBadInput, refusal.message);
  }
  EXPECT_EQ(Snapshot(), before);
  // A patch carries the marker of the patcher it was built on.
  ASSERT_EQ(Tool({"build", "--stub", patcher, "--out", "p", "5=body"}).exitCode, kOk);
  EXPECT_TOOL(Tool({"build", "--stub", "p", "--out", "q", "--replace-payload", "6=body"}), kOk, "wrote");
  EXPECT_TOOL(Tool({"build", "--any-stub", "--stub", "body", "--out", "r", "5=body"}), kOk, "wrote");
}

TEST_F(Workflow, ExtractWritesToStandardOutput) {
  const ProcessResult result = Tool({"extract", "game", "599", "-"});
  EXPECT_EQ(result.exitCode, kOk) << result.err;
  EXPECT_EQ(Text(result.out), SampleBody(599, 564));
  EXPECT_NE(result.err.find("to standard output"), std::string::npos);
  EXPECT_FALSE(fs::exists(At("-")));
}

// ---------------------------------------------------------------- Windows, under Wine

class QpxToolWine : public RoundTrip {};

TEST_F(QpxToolWine, BuildListAndVerifyOfTheExe) {
  // Everything under a non-ASCII folder name, reached by relative paths.
  MakeGame("jeu é/game");
  fs::copy(At("examples"), At("jeu é/examples"), fs::copy_options::recursive);
  const std::string stub = TheConfig().patcher;  // the payload does not care which program carries it

  const std::string nativeTool = (fs::path(stub).parent_path() / "qpxtool").string();
  // A version-2 patch, compressed: the same bytes as the native tool writes.
  const std::vector<std::string> compressed = {"build", "--stub", stub, "--out", "jeu é/compressed", "--manifest",
                                               "jeu é/examples/patch.manifest", "20=same-size.bin", "1214=loose7.bin"};
  EXPECT_TOOL(Tool(compressed), kOk, "format 2, sealed;");
  std::vector<std::string> nativeCompressed = compressed;
  nativeCompressed.insert(nativeCompressed.begin(), nativeTool);
  nativeCompressed[5] = "native-compressed";
  ASSERT_EQ(test::RunProcess(nativeCompressed, dir.Path()).exitCode, kOk);
  EXPECT_EQ(Get("jeu é/compressed"), Get("native-compressed"));

  const ProcessResult built = Tool({"build", "--format", "1", "--stub", stub, "--out", "jeu é/patch", "--manifest",
                                    "jeu é/examples/patch.manifest", "20=same-size.bin"});
  EXPECT_TOOL(built, kOk, "wrote \"jeu é/patch\"");
  const Bytes patch = Get("jeu é/patch");
  // The same bytes as the native tool writes.
  const ProcessResult native = test::RunProcess(
      {nativeTool, "build", "--format", "1", "--stub", stub, "--out", "native", "--manifest",
       "jeu é/examples/patch.manifest", "20=same-size.bin"},
      dir.Path());
  ASSERT_EQ(native.exitCode, kOk) << native.err;
  EXPECT_EQ(patch, Get("native"));
  const uint64_t tableEnd = fs::file_size(stub) + 2094 + 141 + 5 * 16;
  EXPECT_EQ(patch.size(), tableEnd + SealPadding(tableEnd) + kSealDistance);
  EXPECT_EQ(std::string(patch.end() - 8, patch.end()), "PATCHDAT");

  const ProcessResult listed = Tool({"list", "jeu é/patch"});
  EXPECT_TOOL(listed, kOk, "total: 5 records (4 entries, 1 loose file), 2,235 bytes of bodies");
  EXPECT_NE(listed.out.find("res\\D00002.bin"), std::string::npos);

  EXPECT_TOOL(Tool({"verify", "jeu é/patch", "jeu é/game"}), kFailedCheck, "verify: 0 of 5 records applied");
  fs::permissions(At("jeu é/patch"), fs::perms::owner_all);
  ASSERT_EQ(RunPatch("jeu é/patch", "jeu é/game").exitCode, 0);
  EXPECT_TOOL(Tool({"verify", "jeu é/patch", "jeu é/game"}), kOk, "verify: 5 of 5 records applied");

  EXPECT_TOOL(Tool({"build", "--stub", stub, "--out", "refused", "2715=same-size.bin"}), kBadInput,
                "resource number 2715 is outside 0..2714");
}

// The Windows qpxtool writes the same deltas as the native one, and the
// Windows patcher rebuilds every resource from them.
TEST_F(QpxToolWine, DeltasOfTheExesRebuildEveryResource) {
  if (TheConfig().patcherExe.empty()) GTEST_SKIP() << "no --patcher-exe";
  MakeEditedPair(At("a"), At("b"));
  fs::copy(TheConfig().patcherExe, At("qpxpatch.exe"));
  EXPECT_TOOL(Tool({"diff", "a", "b", "--stub", "qpxpatch.exe", "--out", "patch.exe"}), kOk, "6 deltas");
  const std::string nativeTool = (fs::path(TheConfig().patcher).parent_path() / "qpxtool").string();
  ASSERT_EQ(test::RunProcess({nativeTool, "diff", "a", "b", "--stub", "qpxpatch.exe", "--out", "native.exe"}, dir.Path())
                .exitCode,
            kOk);
  EXPECT_EQ(Get("patch.exe"), Get("native.exe"));
  test::ProcessOptions wine;
  wine.launcher = TheConfig().wine;
  const ProcessResult run = test::RunProcess({"../patch.exe"}, At("a"), wine);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(ReadGame(At("a")).resources, ReadGame(At("b")).resources);
}

TEST_F(QpxToolWine, TheStubDefaultsToTheQpxpatchExeBesideTheTool) {
  if (TheConfig().patcherExe.empty()) GTEST_SKIP() << "no --patcher-exe";
  // As the Windows zip lays them out.
  fs::create_directories(At("zip"));
  fs::copy_file(TheConfig().qpxtool, At("zip/qpxtool.exe"));
  fs::copy_file(TheConfig().patcherExe, At("zip/qpxpatch.exe"));
  EXPECT_TOOL(ToolAt("zip/qpxtool.exe", {"build", "--out", "patch.exe", "20=same-size.bin"}), kOk, "wrote");
  const Bytes patcher = ReadFile(TheConfig().patcherExe), patch = Get("patch.exe");
  EXPECT_TRUE(patch.size() > patcher.size() && std::equal(patcher.begin(), patcher.end(), patch.begin()));
}

TEST_F(QpxToolWine, DiffRoundTripWithTheExes) {
  if (TheConfig().patcherExe.empty()) GTEST_SKIP() << "no --patcher-exe";
  GameFolder original, modified;
  const std::vector<uint32_t> differ = MakeRandomPair(4, original, modified);
  const auto fileSystem = CreatePlatformFileSystem();
  fs::create_directories(At("a"));
  fs::create_directories(At("b"));
  ASSERT_TRUE(original.Write(*fileSystem, posix::DecodePath(At("a").string())));
  ASSERT_TRUE(modified.Write(*fileSystem, posix::DecodePath(At("b").string())));
  fs::copy(TheConfig().patcherExe, At("qpxpatch.exe"));

  // Beside the game folder: nothing is written inside a folder diff reads.
  EXPECT_TOOL(Tool({"diff", "a", "b", "--stub", "qpxpatch.exe", "--out", "patch.exe"}), kOk,
                std::to_string(differ.size()) + " of 2715 resources differ");
  EXPECT_EQ(RecordNumbers(Get("patch.exe")), differ);
  test::ProcessOptions wine;
  wine.launcher = TheConfig().wine;

  // On another version of the game (one of the resources it changes holds
  // other bytes), the patch changes nothing and names the resource.
  fs::copy(At("a"), At("c"), fs::copy_options::recursive);
  const uint32_t changed = *std::find_if(differ.begin(), differ.end(), [&](uint32_t n) { return original.index[n].size != 0; });
  ChangeEntryBytes(At("c"), changed);
  const auto before = Snapshot();
  const ProcessResult refused = test::RunProcess({At("patch.exe").string()}, At("c"), wine);
  EXPECT_EQ(refused.exitCode, 1);
  ExpectRefusal(refused.out,
                "Resource " + std::to_string(changed) + " (entry " + std::to_string(changed) +
                    ") is from another version of the game\r",
                "Nothing was changed\r\n");
  EXPECT_EQ(Snapshot(), before);

  const ProcessResult run = test::RunProcess({At("patch.exe").string()}, At("a"), wine);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const GameContents want = ReadGame(At("b")), got = ReadGame(At("a"));
  for (uint32_t n = 0; n < kResourceLimit; ++n) ASSERT_EQ(got.resources[n], want.resources[n]) << "resource " << n;
}

}  // namespace
}  // namespace qpx

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  qpx::Config& config = qpx::TheConfig();
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    for (auto [flag, value] : {std::pair{"--qpxtool=", &config.qpxtool}, std::pair{"--patcher=", &config.patcher},
                               std::pair{"--wine=", &config.wine},
                               std::pair{"--patcher-exe=", &config.patcherExe},
                               std::pair{"--json-documents=", &config.jsonDocuments}}) {
      if (argument.starts_with(flag)) *value = argument.substr(std::strlen(flag));
    }
  }
  if (config.qpxtool.empty() || config.patcher.empty()) {
    std::fprintf(stderr, "usage: %s --qpxtool=PATH --patcher=PATH [--wine=SCRIPT] [--json-documents=DIR] [gtest flags]\n",
                 argv[0]);
    return 2;
  }
  // The tests run in scratch folders: make the programs' paths absolute.
  for (std::string* path : {&config.qpxtool, &config.patcher, &config.wine, &config.patcherExe, &config.jsonDocuments}) {
    if (!path->empty()) *path = std::filesystem::absolute(*path).string();
  }
  // Suites named QpxToolWine... run under Wine, and only they.
  if (GTEST_FLAG_GET(filter) == "*") GTEST_FLAG_SET(filter, config.wine.empty() ? "-QpxToolWine*" : "QpxToolWine*");
  return RUN_ALL_TESTS();
}
