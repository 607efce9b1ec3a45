// qpxtool verify: whether a game folder holds exactly each body of a patch.
// Opens every file for reading only.

#include <cstring>

#include "app/run/ResourceState.h"
#include "archive/ResourceArchive.h"
#include "filesystem/TransferBuffer.h"
#include "tools/qpxtool/authoring/DryRunFileSystem.h"

#include "app/payload/PatchPayload.h"
#include "archive/ArchiveIndexEntry.h"
#include "archive/LooseFile.h"
#include "tools/qpxtool/authoring/GameReader.h"
#include "tools/qpxtool/authoring/PatchReader.h"
#include "tools/qpxtool/commands/AppliedCheck.h"
#include "tools/qpxtool/commands/Commands.h"
#include "tools/qpxtool/commands/ToolJson.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

// Compares the `size` bytes of the patch body at `bodyOffset` with `game`
// from its position on. Empty when equal; otherwise what differs.
std::string CompareBody(CAbstractFile& patch, uint64_t bodyOffset, uint64_t size, CAbstractFile& game,
                        const std::string& where, uint64_t gameOffset, std::span<uint8_t> ours,
                        std::span<uint8_t> theirs) {
  std::string difference;
  const bool read = ReadPieces(patch, bodyOffset, size, ours, [&](uint64_t done, std::span<const uint8_t> piece) {
    const auto length = static_cast<uint32_t>(piece.size());
    if (game.Read(theirs.data(), length) != length) {
      difference = where + " cannot be read at byte " + Grouped(gameOffset + done);
      return false;
    }
    if (std::memcmp(piece.data(), theirs.data(), length) != 0) {
      uint32_t at = 0;
      while (piece[at] == theirs[at]) ++at;
      difference = where + " differs from the body at byte " + Grouped(done + at) + " of the body (byte " +
                   Grouped(gameOffset + done + at) + " of the file)";
      return false;
    }
    return true;
  });
  if (!read && difference.empty()) difference = "the patch cannot be read";
  return difference;
}

class Verifier {
 public:
  Verifier(CFileSystem& fileSystem, CAbstractFile& patch, GameReader& game)
      : fileSystem_(fileSystem), patch_(patch), game_(game) {}

  // Empty when the game folder holds exactly this body; otherwise why not.
  std::string Check(const PayloadRecord& record) {
    if (record.resourceNumber < kEntryCount) return CheckEntry(record);
    return CheckLooseFile(record);
  }

 private:
  std::string CheckEntry(const PayloadRecord& record) {
    game_.OpenArchive();
    const ArchiveIndexEntry& entry = game_.Entries()[record.resourceNumber];
    const std::string data = "DATA1.QPX";
    if (entry.size != record.storedSize) {
      return "its index record says " + Grouped(entry.size) + " bytes, the body has " + Grouped(record.storedSize);
    }
    // A replaced record has attributes 0; one left as it was (same length
    // in place) had 0 already, or the body could not have gone in place.
    if (entry.attributes != 0) return "its index record has attributes " + std::to_string(entry.attributes);
    if (!LiesInside(entry.offset, record.storedSize, game_.DataSize())) {
      return "its index record points past the end of " + data;
    }
    if (!game_.Data().Seek64(static_cast<int64_t>(entry.offset))) return data + " cannot be read";
    return CompareBody(patch_, record.bodyOffset, record.storedSize, game_.Data(), data, entry.offset, ours_.Span(),
                       theirs_.Span());
  }

