// qpxtool extract: the current body of one resource, to a file.

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

void RefuseGameFile(const std::wstring& out, const std::string& outText, const std::wstring& gameFile) {
  if (KindOf(out) != PathKind::Missing && SameFile(out, gameFile)) {
    Fail(kExitBadInput, "output " + Quoted(outText) + ": is " + Quoted(PathToText(gameFile)) +
                            " of the game folder; write the body to another file");
  }
}

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
  const std::wstring out = PathFromText(options.out);
  switch (KindOf(out)) {
    case PathKind::Directory: Fail(kExitBadInput, "output " + Quoted(options.out) + ": is a folder");
    case PathKind::Other: Fail(kExitBadInput, "output " + Quoted(options.out) + ": is not a regular file");
    default: break;
  }

  const std::string target = TargetName(number);
  uint64_t size = 0;
  if (number < kEntryCount) {
    game.OpenArchive();
    RefuseGameFile(out, options.out, game.IndexPath());
    RefuseGameFile(out, options.out, game.DataPath());
    const ArchiveIndexEntry& entry = game.Entries()[number];
    if (!LiesInside(entry.offset, entry.size, game.DataSize())) {
      Fail(kExitBadInput, target + ": its index record points at " + Grouped(entry.size) + " bytes from byte " +
                              Grouped(entry.offset) + ", past the end of DATA1.QPX (" +
                              Grouped(static_cast<uint64_t>(game.DataSize())) + " bytes)");
    }
    size = entry.size;
    ReplacingOutput output(fileSystem, out);
    Copy(game.Data(), entry.offset, size, output, "DATA1.QPX", options.out);
    output.Commit();
  } else {
    const std::wstring path = game.LoosePath(number - kEntryCount);
    const auto file = fileSystem.Open(path.c_str(), OpenMode_Read);
    if (!file) Fail(kExitBadInput, target + ": " + game.Describe(path) + " is missing or cannot be read");
    RefuseGameFile(out, options.out, path);
    int64_t length = 0;
    LooseFileHeader header{};
    if (!file->QuerySize64(length) || file->Read(&header, sizeof header) != sizeof header ||
        header.magic != kLooseFileMagic) {
      Fail(kExitBadInput, target + ": " + game.Describe(path) + " is not a loose resource file (no header)");
    }
    if (header.totalSize > static_cast<uint64_t>(length) - sizeof header) {
      Fail(kExitBadInput, target + ": its header says " + Grouped(header.totalSize) + " bytes, the file holds only " +
                              Grouped(static_cast<uint64_t>(length) - sizeof header) + " after it");
    }
    size = header.totalSize;
    ReplacingOutput output(fileSystem, out);
    Copy(*file, sizeof header, size, output, target, options.out);
    output.Commit();
  }
  Out("qpxtool extract: wrote " + target + " (resource " + std::to_string(number) + ", " + Grouped(size) +
      " bytes) to " + Quoted(options.out));
  return kExitSuccess;
}

}  // namespace qpx::tool
