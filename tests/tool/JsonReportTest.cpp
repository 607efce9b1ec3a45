// --json: what list, plan, verify and diff write for scripts parses as one
// JSON document, carries the figures their tables show, and is written
// only when the command has something to report.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tests/tool/ToolFixture.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx {
namespace {

using nlohmann::json;
using tool::Grouped;

class JsonReportTest : public test::ToolFixture {
 protected:
  // The document a command wrote: standard output whole, nothing else on it.
  static json Document(const test::ProcessResult& result) {
    json document;
    EXPECT_NO_THROW(document = json::parse(result.out)) << result.out << result.err;
    return document;
  }

  // The words of the table row whose first word is `index`.
  static std::vector<std::string> RowWords(const std::string& table, std::size_t index) {
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::vector<std::string> row;
      for (std::string word; words >> word;) row.push_back(word);
      if (!row.empty() && row[0] == std::to_string(index)) return row;
    }
    return {};
  }

  static bool Holds(const std::vector<std::string>& words, const std::string& word) {
    return std::find(words.begin(), words.end(), word) != words.end();
  }

  static bool Says(const test::ProcessResult& result, const std::string& text) {
    return result.out.find(text) != std::string::npos;
  }
};

TEST_F(JsonReportTest, ListPlanVerifyAndDiffCarryTheFiguresOfTheirTables) {
  MakeGame("game");
  ASSERT_EQ(Tool({"unpack", "game", "mod"}).exitCode, kOk);
  // A new entry 10, an edit inside a loose file (a delta) and entry 49,
  // which loses its attributes.
  Put("mod/entries/00010.bin", Text("A new title screen text.\n"));
  Bytes loose = Get("mod/loose/D00002.bin");
  for (std::size_t i = 1000; i < 1007; ++i) loose[i] = 'p';
  Put("mod/loose/D00002.bin", loose);
  Put("mod/entries/00049.bin", Bytes(40, 0x49));

  const auto diff = [&](const std::string& out, bool asJson) {
    std::vector<std::string> arguments{"diff", "game", "mod", "--stub", Config().patcher, "--out", out};
    if (asJson) arguments.push_back("--json");
    return Tool(arguments);
  };
  const test::ProcessResult diffTable = diff("table-patch", false);
  const test::ProcessResult diffJson = diff("patch", true);
  ASSERT_EQ(diffJson.exitCode, kOk) << diffJson.err;
  EXPECT_EQ(diffJson.err, "");
  EXPECT_EQ(Get("patch"), Get("table-patch")) << "the same patch either way";
  const json diffed = Document(diffJson);
  EXPECT_EQ(diffed["differing"], 3);
  EXPECT_EQ(diffed["entries"], 2);
  EXPECT_EQ(diffed["looseFiles"], 1);
  EXPECT_TRUE(Says(diffTable, "3 of 2715 resources differ (2 entries, 1 loose file; " +
                                  Grouped(diffed["bytes"].get<uint64_t>()) + " bytes)"));
  EXPECT_TRUE(Says(diffTable, "(" + Grouped(diffed["output"]["fileSize"].get<uint64_t>()) + " bytes;"));
  EXPECT_EQ(diffed["output"]["runsOn"], "linux");
  EXPECT_EQ(diffed["attributesLost"], json::parse(R"([{"resource": 49, "attributes": 1}])"));
  EXPECT_EQ(diffed["output"]["records"][2]["encoding"], "delta");

  const test::ProcessResult listTable = Tool({"list", "patch"});
  const test::ProcessResult listJson = Tool({"list", "patch", "--json"});
  EXPECT_EQ(listJson.exitCode, kOk);
  const json listed = Document(listJson);
  ASSERT_EQ(listed["records"].size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const json& record = listed["records"][i];
    EXPECT_EQ(record["offset"], diffed["output"]["records"][i]["offset"]);
    const std::vector<std::string> row = RowWords(listTable.out, i);
    for (const char* key : {"resource", "offset", "storedSize", "resultSize"}) {
      EXPECT_TRUE(Holds(row, std::to_string(record[key].get<uint64_t>()))) << key << " in " << listTable.out;
    }
    const std::string encoding = record["encoding"];  // "as is", "lzma" or "delta"
    EXPECT_TRUE(Holds(row, encoding.substr(0, encoding.find(' '))));
  }
  EXPECT_TRUE(Says(listTable, "table at byte " + Grouped(listed["tableOffset"].get<uint64_t>())));
  EXPECT_TRUE(Says(listTable, "sealed: the seal holds (bytes " + Grouped(listed["sealedBytes"]["first"]) + ".." +
                                  Grouped(listed["sealedBytes"]["last"]) + " are"));
  EXPECT_TRUE(Says(listTable, Grouped(listed["totals"]["storedBytes"]) + " bytes of bodies for " +
                                  Grouped(listed["totals"]["resultBytes"]) + " bytes of resources; 3 of 3 know"));

  const test::ProcessResult planTable = Tool({"plan", "patch", "game"});
  const test::ProcessResult planJson = Tool({"plan", "patch", "game", "--json"});
  EXPECT_EQ(planJson.exitCode, planTable.exitCode);
  const json planned = Document(planJson);
  EXPECT_EQ(planned["records"][0]["action"], "append");
  EXPECT_EQ(planned["records"][1]["attributesCleared"], 1);
  EXPECT_EQ(planned["records"][2]["action"], "rewrite");
  EXPECT_TRUE(Says(planTable, "append (+" + Grouped(planned["records"][0]["growth"]) + " bytes)"));
  EXPECT_TRUE(Says(planTable, "download " + Grouped(planned["download"]) + " bytes; DATA1.QPX: " +
                                  Grouped(planned["data"]["before"]) + " -> " + Grouped(planned["data"]["after"]) +
                                  " bytes (grows by " + Grouped(planned["data"]["growth"]) + "); loose files: " +
                                  Grouped(planned["looseBytesWritten"]) + " bytes written"));
  EXPECT_EQ(planned["summary"]["apply"], 3);

  const test::ProcessResult before = Tool({"verify", "patch", "game", "--json"});
  EXPECT_EQ(before.exitCode, kFailedCheck);
  EXPECT_EQ(Document(before)["summary"]["notApplied"], 3);
  EXPECT_EQ(Document(before)["records"][0]["reason"], "it still holds the bytes the patch replaces");
  ASSERT_EQ(RunPatch("patch", "game").exitCode, 0);
  const test::ProcessResult verifyTable = Tool({"verify", "patch", "game"});
  const json verified = Document(Tool({"verify", "patch", "game", "--json"}));
  for (std::size_t i = 0; i < 3; ++i) {
    const std::vector<std::string> row = RowWords(verifyTable.out, i);
    EXPECT_TRUE(Holds(row, std::to_string(verified["records"][i]["size"].get<uint64_t>()))) << verifyTable.out;
    EXPECT_EQ(verified["records"][i]["status"], "applied");
  }
  EXPECT_EQ(verified["summary"]["applied"], 3);
  const json again = Document(Tool({"plan", "patch", "game", "--json"}));
  EXPECT_EQ(again["summary"]["alreadyApplied"], 3);
  EXPECT_EQ(again["summary"]["apply"], 0);
}

