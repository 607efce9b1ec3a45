// qpxtool extract: the current body of one resource, to a file.

#include <cstdio>
#include <vector>

#include "src/app/payload/PatchPayload.h"
#include "src/app/run/Alternatives.h"
#include "src/app/run/RecordBody.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "src/archive/ResourceArchive.h"
#include "tools/qpxtool/authoring/GameReader.h"
#include "tools/qpxtool/authoring/PatchReader.h"
#include "tools/qpxtool/commands/CommandLine.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/commands/ToolJson.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

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

void WriteToStandardOutput(std::span<const uint8_t> bytes) {
  SetBinaryStandardOutput();
  const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
  if (std::fflush(stdout) != 0 || !written) Fail(kExitFailedCheck, "standard output: writing failed");
}

// The record of a patch whose body extract decodes for resource `number`:
// its last one, or of a resource's alternatives (version 3), with --base
// (`base`) the one for the version that folder holds, else one that needs
// no game. The count of records when there is none.
std::size_t RecordToExtract(const Payload& payload, uint32_t number, GameReader* base, const std::string& baseText) {
  std::size_t index = payload.records.size();
  for (std::size_t i = 0; i < payload.records.size(); ++i) {
    if (payload.records[i].resourceNumber != number || payload.records[i].Skipped()) continue;
    const bool whole = payload.records[i].encoding != BodyEncoding::Delta;
    const bool haveWhole = index != payload.records.size() && payload.records[index].encoding != BodyEncoding::Delta;
    if (payload.version != kPayloadVersion3 || index == payload.records.size() || (whole && !haveWhole)) index = i;
  }
  if (base == nullptr) return index;
  ResourceArchive& view = base->PatcherView(
      DryRunAccess::ReadOnly, "--base " + Quoted(baseText) + ": is not a game folder (no readable index)");
  if (payload.version == kPayloadVersion3) {
    CTransferBuffer chunk;
    const Selection selection =
        SelectAlternatives(view, payload, {chunk.Reserve(kMaxTransferChunk), kMaxTransferChunk});
    for (const std::size_t i : selection.chosen) {
      if (payload.records[i].resourceNumber == number && !payload.records[i].Skipped()) index = i;
    }
  }
  return index;
}

// Refuses a record that no patcher writes, or whose body cannot be told
// here (a delta, without --base).
void RefuseUnextractable(const Payload& payload, std::size_t index, uint32_t number, const std::string& name,
                         bool haveBase) {
  if (index == payload.records.size()) {
    Fail(kExitBadInput, name + ": no record writes resource " + std::to_string(number) + " (" + TargetName(number) + ")");
  }
  const PayloadRecord& record = payload.records[index];
  if (number < kResourceLimit && record.resultSize > MaxBodySize(number)) {
    Fail(kExitBadInput, name + ": record " + std::to_string(index) + " is too large for " + TargetName(number));
  }
  if (payload.version == kPayloadVersion1 && !BodyLiesInside(record, payload)) {
    Fail(kExitBadInput, name + ": record " + std::to_string(index) + "'s body lies outside the file");
  }
  // A delta is decoded against the game's resource as it is now: a view
  // of that folder that only reads.
  if (record.encoding == BodyEncoding::Delta && !haveBase) {
    Fail(kExitBadInput, name + ": record " + std::to_string(index) + " is a delta against the game's " +
                            TargetName(number) + "; give --base GAMEDIR to decode it");
  }
}

// With --json, standard output holds the document: the body goes to a file.
void StartExtractJson(const ExtractOptions& options) {
  if (!options.json) return;
  if (options.out == "-") Fail(kExitBadInput, "--json writes its report to standard output: give OUT a file, not -");
  StartJsonReport();
}

// The JSON report of a body written to OUT: from the game folder, or as
// record `index` of the patch writes it.
void ExtractJson(const ExtractOptions& options, uint32_t number, uint64_t bytes, const Json& index) {
  if (!options.json) return;
  Json report = JsonDocument("extract");
  report["source"] = options.gameDirectory;
  report["sourceKind"] = index.is_null() ? "game" : "patch";
  report["base"] = options.base.empty() ? Json(nullptr) : Json(options.base);
  report["resource"] = number;
  report["target"] = TargetName(number);
  report["index"] = index;
  report["resultBytes"] = bytes;
  report["out"] = options.out;
  WriteJsonReport(report);
}

