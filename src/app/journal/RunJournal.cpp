#include "src/app/journal/RunJournal.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "src/archive/LooseFile.h"
#include "src/paths/Paths.h"

namespace qpx {
namespace {

constexpr uint8_t kHeaderMagic[8] = {'Q', 'P', 'X', 'J', 'R', 'N', 'L', '1'};
constexpr uint8_t kCommitMagic[8] = {'Q', 'P', 'X', 'C', 'O', 'M', 'I', 'T'};
// Replays and scans move a journal's bytes this much at a time.
constexpr uint32_t kJournalChunk = 1u << 20;

template <typename T>
std::span<uint8_t> BytesOf(T& value) {
  return {reinterpret_cast<uint8_t*>(&value), sizeof value};
}
template <typename T>
std::span<const uint8_t> BytesOf(const T& value) {
  return {reinterpret_cast<const uint8_t*>(&value), sizeof value};
}

uint64_t CheckOf(const ContentDigest& digest) {
  const ContentDigest::Value value = digest.Finish();
  uint64_t check = 0;
  std::memcpy(&check, value.data(), sizeof check);
  return check;
}

uint64_t HeaderCheck(const JournalHeader& header) {
  ContentDigest digest;
  digest.Update(&header, offsetof(JournalHeader, check));
  return CheckOf(digest);
}

bool ReadAt(CAbstractFile& file, uint64_t offset, std::span<uint8_t> into) {
  if (into.size() > UINT32_MAX || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  const auto size = static_cast<uint32_t>(into.size());
  return file.Seek64(static_cast<int64_t>(offset)) && (size == 0 || file.Read(into.data(), size) == size);
}

// Hands `length` bytes from `offset` of `file` to `use`, a chunk at a time.
template <typename Use>
bool ForEachPiece(CAbstractFile& file, uint64_t offset, uint64_t length, std::span<uint8_t> chunk, Use use) {
  for (uint64_t done = 0; done < length;) {
    const auto piece = chunk.first(static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), length - done)));
    if (!ReadAt(file, offset + done, piece) || !use(done, std::span<const uint8_t>(piece))) return false;
    done += piece.size();
  }
  return true;
}

// Whether an item's head can be carried out, with `room` bytes left after it.
bool HeadHolds(const JournalItemHead& head, uint64_t room) {
  if (head.length > room) return false;
  switch (static_cast<JournalItemKind>(head.kind)) {
    case JournalItemKind::DataWrite:
      return head.offset <= static_cast<uint64_t>(INT64_MAX) && head.length <= static_cast<uint64_t>(INT64_MAX) - head.offset;
    case JournalItemKind::IndexRecord: return head.target < kEntryCount && head.length == sizeof(ArchiveIndexEntry);
    case JournalItemKind::LooseFile: return head.target < kLooseFileCount && head.length <= kLooseMaxBodySize;
  }
  return false;
}

std::wstring JournalPath(const ResourceArchive& archive) {
  return JoinPath(archive.Directory().c_str(), kJournalFileName);
}

// Deletes the journal and makes that durable: the last step of a change.
bool DeleteJournal(ResourceArchive& archive) {
  CFileSystem& files = archive.FileSystem();
  return files.DeleteFile(JournalPath(archive).c_str()) && files.FlushDirectory(archive.Directory().c_str());
}

// Rewrites loose file `looseIndex` whole with the `size` bytes at `offset`
// of the journal, and makes it durable.
bool WriteLooseFile(ResourceArchive& archive, CAbstractFile& journal, uint32_t looseIndex, uint64_t offset,
                    uint32_t size, std::span<uint8_t> chunk) {
  const std::unique_ptr<CAbstractFile> file = archive.OpenLooseFile(looseIndex, OpenMode_Write);
  return file && WriteLooseFileWhole(*file, size, /*durable=*/true, [&](CAbstractFile& to) {
           return ForEachPiece(journal, offset, size, chunk, [&](uint64_t, std::span<const uint8_t> piece) {
             const auto n = static_cast<uint32_t>(piece.size());
             return to.Write(piece.data(), n) == n;
           });
         });
}

// Cuts DATA1.QPX back to the `length` it had before a run appended to it,
// and makes that durable; a file no longer than that is left as it is.
bool CutBackData(ResourceArchive& archive, uint64_t length) {
  int64_t size = 0;
  if (!archive.QueryDataSize(size)) return false;
  return static_cast<uint64_t>(size) <= length ||
         (archive.TruncateData(static_cast<int64_t>(length)) && archive.FlushData());
}

