// The publisher's name and icon on a patch (build and diff --product,
// --product-version, --company, --description, --icon): written into the
// Windows patcher's resources, shown by list, signed and run under Wine
// (the QpxToolWine suite); without them the patch is as it always was.

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/tool/ToolFixture.h"

namespace qpx {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using Bytes = std::vector<uint8_t>;

// FNV-1a, a digest that pins a file's bytes in a test.
uint64_t Fnv(const Bytes& bytes) {
  uint64_t hash = 0xCBF29CE484222325;
  for (const uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001B3;
  return hash;
}

Bytes Png(std::size_t size, uint8_t fill) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  png.resize(size, fill);
  return png;
}

class BrandingTool : public test::ToolFixture {
 protected:
  void SetUp() override {
    Put("stub.exe", test::BrandablePeImage(Bytes(0x30, 0x5C)));
    Put("body", SampleBody(7, 900));
    Put("game.ico", test::IconFile({Png(400, 0x11), Png(1200, 0x22)}));
    LayGame("a", {{3, SampleBody(1, 500)}, {kEntryCount + 4, SampleBody(2, 700)}});
    LayGame("b", {{3, SampleBody(3, 520)}, {kEntryCount + 4, SampleBody(4, 650)}});
  }

  static std::vector<std::string> Branded(std::vector<std::string> arguments) {
    for (const char* option : {"--product", "Quest of Pixels", "--product-version", "2.5", "--company",
                               "Pixel Works", "--description", "Quest of Pixels 2.5 update", "--icon", "game.ico"}) {
      arguments.push_back(option);
    }
    return arguments;
  }
};

TEST_F(BrandingTool, WithoutTheOptionsThePatchIsByteForByteAsBefore) {
  ASSERT_EQ(Tool({"build", "--any-stub", "--stub", "stub.exe", "--out", "plain", "20=body"}).exitCode, kOk);
  ASSERT_EQ(Tool({"diff", "a", "b", "--any-stub", "--stub", "stub.exe", "--out", "diffed"}).exitCode, kOk);
  // The digests of what the tool wrote before it took the options.
  EXPECT_EQ(Fnv(Get("plain")), 18187266617567828560u);
  EXPECT_EQ(Fnv(Get("diffed")), 15263592296182933049u);
  const Bytes stub = Get("stub.exe"), plain = Get("plain");
  EXPECT_TRUE(std::equal(stub.begin(), stub.end(), plain.begin()));
  const nlohmann::json listed = nlohmann::json::parse(Tool({"list", "--json", "plain"}).out);
  EXPECT_EQ(listed["branding"], nlohmann::json::parse(R"({"product": null, "productVersion": null, "company": null,
                                                         "description": null, "icon": false})"));
}

TEST_F(BrandingTool, BuildAndDiffWriteTheTextsAndIconAndListShowsThem) {
  EXPECT_TOOL(Tool(Branded({"build", "--any-stub", "--stub", "stub.exe", "--out", "built.exe", "20=body"})), kOk,
              "wrote \"built.exe\"");
  EXPECT_TOOL(Tool(Branded({"diff", "a", "b", "--any-stub", "--stub", "stub.exe", "--out", "diffed.exe"})), kOk,
              "2 of 2715 resources differ");
  for (const std::string patch : {"built.exe", "diffed.exe"}) {
    const Bytes bytes = Get(patch);
    EXPECT_TRUE(test::HasVersionText(bytes, "ProductName", "Quest of Pixels")) << patch;
    EXPECT_TRUE(test::HasVersionText(bytes, "ProductVersion", "2.5")) << patch;
    EXPECT_TRUE(test::HasVersionText(bytes, "CompanyName", "Pixel Works")) << patch;
    EXPECT_TRUE(test::HasVersionText(bytes, "FileDescription", "Quest of Pixels 2.5 update")) << patch;
    EXPECT_TRUE(test::HasVersionText(bytes, "OriginalFilename", patch)) << patch;
    const Bytes image = Png(1200, 0x22);
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), image.begin(), image.end()), bytes.end()) << patch;
    EXPECT_TOOL(Tool({"list", patch}), kOk,
                "file properties: product \"Quest of Pixels\", version \"2.5\", company \"Pixel Works\", "
                "description \"Quest of Pixels 2.5 update\"; an icon of 2 images");
    EXPECT_EQ(nlohmann::json::parse(Tool({"list", "--json", patch}).out)["branding"],
              nlohmann::json::parse(R"({"product": "Quest of Pixels", "productVersion": "2.5",
                                        "company": "Pixel Works", "description": "Quest of Pixels 2.5 update",
                                        "icon": true})"))
        << patch;
  }
  // A patch for several old versions takes them too.
  LayGame("c", {{3, SampleBody(5, 510)}, {kEntryCount + 4, SampleBody(2, 700)}});
  EXPECT_TOOL(Tool({"diff", "a", "c", "b", "--any-stub", "--stub", "stub.exe", "--out", "versions.exe", "--company",
                    "Pixel Works"}),
              kOk, "format 3");
  EXPECT_TOOL(Tool({"list", "versions.exe"}), kOk, "file properties: company \"Pixel Works\"; no icon");
  // The payload is the same one, after a longer program.
  EXPECT_TOOL(Tool({"verify", "diffed.exe", "a"}), kFailedCheck, "0 of 2 records applied");
  EXPECT_TOOL(Tool({"plan", "diffed.exe", "a"}), kOk, "2 of 2");
}

