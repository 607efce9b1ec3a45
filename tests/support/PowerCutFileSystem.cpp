#include "tests/support/PowerCutFileSystem.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tools/qpxtool/authoring/GameFolder.h"

namespace qpx::test {

// A file's contents (what every open of it shares), and what of them the
// disk holds.
struct PowerCutInode {
  struct Change {
    enum class Kind { Write, SetSize } kind;
    uint64_t offset = 0;         // a write's place, or the new length
    std::vector<uint8_t> bytes;  // a write's bytes
  };
  std::vector<uint8_t> durable;  // bytes and length as of the last Flush
  std::vector<Change> pending;   // every change since, in order
};

// A name in a folder, and the file it names.
struct PowerCutEntry {
  std::wstring path;                       // as the run first spelled it
  std::shared_ptr<PowerCutInode> durable;  // as of the folder's last flush; null: no file
  std::shared_ptr<PowerCutInode> current;  // as the run sees it now
  // Creates (the file made) and deletes (null) since, in order.
  std::vector<std::shared_ptr<PowerCutInode>> pending;
};

struct PowerCutState {
  uint64_t cutAt = 0;
  uint64_t operations = 0;
  bool cut = false;
  // By FoldedPath: one entry however the run spells a name.
  std::map<std::wstring, PowerCutEntry> entries;