// The body that the last record of the patch for resource `number`
// writes, decoded as the patcher decodes it.
int ExtractFromPatch(CFileSystem& fileSystem, const ExtractOptions& options, uint32_t number, const std::wstring& out) {
  std::unique_ptr<CAbstractFile> patch;
  Payload payload;
  OpenPatchOrFail(fileSystem, options.gameDirectory, patch, payload);
  const std::string name = "patch " + Quoted(options.gameDirectory);
  std::unique_ptr<GameReader> base;
  if (!options.base.empty()) base = std::make_unique<GameReader>(fileSystem, PathFromText(options.base), options.base);
  const std::size_t index = RecordToExtract(payload, number, base.get(), options.base);
  RefuseUnextractable(payload, index, number, name, base != nullptr);
  const PayloadRecord& record = payload.records[index];
  // Without --base, an archive never opened: a body that is no delta
  // needs no game, and such an archive reads nothing.
  ResourceArchive closed(fileSystem);
  ResourceArchive* archive = &closed;
  if (base) archive = &base->PatcherView(DryRunAccess::ReadOnly, "");
  BodyBuffers buffers;
  std::span<const uint8_t> body;
  switch (DecodeRecordBody(*patch, record, *archive, buffers, body)) {
    case BodyOutcome::Ready: break;
    case BodyOutcome::CantRead: Fail(kExitFailedCheck, name + ": reading failed part way");
    case BodyOutcome::Damaged:
    case BodyOutcome::WriteFailed:  // memory takes every byte of a result
      Fail(kExitFailedCheck, name + ": record " + std::to_string(index) + " does not decode to the bytes it names" +
                                 (record.encoding == BodyEncoding::Delta ? " (is --base the game it was made for?)" : ""));
  }
  const std::string what = TargetName(number) + " (resource " + std::to_string(number) + ", " +
                           Grouped(body.size()) + " bytes) as record " + std::to_string(index) + " of " + name +
                           " writes it";
  if (options.out == "-") {
    WriteToStandardOutput(body);
    Err("qpxtool extract: wrote " + what + " to standard output");
    return kExitSuccess;
  }
  if (fileSystem.SameFile(out.c_str(), PathFromText(options.gameDirectory).c_str())) {
    Fail(kExitBadInput, "output " + Quoted(options.out) + ": is the patch itself; write the body to another file");
  }
  RefuseExistingOutput(fileSystem, out, "output " + Quoted(options.out), options.force);
  ReplacingOutput output(fileSystem, out);
  if (!WriteBytes(output.File(), body)) Fail(kExitFailedCheck, "output " + Quoted(options.out) + ": writing failed (disk full?)");
  output.Commit();
  Out("qpxtool extract: wrote " + what + " to " + Quoted(options.out));
  ExtractJson(options, number, body.size(), index);
  return kExitSuccess;
}

}  // namespace

int RunExtract(CFileSystem& fileSystem, const ExtractOptions& options) {
  uint32_t number = 0;
  if (!ParseDecimal(options.number, number) || number >= kResourceLimit) {
    Fail(kExitBadInput, "NUMBER " + Quoted(options.number) +
                            ": not a resource number 0..2714 (0..1206 entries, 1207..2714 loose files)");
  }
  const bool toStandardOutput = options.out == "-";
  StartExtractJson(options);
  const std::wstring out = PathFromText(options.out);
  if (toStandardOutput) RefuseTerminalOutput("OUT \"-\"");
  if (!toStandardOutput) {
    switch (fileSystem.KindOf(out.c_str())) {
      case PathKind::Directory: Fail(kExitBadInput, "output " + Quoted(options.out) + ": is a folder");
      case PathKind::Other: Fail(kExitBadInput, "output " + Quoted(options.out) + ": is not a regular file");
      default: break;
    }
  }
  if (fileSystem.KindOf(PathFromText(options.gameDirectory).c_str()) == PathKind::File) {
    return ExtractFromPatch(fileSystem, options, number, out);
  }
  if (!options.base.empty()) Fail(kExitBadInput, "--base is for extracting from a patch, not from a game folder");
  GameReader game(fileSystem, PathFromText(options.gameDirectory), options.gameDirectory);

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
  RefuseOutputOverInputs(fileSystem, out, "output " + Quoted(options.out), inputs);
  RefuseExistingOutput(fileSystem, out, "output " + Quoted(options.out), options.force);
  ReplacingOutput output(fileSystem, out);
  Copy(*bytes.file, bytes.offset, bytes.size, output, from, options.out);
  output.Commit();
  Out("qpxtool extract: wrote " + target + " (resource " + std::to_string(number) + ", " + Grouped(bytes.size) +
      " bytes) to " + Quoted(options.out));
  ExtractJson(options, number, bytes.size, nullptr);
  return kExitSuccess;
}

namespace {

CLI::App* AddExtract(CLI::App& app, ExtractOptions& options) {
  CLI::App* const command = app.add_subcommand(
      "extract", "Write the current body of resource NUMBER in GAMEDIR (or the body PATCH writes to it) to OUT.");
  command->add_option("GAMEDIR", options.gameDirectory, "the game folder, or a patch")
      ->required()
      ->type_name("GAMEDIR|PATCH");
  command->add_option("NUMBER", options.number, "0..1206 an entry, 1207..2714 a loose file")->required();
  command->add_option("OUT", options.out, "the file to write, or - for standard output (not a terminal)")
      ->required();
  command->add_flag("--json", options.json, kJsonHelp);
  AddForceFlag(command, options.force);
  command->add_option("--base", options.base, "with a PATCH: the game folder its delta bodies are decoded against")
      ->type_name("GAMEDIR");
  command->footer(
      "An entry's body is its index record's size bytes at its offset in DATA1.QPX; a\n"
      "loose file's is what follows its 2048-byte header, as long as the header says.\n"
      "From a PATCH: the body its last record for NUMBER writes, decoded (and checked\n"
      "against the record's hash) as the patcher decodes it.\n"
      "Exit status: 0 written, 1 writing failed, 2 bad usage or input.");
  return command;
}

}  // namespace

std::unique_ptr<ToolCommand> ExtractCommand() {
  return MakeCommand<ExtractOptions>(AddExtract, RunExtract,
                         "give the game folder (or a patch), the resource number and the file to write (or -)");
}

}  // namespace qpx::tool