TEST_F(BrandingTool, WhatCannotBeWrittenIsRefusedAndNothingIsWritten) {
  Put("not.ico", Text("GIF89a, no icon"));
  Put("notes.ico", test::IconFile({Png(30, 1)}));
  const std::vector<std::string> build = {"build", "--any-stub", "--stub", "stub.exe", "--out", "p", "20=body"};
  const auto with = [&](std::vector<std::string> arguments, std::initializer_list<std::string> more) {
    arguments.insert(arguments.end(), more);
    return arguments;
  };
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {with(build, {"--icon", "missing.ico"}), "--icon \"missing.ico\": no such file"},
      {with(build, {"--icon", "not.ico"}), "--icon \"not.ico\": is not an icon file (.ico)"},
      {with(build, {"--icon", "a"}), "--icon \"a\": is a folder, not an icon file"},
      {with(build, {"--product", ""}), "--product: is empty"},
      {with(build, {"--company", std::string(300, 'c')}), "--company: has 300 characters"},
      {with(build, {"--description", "two\nlines"}), "holds a control character"},
      {{"build", "--stub", Config().patcher, "--out", "p", "--icon", "game.ico", "20=body"},
       "is not a Windows program; an icon goes on a Windows patch"},
      {{"build", "--stub", Config().patcher, "--out", "p", "--product", std::string(250, 'p'), "--company",
        std::string(250, 'c'), "20=body"},
       "take 492 bytes of UTF-8 together in the patcher"},
      {{"diff", "a", "b", "--manifest-out", "p", "--product", "Game"}, "--manifest-out writes none"},
      {{"build", "--any-stub", "--stub", "stub.exe", "--out", "notes.ico", "--icon", "notes.ico", "20=body"},
       "--out \"notes.ico\": is the --icon file"},
  };
  const auto before = Snapshot();
  for (const auto& [arguments, message] : cases) EXPECT_TOOL(Tool(arguments), kBadInput, message);
  EXPECT_FALSE(fs::exists(At("p")));
  EXPECT_EQ(Snapshot(), before);
  EXPECT_FALSE(LeftoverTemporaryFiles());
}

