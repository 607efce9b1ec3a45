#pragma once
// The new bytes of a version-2 record, decoded from its stored body and
// proven right by its result hash before anything is written: a decoder
// fault, or a body damaged in a way the seal could not see, never reaches
// the game.

#include <cstdint>
#include <span>

#include "src/app/codecs/common/ByteSource.h"
#include "src/app/journal/RunJournal.h"
#include "src/app/payload/PatchPayload.h"
#include "src/archive/ResourceArchive.h"
#include "src/filesystem/TransferBuffer.h"

namespace qpx {

enum class BodyOutcome {
  Ready,        // the body holds exactly the record's result
  Damaged,      // it does not decode, or not to the result (or a delta's resource cannot be read)
  CantRead,     // the patch could not be read
  WriteFailed,  // the sink could not take the result (only when decoding into one)
};

// The memory a body is decoded in, kept from record to record.
struct BodyBuffers {
  CTransferBuffer result;
  CTransferBuffer base;  // a delta's resource, as it is now
  CTransferBuffer chunk;  // input read a piece at a time
};

// Decodes the body of `record` from `patch` into `buffers.result` and
// checks its hash; on Ready, `body` is the result. A delta is decoded
// against the resource's current bytes in `archive`, read whole into
// `buffers.base`: memory of the base, the result, the input's chunk and
// the delta decoder's windows.
// A delta's base is read from `journal` where an earlier record of the
// same run staged it there.
BodyOutcome DecodeRecordBody(CAbstractFile& patch, const PayloadRecord& record, ResourceArchive& archive,
                             BodyBuffers& buffers, std::span<const uint8_t>& body, RunJournal* journal = nullptr);

// Decodes the body of `record` as DecodeRecordBody does, but hands the
// result to `sink` a piece at a time as it is made, hashing it on the way:
// Ready only once every byte went to the sink and they hash to the result
// (what the sink took before then is no result). Memory: a 1 MiB chunk,
// and a compressed body's window (the smaller of its dictionary and the
// result) or a delta's base and windows.
BodyOutcome StreamRecordBody(CAbstractFile& patch, const PayloadRecord& record, ResourceArchive& archive,
                             BodyBuffers& buffers, CByteSink& sink, RunJournal* journal = nullptr);

// The record's result as the resource holds it already (where it is not
// laid out as the patcher lays it out), read and proven by its hash like
// a decoded body: into the body buffer, or handed to a sink.
BodyOutcome StreamOwnResult(const PayloadRecord& record, ResourceArchive& archive, BodyBuffers& buffers,
                            CByteSink& sink, RunJournal* journal = nullptr);
BodyOutcome ReadOwnResult(const PayloadRecord& record, ResourceArchive& archive, BodyBuffers& buffers,
                          std::span<const uint8_t>& body, RunJournal* journal = nullptr);

}  // namespace qpx
