#pragma once
// The subcommands as the command line knows them: each command's file
// declares its options on the CLI11 app and runs on what was parsed; main
// builds the app from the table and dispatches to the one chosen.

#include <CLI/CLI.hpp>

#include <memory>
#include <string_view>
#include <vector>

#include "src/filesystem/FileSystem.h"
#include "tools/qpxtool/authoring/PayloadWriter.h"

namespace qpx::tool {

// One subcommand: its options live in the object, filled by the parse.
class ToolCommand {
 public:
  ToolCommand() = default;
  ToolCommand(const ToolCommand&) = delete;
  ToolCommand& operator=(const ToolCommand&) = delete;
  virtual ~ToolCommand() = default;

  // Adds the subcommand, its options and its help to `app`.
  virtual CLI::App* Add(CLI::App& app) = 0;
  // Runs it on the parsed options; its exit status. Refusals are thrown as
  // ToolError.
  virtual int Run(CFileSystem& fileSystem) = 0;
  // What to give when its arguments are missing, for the parser's refusal:
  // "give the patch and the game folder".
  virtual std::string_view Arguments() const = 0;
};

// A subcommand from a function that declares `Options` and one that runs on
// them.
template <typename Options>
class OptionsCommand final : public ToolCommand {
 public:
  using AddFunction = CLI::App* (*)(CLI::App& app, Options& options);
  using RunFunction = int (*)(CFileSystem& fileSystem, const Options& options);
  OptionsCommand(AddFunction add, RunFunction run, std::string_view arguments)
      : add_(add), run_(run), arguments_(arguments) {}
  CLI::App* Add(CLI::App& app) override { return add_(app, options_); }
  int Run(CFileSystem& fileSystem) override { return run_(fileSystem, options_); }
  std::string_view Arguments() const override { return arguments_; }

 private:
  AddFunction add_;
  RunFunction run_;
  std::string_view arguments_;
  Options options_;
};

template <typename Options>
std::unique_ptr<ToolCommand> MakeCommand(typename OptionsCommand<Options>::AddFunction add,
                                         typename OptionsCommand<Options>::RunFunction run,
                                         std::string_view arguments) {
  return std::make_unique<OptionsCommand<Options>>(add, run, arguments);
}

// Each command's entry, in its own file.
std::unique_ptr<ToolCommand> BuildCommand();
std::unique_ptr<ToolCommand> ListCommand();
std::unique_ptr<ToolCommand> VerifyCommand();
std::unique_ptr<ToolCommand> ExtractCommand();
std::unique_ptr<ToolCommand> UnpackCommand();
std::unique_ptr<ToolCommand> PackCommand();
std::unique_ptr<ToolCommand> DiffCommand();
std::unique_ptr<ToolCommand> PlanCommand();
std::unique_ptr<ToolCommand> ReverseCommand();
std::unique_ptr<ToolCommand> SampleCommand();

// Every subcommand, in the order "qpxtool --help" lists them.
std::vector<std::unique_ptr<ToolCommand>> ToolCommands();

// The help the commands share.
extern const char* const kManifestHelp;  // build's manifest, and the exit statuses
extern const char* const kStubHelp;      // --stub
extern const std::string_view kStubDefaultHelp;  // where the installed stubs are looked for
extern const char* const kJsonHelp;      // --json

// -o/--out FILE (typed `typeName`), the output a command writes, and
// -f/--force, which lets it replace a file already there.
CLI::Option* AddOutOption(CLI::App* command, std::string& out, const std::string& help, const std::string& typeName);
void AddForceFlag(CLI::App* command, bool& force);

// --format and --level, for the subcommands that write patches; --no-delta
// for those that know the game the patch is for.
void AddFormatOptions(CLI::App* command, FormatOptions& options, bool knowsTheGame);

// --product, --product-version, --company, --description and --icon, for
// the subcommands that write a patch for a publisher (build, diff).
void AddBrandingOptions(CLI::App* command, BrandingOptions& options);

}  // namespace qpx::tool
