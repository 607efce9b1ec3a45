#pragma once
// A patch file read as the patcher reads it, and what the patcher would do
// with each of its records.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "src/app/payload/PatchPayload.h"
#include "src/filesystem/FileSystem.h"

namespace qpx::tool {

// What becomes of a record when the patcher runs.
enum class RecordFate {
  Applied,     // written to its resource
  Superseded,  // written, then overwritten by a later record for the same resource
  Skipped,     // size 0: passed over without a word
  OutOfRange,  // the patcher prints "Failed": no such resource
  TooLarge,    // the patcher prints "Failed": more than a loose file can hold
  Unreadable,  // the patcher prints "Can't read patch data" and stops
  NotReached,  // after a record that stopped the run
  Alternative,  // version 3: another old version's way to the result of an earlier record (`by`) of its resource
};

struct RecordPlan {
  RecordFate fate = RecordFate::Applied;
  std::size_t by = 0;  // Superseded: the record that overwrites; NotReached: the one that stops the run
};

// Follows the patcher through the table: one plan per record. Of the
// alternatives for one resource (version 3), the first stands for them all
// (the others are Alternative), as the patcher writes the resource once.
std::vector<RecordPlan> FollowPatcher(const Payload& payload);

// Whether the patcher refuses the payload because its seal does not hold
// or cannot be read: a damaged patch, however it is used.
inline bool IsDamage(PayloadError error) {
  return error == PayloadError::Damaged || error == PayloadError::CantReadData;
}

// How a record's body is stored, in a word: "as is", "lzma", "lzma blocks", "delta".
std::string EncodingName(BodyEncoding encoding);

// Whether a fate means the patcher reports a problem.
bool IsProblem(RecordFate fate);

// One line of the tables verify and plan print: the record's index, its
// resource number and target, its body size, and what is said of it.
std::string RecordRow(const std::string& index, const std::string& resource, const std::string& target,
                      const std::string& size, const std::string& verdict);

// OpenPatch for the commands that cannot go on with a patch the patcher
// would refuse: fails with the patcher's own message, as a failed check
// when the patch is damaged (as a record not applied is) and as bad input
// otherwise.
void OpenPatchOrFail(CFileSystem& fileSystem, const std::string& text, std::unique_ptr<CAbstractFile>& file,
                     Payload& payload);

// Opens `path` (typed as `text`; "-" is standard input, copied) and reads
// its payload exactly as the patcher does, checking its seal if it has
// one. Throws ToolError (kExitBadInput) when the file cannot be opened;
// returns the patcher's refusal, if any.
PayloadError OpenPatch(CFileSystem& fileSystem, const std::wstring& path, const std::string& text,
                       std::unique_ptr<CAbstractFile>& file, Payload& payload);

}  // namespace qpx::tool