TEST_F(JsonReportTest, NumbersAreExactAndAFailedCommandWritesNoDocument) {
  MakeGame("game");
  // Sizes near 2^64 come out exactly; a total past it is null, not wrapped.
  PutForgedHugePatch("huge");
  const json listed = Document(Tool({"list", "huge", "--json"}));
  EXPECT_EQ(listed["records"][1]["resultSize"].get<uint64_t>(), UINT64_MAX - 50);
  EXPECT_TRUE(listed["totals"]["resultBytes"].is_null());

  // The patcher's refusal of a patch is list's finding: reported, exit 1.
  Put("plain", Bytes(100, 1));
  const test::ProcessResult refused = Tool({"list", "plain", "--json"});
  EXPECT_EQ(refused.exitCode, kFailedCheck);
  EXPECT_EQ(Document(refused)["patcherMessage"], "Can't find patch data");
  EXPECT_NE(refused.err.find("Can't find patch data"), std::string::npos);

  // A command that cannot run writes no document; its message says why.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"verify", "huge", "nowhere", "--json"},
        {"plan", "plain", "game", "--json"},
        {"diff", "game", "game", "--stub", Config().patcher, "--out", "same", "--json"}}) {
    const test::ProcessResult result = Tool(arguments);
    EXPECT_NE(result.exitCode, kOk) << arguments[0];
    EXPECT_EQ(result.out, "") << arguments[0];
    EXPECT_NE(result.err.find("qpxtool " + arguments[0] + ": "), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace qpx
