#pragma once
// A scratch folder in which qpxtool and the patches it builds are run as an
// author runs them (natively), with helpers to lay out and read back files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "src/filesystem/posix/PathEncoding_Posix.h"
#include "tests/support/ProcessRunner.h"
#include "tests/support/TestSupport.h"
#include "tests/tool/ToolTestConfig.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx::test {

class ToolFixture : public ::testing::Test {
 protected:
  using Bytes = std::vector<uint8_t>;
  static constexpr int kOk = 0, kFailedCheck = 1, kBadInput = 2;

  static const ToolTestConfig& Config() { return TheToolTestConfig(); }
  static Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

  // Runs qpxtool (or `program`, a copy of it) with `arguments` in the
  // scratch folder (the .exe under Wine, when the tests were given one).
  ProcessResult Tool(const std::vector<std::string>& arguments, ProcessOptions options = {},
                     const std::string& program = {}) const {
    if (!Config().wine.empty()) {
      options.launcher = Config().wine;
      options.environment.push_back("LC_ALL=C.UTF-8");  // arguments reach Windows as UTF-8 text
    }
    std::vector<std::string> command{program.empty() ? Config().qpxtool : program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ProcessResult result = RunProcess(command, dir.Path(), options);
    KeepJsonDocument(arguments, result);
    return result;
  }

  // Keeps what a --json run wrote, for the check against its schema (a run
  // that writes no document is left out: the tests judge that one).
  static void KeepJsonDocument(const std::vector<std::string>& arguments, const ProcessResult& result) {
    if (Config().jsonDocuments.empty() || result.out.empty() ||
        std::find(arguments.begin(), arguments.end(), "--json") == arguments.end()) {
      return;
    }
    static std::atomic<unsigned> kept{0};
    std::filesystem::create_directories(Config().jsonDocuments);
    const std::string name = arguments[0] + "-" + std::to_string(getpid()) + "-" + std::to_string(kept++) + ".json";
    WriteFile(std::filesystem::path(Config().jsonDocuments) / name, Bytes(result.out.begin(), result.out.end()));
  }

  // Runs the patch `patch` of the scratch folder in its folder `game`.
  ProcessResult RunPatch(const std::string& patch, const std::string& game,
                         const ProcessOptions& options = {}) const {
    return RunProcess({At(patch).string()}, At(game), options);
  }

  // A version-2 patcher's refusal: its terse line `first`, at most one more
  // line naming the folder and the reason, then `last` (its closing lines).
  static void ExpectRefusal(const std::string& out, const std::string& first, const std::string& last) {
    EXPECT_TRUE(out.starts_with(first + "\n")) << out;
    EXPECT_TRUE(out.ends_with("\n" + last)) << out;
    if (out.size() < first.size() + last.size() + 2) return;
    const std::string between = out.substr(first.size() + 1, out.size() - first.size() - last.size() - 2);
    EXPECT_LE(std::count(between.begin(), between.end(), '\n'), 1) << out;
  }

  std::filesystem::path At(const std::string& name) const { return dir.Path() / name; }
  // Lays out a game folder `name` of the scratch folder holding `resources`
  // (by number), in place of what was there.
  void LayGame(const std::string& name, const std::map<uint32_t, Bytes>& resources) const {
    std::filesystem::remove_all(At(name));
    std::filesystem::create_directories(At(name));
    GameFolder game;
    for (const auto& [number, bytes] : resources) game.AddResource(number, bytes);
    const auto fileSystem = CreatePlatformFileSystem();
    ASSERT_TRUE(game.Write(*fileSystem, posix::DecodePath(At(name).string())));
  }
  // How often `text` stands in `bytes` from `from` on.
  static int Occurrences(const Bytes& bytes, const std::string& text, std::size_t from = 0) {
    int count = 0;
    const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from, bytes.size()));
    for (auto at = std::search(first, bytes.end(), text.begin(), text.end()); at != bytes.end();
         at = std::search(at + 1, bytes.end(), text.begin(), text.end())) {
      ++count;
    }
    return count;
  }
  // Writes `name`, a payload of two version-2 records whose results each
  // say UINT64_MAX - 50 bytes, as a forger may write them: their total
  // passes 2^64.
  void PutForgedHugePatch(const std::string& name) const {
    std::vector<PatchRecordV2> records(2, PatchRecordV2{});
    for (PatchRecordV2& record : records) {
      record.resourceNumber = 1208;
      record.encoding = 1;
      record.bodyOffset = 100;
      record.storedSize = 10;
      record.resultSize = UINT64_MAX - 50;
    }
    Bytes patch(110, 1);
    test::AppendCheckedTable(patch, 100, records);
    Put(name, patch);
  }

  void Put(const std::string& name, const Bytes& bytes) const {
    std::filesystem::create_directories(At(name).parent_path());
    WriteFile(At(name), bytes);
  }
  Bytes Get(const std::string& name) const { return ReadFile(At(name)); }

  // The sample game folder, written in-process, independent of the tool.
  void MakeGame(const std::string& name) const {
    std::filesystem::create_directories(At(name));
    const auto fileSystem = CreatePlatformFileSystem();
    ASSERT_TRUE(MakeSampleGame().Write(*fileSystem, posix::DecodePath(At(name).string())));
  }

  // The regular files under `folder` (of the scratch folder), with their
  // contents, by path relative to it.
  std::map<std::string, Bytes> Snapshot(const std::string& folder = ".") const {
    std::map<std::string, Bytes> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(At(folder))) {
      if (entry.is_regular_file()) files[std::filesystem::relative(entry.path(), At(folder)).string()] =
          ReadFile(entry.path());
    }
    return files;
  }

  // Whether a temporary file or folder of qpxtool's is left anywhere in the
  // scratch folder.
  bool LeftoverTemporaryFiles() const {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.Path())) {
      if (entry.path().filename().string().find(".qpxtool-") != std::string::npos) return true;
    }
    return false;
  }

  ScratchDirectory dir;
};

}  // namespace qpx::test

// The exit status, and `text` somewhere in the output.
#define EXPECT_TOOL(result, status, text)                                                      \
  do {                                                                                         \
    const ::qpx::test::ProcessResult& r_ = (result);                                           \
    EXPECT_EQ(r_.exitCode, (status)) << "stdout:\n" << r_.out << "stderr:\n" << r_.err;       \
    EXPECT_NE((r_.out + r_.err).find(text), std::string::npos)                                 \
        << "expected \"" << (text) << "\" in:\n" << r_.out << r_.err;                         \
  } while (0)