// The Linux patch takes the texts into the patcher's own room: its
// --version and --help open with them, list shows them, and nothing else of
// the patch changes (the payload least of all).
TEST_F(BrandingTool, TheLinuxPatchShowsItsPublisherInItsAnswers) {
  ASSERT_EQ(Tool({"build", "--stub", Config().patcher, "--out", "plain", "20=body"}).exitCode, kOk);
  EXPECT_TOOL(Tool({"build", "--stub", Config().patcher, "--out", "branded", "--product", "Quest of Pixels",
                    "--product-version", "2.5", "--company", "Pixel Works", "--description", "The 2.5 update",
                    "20=body"}),
              kOk, "wrote \"branded\"");
  const Bytes plain = Get("plain"), branded = Get("branded");
  ASSERT_EQ(plain.size(), branded.size());
  std::size_t first = plain.size(), last = 0;
  for (std::size_t i = 0; i < plain.size(); ++i) {
    if (plain[i] == branded[i]) continue;
    first = std::min(first, i);
    last = i;
  }
  EXPECT_LT(last - first, 496u) << "only the room's bytes differ";
  fs::permissions(At("branded"), fs::perms::owner_exec, fs::perm_options::add);
  const ProcessResult version = test::RunProcess({At("branded").string(), "--version"}, At("a"));
  EXPECT_TRUE(version.out.starts_with("Quest of Pixels 2.5 (Pixel Works): qpxpatch ")) << version.out;
  const ProcessResult help = test::RunProcess({At("branded").string(), "--help"}, At("a"));
  EXPECT_TRUE(help.out.starts_with("Quest of Pixels 2.5 (Pixel Works)\nThe 2.5 update\nqpxpatch ")) << help.out;
  EXPECT_TOOL(Tool({"list", "branded"}), kOk,
              "file properties: product \"Quest of Pixels\", version \"2.5\", company \"Pixel Works\", "
              "description \"The 2.5 update\"; no icon");
  EXPECT_EQ(nlohmann::json::parse(Tool({"list", "--json", "plain"}).out)["branding"], nullptr);
}

// The Windows patcher, branded by the Windows tool: its file properties and
// icon as Windows reads them, its imports as before, signed with
// osslsigncode, and run under Wine.
using QpxToolWineBranding = BrandingTool;

TEST_F(QpxToolWineBranding, TheBrandedExeIsSignedAndAppliesUnderWine) {
  if (Config().patcherExe.empty()) GTEST_SKIP() << "no --patcher-exe";
  fs::copy(Config().patcherExe, At("qpxpatch.exe"));
  EXPECT_TOOL(Tool(Branded({"diff", "a", "b", "--stub", "qpxpatch.exe", "--out", "patch.exe"})), kOk,
              "2 of 2715 resources differ");
  const auto run = [&](const std::vector<std::string>& argv) { return test::RunProcess(argv, dir.Path()); };
  const ProcessResult checked = run({std::string(QPX_SOURCE_DIR) + "/tests/pe_check.sh", "patch.exe"});
  EXPECT_EQ(checked.exitCode, 0) << checked.out;
  EXPECT_NE(checked.out.find("ok: imports only KERNEL32.dll and msvcrt.dll"), std::string::npos) << checked.out;
  const ProcessResult resources = run({"/usr/bin/i686-w64-mingw32-objdump", "-p", "patch.exe"});
  EXPECT_NE(resources.out.find("Entry: ID: 0x00000e"), std::string::npos) << "an icon group";
  EXPECT_NE(resources.out.find("Entry: ID: 0x000003"), std::string::npos) << "its icons";
  EXPECT_TRUE(test::HasVersionText(Get("patch.exe"), "ProductName", "Quest of Pixels"));

  ASSERT_EQ(run({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out",
                 "cert.pem", "-days", "2", "-subj", "/CN=qpxpatch test publisher"}).exitCode, 0);
  ASSERT_EQ(run({"/usr/bin/osslsigncode", "sign", "-certs", "cert.pem", "-key", "key.pem", "-n", "Quest of Pixels",
                 "-in", "patch.exe", "-out", "signed.exe"}).exitCode, 0);
  const ProcessResult verified = run({"/usr/bin/osslsigncode", "verify", "-CAfile", "cert.pem", "-in", "signed.exe"});
  EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
  EXPECT_TOOL(Tool({"list", "signed.exe"}), kOk, "file properties: product \"Quest of Pixels\"");

  test::ProcessOptions wine;
  wine.launcher = Config().wine;
  const ProcessResult applied = test::RunProcess({At("signed.exe").string()}, At("a"), wine);
  ASSERT_EQ(applied.exitCode, 0) << applied.out << applied.err;
  EXPECT_TOOL(Tool({"verify", "signed.exe", "a"}), kOk, "2 of 2 records applied");
}

}  // namespace
}  // namespace qpx
