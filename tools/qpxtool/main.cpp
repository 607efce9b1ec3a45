// qpxtool: the patch author's tool. Builds patches for qpxpatch (from
// bodies, or from the difference of two game folders), lists, plans,
// verifies and reverses them, extracts and unpacks resources from a game
// folder, packs them into one again, and makes a sample game folder to try
// patches on.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>
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

// The help's words for an argument: a positional's name says what it
// takes, so the parser's word for a string ("NUMBER TEXT REQUIRED") is
// left out ("NUMBER REQUIRED").
class ToolFormatter final : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    std::string text = CLI::Formatter::make_option_opts(option);
    const std::string type = " " + option->get_type_name();
    if (option->get_positional() && type == " TEXT" && text.starts_with(type)) text.erase(0, type.size());
    return text;
  }
};

// The app with every subcommand of `commands` on it, in their order.
std::vector<CLI::App*> AddCommands(CLI::App& app, const std::vector<std::unique_ptr<ToolCommand>>& commands) {
  app.formatter(std::make_shared<ToolFormatter>());  // before the subcommands, which take it on
  app.set_version_flag("--version", "qpxtool " QPX_TOOL_VERSION);
  app.require_subcommand(1);
  app.footer("Run \"qpxtool help SUBCOMMAND\" (or \"qpxtool SUBCOMMAND --help\") for each subcommand's options.\n"
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

// The subcommand of `app` named `name`; null for none.
const CLI::App* Subcommand(const CLI::App& app, const std::string& name) {
  for (const CLI::App* command : app.get_subcommands({})) {
    if (command->check_name(name)) return command;
  }
  return nullptr;
}

// "qpxtool help [SUBCOMMAND]": the same help as --help gives. Its exit
// status; -1 when the arguments ask for something else.
int RunHelp(const CLI::App& app, const std::vector<std::string>& arguments) {
  if (arguments.size() < 2 || arguments[1] != "help") return -1;
  if (arguments.size() == 2) {
    std::cout << app.help();
    return kExitSuccess;
  }
  const CLI::App* const command = arguments.size() == 3 ? Subcommand(app, arguments[2]) : nullptr;
  if (command == nullptr) {
    Err("qpxtool help: " + (arguments.size() == 3 ? "unknown subcommand " + Quoted(arguments[2])
                                                  : std::string("give one subcommand")) +
        "; run \"qpxtool --help\" for the list");
    return kExitBadInput;
  }
  std::cout << command->help(app.get_name());
  return kExitSuccess;
}

// The option of `command` that the parser's `error` is about: the first
// one whose name starts its message. Null when none does.
const CLI::Option* OptionOfError(const CLI::App& command, const std::string& message) {
  for (const CLI::Option* option : command.get_options()) {
    const std::string name = option->get_name();
    if (!name.empty() && message.find(name) != std::string::npos) return option;
  }
  return nullptr;
}

// Whether the parser's `error` is of the kind `Kind` (its name is not: the
// parser names some by the subcommand).
template <typename Kind>
bool Is(const CLI::ParseError& error) {
  return dynamic_cast<const Kind*>(&error) != nullptr;
}

// The parser's refusal of `command`'s arguments in our words: what was
// wrong, and what to give (`arguments`, the command's own phrase).
std::string ParseRefusal(const CLI::ParseError& error, const CLI::App& command, std::string_view arguments) {
  const std::string message = error.what();
  if (Is<CLI::ExtrasError>(error)) {
    // "The following arguments were not expected: A B": the first of them.
    const std::size_t colon = message.find(": ");
    std::string first = colon == std::string::npos ? message : message.substr(colon + 2);
    first = first.substr(0, first.find(' '));
    return first.starts_with('-') && first.size() > 1 ? "unknown option " + Quoted(first)
                                                      : "unexpected argument " + Quoted(first);
  }
  for (const CLI::Option* option : command.get_options()) {
    const auto least = static_cast<std::size_t>(std::max(1, option->get_items_expected_min()));
    const bool missing = option->get_required() && option->count() < least;
    if (missing && option->get_positional()) return std::string(arguments);
  }
  const CLI::Option* const option = OptionOfError(command, message);
  if (option == nullptr) return message;
  const std::string name = option->get_name(), type = option->get_type_name();
  if (Is<CLI::RequiredError>(error)) return name + " " + type + " is required";
  if (Is<CLI::ArgumentMismatch>(error)) return name + " needs a value" + (type.empty() ? "" : " (" + type + ")");
  const bool badValue = Is<CLI::ValidationError>(error) || Is<CLI::ConversionError>(error);
  if (badValue && !option->results().empty()) {
    return name + " " + Quoted(option->results().back()) + ": give " + (type.empty() ? "another value" : type);
  }
  return message;
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
  if (const int help = RunHelp(app, arguments); help >= 0) return help;
  if (const int refused = RefuseUnknownStart(app, arguments); refused != kExitSuccess) return refused;

  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error) == 0 ? kExitSuccess : kExitBadInput;  // --help, --version
    const std::vector<CLI::App*> parsed = app.get_subcommands();
    if (parsed.empty()) {
      // Unknown subcommands and options were refused before the parse.
      Err("qpxtool: give a subcommand; run \"qpxtool --help\" for the list");
      return kExitBadInput;
    }
    std::size_t index = 0;
    while (added[index] != parsed.front()) ++index;
    const std::string name = parsed.front()->get_name();
    Err("qpxtool " + name + ": " + ParseRefusal(error, *parsed.front(), commands[index]->Arguments()) +
        " (see qpxtool help " + name + ")");
    return kExitBadInput;
  }

  CLI::App* const chosen = app.get_subcommands().front();
  std::size_t index = 0;
  while (added[index] != chosen) ++index;
  const int status = Dispatch(*commands[index], chosen->get_name());
  std::fflush(stdout);
  return status;
}

}  // namespace qpx::tool
