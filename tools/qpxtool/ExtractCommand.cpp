// qpxtool extract: the current body of one resource, to a file.

#include <cstdio>
#include <vector>

#include "app/PatchPayload.h"
#include "archive/ArchiveIndexEntry.h"
#include "archive/LooseFile.h"
#include "tools/qpxtool/Commands.h"
#include "tools/qpxtool/GameReader.h"
#include "tools/qpxtool/ToolFiles.h"
#include "tools/qpxtool/ToolPlatform.h"
#include "tools/qpxtool/ToolText.h"

namespace qpx::tool {
namespace {

void Copy(CAbstractFile& source, uint64_t offset, uint64_t size, ReplacingOutput& output, const std::string& from,
          const std::string& outText) {
  CopyBuffer buffer;
  switch (CopyBytes(source, offset, size, output.File(), buffer.Span())) {
    case CopyResult::Done: return;
    case CopyResult::ReadShort: Fail(kExitFailedCheck, from + ": reading failed part way");
    case CopyResult::WriteShort: Fail(kExitFailedCheck, "output " + Quoted(outText) + ": writing failed (disk full?)");
  }
}

}  // namespace

int RunExtract(CFileSystem& fileSystem, const ExtractOptions& options) {
  uint32_t number = 0;
  if (!ParseDecimal(options.number, number) || number >= kResourceLimit) {
    Fail(kExitBadInput, "NUMBER " + Quoted(options.number) +
                            ": not a resource number 0..2714 (0..1206 entries, 1207..2714 loose files)");
  }
  GameReader game(fileSystem, PathFromText(options.gameDirectory), options.gameDirectory);
  const bool toStandardOutput = options.out == "-";
  const std::wstring out = PathFromText(options.out);
  if (!toStandardOutput) {
    switch (KindOf(out)) {
      case PathKind::Directory: Fail(kExitBadInput, "output " + Quoted(options.out) + ": is a folder");
      case PathKind::Other: Fail(kExitBadInput, "output " + Quoted(options.out) + ": is not a regular file");
      default: break;
    }
  }

  const std::string target = TargetName(number);
  const ResourceBytes bytes = game.Locate(number);
  if (!bytes.exists) Fail(kExitBadInput, target + ": " + game.Describe(bytes.path) + " is missing or cannot be read");
  const std::string from = number < kEntryCount ? "DATA1.QPX" : target;
  if (toStandardOutput) {
    SetBinaryStandardOutput();
    CopyBuffer buffer;
    bool writeShort = false;
    const bool done = ReadPieces(*bytes.file, bytes.offset, bytes.size, buffer.Span(),
                                 [&](uint64_t, std::span<const uint8_t> piece) {
                                   writeShort = std::fwrite(piece.data(), 1, piece.size(), stdout) != piece.size();
                                   return !writeShort;
                                 });
    if (std::fflush(stdout) != 0 || writeShort) Fail(kExitFailedCheck, "standard output: writing failed");
    if (!done) Fail(kExitFailedCheck, from + ": reading failed part way");
    // Standard output holds the body: the report goes to standard error.
    Err("qpxtool extract: wrote " + target + " (resource " + std::to_string(number) + ", " + Grouped(bytes.size) +
        " bytes) to standard output");
    return kExitSuccess;
  }
  // The files it reads first, so that a message names the one it would replace.
  std::vector<ReadInput> inputs;
  for (const std::wstring& file : number < kEntryCount ? std::vector{game.IndexPath(), game.DataPath()}
                                                       : std::vector{bytes.path}) {
    inputs.push_back({file, Quoted(PathToText(file)) + " of the game folder"});
  }
  inputs.push_back({PathFromText(options.gameDirectory), "the game folder " + Quoted(options.gameDirectory), true});
  RefuseOutputOverInputs(out, "output " + Quoted(options.out), inputs);
  ReplacingOutput output(fileSystem, out);
  Copy(*bytes.file, bytes.offset, bytes.size, output, from, options.out);
  output.Commit();
  Out("qpxtool extract: wrote " + target + " (resource " + std::to_string(number) + ", " + Grouped(bytes.size) +
      " bytes) to " + Quoted(options.out));
  return kExitSuccess;
}

}  // namespace qpx::tool
