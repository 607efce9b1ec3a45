#pragma once
// The lines a version-2 run adds after its terse ones, to say where and
// why: the folder it ran in and the reason a file would not open, a check
// failed or a write did not go through. Every text is ASCII whatever the
// console's code page: other bytes of a path or of the system's words are
// shown as \xNN.

#include <cstdint>
#include <string>
#include <string_view>

#include "app/payload/PatchPayload.h"
#include "app/run/PatchCheck.h"
#include "archive/ResourceArchive.h"

namespace qpx {

// `bytes` with every byte outside printable ASCII written as \xNN (two
// capital hex digits): a path's bytes, or UTF-8.
std::wstring ConsoleSafe(std::string_view bytes);

// The current folder's full path for a message, made console-safe; "the
// current folder" when it cannot be told.
std::wstring FolderForMessages();

// The platform's reason for `code` in parentheses, after a space:
// " (Permission denied)"; empty for 0.
std::wstring ReasonSuffix(uint32_t code);

// After "Can't open DATA1.QPX": which archive file, in which folder, and
// why ("No DATA1.QPX in /games/x: run the patch inside the game folder").
std::wstring OpeningFailureLine(const ResourceArchive::OpeningFailure& failure, const std::wstring& folder);

// After the refusals: what the first refused record found in the folder;
// empty when its refusal is the patch's own (a resource the game has not,
// a body too large).
std::wstring RefusalLine(const PayloadRecord& record, const RecordCheck& check, const std::wstring& folder);

// After "Not enough disk space: ...": how much more to free, in whole
// units of the disk, what it has and what the run takes.
std::wstring SpaceLine(const PatchCheck& check, const std::wstring& folder);

// After a record's "Failed": why, naming the resource and the file the
// write went to ("Resource 5 (entry 5): writing QPXPATCH.JNL in /games/x
// failed (No space left on device)").
std::wstring FailedRecordLine(const PayloadRecord& record, const RecordCheck& check, bool damaged,
                              uint32_t systemError, const std::wstring& folder);

}  // namespace qpx
