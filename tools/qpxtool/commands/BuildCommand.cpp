// qpxtool build: the patcher program followed by a payload of the bodies.

#include "tools/qpxtool/authoring/BodyList.h"
#include "tools/qpxtool/authoring/PayloadWriter.h"
#include "tools/qpxtool/commands/Commands.h"
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
  if (!options.manifest.empty()) {
    request.manifest = PathFromText(options.manifest);
    ReadManifest(fileSystem, PathFromText(options.manifest), options.manifest, request.bodies);
  }
  for (const std::string& pair : options.pairs) ParseBodyArgument(pair, request.bodies);
  ChooseStub(fileSystem, options.stub, request);

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
  return kExitSuccess;
}

}  // namespace qpx::tool
