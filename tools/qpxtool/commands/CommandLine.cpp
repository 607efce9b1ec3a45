#include "tools/qpxtool/commands/CommandLine.h"

namespace qpx::tool {

const char* const kManifestHelp =
    "Manifest: a text file (UTF-8) of lines \"NUMBER FILE\": a resource number, blanks, then the body's\n"
    "file, relative to the manifest's folder unless absolute (the rest of the line, so names may hold\n"
    "spaces). Blank lines and lines starting with # are skipped. NUMBER=FILE arguments follow the\n"
    "manifest's bodies, FILE relative to the current folder. Records keep this order.\n"
    "Resource numbers: 0..1206 are the archive entries, 1207..2714 the loose files res\\D00000.bin ..\n"
    "res\\D01507.bin (number - 1207). A body has at least 1 byte; a loose file's at most 132,907,008.\n"
    "Exit status: 0 written, 1 reading or writing failed part way, 2 bad usage or input (nothing written).";

const char* const kStubHelp =
    "the patcher program: windows or linux for those installed with qpxtool, or a file (default: windows)";
const std::string_view kStubDefaultHelp =
    "--stub windows (the default) is the Windows patcher installed with qpxtool: ../share/qpxpatch/qpxpatch.exe\n"
    "from qpxtool's own folder, else qpxpatch.exe beside qpxtool. --stub linux is the native one:\n"
    "../share/qpxpatch/qpxpatch, else qpxpatch beside qpxtool. Any other PATCHER is a file (./linux for one\n"
    "so named).\n";

const char* const kJsonHelp =
    "write one JSON document to standard output instead of the report (messages still go to standard error; "
    "the keys are in the README and the manual page)";

CLI::Option* AddOutOption(CLI::App* command, std::string& out, const std::string& help, const std::string& typeName) {
  return command->add_option("-o,--out", out, help)->type_name(typeName);
}

void AddForceFlag(CLI::App* command, bool& force) {
  command->add_flag("-f,--force", force,
                    "replace an output file that exists (the new one is written beside it and renamed over it once "
                    "complete); without it an existing output is refused");
}

namespace {

// A check whose own description stays out of the help: the option's type
// name already says what it takes ("0..9", not "0..9:INT in [0 - 9]").
CLI::Validator Unlisted(CLI::Validator validator) {
  validator.description("");
  return validator;
}

}  // namespace

void AddFormatOptions(CLI::App* command, FormatOptions& options, bool knowsTheGame) {
  if (knowsTheGame) {
    command->add_flag("--no-delta", options.noDelta,
                      "store each version-2 body whole (compressed where that is smaller), never as the difference "
                      "from the resource's current bytes");
  }
  command->add_option("--format", options.format,
                      "the payload's version: 2 (the default) checks the game before it writes anything and "
                      "compresses; 1 writes the sealed version-1 payload that older patchers read")
      ->check(Unlisted(CLI::IsMember({1u, 2u})))
      ->type_name("1|2");
  command->add_option("--level", options.level,
                      "how hard version-2 bodies are compressed: 0 (fastest) to 9 (smallest, the default)")
      ->check(Unlisted(CLI::Range(0, 9)))
      ->type_name("0..9");
}

void AddBrandingOptions(CLI::App* command, BrandingOptions& options) {
  // A callback per option, so that a text given empty is told apart from
  // one not given.
  const auto add = [&](const char* name, std::optional<std::string>& value, const char* help, const char* type) {
    command->add_option_function<std::string>(name, [&value](const std::string& text) { value = text; }, help)
        ->type_name(type);
  };
  add("--product", options.product, "the game's name, shown in the Windows patch's file properties", "NAME");
  add("--product-version", options.productVersion,
      "the game's version the patch brings, shown beside its name (its leading numbers, as 1.2.3, also as the "
      "product version's numbers)",
      "TEXT");
  add("--company", options.company, "the publisher's name, shown in the Windows patch's file properties", "NAME");
  add("--description", options.description,
      "what the patch is, shown as its file description (and by Explorer in place of its name)", "TEXT");
  add("--icon", options.icon, "the Windows patch's icon: an icon file (.ico) of one or more images", "FILE.ico");
}

std::vector<std::unique_ptr<ToolCommand>> ToolCommands() {
  std::vector<std::unique_ptr<ToolCommand>> commands;
  for (auto* make : {BuildCommand, ListCommand, VerifyCommand, ExtractCommand, UnpackCommand, PackCommand,
                     DiffCommand, PlanCommand, ReverseCommand, SampleCommand}) {
    commands.push_back(make());
  }
  return commands;
}

}  // namespace qpx::tool