// Carries out the items between the header and `itemsEnd`, in order, and
// makes every file they wrote durable.
bool ReplayItems(ResourceArchive& archive, CAbstractFile& journal, uint64_t itemsEnd, std::span<uint8_t> chunk,
                 bool (*stop)()) {
  // Bytes in place lie inside the data file (whose appended bodies were on
  // the disk before the commit), their slot's fill at most 31 bytes past
  // its end: a journal that says otherwise is none of ours, and must not
  // stretch the file to wherever it points.
  int64_t dataSize = 0;
  if (!archive.QueryDataSize(dataSize)) return false;
  const uint64_t dataLimit = static_cast<uint64_t>(dataSize) + 31;
  bool wroteData = false, wroteIndex = false;
  for (uint64_t at = sizeof(JournalHeader); at < itemsEnd;) {
    if (stop != nullptr && stop()) return false;
    JournalItemHead head{};
    if (itemsEnd - at < sizeof head || !ReadAt(journal, at, BytesOf(head)) ||
        !HeadHolds(head, itemsEnd - at - sizeof head)) {
      return false;
    }
    const uint64_t payload = at + sizeof head;
    bool done = false;
    switch (static_cast<JournalItemKind>(head.kind)) {
      case JournalItemKind::DataWrite:
        if (head.offset > dataLimit || head.length > dataLimit - head.offset) return false;
        wroteData = true;
        done = ForEachPiece(journal, payload, head.length, chunk, [&](uint64_t offset, std::span<const uint8_t> piece) {
          return archive.WriteData(head.offset + offset, piece);
        });
        break;
      case JournalItemKind::IndexRecord: {
        wroteIndex = true;
        ArchiveIndexEntry entry{};
        done = ReadAt(journal, payload, BytesOf(entry)) && archive.WriteIndexRecord(head.target, entry);
        break;
      }
      case JournalItemKind::LooseFile:
        done = WriteLooseFile(archive, journal, head.target, payload, static_cast<uint32_t>(head.length), chunk);
        break;
    }
    if (!done) return false;
    at = payload + head.length;
  }
  return (!wroteData || archive.FlushData()) && (!wroteIndex || archive.FlushIndex());
}

struct JournalScan {
  bool headerHolds = false;  // the header was written whole: DATA1.QPX's length is known
  uint64_t dataSizeBefore = 0;
  bool sealed = false;       // a commit record seals every item
  uint64_t itemsEnd = 0;
};

// Reads a journal back and judges it: every item must fit, and the commit
// record must seal exactly the bytes before it.
JournalScan ScanJournal(CAbstractFile& journal, std::span<uint8_t> chunk) {
  JournalScan scan;
  int64_t size = 0;
  JournalHeader header{};
  if (!journal.QuerySize64(size) || !ReadAt(journal, 0, BytesOf(header)) ||
      std::memcmp(header.magic, kHeaderMagic, sizeof kHeaderMagic) != 0 || header.check != HeaderCheck(header)) {
    return scan;
  }
  scan.headerHolds = true;
  scan.dataSizeBefore = header.dataSizeBefore;
  ContentDigest digest;
  digest.Update(&header, sizeof header);
  const auto end = static_cast<uint64_t>(size);
  uint64_t items = 0;
  for (uint64_t at = sizeof header; end - at >= sizeof(JournalCommit);) {
    JournalCommit commit{};
    if (!ReadAt(journal, at, BytesOf(commit))) return scan;
    if (std::memcmp(commit.magic, kCommitMagic, sizeof kCommitMagic) == 0) {
      scan.sealed = commit.length == at && commit.items == items && commit.check == CheckOf(digest);
      scan.itemsEnd = at;
      return scan;
    }
    JournalItemHead head{};
    std::memcpy(&head, &commit, sizeof head);
    if (!HeadHolds(head, end - at - sizeof head)) return scan;
    digest.Update(&head, sizeof head);
    if (!ForEachPiece(journal, at + sizeof head, head.length, chunk, [&](uint64_t, std::span<const uint8_t> piece) {
          digest.Update(piece);
          return true;
        })) {
      return scan;
    }
    at += sizeof head + head.length;
    ++items;
  }
  return scan;
}

}  // namespace

uint64_t JournalBytesFor(uint32_t number, uint64_t size, bool inPlace) {
  if (number >= kEntryCount) return sizeof(JournalItemHead) + size;
  const uint64_t record = sizeof(JournalItemHead) + sizeof(ArchiveIndexEntry);
  return inPlace ? record + sizeof(JournalItemHead) + SlotLength(size) : record;
}

Status RunJournal::Begin(uint64_t length) {
  const StatusOfStep step;
  return step.Outcome(Create(length));
}

