// qpxtool build: the patcher program followed by a payload of the bodies.

#include "tools/qpxtool/authoring/BodyList.h"
#include "tools/qpxtool/authoring/PayloadWriter.h"
#include "tools/qpxtool/commands/CommandLine.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/commands/ToolJson.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {

int RunBuild(CFileSystem& fileSystem, const BuildOptions& options) {
  BuildRequest request;
  request.out = PathFromText(options.out);
  request.outText = options.out;
  request.replacePayload = options.replacePayload;
  request.seal = !options.noSeal;
  ApplyFormat(options.format, options.noSeal, request);
  request.anyStub = options.anyStub;
  request.force = options.force;
  if (!options.manifest.empty()) {
    request.manifest = PathFromText(options.manifest);
    ReadManifest(fileSystem, PathFromText(options.manifest), options.manifest, request.bodies);
  }
  for (const std::string& pair : options.pairs) ParseBodyArgument(pair, request.bodies);
  ChooseStub(fileSystem, options.stub, request);
  request.branding = LoadBranding(fileSystem, options.branding, options.out);

  if (options.json) StartJsonReport();
  const BuildResult result = BuildPatch(fileSystem, request);
  for (const std::string& warning : result.warnings) Err("qpxtool build: warning: " + warning);

  const std::size_t records = request.bodies.size();
  std::string line = "qpxtool build: wrote " + Quoted(options.out) + ", " + PatchKindText(fileSystem, request.out) +
                     ": " + Grouped(result.programLength) +
                     "-byte program, " + std::to_string(records) + (records == 1 ? " body" : " bodies") +
                     " of " + Grouped(result.bodyBytes) + " bytes, table at byte " + Grouped(result.tableOffset) +
                     "; " + Grouped(result.fileLength) + " bytes in all, " + Described(request, result);
  if (result.strippedBytes != 0) {
    line += " (the stub's old payload of " + Grouped(result.strippedBytes) + " bytes was left out)";
  }
  Out(line);
  if (options.json) {
    Json report = JsonDocument("build");
    report["manifest"] = options.manifest.empty() ? Json(nullptr) : Json(options.manifest);
    report["output"] = PatchOutputJson(fileSystem, options.out, request, result, nullptr);
    report["warnings"] = result.warnings;
    WriteJsonReport(report);
  }
  return kExitSuccess;
}

namespace {

CLI::App* AddBuild(CLI::App& app, BuildOptions& options) {
  CLI::App* const command =
      app.add_subcommand("build", "Write PATCH: the patcher program (the stub) followed by a payload of the bodies.");
  command->add_option("--stub", options.stub, kStubHelp)->type_name("PATCHER");
  AddOutOption(command, options.out, "the patch to write (complete before it takes its name)", "PATCH")->required();
  AddForceFlag(command, options.force);
  command->add_option("--manifest", options.manifest, "a manifest naming the bodies (format below)")->type_name("FILE");
  command->add_flag("--replace-payload", options.replacePayload,
                    "the stub is itself a patch: build from its program alone, leaving its payload out");
  command->add_flag("--no-seal", options.noSeal,
                    "write the plain version-1 payload, without the seal that lets the patcher refuse a damaged "
                    "patch");
  AddFormatOptions(command, options.format, false);
  AddBrandingOptions(command, options.branding);
  command->add_flag("--any-stub", options.anyStub,
                    "build on a stub that is not a qpxpatch patcher (it lacks the patcher's marker)");
  command->add_flag("--json", options.json, kJsonHelp);
  command->add_option("bodies", options.pairs, "a body for a resource, after the manifest's bodies")
      ->type_name("NUMBER=FILE");
  command->footer(std::string(kStubDefaultHelp) + kManifestHelp);
  return command;
}

}  // namespace

std::unique_ptr<ToolCommand> BuildCommand() {
  return MakeCommand<BuildOptions>(AddBuild, RunBuild,
                         "give --out PATCH and the bodies (NUMBER=FILE, or --manifest FILE)");
}

}  // namespace qpx::tool
