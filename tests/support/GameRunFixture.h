#pragma once
// A small game in a scratch folder of its own, and the patcher run on it in
// process, as a player would run it there: what the suites of version-2
// runs share. Each suite lays out the resources it needs in `game`.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "src/app/run/RunMessages.h"
#include "src/app/run/PatchRunner.h"
#include "tests/support/FaultyFileSystem.h"
#include "tests/support/TestSupport.h"
#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx::test {

// The program part of every in-process test patch: the payload follows it.
inline const std::vector<uint8_t> kImage(500, 0x4D);

// `text` as a byte string, for messages (the runs' texts are ASCII).
std::string Narrow(const std::wstring& text);

// Calls for a stop, as Ctrl+C would, when the run prints `trigger`.
class StoppingConsole final : public Console {
 public:
  explicit StoppingConsole(std::wstring trigger) : trigger_(std::move(trigger)) {}
  void Write(std::wstring_view text) override;
  const std::wstring& Text() const { return text_; }

 private:
  std::wstring trigger_;
  std::wstring text_;
};

class GameRunFixture : public ::testing::Test {
 protected:
  using Bytes = std::vector<uint8_t>;
  using Folder = std::map<std::string, Bytes>;

  // Every file of the game folder, but the patch's own.
  Folder Snapshot() const { return ReadFolder(dir.Path(), kPatchName); }
  // `patch` as the patch file of the game folder.
  void PutPatch(const Bytes& patch) const { WriteFile(dir.Path() / kPatchName, patch); }
  // Runs the patch file as `settings` ask, through a file layer that counts
  // (and may fail) what `plan` says; the run's text goes to `output`.
  RunResult RunPatch(FaultPlan& plan, const RunSettings& settings = {});

  // A plan that counts the operations that change a file.
  static FaultPlan CountingWrites();
  // The folder the run names in its messages: the game's, the current one.
  static std::wstring Here();

  static constexpr const char* kPatchName = "patch.exe";

  ScratchDirectory dir;
  std::unique_ptr<CFileSystem> files = CreatePlatformFileSystem();
  GameFolder game;
  std::wstring output;
};

}  // namespace qpx::test