bool RunJournal::Create(uint64_t length) {
  int64_t dataSize = 0;
  if (!archive_.QueryDataSize(dataSize) || length > static_cast<uint64_t>(INT64_MAX)) return false;
  dataSizeBefore_ = dataEnd_ = static_cast<uint64_t>(dataSize);
  journal_ = archive_.FileSystem().Open(JournalPath(archive_).c_str(), OpenMode_ReadWrite | OpenMode_Create);
  if (!journal_) return false;
  JournalHeader header{};
  std::memcpy(header.magic, kHeaderMagic, sizeof kHeaderMagic);
  header.dataSizeBefore = dataSizeBefore_;
  header.check = HeaderCheck(header);
  digest_ = std::make_unique<ContentDigest>();
  return journal_->Reserve64(static_cast<int64_t>(length)) && Write(BytesOf(header)) && journal_->Flush() &&
         archive_.FileSystem().FlushDirectory(archive_.Directory().c_str());
}

Status RunJournal::Reserve(uint64_t dataEnd, const std::vector<std::pair<uint32_t, uint64_t>>& looseFiles) {
  const StatusOfStep step;
  if (!archive_.ReserveData(static_cast<int64_t>(dataEnd))) return step.Outcome(false);
  for (const auto& [number, length] : looseFiles) {
    const auto file = archive_.OpenLooseFile(number - kEntryCount, OpenMode_ReadWrite);
    if (!file || !file->Reserve64(static_cast<int64_t>(length))) return step.Outcome(false);
  }
  return step.Outcome(true);
}

bool RunJournal::Write(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return true;
  const auto size = static_cast<uint32_t>(bytes.size());
  if (bytes.size() > UINT32_MAX || journal_->Write(bytes.data(), size) != size) return false;
  digest_->Update(bytes);
  position_ += size;
  return true;
}

bool RunJournal::Append(const JournalItemHead& head, std::span<const uint8_t> bytes) {
  if (!Write(BytesOf(head)) || !Write(bytes)) return false;
  ++items_;
  return true;
}

namespace {

// Hands what it is given to `write`, counting it.
template <typename WriteAt>
class CountingSink final : public CByteSink {
 public:
  explicit CountingSink(WriteAt write) : write_(write) {}
  bool Put(std::span<const uint8_t> bytes) override {
    if (!write_(count_, bytes)) return false;
    count_ += bytes.size();
    return true;
  }
  uint64_t Count() const { return count_; }

 private:
  WriteAt write_;
  uint64_t count_ = 0;
};

}  // namespace

Status RunJournal::Stage(uint32_t number, uint64_t size, const std::function<bool(CByteSink&)>& produce) {
  const StatusOfStep step;
  if (!journal_ || committed_ || number >= kResourceLimit) return step.Outcome(false);
  if (number >= kEntryCount) return step.Outcome(StageLooseFile(number, size, produce));
  return step.Outcome(size <= UINT32_MAX && StageEntry(number, static_cast<uint32_t>(size), produce));
}

bool RunJournal::StageLooseFile(uint32_t number, uint64_t size, const std::function<bool(CByteSink&)>& produce) {
  if (size > kLooseMaxBodySize) return false;
  const JournalItemHead head{static_cast<uint32_t>(JournalItemKind::LooseFile), number - kEntryCount, 0, size, 0};
  const uint64_t at = position_ + sizeof head;
  CountingSink sink([this](uint64_t, std::span<const uint8_t> bytes) { return Write(bytes); });
  if (!Write(BytesOf(head)) || !produce(sink) || sink.Count() != size) return false;
  ++items_;
  staged_[number] = Staged{at, size};
  return true;
}

bool RunJournal::StageEntry(uint32_t number, uint32_t size, const std::function<bool(CByteSink&)>& produce) {
  EntryPlacement place;
  if (!PlaceEntry(archive_.Entries()[number], size, dataEnd_, place)) return false;
  // The same length in the same place keeps the slot's fill as it is.
  const std::span<const uint8_t> fill(kZeroFill, place.sameLength ? 0 : place.fill);
  if (place.inPlace) {
    const JournalItemHead head{static_cast<uint32_t>(JournalItemKind::DataWrite), number, place.offset,
                               size + fill.size(), 0};
    const uint64_t at = position_ + sizeof head;
    CountingSink sink([this](uint64_t, std::span<const uint8_t> bytes) { return Write(bytes); });
    if (!Write(BytesOf(head)) || !produce(sink) || sink.Count() != size || !Write(fill)) return false;
    ++items_;
    staged_[number] = Staged{at, size};
  } else {
    // Past the end of the data file no record points: the game is as it
    // was until the commit.
    CountingSink sink([&](uint64_t done, std::span<const uint8_t> bytes) {
      return archive_.WriteData(place.offset + done, bytes);
    });
    if (!produce(sink) || sink.Count() != size || !archive_.WriteData(place.offset + size, fill)) return false;
    dataEnd_ = place.End();
    staged_.erase(number);
  }
  if (place.sameLength) return true;
  const JournalItemHead head{static_cast<uint32_t>(JournalItemKind::IndexRecord), number, 0, sizeof place.entry, 0};
  if (!Append(head, BytesOf(place.entry))) return false;
  archive_.SetEntry(number, place.entry);
  return true;
}

