// qpxtool: the patch author's tool. Builds patches for qpxpatch (from
// bodies, or from the difference of two game folders), lists, plans,
// verifies and reverses them, extracts and unpacks resources from a game
// folder, packs them into one again, and makes a sample game folder to try
// patches on.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "filesystem/FileSystem.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"
#include "tools/qpxtool/RunTool.h"

namespace {

constexpr const char* kManifestHelp =
    "Manifest: a text file (UTF-8) of lines \"NUMBER FILE\": a resource number, blanks, then the body's\n"
    "file, relative to the manifest's folder unless absolute (the rest of the line, so names may hold\n"
    "spaces). Blank lines and lines starting with # are skipped. NUMBER=FILE arguments follow the\n"
    "manifest's bodies, FILE relative to the current folder. Records keep this order.\n"
    "Resource numbers: 0..1206 are the archive entries, 1207..2714 the loose files res\\D00000.bin ..\n"
    "res\\D01507.bin (number - 1207). A body has at least 1 byte; a loose file's at most 132,907,008.\n"
    "Exit status: 0 written, 1 reading or writing failed part way, 2 bad usage or input (nothing written).";

constexpr const char* kStubHelp =
    "the patcher program: windows or linux for those installed with qpxtool, or a file (default: windows)";
constexpr std::string_view kStubDefaultHelp =
    "--stub windows (the default) is the Windows patcher installed with qpxtool: ../share/qpxpatch/qpxpatch.exe\n"
    "from qpxtool's own folder, else qpxpatch.exe beside qpxtool. --stub linux is the native one:\n"
    "../share/qpxpatch/qpxpatch, else qpxpatch beside qpxtool. Any other PATCHER is a file (./linux for one\n"
    "so named).\n";

constexpr const char* kJsonHelp =
    "write one JSON document to standard output instead of the report (messages still go to standard error; "
    "the keys are in the README and the manual page)";

// --format and --level, for the subcommands that write patches; --no-delta
// for those that know the game the patch is for.
void AddFormatOptions(CLI::App* command, qpx::tool::FormatOptions& options, bool knowsTheGame) {
  if (knowsTheGame) {
    command->add_flag("--no-delta", options.noDelta,
                      "store each version-2 body whole (compressed where that is smaller), never as the difference "
                      "from the resource's current bytes");
  }
  command->add_option("--format", options.format,
                      "the payload's version: 2 (the default) checks the game before it writes anything and "
                      "compresses; 1 writes the sealed version-1 payload that older patchers read")
      ->check(CLI::IsMember({1u, 2u}))
      ->type_name("1|2");
  command->add_option("--level", options.level,
                      "how hard version-2 bodies are compressed: 0 (fastest) to 9 (smallest, the default)")
      ->check(CLI::Range(0, 9))
      ->type_name("0..9");
}

}  // namespace

