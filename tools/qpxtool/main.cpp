// qpxtool: the patch author's tool. Builds patches for qpxpatch (from
// bodies, or from the difference of two game folders), lists, plans,
// verifies and reverses them, extracts and unpacks resources from a game
// folder, packs them into one again, and makes a sample game folder to try
// patches on.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "src/filesystem/FileSystem.h"
#include "tools/qpxtool/commands/CommandLine.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"
#include "tools/qpxtool/RunTool.h"

namespace qpx::tool {
namespace {

// The app with every subcommand of `commands` on it, in their order.
std::vector<CLI::App*> AddCommands(CLI::App& app, const std::vector<std::unique_ptr<ToolCommand>>& commands) {
  app.set_version_flag("--version", "qpxtool " QPX_TOOL_VERSION);
  app.require_subcommand(1);
  app.footer("Run \"qpxtool SUBCOMMAND --help\" for each subcommand's options.\n"
             "Exit status: 0 success, 1 a failed check, 2 bad usage or bad input.");
  std::vector<CLI::App*> added;
  for (const auto& command : commands) added.push_back(command->Add(app));
  return added;
}

// What CLI11 would only answer with "a subcommand is required": an unknown
// subcommand, or an option before the subcommand other than --help and
// --version. Reported here, with its status; kExitSuccess when neither.
int RefuseUnknownStart(const CLI::App& app, const std::vector<std::string>& arguments) {
  if (arguments.size() < 2) return kExitSuccess;
  const std::string& first = arguments[1];
  const auto known = [&](const std::string& name) {
    for (const CLI::App* command : app.get_subcommands({})) {
      if (command->check_name(name)) return true;
    }
    return false;
  };
  if (!first.starts_with('-') && !known(first)) {
    Err("qpxtool: unknown subcommand " + Quoted(first) + "; run \"qpxtool --help\" for the list");
    return kExitBadInput;
  }
  if (first.starts_with('-') && first != "-h" && first != "--help" && first != "--version") {
    Err("qpxtool: unknown option " + Quoted(first) +
        "; before the subcommand only --help and --version are known; run \"qpxtool --help\"");
    return kExitBadInput;
  }
  return kExitSuccess;
}

// Runs the chosen command on the one file system of the run, and reports
// its refusal or failure.
int Dispatch(ToolCommand& command, const std::string& name) {
  try {
    const auto fileSystem = CreatePlatformFileSystem();
    return command.Run(*fileSystem);
  } catch (const ToolError& error) {
    Err("qpxtool " + name + ": " + error.what());
    return error.Status();
  } catch (const std::bad_alloc&) {
    Err("qpxtool " + name + ": out of memory");
    return kExitFailedCheck;
  }
}

}  // namespace

int RunTool(const std::vector<std::string>& arguments) {
  LetOversizedWritesFail();
  CLI::App app("qpxtool: builds, lists and verifies patches for the qpxpatch patcher.", "qpxtool");
  const std::vector<std::unique_ptr<ToolCommand>> commands = ToolCommands();
  const std::vector<CLI::App*> added = AddCommands(app, commands);
  if (const int refused = RefuseUnknownStart(app, arguments); refused != kExitSuccess) return refused;

  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kExitSuccess : kExitBadInput;
  }

  CLI::App* const chosen = app.get_subcommands().front();
  std::size_t index = 0;
  while (added[index] != chosen) ++index;
  const int status = Dispatch(*commands[index], chosen->get_name());
  std::fflush(stdout);
  return status;
}

}  // namespace qpx::tool
