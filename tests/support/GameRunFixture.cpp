#include "tests/support/GameRunFixture.h"

#include <filesystem>

#include "src/filesystem/ProcessSetup.h"

namespace qpx::test {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

void StoppingConsole::Write(std::wstring_view text) {
  text_ += text;
  if (text == trigger_) CStopRequests::Request();
}

RunResult GameRunFixture::RunPatch(FaultPlan& plan, const RunSettings& settings) {
  CFileSystem_Faulty faulty(*files, plan);
  CapturedConsole console;
  const RunResult result = RunPatcher(faulty, dir.Wide(kPatchName), console, settings);
  output = console.Text();
  return result;
}

FaultPlan GameRunFixture::CountingWrites() {
  FaultPlan plan;
  plan.counted = static_cast<uint32_t>(FileOperation::Write) | static_cast<uint32_t>(FileOperation::SetSize);
  return plan;
}

std::wstring GameRunFixture::Here() { return std::filesystem::current_path().wstring(); }

}  // namespace qpx::test