int qpx::tool::RunTool(const std::vector<std::string>& arguments) {
  using namespace qpx;
  using namespace qpx::tool;
  LetOversizedWritesFail();

  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());

  CLI::App app("qpxtool: builds, lists and verifies patches for the qpxpatch patcher.", "qpxtool");
  app.set_version_flag("--version", "qpxtool " QPX_TOOL_VERSION);
  app.require_subcommand(1);
  app.footer("Run \"qpxtool SUBCOMMAND --help\" for each subcommand's options.\n"
             "Exit status: 0 success, 1 a failed check, 2 bad usage or bad input.");

  BuildOptions build;
  CLI::App* buildCommand = app.add_subcommand(
      "build", "Write PATCH: the patcher program (the stub) followed by a payload of the bodies.");
  buildCommand->add_option("--stub", build.stub, kStubHelp)->type_name("PATCHER");
  buildCommand->add_option("--out", build.out, "the patch to write (replaced only once complete)")
      ->required()
      ->type_name("PATCH");
  buildCommand->add_option("--manifest", build.manifest, "a manifest naming the bodies (format below)")
      ->type_name("FILE");
  buildCommand->add_flag("--replace-payload", build.replacePayload,
                         "the stub is itself a patch: build from its program alone, leaving its payload out");
  buildCommand->add_flag("--no-seal", build.noSeal,
                         "write the plain version-1 payload, without the seal that lets the patcher refuse a damaged "
                         "patch");
  AddFormatOptions(buildCommand, build.format, false);
  buildCommand->add_flag("--any-stub", build.anyStub,
                         "build on a stub that is not a qpxpatch patcher (it lacks the patcher's marker)");
  buildCommand->add_option("bodies", build.pairs, "a body for a resource, after the manifest's bodies")
      ->type_name("NUMBER=FILE");
  buildCommand->footer(std::string(kStubDefaultHelp) + kManifestHelp);

  ListOptions list;
  CLI::App* listCommand = app.add_subcommand(
      "list", "Check PATCH as the patcher would and print its records: target, body offset and size.");
  listCommand->add_option("PATCH", list.patch, "the patch (a patcher with its payload)")->required();
  listCommand->add_flag("--json", list.json, kJsonHelp);
  listCommand->footer("Exit status: 0 the patcher would take every record, 1 it would refuse the patch or\n"
                      "fail a record (its own message is printed), 2 bad usage or PATCH cannot be opened.");

  VerifyOptions verify;
  CLI::App* verifyCommand = app.add_subcommand(
      "verify", "Report, per record of PATCH, whether GAMEDIR holds exactly its body. Reads only.");
  verifyCommand->add_option("PATCH", verify.patch, "the patch")->required();
  verifyCommand->add_option("GAMEDIR", verify.gameDirectory, "the game folder (DATA0.QPX, DATA1.QPX, res)")
      ->required();
  verifyCommand->add_flag("--json", verify.json, kJsonHelp);
  verifyCommand->footer("A record overwritten by a later record for the same resource is reported as\n"
                        "superseded, and one of size 0 as skipped; neither counts against the patch.\n"
                        "Exit status: 0 every record applied, 1 some not, 2 bad usage or input.");

  ExtractOptions extract;
  CLI::App* extractCommand = app.add_subcommand(
      "extract", "Write the current body of resource NUMBER in GAMEDIR (or the body PATCH writes to it) to OUT.");
  extractCommand->add_option("GAMEDIR", extract.gameDirectory, "the game folder, or a patch")
      ->required()
      ->type_name("GAMEDIR|PATCH");
  extractCommand->add_option("NUMBER", extract.number, "0..1206 an entry, 1207..2714 a loose file")->required();
  extractCommand->add_option("OUT", extract.out, "the file to write, or - for standard output")->required();
  extractCommand->add_option("--base", extract.base,
                             "with a PATCH: the game folder its delta bodies are decoded against")
      ->type_name("GAMEDIR");
  extractCommand->footer("An entry's body is its index record's size bytes at its offset in DATA1.QPX; a\n"
                         "loose file's is what follows its 2048-byte header, as long as the header says.\n"
                         "From a PATCH: the body its last record for NUMBER writes, decoded (and checked\n"
                         "against the record's hash) as the patcher decodes it.\n"
                         "Exit status: 0 written, 1 writing failed, 2 bad usage or input.");

  UnpackOptions unpack;
  CLI::App* unpackCommand = app.add_subcommand(
      "unpack", "Write every resource of GAMEDIR as a file under OUTDIR, with a manifest that builds them all.");
  unpackCommand->add_option("GAMEDIR", unpack.gameDirectory, "the game folder")->required();
  unpackCommand->add_option("OUTDIR", unpack.outDirectory, "a new or empty folder")->required();
  unpackCommand->footer("Entries go to OUTDIR/entries/NNNNN.bin, loose files to OUTDIR/loose/DNNNNN.bin (the body\n"
                        "without its header); empty resources are left out. OUTDIR/patch.manifest names them for\n"
                        "\"qpxtool build --manifest\", except entries with attributes (a patch would store them as plain\n"
                        "entries), named in comments. Edit files there, then \"qpxtool diff GAMEDIR OUTDIR\".\n"
                        "Exit status: 0 written, 1 writing failed, 2 bad usage or input.");

  PackOptions pack;
  CLI::App* packCommand = app.add_subcommand(
      "pack", "Make a game folder GAMEDIR from TREE, a folder written by unpack (or its manifest): unpack's inverse.");
  packCommand->add_option("TREE", pack.tree, "a folder written by unpack, or a manifest")->required();
  packCommand->add_option("GAMEDIR", pack.gameDirectory, "a new or empty folder")->required();
  packCommand->footer("From a folder: every file entries/NNNNN.bin (entry N) and loose/DNNNNN.bin (res\\DNNNNN.bin); the\n"
                      "entries its patch.manifest names in comments with their attributes keep them. From a manifest:\n"
                      "the files it names (and those comments), each beside it or below. DATA1.QPX holds the entries in\n"
                      "number order, each in a slot of a multiple of 32 bytes; a resource without a file is an empty\n"
                      "entry, or no loose file. Refused (nothing written): other names, files named twice or outside\n"
                      "the tree, a loose body over 132,907,008 bytes, a GAMEDIR that is not new or empty.\n"
                      "Exit status: 0 made, 1 reading or writing failed, 2 bad usage or input.");

  DiffOptions diff;
  CLI::App* diffCommand = app.add_subcommand(
      "diff", "Write a patch of exactly the resources in which MODIFIED differs from ORIGINAL, or one for OLD... to NEW.");
  diffCommand
      ->add_option("FOLDER", diff.folders,
                   "ORIGINAL MODIFIED: the game folder the patch is for, then a game folder or a folder written by "
                   "unpack; or OLD... NEW: the game folders of 2 to 64 old versions, then the new version's, for one "
                   "patch that brings each of them to NEW")
      ->required()
      ->expected(-2)
      ->type_name("");
  diffCommand->add_option("--label", diff.labels,
                          "OLD... NEW: the label of an old version, shown by the patcher and qpxtool (default: its "
                          "folder's name); once per old folder")
      ->type_name("FOLDER=NAME");
  diffCommand->add_option("--label-new", diff.labelNew, "OLD... NEW: the new version's label (default: its folder's name)")
      ->type_name("NAME");
  diffCommand->add_option("--stub", diff.stub, kStubHelp)->type_name("PATCHER");
  diffCommand->add_option("--out", diff.out, "the patch to write")->type_name("PATCH");
  diffCommand->add_option("--manifest-out", diff.manifestOut,
                          "instead of a patch, write the differing bodies and a manifest to this new or empty folder")
      ->type_name("DIR");
  diffCommand->add_flag("--any-stub", diff.anyStub, "build on a stub that is not a qpxpatch patcher");
  diffCommand->add_flag("--json", diff.json, kJsonHelp);
  diffCommand->add_flag("--allow-empty", diff.allowEmpty,
                        "when the folders hold the same resources, still write the patch (of no records) or manifest");
  AddFormatOptions(diffCommand, diff.format, true);
  diffCommand->footer(std::string(kStubDefaultHelp) +
                      "A resource's bytes are what extract writes. An entry also differs when MODIFIED's has\n"
                      "attributes 0 and ORIGINAL's has not. In an unpacked MODIFIED, a resource whose file was deleted\n"
                      "is left as it is. Refused (nothing written): an entry that differs where MODIFIED's has\n"
                      "attributes, a resource made empty, a loose file on one side only, a loose body over the limit.\n"
                      "Folders that hold the same resources give no patch unless --allow-empty.\n"
                      "Exit status: 0 written, 1 the folders hold the same resources (nothing written) or reading or\n"
                      "writing failed, 2 bad usage or input.");

  PlanOptions plan;
  CLI::App* planCommand = app.add_subcommand(
      "plan", "A dry run: what the patcher would do with each record of PATCH to GAMEDIR. Reads only.");
  planCommand->add_option("PATCH", plan.patch, "the patch")->required();
  planCommand->add_option("GAMEDIR", plan.gameDirectory, "the game folder")->required();
  planCommand->add_flag("--json", plan.json, kJsonHelp);
  planCommand->footer("Judged by the patcher's own archive code on a view of GAMEDIR that writes nothing.\n"
                      "Exit status: 0 every record would apply, 1 some would fail, 2 bad usage or input.");

  ReverseOptions reverse;
  CLI::App* reverseCommand = app.add_subcommand(
      "reverse", "Before PATCH is applied: write UNDO, a patch that puts back every resource PATCH changes.");
  reverseCommand->add_option("PATCH", reverse.patch, "the patch to undo")->required();
  reverseCommand->add_option("GAMEDIR", reverse.gameDirectory, "the game folder, not yet patched")->required();
  reverseCommand->add_option("--stub", reverse.stub, kStubHelp)->type_name("PATCHER");
  reverseCommand->add_option("--out", reverse.out, "the undo patch to write")->required()->type_name("UNDO");
  reverseCommand->add_flag("--any-stub", reverse.anyStub, "build on a stub that is not a qpxpatch patcher");
  AddFormatOptions(reverseCommand, reverse.format, true);
  reverseCommand->footer(std::string(kStubDefaultHelp) +
                         "Refused (nothing written) when PATCH touches what no patch can restore: entries with\n"
                         "attributes, empty resources, loose files that do not exist.\n"
                         "Exit status: 0 written, 1 reading or writing failed, 2 bad usage or input.");

  SampleOptions sample;
  CLI::App* sampleCommand = app.add_subcommand(
      "sample", "Make a small synthetic game folder in GAMEDIR to try patches on.");
  sampleCommand->add_option("GAMEDIR", sample.gameDirectory, "a new or empty folder (made if missing)")
      ->required();
  sampleCommand->footer("Refuses a folder that already holds DATA0.QPX or DATA1.QPX (in any case).\n"
                        "Exit status: 0 made, 1 writing failed, 2 bad usage or input.");

  // CLI11 would only say that a subcommand is required.
  const auto known = [&](const std::string& name) {
    for (const CLI::App* command : app.get_subcommands({})) {
      if (command->check_name(name)) return true;
    }
    return false;
  };
  if (arguments.size() > 1 && !arguments[1].starts_with('-') && !known(arguments[1])) {
    Err("qpxtool: unknown subcommand " + Quoted(arguments[1]) + "; run \"qpxtool --help\" for the list");
    return kExitBadInput;
  }
  // Before the subcommand only --help and --version are known; CLI11 would
  // say that a subcommand is required, not what was wrong.
  if (arguments.size() > 1 && arguments[1].starts_with('-') && arguments[1] != "-h" && arguments[1] != "--help" &&
      arguments[1] != "--version") {
    Err("qpxtool: unknown option " + Quoted(arguments[1]) +
        "; before the subcommand only --help and --version are known; run \"qpxtool --help\"");
    return kExitBadInput;
  }
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kExitSuccess : kExitBadInput;
  }

  CLI::App* chosen = app.get_subcommands().front();
  int status = kExitSuccess;
  try {
    const auto fileSystem = CreatePlatformFileSystem();
    if (chosen == buildCommand) status = RunBuild(*fileSystem, build);
    else if (chosen == listCommand) status = RunList(*fileSystem, list);
    else if (chosen == verifyCommand) status = RunVerify(*fileSystem, verify);
    else if (chosen == extractCommand) status = RunExtract(*fileSystem, extract);
    else if (chosen == unpackCommand) status = RunUnpack(*fileSystem, unpack);
    else if (chosen == packCommand) status = RunPack(*fileSystem, pack);
    else if (chosen == diffCommand) {
      if (diff.folders.size() == 2) diff.original = diff.folders[0], diff.modified = diff.folders[1];
      status = RunDiff(*fileSystem, diff);
    }
    else if (chosen == planCommand) status = RunPlan(*fileSystem, plan);
    else if (chosen == reverseCommand) status = RunReverse(*fileSystem, reverse);
    else status = RunSample(*fileSystem, sample);
  } catch (const ToolError& error) {
    Err("qpxtool " + chosen->get_name() + ": " + error.what());
    status = error.Status();
  } catch (const std::bad_alloc&) {
    Err("qpxtool " + chosen->get_name() + ": out of memory");
    status = kExitFailedCheck;
  }
  std::fflush(stdout);
  return status;
}