  std::string CheckLooseFile(const PayloadRecord& record) {
    const uint32_t looseIndex = record.resourceNumber - kEntryCount;
    const std::wstring path = game_.LoosePath(looseIndex);
    const std::string name = TargetName(record.resourceNumber);
    const auto file = fileSystem_.Open(path.c_str(), OpenMode_Read);
    if (!file) return name + " is missing or cannot be read";
    int64_t length = 0;
    const uint64_t expected = LooseFileLength(record.storedSize);
    if (!file->QuerySize64(length)) return name + " cannot be read";
    if (static_cast<uint64_t>(length) != expected) {
      return name + " is " + Grouped(static_cast<uint64_t>(length)) + " bytes, not " + Grouped(expected);
    }
    const LooseFileHeader wanted = MakeLooseFileHeader(record.storedSize);
    LooseFileHeader header{};
    if (file->Read(&header, sizeof header) != sizeof header) return name + " cannot be read";
    if (std::memcmp(&header, &wanted, sizeof header) != 0) {
      return name + "'s header is not the one for this body (it says " + Grouped(header.totalSize) + " bytes)";
    }
    std::string difference = CompareBody(patch_, record.bodyOffset, record.storedSize, *file, name, sizeof header,
                                             ours_.Span(), theirs_.Span());
    if (!difference.empty()) return difference;
    uint8_t fill[kLooseFileAlignment] = {};
    const uint32_t fillLength = LooseZeroFill(record.storedSize);
    static constexpr uint8_t kZeros[kLooseFileAlignment] = {};
    if (file->Read(fill, fillLength) != fillLength || std::memcmp(fill, kZeros, fillLength) != 0) {
      return name + " has other bytes than zeros after the body";
    }
    return "";
  }

  CFileSystem& fileSystem_;
  CAbstractFile& patch_;
  GameReader& game_;
  CopyBuffer ours_;
  CopyBuffer theirs_;
};

// Version 2: whether the resource holds the record's result, judged by the
// patcher's own inspection (the result's hash, and the layout the patcher
// gives what it writes). Empty when it does; otherwise what it holds.
std::string CheckByHash(ResourceArchive& archive, const PayloadRecord& record, std::span<uint8_t> chunk) {
  const ResourceState state = InspectResource(archive, record.resourceNumber, chunk);
  const std::string name = TargetName(record.resourceNumber);
  if (!state.exists) return name + " is missing or cannot be read";
  switch (state.content) {
    case ContentState::Outside: return "its index record points past the end of DATA1.QPX";
    case ContentState::Malformed: return name + " is not a loose resource file (no header)";
    case ContentState::Unreadable: return name + " cannot be read";
    case ContentState::Known: break;
  }
  if (state.size != record.resultSize || state.hash != record.resultHash) {
    if (record.hasBase && state.size == record.baseSize && state.hash == record.baseHash) {
      return "it still holds the bytes the patch replaces";
    }
    // Of the same length, what differs is the bytes themselves.
    return "expected the " + Grouped(record.resultSize) + " bytes the patch writes, found " + Grouped(state.size) +
           (state.size == record.resultSize ? " other bytes" : " bytes");
  }
  if (!state.exact) {
    return record.resourceNumber < kEntryCount
               ? "its index record has attributes " + std::to_string(state.entry.attributes)
               : name + " holds the bytes, but not laid out as the patcher writes them";
  }
  return "";
}

}  // namespace

struct AppliedCheck::State {
  State(CFileSystem& fileSystem, CAbstractFile& patch, GameReader& game, const std::wstring& directory)
      : verifier(fileSystem, patch, game), view(fileSystem, directory, DryRunAccess::ReadOnly), archive(view) {}
  Verifier verifier;
  DryRunFileSystem view;
  ResourceArchive archive;
  CTransferBuffer chunk;
  bool byHash = false;
};

AppliedCheck::AppliedCheck(CFileSystem& fileSystem, CAbstractFile& patch, const Payload& payload, GameReader& game,
                           const std::wstring& directory, const std::string& directoryText)
    : state_(std::make_unique<State>(fileSystem, patch, game, directory)) {
  state_->byHash = payload.version == kPayloadVersion2;
  if (state_->byHash && !state_->archive.OpenArchive()) {
    Fail(kExitBadInput, "game folder " + Quoted(directoryText) + ": " + WideToText(kIndexFileName) + " or " +
                            WideToText(kDataFileName) + " cannot be read; is this a game folder?");
  }
}

AppliedCheck::~AppliedCheck() = default;

