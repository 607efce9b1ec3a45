#pragma once
// The redo journal of a version-2 run: what keeps the game whole whatever
// stops the run (a kill, a crash, a power cut, a full disk, a removed
// drive).
//
// A run changes the game in two steps. First it stages: a body that goes
// at the end of DATA1.QPX is appended there (no index record points at it
// yet, so the game is as it was), and everything that overwrites bytes the
// game uses now (a body in place, an index record, a loose file) is
// written to the journal, QPXPATCH.JNL beside the archive. Then it
// commits: DATA1.QPX is flushed, a commit record sealing every byte of the
// journal is written after them, and the journal is flushed. Only then are
// bytes written in place, by replaying the journal; every file written is
// flushed, and the journal is deleted.
//
// A run that finds a journal settles it before anything else: a sealed one
// is replayed (each item writes the same bytes to the same place, so
// replaying again after a stop is harmless); one without its seal never
// reached the game but for bytes appended to DATA1.QPX, which is cut back
// to the length the journal's header recorded. That header was flushed,
// with the folder's entry of the journal, before the first byte was
// appended.
//
// Layout, integers little-endian:
//
//   header (64 bytes)  "QPXJRNL1", DATA1.QPX's length before the run (8),
//                      reserved (40), check (8) of the 56 bytes before it
//   items              a 32-byte head (kind 4, target 4, offset 8,
//                      length 8, reserved 8), then `length` bytes
//   commit (32 bytes)  "QPXCOMIT", the journal's length before it (8),
//                      the count of items (8), check (8) of every byte
//                      before it
//
// A check is the first 8 bytes of the XXH3-128 digest. Items:
//   1 data write   `length` bytes at `offset` of DATA1.QPX
//   2 index record the 32-byte record of entry `target`
//   3 loose file   the body of loose file `target`, which is rewritten
//                  whole (header, body, zero fill) and cut to its length

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "src/app/codecs/common/ByteSource.h"
#include "src/app/payload/ContentDigest.h"
#include "src/archive/ResourceArchive.h"
#include "src/filesystem/Status.h"
#include "src/filesystem/TransferBuffer.h"

namespace qpx {

inline constexpr const wchar_t* kJournalFileName = L"QPXPATCH.JNL";

struct JournalHeader {
  uint8_t magic[8];
  uint64_t dataSizeBefore;
  uint64_t reserved[5];
  uint64_t check;
};
static_assert(sizeof(JournalHeader) == 64);
static_assert(offsetof(JournalHeader, dataSizeBefore) == 8);
static_assert(offsetof(JournalHeader, check) == 56);

struct JournalItemHead {
  uint32_t kind;
  uint32_t target;
  uint64_t offset;
  uint64_t length;
  uint64_t reserved;
};
static_assert(sizeof(JournalItemHead) == 32);
static_assert(offsetof(JournalItemHead, offset) == 8);
static_assert(offsetof(JournalItemHead, length) == 16);

struct JournalCommit {
  uint8_t magic[8];
  uint64_t length;
  uint64_t items;
  uint64_t check;
};
static_assert(sizeof(JournalCommit) == 32);
static_assert(offsetof(JournalCommit, length) == 8);
static_assert(offsetof(JournalCommit, check) == 24);

enum class JournalItemKind : uint32_t {
  DataWrite = 1,
  IndexRecord = 2,
  LooseFile = 3,
};

// The bytes a journal takes for a record of `size` bytes replacing
// resource `number`: an entry's record (and, `inPlace`, its body with the
// fill), or a loose file's body.
uint64_t JournalBytesFor(uint32_t number, uint64_t size, bool inPlace);
// The header and the commit record.
inline constexpr uint64_t kJournalFrameBytes = sizeof(JournalHeader) + sizeof(JournalCommit);

// One run's journal, from its creation to its deletion. Destroyed before
// Commit, it leaves the journal for the next run to undo (the run itself
// undoes it with RollBack where it can).
class RunJournal {
 public:
  // The archive must be open, and outlive the journal.
  explicit RunJournal(ResourceArchive& archive) : archive_(archive) {}
  RunJournal(const RunJournal&) = delete;
  RunJournal& operator=(const RunJournal&) = delete;

