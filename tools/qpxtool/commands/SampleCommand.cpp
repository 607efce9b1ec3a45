// qpxtool sample: a small synthetic game folder to try patches on.

#include "src/archive/ArchiveIndexEntry.h"
#include "tools/qpxtool/authoring/GameFolder.h"
#include "tools/qpxtool/commands/CommandLine.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/commands/ToolJson.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {

inline constexpr uint32_t kSampleLooseFiles = 8;

int RunSample(CFileSystem& fileSystem, const SampleOptions& options) {
  const std::wstring directory = PathFromText(options.gameDirectory);
  const std::string name = "game folder " + Quoted(options.gameDirectory);
  switch (fileSystem.KindOf(directory.c_str())) {
    case PathKind::Missing:
      if (!fileSystem.CreateDirectory(directory.c_str())) {
        Fail(kExitBadInput, name + ": cannot be made (does its parent folder exist?)");
      }
      break;
    case PathKind::Directory: break;
    case PathKind::File: Fail(kExitBadInput, name + ": is a file, not a folder; give a new or empty folder");
    default: Fail(kExitBadInput, name + ": is not a folder");
  }
  // Found as the patcher would find them: in any case of letters. The
  // sample writes these files and every loose file it makes; any of them
  // already there, or a link in its place, would be written through.
  for (const wchar_t* file : {kIndexFileName, kDataFileName}) {
    if (fileSystem.NameExists(JoinDirectory(directory, file).c_str())) {
      Fail(kExitBadInput, name + ": already holds " + WideToText(file) + "; give a new or empty folder");
    }
  }
  const std::wstring res = JoinDirectory(directory, kLooseDirectoryName);
  const PathKind resKind = fileSystem.KindOf(res.c_str());
  if (fileSystem.NameExists(res.c_str()) && !(resKind == PathKind::Directory && IsEmptyDirectory(fileSystem, res))) {
    Fail(kExitBadInput, name + ": already holds " + WideToText(kLooseDirectoryName) +
                            (resKind == PathKind::Directory ? ", not empty" : "") + "; give a new or empty folder");
  }
  if (options.json) StartJsonReport();
  const GameFolder game = MakeSampleGame(kSampleLooseFiles);
  if (!game.Write(fileSystem, directory)) Fail(kExitFailedCheck, name + ": writing the sample failed");

  Out("qpxtool sample: made " + Quoted(options.gameDirectory) + ":");
  Out("  DATA0.QPX  " + std::to_string(kEntryCount) + " index records (entries 0..1206)");
  Out("  DATA1.QPX  " + Grouped(game.DataSize()) +
      " bytes; entry n holds 1 + (n*37)%600 bytes, entries 49, 99, ... (n%50 == 49) have attributes 1");
  Out("  res\\D00000.bin .. res\\D0000" + std::to_string(kSampleLooseFiles - 1) + ".bin  loose files " +
      "(resources 1207.." + std::to_string(kEntryCount + kSampleLooseFiles - 1) + "); D0000i holds 100 + i*1000 bytes");
  if (options.json) {
    Json report = JsonDocument("sample");
    report["game"] = options.gameDirectory;
    report["entries"] = kEntryCount;
    report["looseFiles"] = kSampleLooseFiles;
    report["dataBytes"] = game.DataSize();
    WriteJsonReport(report);
  }
  return kExitSuccess;
}

namespace {

CLI::App* AddSample(CLI::App& app, SampleOptions& options) {
  CLI::App* const command =
      app.add_subcommand("sample", "Make a small synthetic game folder in GAMEDIR to try patches on.");
  command->add_option("GAMEDIR", options.gameDirectory, "a new or empty folder (made if missing)")->required();
  command->add_flag("--json", options.json, kJsonHelp);
  command->footer(
      "Refuses a folder that already holds DATA0.QPX or DATA1.QPX (in any case).\n"
      "Exit status: 0 made, 1 writing failed, 2 bad usage or input.");
  return command;
}

}  // namespace

std::unique_ptr<ToolCommand> SampleCommand() {
  return MakeCommand<SampleOptions>(AddSample, RunSample, "give the folder to make");
}

}  // namespace qpx::tool