bool RunJournal::ReadStaged(uint32_t number, std::span<uint8_t> into, bool& staged) {
  const auto it = staged_.find(number);
  staged = it != staged_.end();
  if (!staged) return true;
  // Back to where the next staged byte goes, after reading elsewhere.
  return it->second.size == into.size() && ReadAt(*journal_, it->second.offset, into) &&
         journal_->Seek64(static_cast<int64_t>(position_));
}

Status RunJournal::Commit() {
  const StatusOfStep step;
  return step.Outcome(Seal());
}

bool RunJournal::Seal() {
  if (!journal_ || committed_) return false;
  // Appended bodies reach the disk before the seal that lets index records
  // point at them.
  if (dataEnd_ != dataSizeBefore_ && !archive_.FlushData()) return false;
  JournalCommit commit{};
  std::memcpy(commit.magic, kCommitMagic, sizeof kCommitMagic);
  commit.length = position_;
  commit.items = items_;
  commit.check = CheckOf(*digest_);
  const uint64_t itemsEnd = position_;
  if (!Write(BytesOf(commit))) return false;
  sealWritten_ = true;
  if (!journal_->Flush()) return false;
  committed_ = true;
  position_ = itemsEnd;
  return true;
}

Status RunJournal::Apply(bool (*stop)()) {
  const StatusOfStep step;
  if (!committed_) return step.Outcome(false);
  std::vector<uint8_t> chunk(kJournalChunk);
  if (!ReplayItems(archive_, *journal_, position_, chunk, stop)) return step.Outcome(false);
  // Closed first: an open file cannot be deleted everywhere.
  journal_.reset();
  return step.Outcome(DeleteJournal(archive_));
}

bool RunJournal::RollBack() {
  if (committed_) return false;
  const bool created = journal_ != nullptr;
  journal_.reset();
  if (!created) return true;
  // A seal that was written may reach the disk even though its flush
  // failed. Nothing it describes may then be cut: a later run could find
  // it whole and replay index records over a data file cut short. The
  // journal stays, and the next run settles it as it finds it: replayed
  // where the seal holds, undone where it does not.
  if (sealWritten_) return false;
  // The data file's length comes back before the journal that records it
  // goes: the other way round, a stop in between would leave bytes
  // nothing points at and nothing will cut.
  return CutBackData(archive_, dataSizeBefore_) && DeleteJournal(archive_);
}

namespace {

// Settles a journal found beside `archive`: replays a sealed one, cuts
// DATA1.QPX back for one that is not, then deletes it.
bool SettleJournal(ResourceArchive& archive, std::unique_ptr<CAbstractFile> journal, Recovery& outcome) {
  std::vector<uint8_t> chunk(kJournalChunk);
  const JournalScan scan = ScanJournal(*journal, chunk);
  if (scan.sealed) {
    if (!ReplayItems(archive, *journal, scan.itemsEnd, chunk, nullptr)) return false;
    outcome = Recovery::Finished;
  } else {
    // Only what the stopped run appended is cut; a header that does not
    // hold was never flushed, so nothing was appended after it.
    if (scan.headerHolds && !CutBackData(archive, scan.dataSizeBefore)) return false;
    outcome = Recovery::Undone;
  }
  journal.reset();
  return DeleteJournal(archive);
}

}  // namespace

Recovery RecoverJournal(ResourceArchive& archive, Status* failure) {
  const StatusOfStep step;
  std::unique_ptr<CAbstractFile> journal = archive.FileSystem().Open(JournalPath(archive).c_str(), OpenMode_Read);
  if (!journal) return Recovery::None;
  Recovery outcome = Recovery::Failed;
  const Status settled = step.Outcome(SettleJournal(archive, std::move(journal), outcome));
  if (failure != nullptr) *failure = settled;
  return settled ? outcome : Recovery::Failed;
}

JournalFound InspectJournal(ResourceArchive& archive) {
  const std::unique_ptr<CAbstractFile> journal =
      archive.FileSystem().Open(JournalPath(archive).c_str(), OpenMode_Read);
  if (!journal) return JournalFound::None;
  std::vector<uint8_t> chunk(kJournalChunk);
  return ScanJournal(*journal, chunk).sealed ? JournalFound::Sealed : JournalFound::Unsealed;
}

}  // namespace qpx