std::string AppliedCheck::WhyNotApplied(const PayloadRecord& record) {
  if (!state_->byHash) return state_->verifier.Check(record);
  return CheckByHash(state_->archive, record, {state_->chunk.Reserve(kMaxTransferChunk), kMaxTransferChunk});
}

int RunVerify(CFileSystem& fileSystem, const VerifyOptions& options) {
  std::unique_ptr<CAbstractFile> patch;
  Payload payload;
  OpenPatchOrFail(fileSystem, options.patch, patch, payload);
  const std::wstring directory = PathFromText(options.gameDirectory);
  GameReader game(fileSystem, directory, options.gameDirectory);
  AppliedCheck check(fileSystem, *patch, payload, game, directory, options.gameDirectory);

  if (options.json) StartJsonReport();
  Json report{{"patch", options.patch}, {"game", options.gameDirectory}, {"format", payload.version}};
  Json rows = Json::array();  // put in the report once whole: a reference into it would not last
  Out(RecordRow("#", "resource", "target", "size", "status"));
  const std::vector<RecordPlan> plans = FollowPatcher(payload);
  std::size_t applied = 0, notApplied = 0, superseded = 0, skipped = 0;
  // Every record's resource is read (hashed, or compared with its body).
  uint64_t toRead = 0;
  for (const PayloadRecord& record : payload.records) toRead += record.resultSize;
  Progress progress("verify", toRead);
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const PayloadRecord& record = payload.records[i];
    std::string status;
    switch (plans[i].fate) {
      case RecordFate::Applied: {
        const std::string difference = check.WhyNotApplied(record);
        if (difference.empty()) {
          status = "applied";
          ++applied;
        } else {
          status = "NOT APPLIED: " + difference;
          ++notApplied;
        }
        break;
      }
      case RecordFate::Superseded:
        status = "superseded by record " + std::to_string(plans[i].by);
        ++superseded;
        break;
      case RecordFate::Skipped:
        status = "skipped: size 0";
        ++skipped;
        break;
      case RecordFate::OutOfRange:
        status = "NOT APPLIED: no such resource (the patcher prints \"Failed\")";
        ++notApplied;
        break;
      case RecordFate::TooLarge:
        status = "NOT APPLIED: too large for a loose file (the patcher prints \"Failed\")";
        ++notApplied;
        break;
      case RecordFate::Unreadable:
        status = "NOT APPLIED: body outside the patch file (the patcher stops here)";
        ++notApplied;
        break;
      case RecordFate::NotReached:
        status = "NOT APPLIED: the patcher stops at record " + std::to_string(plans[i].by);
        ++notApplied;
        break;
    }
    progress.Advance(record.resultSize);
    Out(RecordRow(std::to_string(i), std::to_string(record.resourceNumber), TargetName(record.resourceNumber),
            std::to_string(record.resultSize), status));
    Json row{{"index", i},
             {"resource", record.resourceNumber},
             {"target", TargetName(record.resourceNumber)},
             {"size", record.resultSize}};
    if (status.starts_with("NOT APPLIED: ")) {
      row["status"] = "not applied";
      row["reason"] = status.substr(13);
    } else {
      row["status"] = status.substr(0, status.find_first_of(": "));
    }
    if (plans[i].fate == RecordFate::Superseded || plans[i].fate == RecordFate::NotReached) row["by"] = plans[i].by;
    rows.push_back(std::move(row));
  }
  report["records"] = std::move(rows);

  std::string summary =
      "verify: " + std::to_string(applied) + " of " + Counted(plans.size(), "record", "records") + " applied";
  if (notApplied != 0) summary += ", " + std::to_string(notApplied) + " NOT applied";
  if (superseded != 0) summary += ", " + std::to_string(superseded) + " superseded";
  if (skipped != 0) summary += ", " + std::to_string(skipped) + " skipped";
  Out(summary);
  report["summary"] = {{"records", plans.size()},
                       {"applied", applied},
                       {"notApplied", notApplied},
                       {"superseded", superseded},
                       {"skipped", skipped}};
  if (options.json) WriteJsonReport(report);
  return notApplied == 0 ? kExitSuccess : kExitFailedCheck;
}

}  // namespace qpx::tool
