// --json: what every command writes for scripts parses as one JSON
// document, carries the figures its report shows under the keys every
// command gives them, and is written only when the command has something
// to report. Each document is also checked against its schema (the suite
// keeps them for that check).

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <set>
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
                                  Grouped(diffed["resultBytes"].get<uint64_t>()) + " bytes)"));
  EXPECT_TRUE(Says(diffTable, "(" + Grouped(diffed["output"]["fileSize"].get<uint64_t>()) + " bytes;"));
  EXPECT_EQ(diffed["output"]["runsOn"], "linux");
  EXPECT_EQ(diffed["attributesLost"],
            json::parse(R"([{"resource": 49, "target": "entry 49", "attributes": 1, "version": null}])"));
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
    for (const char* key : {"resource", "offset", "storedBytes", "resultBytes"}) {
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
  EXPECT_TRUE(Says(planTable, "download " + Grouped(planned["storedBytes"]) + " bytes; DATA1.QPX: " +
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
    EXPECT_TRUE(Holds(row, std::to_string(verified["records"][i]["resultBytes"].get<uint64_t>()))) << verifyTable.out;
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
  EXPECT_EQ(listed["records"][1]["resultBytes"].get<uint64_t>(), UINT64_MAX - 50);
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


// The keys of a document and of its first record: every document of a
// command has them all, null where they do not apply.
std::set<std::string> KeysOf(const json& document) {
  std::set<std::string> keys;
  for (const auto& [key, value] : document.items()) keys.insert(key);
  if (document["records"].is_array() && !document["records"].empty()) {
    for (const auto& [key, value] : document["records"][0].items()) keys.insert("records[]." + key);
  }
  return keys;
}

// The sum of the counts of `summary` other than `records`; null counts none.
uint64_t Parts(const json& summary) {
  uint64_t sum = 0;
  for (const auto& [key, value] : summary.items()) {
    if (key != "records" && !value.is_null()) sum += value.get<uint64_t>();
  }
  return sum;
}

TEST_F(JsonReportTest, OneFigureHasOneKeyAndTheSummariesAddUp) {
  MakeGame("game");
  ASSERT_EQ(Tool({"unpack", "game", "mod"}).exitCode, kOk);
  Put("mod/entries/00010.bin", Text("A new title screen text.\n"));
  Put("mod/entries/00049.bin", Bytes(40, 0x49));
  Bytes loose = Get("mod/loose/D00002.bin");
  loose[1000] = 'p';
  Put("mod/loose/D00002.bin", loose);
  const json diffed = Document(Tool({"diff", "game", "mod", "--stub", Config().patcher, "--out", "patch", "--json"}));
  const json listed = Document(Tool({"list", "patch", "--json"}));
  const json planned = Document(Tool({"plan", "patch", "game", "--json"}));
  const json verified = Document(Tool({"verify", "patch", "game", "--json"}));
  EXPECT_EQ(diffed["schema"], "qpxtool-diff/1");
  EXPECT_EQ(listed["schema"], "qpxtool-list/1");
  EXPECT_EQ(listed["runsOn"], diffed["output"]["runsOn"]);
  ASSERT_EQ(diffed["output"]["records"].size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const json& written = diffed["output"]["records"][i];
    for (const json* row : {&listed["records"][i], &planned["records"][i], &verified["records"][i]}) {
      for (const char* key : {"index", "resource", "target", "resultBytes"}) EXPECT_EQ((*row)[key], written[key]) << key;
    }
    EXPECT_EQ(listed["records"][i]["storedBytes"], written["storedBytes"]);
    EXPECT_EQ(planned["records"][i]["storedBytes"], written["storedBytes"]);
  }
  EXPECT_EQ(listed["totals"]["storedBytes"], diffed["output"]["storedBytes"]);
  EXPECT_EQ(planned["storedBytes"], diffed["output"]["storedBytes"]);
  EXPECT_EQ(listed["totals"]["resultBytes"], diffed["resultBytes"]);
  EXPECT_EQ(diffed["output"]["resultBytes"], diffed["resultBytes"]);
  EXPECT_EQ(verified["records"][0]["code"], "base");
  EXPECT_EQ(Parts(verified["summary"]), 3u);
  EXPECT_EQ(Parts(planned["summary"]), 3u);
  EXPECT_EQ(Parts(listed["totals"]) - listed["totals"]["storedBytes"].get<uint64_t>() -
                listed["totals"]["resultBytes"].get<uint64_t>() - listed["totals"]["withBase"].get<uint64_t>(),
            3u);

  // Another version of entry 10: the plan is refused, and each record is
  // counted once, the refused one as failing, with its code.
  ASSERT_EQ(Tool({"unpack", "game", "other"}).exitCode, kOk);
  Put("other/entries/00010.bin", Text("Another version's title.\n"));
  ASSERT_EQ(Tool({"pack", "other", "othergame"}).exitCode, kOk);
  const json refused = Document(Tool({"plan", "patch", "othergame", "--json"}));
  EXPECT_EQ(refused["refused"], true);
  EXPECT_EQ(refused["refusal"]["codes"], json({"records-refused"}));
  EXPECT_EQ(Parts(refused["summary"]), 3u);
  std::size_t failing = 0;
  for (const json& row : refused["records"]) failing += row["action"] == "fails" ? 1 : 0;
  EXPECT_EQ(refused["summary"]["fail"], failing);
  EXPECT_EQ(refused["records"][0]["code"], "another-version");
  EXPECT_EQ(KeysOf(refused), KeysOf(planned)) << "a refusal's document has every key of a plan's";
  const json notThere = Document(Tool({"verify", "patch", "othergame", "--json"}));
  EXPECT_EQ(notThere["records"][0]["code"], "another-version");
  EXPECT_EQ(notThere["records"][1]["code"], "base");
}

TEST_F(JsonReportTest, AFormat1DocumentHasEveryKeyWithNullWhereItDoesNotApply) {
  MakeGame("game");
  ASSERT_EQ(Tool({"unpack", "game", "mod"}).exitCode, kOk);
  Put("mod/entries/00010.bin", Text("A new title screen text.\n"));
  for (const char* format : {"1", "2"}) {
    const std::string patch = std::string("patch") + format;
    ASSERT_EQ(Tool({"diff", "game", "mod", "--stub", Config().patcher, "--out", patch, "--format", format}).exitCode,
              kOk);
  }
  const json one = Document(Tool({"list", "patch1", "--json"})), two = Document(Tool({"list", "patch2", "--json"}));
  EXPECT_EQ(KeysOf(one), KeysOf(two));
  for (const char* key : {"labelNew", "labels"}) EXPECT_TRUE(one[key].is_null()) << key;
  for (const char* key : {"encoding", "hasBase", "versions"}) EXPECT_TRUE(one["records"][0][key].is_null()) << key;
  EXPECT_EQ(one["records"][0]["resultBytes"], two["records"][0]["resultBytes"]);
  const json planOne = Document(Tool({"plan", "patch1", "game", "--json"}));
  const json planTwo = Document(Tool({"plan", "patch2", "game", "--json"}));
  EXPECT_EQ(KeysOf(planOne), KeysOf(planTwo));
  EXPECT_TRUE(planOne["space"].is_null());
  EXPECT_TRUE(planOne["summary"]["otherVersions"].is_null());
  // A payload the patcher refuses: the same keys, null.
  Put("plain", Bytes(100, 1));
  const json refused = Document(Tool({"list", "plain", "--json"}));
  std::set<std::string> top = KeysOf(two);
  std::erase_if(top, [](const std::string& key) { return key.starts_with("records[]."); });
  EXPECT_EQ(KeysOf(refused), top);
  EXPECT_TRUE(refused["records"].is_null());
}


TEST_F(JsonReportTest, EveryCommandThatWritesReportsWhatItWrote) {
  const json sampled = Document(Tool({"sample", "game", "--json"}));
  EXPECT_EQ(sampled["schema"], "qpxtool-sample/1");
  EXPECT_EQ(sampled["dataBytes"], std::filesystem::file_size(At("game/DATA1.QPX")));
  const json unpacked = Document(Tool({"unpack", "game", "mod", "--json"}));
  EXPECT_EQ(unpacked["resources"], unpacked["entries"].get<uint64_t>() + unpacked["looseFiles"].get<uint64_t>());
  EXPECT_EQ(unpacked["looseFiles"], sampled["looseFiles"]);
  Put("mod/entries/00010.bin", Text("A new title screen text.\n"));
  const json packed = Document(Tool({"pack", "mod", "modded", "--json"}));
  EXPECT_EQ(packed["looseFiles"], sampled["looseFiles"]);

  // The same patch with the report as without it.
  const std::vector<std::string> build{"build", "--stub", Config().patcher, "10=mod/entries/00010.bin", "--out"};
  std::vector<std::string> withJson = build;
  withJson.insert(withJson.end(), {"patch", "--json"});
  std::vector<std::string> without = build;
  without.push_back("plain-patch");
  ASSERT_EQ(Tool(without).exitCode, kOk);
  const json built = Document(Tool(withJson));
  EXPECT_EQ(Get("patch"), Get("plain-patch"));
  EXPECT_EQ(built["output"]["fileSize"], Get("patch").size());
  EXPECT_TRUE(built["manifest"].is_null());
  const json listed = Document(Tool({"list", "patch", "--json"}));
  EXPECT_EQ(built["output"]["records"][0]["storedBytes"], listed["records"][0]["storedBytes"]);
  EXPECT_EQ(built["output"]["tableOffset"], listed["tableOffset"]);

  const json reversed = Document(Tool({"reverse", "patch", "game", "--stub", Config().patcher, "--out", "undo", "--json"}));
  EXPECT_EQ(reversed["resources"], 1);
  EXPECT_EQ(reversed["output"]["records"][0]["resource"], 10);
  const json fromGame = Document(Tool({"extract", "game", "10", "old.bin", "--json"}));
  EXPECT_EQ(fromGame["resultBytes"], Get("old.bin").size());
  EXPECT_EQ(fromGame["resultBytes"], reversed["resultBytes"]);
  EXPECT_TRUE(fromGame["index"].is_null());
  const json fromPatch = Document(Tool({"extract", "patch", "10", "new.bin", "--json"}));
  EXPECT_EQ(fromPatch["index"], 0);
  EXPECT_EQ(fromPatch["sourceKind"], "patch");
  EXPECT_EQ(Get("new.bin"), Text("A new title screen text.\n"));
  // Standard output holds the body or the document, not both.
  EXPECT_TOOL(Tool({"extract", "game", "10", "-", "--json"}), kBadInput, "give OUT a file");
}


TEST_F(JsonReportTest, APatchForSeveralVersionsFillsTheVersionKeysAndItsSummariesAddUp) {
  MakeGame("v0");
  ASSERT_EQ(Tool({"unpack", "v0", "tree"}).exitCode, kOk);
  Put("tree/entries/00010.bin", Text("The second release's title.\n"));
  ASSERT_EQ(Tool({"pack", "tree", "v1"}).exitCode, kOk);
  Put("tree/entries/00010.bin", Text("The third release's title.\n"));
  Put("tree/entries/00012.bin", Text("A new credits text.\n"));
  ASSERT_EQ(Tool({"pack", "tree", "new"}).exitCode, kOk);
  const json diffed =
      Document(Tool({"diff", "v0", "v1", "new", "--stub", Config().patcher, "--out", "patch", "--json"}));
  EXPECT_TRUE(diffed["original"].is_null());
  EXPECT_EQ(diffed["labelNew"], "new");
  EXPECT_EQ(diffed["output"]["format"], 3);
  const json listed = Document(Tool({"list", "patch", "--json"}));
  EXPECT_EQ(listed["labels"], json({"v0", "v1"}));
  EXPECT_EQ(listed["records"].size(), diffed["output"]["records"].size());
  for (std::size_t i = 0; i < listed["records"].size(); ++i) {
    EXPECT_EQ(listed["records"][i]["versions"], diffed["output"]["records"][i]["versions"]) << i;
  }
  const json planned = Document(Tool({"plan", "patch", "v1", "--json"}));
  EXPECT_GE(planned["summary"]["otherVersions"].get<uint64_t>(), 1u);
  EXPECT_EQ(Parts(planned["summary"]), planned["records"].size());
  const json verified = Document(Tool({"verify", "patch", "v1", "--json"}));
  EXPECT_FALSE(verified["summary"]["alternatives"].is_null());
  EXPECT_EQ(Parts(verified["summary"]), verified["records"].size());
}

}  // namespace
}  // namespace qpx
