#include "tools/qpxtool/authoring/PatchReader.h"

#include <cstdio>

#include "src/app/payload/PayloadSeal.h"
#include "src/app/run/RunMessages.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "src/archive/ResourceArchive.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {

std::vector<RecordPlan> FollowPatcher(const Payload& payload) {
  const std::size_t count = payload.records.size();
  std::vector<RecordPlan> plans(count);
  std::size_t stop = count;
  // Each rule is the patcher's own: which records it skips, where a
  // version-1 run stops, and what its archive takes.
  const bool checked = IsCheckedVersion(payload.version);
  for (std::size_t i = 0; i < count; ++i) {
    const PayloadRecord& record = payload.records[i];
    RecordPlan& plan = plans[i];
    if (stop != count) {
      plan = {RecordFate::NotReached, stop};
    } else if (record.Skipped()) {
      plan.fate = RecordFate::Skipped;
    } else if (!checked && !BodyLiesInside(record, payload)) {
      plan.fate = RecordFate::Unreadable;
      stop = i;
    } else {
      if (record.resourceNumber >= kResourceLimit) {
        plan.fate = RecordFate::OutOfRange;
      } else if (record.resultSize > MaxBodySize(record.resourceNumber)) {
        plan.fate = RecordFate::TooLarge;
      }
    }
  }
  // A body that is written and later overwritten is superseded by the next
  // record that writes the same resource; a version-3 record is one of its
  // resource's alternatives, of which one is written.
  const bool alternatives = payload.version == kPayloadVersion3;
  for (std::size_t i = 0; i < count; ++i) {
    if (plans[i].fate != RecordFate::Applied) continue;
    if (alternatives) {
      for (std::size_t j = i + 1; j < count; ++j) {
        if (plans[j].fate == RecordFate::Applied &&
            payload.records[j].resourceNumber == payload.records[i].resourceNumber) {
          plans[j] = {RecordFate::Alternative, i};
        }
      }
      continue;
    }
    for (std::size_t j = i + 1; j < count; ++j) {
      if (plans[j].fate == RecordFate::Applied &&
          payload.records[j].resourceNumber == payload.records[i].resourceNumber) {
        plans[i] = {RecordFate::Superseded, j};
        break;
      }
    }
  }
  return plans;
}

std::string EncodingName(BodyEncoding encoding) {
  switch (encoding) {
    case BodyEncoding::Stored: return "as is";
    case BodyEncoding::Lzma: return "lzma";
    case BodyEncoding::LzmaBlocks: return "lzma blocks";
    case BodyEncoding::Delta: return "delta";
  }
  return "?";
}

bool IsProblem(RecordFate fate) {
  return fate == RecordFate::OutOfRange || fate == RecordFate::TooLarge || fate == RecordFate::Unreadable ||
         fate == RecordFate::NotReached;
}

std::string RecordRow(const std::string& index, const std::string& resource, const std::string& target,
                      const std::string& size, const std::string& verdict) {
  char text[160];
  std::snprintf(text, sizeof text, "%6s  %8s  %-14s  %10s  ", index.c_str(), resource.c_str(), target.c_str(),
                size.c_str());
  return text + verdict;
}

PayloadError OpenPatch(CFileSystem& fileSystem, const std::wstring& path, const std::string& text,
                       std::unique_ptr<CAbstractFile>& file, Payload& payload) {
  const std::string name = "patch " + Quoted(text);
  if (text == "-") {
    file = CopyOfStandardInput(fileSystem, "patch \"-\" (standard input)");
  } else {
    switch (fileSystem.KindOf(path.c_str())) {
      case PathKind::Missing: Fail(kExitBadInput, name + ": no such file");
      case PathKind::Directory: Fail(kExitBadInput, name + ": is a folder, not a file");
      case PathKind::Other: Fail(kExitBadInput, name + ": is not a regular file");
      default: break;
    }
    file = fileSystem.Open(path.c_str(), OpenMode_Read);
  }
  // The patcher's own words when it cannot open itself.
  if (!file) Fail(kExitBadInput, name + ": " + PatcherMessage(L"Can't open patch data\n"));
  const PayloadError error = ReadPayload(*file, payload);
  if (error != PayloadError::None) return error;
  CTransferBuffer buffer;
  return VerifySeal(*file, payload, buffer);
}

void OpenPatchOrFail(CFileSystem& fileSystem, const std::string& text, std::unique_ptr<CAbstractFile>& file,
                     Payload& payload) {
  const PayloadError error = OpenPatch(fileSystem, PathFromText(text), text, file, payload);
  if (error != PayloadError::None) {
    Fail(IsDamage(error) ? kExitFailedCheck : kExitBadInput,
         "patch " + Quoted(text) + ": " + PatcherMessage(PayloadMessage(error)));
  }
}

}  // namespace qpx::tool