  // Creates the journal, sets room aside for `length` bytes of it, and
  // makes its header (DATA1.QPX's length now) and the folder's entry of
  // it durable. From here a stopped run is undone by the next.
  Status Begin(uint64_t length);

  // Sets room aside for everything the run will write beyond today's
  // files: DATA1.QPX up to `dataEnd`, and each loose file (a resource
  // number and the length it gets). A full disk then fails here, before a
  // byte of the game has changed.
  Status Reserve(uint64_t dataEnd, const std::vector<std::pair<uint32_t, uint64_t>>& looseFiles);

  // Stages the `size` new bytes of resource `number`, which `produce`
  // hands to the sink it is given, in order, as it makes them. An entry's
  // are placed as the archive places a body: over its old one when they
  // fit its slot (into the journal), else appended to DATA1.QPX (at once);
  // the archive's entry in memory is the new one from here on. A loose
  // file's go into the journal. False when `produce` fails or a write
  // does: then the journal is good for nothing but RollBack.
  Status Stage(uint32_t number, uint64_t size, const std::function<bool(CByteSink&)>& produce);
  // Where the journal holds the bytes resource `number` will have (an
  // in-place entry or a loose file staged before), fills `into` with them
  // and sets `staged`; where it does not, the archive's bytes stand.
  bool ReadStaged(uint32_t number, std::span<uint8_t> into, bool& staged);
  bool HoldsStaged(uint32_t number) const { return staged_.contains(number); }
  // DATA1.QPX's length once the appended bodies are in.
  uint64_t DataEnd() const { return dataEnd_; }

  // Seals the journal: from here the next run finishes the job. Where the
  // commit record was written but could not be made durable, it may yet
  // reach the disk: RollBack then leaves everything to the next run, which
  // replays the journal or undoes it as it finds it.
  Status Commit();
  // Writes every staged change in place and makes it durable; then
  // deletes the journal. `stop` is asked between items: when it says so
  // the run leaves the rest to the next one. False when a write failed or
  // it stopped.
  Status Apply(bool (*stop)());
  // Before Commit (or after one that failed before its record was
  // written): undoes the staging (DATA1.QPX back to its length, the journal
  // deleted). False when that failed, or was not safe: the next run does
  // it.
  bool RollBack();

 private:
  bool Create(uint64_t length);
  bool StageLooseFile(uint32_t number, uint64_t size, const std::function<bool(CByteSink&)>& produce);
  bool StageEntry(uint32_t number, uint32_t size, const std::function<bool(CByteSink&)>& produce);
  bool Seal();
  bool Append(const JournalItemHead& head, std::span<const uint8_t> bytes);
  bool Write(std::span<const uint8_t> bytes);

  struct Staged {
    uint64_t offset;  // of the bytes in the journal
    uint64_t size;
  };

  ResourceArchive& archive_;
  std::unique_ptr<CAbstractFile> journal_;
  std::unique_ptr<ContentDigest> digest_;
  uint64_t position_ = 0;
  uint64_t items_ = 0;
  uint64_t dataSizeBefore_ = 0;
  uint64_t dataEnd_ = 0;
  std::map<uint32_t, Staged> staged_;
  bool committed_ = false;
  // A commit record was written, whether or not it reached the disk.
  bool sealWritten_ = false;
};

enum class Recovery {
  None,      // no journal: nothing was left
  Finished,  // a sealed journal was replayed: the stopped run's changes are in
  Undone,    // an unsealed one was undone: the game is as before that run
  Failed,    // the journal could not be settled (a write failed): the game is untouched since
};

// Settles the journal a stopped run left beside `archive` (open and
// locked), before anything else reads or writes the game. `failure`, when
// given, says why it Failed.
Recovery RecoverJournal(ResourceArchive& archive, Status* failure = nullptr);

// What RecoverJournal would do with the journal beside `archive`, found by
// reading it alone.
enum class JournalFound {
  None,    // no journal
  Sealed,  // it would be replayed: the stopped run's changes go in first
  Unsealed,  // it would be undone: DATA1.QPX cut back, the journal deleted
};
JournalFound InspectJournal(ResourceArchive& archive);

}  // namespace qpx