  // Counts an operation that changes something or flushes; true when the
  // power is gone by then and it must do nothing.
  bool CountFails() {
    ++operations;
    if (cutAt != 0 && operations >= cutAt) cut = true;
    return cut;
  }
};

namespace {

// One spelling of a path: either separator, any case (the run names the
// loose files `res\DNNNNN.bin`, the game may hold them as res/d00002.BIN),
// no leading ".\" and no trailing separator.
std::wstring FoldedPath(const wchar_t* path) {
  std::wstring folded(path);
  for (wchar_t& c : folded) {
    if (c == L'/') c = L'\\';
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  while (folded.starts_with(L".\\")) folded.erase(0, 2);
  while (!folded.empty() && folded.back() == L'\\') folded.pop_back();
  return folded;
}

// The folder part of a folded path: "" for the current directory.
std::wstring FolderOf(const std::wstring& folded) {
  const std::size_t slash = folded.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : folded.substr(0, slash);
}

// A small generator of its own: the same seed gives the same crash on
// every platform and library.
class SplitMix {
 public:
  explicit SplitMix(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  bool Coin() { return (Next() & 1) != 0; }

 private:
  uint64_t state_;
};

void Put(std::vector<uint8_t>& file, uint64_t offset, const uint8_t* bytes, std::size_t size) {
  if (file.size() < offset + size) file.resize(static_cast<std::size_t>(offset + size), 0);
  std::copy(bytes, bytes + size, file.begin() + static_cast<std::ptrdiff_t>(offset));
}

// `change` carried out on `file` whole.
void Apply(std::vector<uint8_t>& file, const PowerCutInode::Change& change) {
  if (change.kind == PowerCutInode::Change::Kind::SetSize) {
    file.resize(static_cast<std::size_t>(change.offset), 0);
  } else {
    Put(file, change.offset, change.bytes.data(), change.bytes.size());
  }
}

// `change` as the power cut left it: whole, not at all, or (a write) each
// sector of the file it covers kept or lost on its own. A sector kept
// past the end makes the file that long; the lost ones before it hold
// what was there, zeros past the old end.
void ApplyAfterCut(std::vector<uint8_t>& file, const PowerCutInode::Change& change, CrashMode mode, SplitMix& random) {
  if (mode == CrashMode::KeepAll) return Apply(file, change);
  if (mode == CrashMode::LoseAll) return;
  const uint64_t fate = random.Next() % 3;
  if (fate == 0) return Apply(file, change);
  if (fate == 1 || change.kind == PowerCutInode::Change::Kind::SetSize) return;
  const uint64_t end = change.offset + change.bytes.size();
  for (uint64_t at = change.offset; at < end;) {
    const uint64_t next = std::min(end, (at / kSectorSize + 1) * kSectorSize);
    if (random.Coin()) Put(file, at, change.bytes.data() + (at - change.offset), static_cast<std::size_t>(next - at));
    at = next;
  }
}

class CPowerCutFile final : public CAbstractFile64 {
 public:
  CPowerCutFile(std::unique_ptr<CAbstractFile> inner, PowerCutState& state, std::shared_ptr<PowerCutInode> inode)
      : inner_(std::move(inner)), state_(state), inode_(std::move(inode)) {}

  // Reads, seeks and size queries go through while the power is on, and
  // fail with everything else once it is off.
  uint32_t Read(void* buffer, uint32_t size) override { return state_.cut ? 0 : inner_->Read(buffer, size); }
  bool Seek64(int64_t offset) override { return !state_.cut && inner_->Seek64(offset); }
  bool SeekCurrent64(int64_t offset) override { return !state_.cut && inner_->SeekCurrent64(offset); }
  bool SeekEnd64(int64_t distance) override { return !state_.cut && inner_->SeekEnd64(distance); }
  int64_t Tell64() override { return state_.cut ? 0 : inner_->Tell64(); }
  int64_t GetSize64() override { return state_.cut ? 0 : inner_->GetSize64(); }
  bool QuerySize64(int64_t& size) override { return !state_.cut && inner_->QuerySize64(size); }
  bool TryLock() override { return !state_.cut && inner_->TryLock(); }

  uint32_t Write(const void* buffer, uint32_t size) override {
    if (state_.CountFails()) return 0;
    const int64_t at = inner_->Tell64();
    const uint32_t written = inner_->Write(buffer, size);
    if (inode_ && written != 0) {
      const auto* bytes = static_cast<const uint8_t*>(buffer);
      inode_->pending.push_back({PowerCutInode::Change::Kind::Write, static_cast<uint64_t>(at),
                                 std::vector<uint8_t>(bytes, bytes + written)});
    }
    return written;
  }

  bool SetSize64(int64_t size) override {
    if (state_.CountFails() || !inner_->SetSize64(size)) return false;
    if (inode_) inode_->pending.push_back({PowerCutInode::Change::Kind::SetSize, static_cast<uint64_t>(size), {}});
    return true;
  }

  // Room set aside changes neither bytes nor length: nothing to lose.
  bool Reserve64(int64_t length) override { return !state_.CountFails() && inner_->Reserve64(length); }

  // What is durable is the model's to say, so the real disk is not asked:
  // a real flush costs milliseconds and changes nothing a test can see.
  bool Flush() override {
    if (state_.CountFails()) return false;
    if (inode_) {
      for (const PowerCutInode::Change& change : inode_->pending) Apply(inode_->durable, change);
      inode_->pending.clear();
    }
    return true;
  }

 private:
  std::unique_ptr<CAbstractFile> inner_;
  PowerCutState& state_;
  // Null for a file opened only for reading: nothing done through it
  // changes the file.
  std::shared_ptr<PowerCutInode> inode_;
};

// The entry of `path`, taken as the real file is the first time the run
// names it: until then nothing of the run reached it.
PowerCutEntry& EntryOf(PowerCutState& state, CFileSystem& real, const wchar_t* path) {
  const auto [it, added] = state.entries.try_emplace(FoldedPath(path));
  PowerCutEntry& entry = it->second;
  if (added) {
    entry.path = path;
    std::vector<uint8_t> bytes;
    if (ReadWholeFile(real, path, bytes)) {
      entry.durable = entry.current = std::make_shared<PowerCutInode>();
      entry.current->durable = std::move(bytes);
    }
  }
  return entry;
}

}  // namespace

const char* CrashModeName(CrashMode mode) {
  switch (mode) {
    case CrashMode::KeepAll: return "all kept";
    case CrashMode::LoseAll: return "all lost";
    case CrashMode::Random: return "random";
  }
  return "?";
}

CFileSystem_PowerCut::CFileSystem_PowerCut(CFileSystem& real, uint64_t cutAt)
    : real_(real), state_(std::make_unique<PowerCutState>()) {
  state_->cutAt = cutAt;
}

CFileSystem_PowerCut::~CFileSystem_PowerCut() = default;

uint64_t CFileSystem_PowerCut::Operations() const { return state_->operations; }
bool CFileSystem_PowerCut::PowerWentOff() const { return state_->cut; }

std::unique_ptr<CAbstractFile> CFileSystem_PowerCut::Open(const wchar_t* path, OpenMode mode) {
  const bool creates = (mode & OpenMode_Create) != 0;
  if (creates ? state_->CountFails() : state_->cut) return nullptr;
  if (path == nullptr) return nullptr;
  const bool writes = creates || (mode & OpenMode_AccessMask) != OpenMode_Read;
  PowerCutEntry* const entry = writes ? &EntryOf(*state_, real_, path) : nullptr;
  std::unique_ptr<CAbstractFile> inner = real_.Open(path, mode);
  if (!inner) return nullptr;
  std::shared_ptr<PowerCutInode> inode;
  if (entry != nullptr) {
    if (!entry->current) {
      entry->current = std::make_shared<PowerCutInode>();
      entry->pending.push_back(entry->current);
    } else if (creates && (mode & OpenMode_NoTruncate) == 0) {
      entry->current->pending.push_back({PowerCutInode::Change::Kind::SetSize, 0, {}});
    }
    inode = entry->current;
  }
  auto file = std::make_unique<CPowerCutFile>(std::move(inner), *state_, std::move(inode));
  file->AttachOrigin(this, CFileInfo_Default(path));
  return file;
}

bool CFileSystem_PowerCut::DeleteFile(const wchar_t* path) {
  if (state_->CountFails() || path == nullptr) return false;
  PowerCutEntry& entry = EntryOf(*state_, real_, path);
  if (!real_.DeleteFile(path)) return false;
  entry.current.reset();
  entry.pending.push_back(nullptr);
  return true;
}

// Folders are not modelled: the run never makes one.
bool CFileSystem_PowerCut::CreateDirectory(const wchar_t* path) {
  return !state_->cut && real_.CreateDirectory(path);
}

bool CFileSystem_PowerCut::QueryFreeSpace(const wchar_t* directory, VolumeSpace& space) {
  return !state_->cut && real_.QueryFreeSpace(directory, space);
}

bool CFileSystem_PowerCut::FlushDirectory(const wchar_t* directory) {
  // As with a file's flush, the real disk is not asked.
  if (state_->CountFails() || directory == nullptr) return false;
  const std::wstring folder = FoldedPath(directory);
  for (auto& [name, entry] : state_->entries) {
    if (FolderOf(name) != folder) continue;
    entry.durable = entry.current;
    entry.pending.clear();
  }
  return true;
}

PathKind CFileSystem_PowerCut::KindOf(const wchar_t* path) {
  return state_->cut ? PathKind::Missing : real_.KindOf(path);
}

bool CFileSystem_PowerCut::ListDirectory(const wchar_t* directory, std::vector<DirectoryEntry>& entries) {
  return !state_->cut && real_.ListDirectory(directory, entries);
}

bool CFileSystem_PowerCut::NameExists(const wchar_t* path) { return !state_->cut && real_.NameExists(path); }

bool CFileSystem_PowerCut::SameFile(const wchar_t* a, const wchar_t* b) { return !state_->cut && real_.SameFile(a, b); }

bool CFileSystem_PowerCut::LiesWithin(const wchar_t* path, const wchar_t* directory) {
  return !state_->cut && real_.LiesWithin(path, directory);
}

bool CFileSystem_PowerCut::RenameReplacing(const wchar_t* from, const wchar_t* to) {
  if (state_->CountFails() || from == nullptr || to == nullptr) return false;
  PowerCutEntry& source = EntryOf(*state_, real_, from);
  PowerCutEntry& target = EntryOf(*state_, real_, to);
  if (!real_.RenameReplacing(from, to)) return false;
  if (&source == &target) return true;  // one name in two spellings: nothing moves
  target.current = std::move(source.current);
  target.pending.push_back(target.current);
  source.current.reset();
  source.pending.push_back(nullptr);
  return true;
}

// Folders are not modelled: what a test cuts is the files in them.
bool CFileSystem_PowerCut::RenameDirectory(const wchar_t* from, const wchar_t* to) {
  return !state_->CountFails() && real_.RenameDirectory(from, to);
}

bool CFileSystem_PowerCut::CopyPermissions(const wchar_t* from, const wchar_t* to) {
  return !state_->cut && real_.CopyPermissions(from, to);
}

bool CFileSystem_PowerCut::Crash(CrashMode mode, uint64_t seed) {
  SplitMix random(seed);
  bool rewritten = true;
  for (auto& [name, entry] : state_->entries) {
    const bool untouched =
        entry.pending.empty() && entry.durable == entry.current && (!entry.current || entry.current->pending.empty());
    if (untouched) continue;
    // Which file the name ends up naming: each create or delete since the
    // folder's last flush kept or lost on its own.
    std::shared_ptr<PowerCutInode> named = entry.durable;
    for (const std::shared_ptr<PowerCutInode>& change : entry.pending) {
      const bool kept = mode == CrashMode::KeepAll || (mode == CrashMode::Random && random.Coin());
      if (kept) named = change;
    }
    if (!named) {
      if (entry.current && !real_.DeleteFile(entry.path.c_str())) rewritten = false;
      entry.durable = entry.current = nullptr;
    } else {
      std::vector<uint8_t> bytes = named->durable;
      for (const PowerCutInode::Change& change : named->pending) ApplyAfterCut(bytes, change, mode, random);
      if (!WriteWholeFile(real_, entry.path, bytes)) rewritten = false;
      entry.durable = entry.current = std::make_shared<PowerCutInode>();
      entry.current->durable = std::move(bytes);
    }
    entry.pending.clear();
  }
  state_->cut = false;
  state_->cutAt = 0;
  return rewritten;
}

}  // namespace qpx::test
