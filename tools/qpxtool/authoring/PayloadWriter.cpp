#include "tools/qpxtool/authoring/PayloadWriter.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <utility>
#include <atomic>
#include <chrono>
#include <deque>
#include <future>

#include "src/app/codecs/delta/DeltaEncoder.h"
#include "src/app/payload/PatcherMarker.h"
#include "src/app/payload/PayloadSeal.h"
#include "src/app/payload/SignedImage.h"
#include "src/app/run/RunMessages.h"
#include "src/archive/ArchiveIndexEntry.h"
#include "src/archive/LooseFile.h"
#include "src/archive/ResourceArchive.h"
#include "src/paths/Paths.h"
#include "tools/qpxtool/authoring/BodyEncoder.h"
#include "tools/qpxtool/authoring/SharedDeltas.h"
#include "tools/qpxtool/platform/ToolFiles.h"
#include "tools/qpxtool/platform/ToolPlatform.h"
#include "tools/qpxtool/platform/ToolText.h"

namespace qpx::tool {
namespace {

constexpr uint64_t kOffsetLimit = UINT32_MAX;

std::unique_ptr<CAbstractFile> OpenInput(CFileSystem& fileSystem, const std::wstring& path, const std::string& name,
                                         int64_t& size) {
  switch (fileSystem.KindOf(path.c_str())) {
    case PathKind::Missing: Fail(kExitBadInput, name + ": no such file");
    case PathKind::Directory: Fail(kExitBadInput, name + ": is a folder, not a file");
    case PathKind::Other: Fail(kExitBadInput, name + ": is not a regular file");
    default: break;
  }
  auto file = fileSystem.Open(path.c_str(), OpenMode_Read);
  if (!file || !file->QuerySize64(size)) Fail(kExitBadInput, name + ": cannot be opened for reading");
  return file;
}

bool EndsInMagic(CAbstractFile& file, uint64_t length) {
  char magic[sizeof kPayloadMagic] = {};
  return length >= sizeof magic && file.Seek64(static_cast<int64_t>(length - sizeof magic)) &&
         file.Read(magic, sizeof magic) == sizeof magic && std::memcmp(magic, kPayloadMagic, sizeof magic) == 0;
}

// Where the payload goes: the output, and while the patch is sealed, the
// seal's digest, so that every byte is hashed as it streams past.
class PayloadSink {
 public:
  PayloadSink(ReplacingOutput& output, const std::string& outName) : output_(output), outName_(outName) {}

  void StartSeal() { digest_.emplace(); }

  // The seal of what was written since StartSeal, followed by `trailer`.
  // Hashing stops here: the seal and the trailer are written as they are.
  PayloadSeal FinishSeal(uint64_t coveredStart, const PayloadTrailer& trailer) {
    PayloadSeal seal{};
    std::memcpy(seal.magic, kSealMagic, sizeof seal.magic);
    seal.version = kSealVersion;
    seal.coveredStart = coveredStart;
    const ContentDigest::Value value = FinishSealDigest(*digest_, seal, trailer);
    std::memcpy(seal.digest, value.data(), sizeof seal.digest);
    digest_.reset();
    return seal;
  }

  void Write(const void* bytes, std::size_t size) {
    const std::span<const uint8_t> whole(static_cast<const uint8_t*>(bytes), size);
    if (!WriteBytes(output_.File(), whole)) Fail(kExitFailedCheck, outName_ + ": writing failed (disk full?)");
    if (digest_) digest_->Update(whole);
    written_ += size;
  }

  // Bytes written so far, the program included.
  uint64_t Written() const { return written_; }

  template <typename Record>
  void WriteTable(const std::vector<Record>& records) {
    Write(records.data(), records.size() * sizeof(Record));
  }

  // Ends the payload after its table: with `seal`, zeros to make the file's
  // length a multiple of 8 and the seal of everything since StartSeal
  // (whose first byte is `coveredStart`); then the trailer. Returns the
  // zeros written.
  uint32_t WriteEnd(bool seal, uint64_t coveredStart, const PayloadTrailer& trailer) {
    uint32_t padding = 0;
    if (seal) {
      padding = SealPadding(written_);
      static constexpr uint8_t kZeros[8] = {};
      Write(kZeros, padding);
      const PayloadSeal sealed = FinishSeal(coveredStart, trailer);
      Write(&sealed, sizeof sealed);
    }
    Write(&trailer, sizeof trailer);
    return padding;
  }

  void Copy(CAbstractFile& source, uint64_t offset, uint64_t size, std::span<uint8_t> buffer,
            const std::string& sourceName) {
    const bool read = ReadPieces(source, offset, size, buffer, [&](uint64_t, std::span<const uint8_t> piece) {
      Write(piece.data(), static_cast<uint32_t>(piece.size()));
      return true;
    });
    if (!read) Fail(kExitFailedCheck, sourceName + ": reading failed part way");
  }

 private:
  ReplacingOutput& output_;
  const std::string& outName_;
  std::optional<ContentDigest> digest_;
  uint64_t written_ = 0;
};

// Bodies encoded at once: one per core of a small machine; each holds its
// body, and what it codes it to, in memory.
constexpr std::size_t kEncodersAtOnce = 2;

// Whether `path`'s last name is `name`, in any case of letters (as the
// patcher's file layer finds the archive's files).
bool NamedLike(const std::wstring& path, const wchar_t* name) {
  const std::wstring last = path.substr(DirectoryOf(path).size());
  const std::wstring_view wanted = name;
  return std::equal(last.begin(), last.end(), wanted.begin(), wanted.end(), [](wchar_t a, wchar_t b) {
    const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    return lower(a) == lower(b);
  });
}

// Refuses an output that would overwrite one of the build's own inputs or a
// game's archive.
void RefuseUnsafeOutput(CFileSystem& fileSystem, const BuildRequest& request) {
  const std::string outName = "--out " + Quoted(request.outText);
  for (const wchar_t* archiveFile : {kIndexFileName, kDataFileName}) {
    if (NamedLike(request.out, archiveFile)) {
      Fail(kExitBadInput, outName + ": is named like a game's " + WideToText(archiveFile) +
                              "; write the patch to another file");
    }
  }
  if (fileSystem.KindOf(request.out.c_str()) == PathKind::File) {
    if (!request.manifest.empty() && fileSystem.SameFile(request.out.c_str(), request.manifest.c_str())) {
      Fail(kExitBadInput, outName + ": is the manifest; write the patch to another file");
    }
    if (!request.branding.iconPath.empty() &&
        fileSystem.SameFile(request.out.c_str(), request.branding.iconPath.c_str())) {
      Fail(kExitBadInput, outName + ": is the --icon file; write the patch to another file");
    }
    for (const BodySource& body : request.bodies) {
      if (fileSystem.SameFile(request.out.c_str(), body.path.c_str())) {
        Fail(kExitBadInput, outName + ": is the body named by " + body.origin + "; write the patch to another file");
      }
    }
  }
}


// The length of a body's bytes, checked as far as they can be before any
// writing: the file is there and holds them, and they are not empty.
uint64_t SizeOfBody(CFileSystem& fileSystem, const BodySource& body, const std::string& name) {
  int64_t size = 0;
  OpenInput(fileSystem, body.path, name, size);
  if (body.range && !LiesInside(body.range->offset, body.range->size, size)) {
    Fail(kExitBadInput, name + ": has no bytes " + Grouped(body.range->offset) + ".." +
                            Grouped(body.range->offset + body.range->size - 1) + " (it is " +
                            Grouped(static_cast<uint64_t>(size)) + " bytes long)");
  }
  if (body.range) size = static_cast<int64_t>(body.range->size);
  if (size == 0) Fail(kExitBadInput, name + ": is empty; a body has at least one byte");
  return static_cast<uint64_t>(size);
}

// Opens a body's file again for writing it out, refusing one that changed
// since it was sized.
std::unique_ptr<CAbstractFile> ReopenBody(CFileSystem& fileSystem, const BodySource& body, uint64_t bodySize,
                                          const std::string& name, uint64_t& start) {
  int64_t size = 0;
  start = body.range ? body.range->offset : 0;
  auto file = fileSystem.Open(body.path.c_str(), OpenMode_Read);
  const bool unchanged = file && file->QuerySize64(size) &&
                         (body.range ? LiesInside(start, bodySize, size) : static_cast<uint64_t>(size) == bodySize);
  if (!unchanged) Fail(kExitFailedCheck, name + ": changed while the patch was being built");
  return file;
}

std::string BodyName(const BodySource& body) { return body.origin + ": body " + Quoted(PathToText(body.path)); }

// Version 1: the bodies as they are, 32-bit offsets, the seal if asked for.
void WriteVersion1(CFileSystem& fileSystem, const BuildRequest& request, const std::vector<uint64_t>& sizes,
                   PayloadSink& sink, CopyBuffer& buffer, BuildResult& result) {
  std::vector<PatchRecord> records;
  uint64_t offset = result.programLength;
  // Everything after the program is covered by the seal.
  if (request.seal) sink.StartSeal();
  Progress progress("writing", result.bodyBytes);
  for (std::size_t i = 0; i < request.bodies.size(); ++i) {
    const BodySource& body = request.bodies[i];
    const std::string name = BodyName(body);
    const uint64_t bodySize = sizes[i];
    uint64_t start = 0;
    const auto file = ReopenBody(fileSystem, body, bodySize, name, start);
    records.push_back(PatchRecord{body.resourceNumber, kRecordReservedValue, static_cast<uint32_t>(offset),
                                  static_cast<uint32_t>(bodySize)});
    sink.Copy(*file, start, bodySize, buffer.Span(), name);
    progress.Advance(bodySize);
    offset += bodySize;
    result.records.push_back(FromVersion1(records.back()));
  }
  result.storedBytes = offset - result.programLength;
  result.tableOffset = offset;
  sink.WriteTable(records);
  result.sealPadding = sink.WriteEnd(request.seal, result.programLength,
                                     TrailerOf({kPayloadVersion1, kTrailerReservedValue, static_cast<uint32_t>(offset),
                                                static_cast<uint32_t>(records.size())}));
  result.fileLength = sink.Written();
}

// Reads a body's bytes whole.
std::vector<uint8_t> LoadBody(CFileSystem& fileSystem, const BodySource& body, uint64_t bodySize) {
  const std::string name = BodyName(body);
  uint64_t start = 0;
  const auto file = ReopenBody(fileSystem, body, bodySize, name, start);
  return ReadWhole(*file, start, bodySize, name);
}

// A version-3 record as version 2 writes it: its `versions` word is
// version 2's reserved one, which is zero.
PatchRecordV2 BaseRecord(const PatchRecordV3& record) {
  PatchRecordV2 plain;
  static_assert(sizeof plain == sizeof record);
  std::memcpy(&plain, &record, sizeof plain);
  plain.reserved = kRecordReservedValue;
  return plain;
}


// Version 2: each body stored or compressed, whichever is smaller, with
// its hashes; 64-bit offsets; always sealed. Bodies are encoded two at a
// time, on as many threads, and written in record order as each is done.
// Version 3 (labels given) is laid out alike, its records naming the old
// versions whose bytes each one's base is, its versions block after the
// table; a resource's alternatives that rebuild their result from a whole
// body share its bytes, and so do alternatives that are all deltas, given
// one delta for all their bases where that is smaller.
// A body only patchers of the second codings read is refused on a stub
// that does not say it is one (`readsCodecs2` false), before its bytes are
// written.
// The bodies of a version-2 payload, encoded kEncodersAtOnce at a time in
// record order, handed out a resource's alternatives at a time.
class BodyEncoders {
 public:
  BodyEncoders(CFileSystem& fileSystem, const BuildRequest& request, const std::vector<uint64_t>& sizes,
               uint64_t bodyBytes)
      : fileSystem_(fileSystem), request_(request), sizes_(sizes), progress_("encoding", bodyBytes) {
    Launch();
  }

  // The bodies of records `first`.. that are alternatives of one resource
  // (a version-3 patch's; otherwise the one record), encoded, with one
  // delta for all their bases where that is smaller.
  std::vector<EncodedBody> Group(std::size_t first) {
    const std::vector<BodySource>& bodies = request_.bodies;
    std::size_t end = first + 1;
    const bool versioned = !request_.labels.empty();
    while (versioned && end < bodies.size() && bodies[end].resourceNumber == bodies[first].resourceNumber) ++end;
    std::vector<EncodedBody> group;
    for (std::size_t k = first; k < end; ++k) group.push_back(Next());
    if (group.size() > 1) {
      std::vector<const BodySource*> sources;
      std::vector<EncodedBody*> alternatives;
      for (std::size_t k = 0; k < group.size(); ++k) {
        sources.push_back(&bodies[first + k]);
        alternatives.push_back(&group[k]);
      }
      ShareNewBytes(sources, alternatives, request_.encode);
    }
    return group;
  }

  // Starts what may start, and shows how far the encoding has come.
  void Advance() {
    Launch();
    Show();
  }

 private:
  // One body being encoded: its index, and its bytes coded so far.
  struct Pending {
    std::size_t index = 0;
    std::unique_ptr<std::atomic<uint64_t>> coded;
    std::future<EncodedBody> body;
  };

  EncodedBody Encode(std::size_t i, std::atomic<uint64_t>* coded) {
    const BodySource& body = request_.bodies[i];
    std::vector<uint8_t> bytes = LoadBody(fileSystem_, body, sizes_[i]);
    std::optional<std::vector<uint8_t>> base;
    if (body.base) base = body.base();
    return EncodeBody(std::move(bytes), base ? &*base : nullptr, request_.encode, coded);
  }

  void Launch() {
    while (next_ < request_.bodies.size() && pending_.size() < kEncodersAtOnce) {
      Pending pending{next_, std::make_unique<std::atomic<uint64_t>>(0), {}};
      pending.body = std::async(
          std::launch::async, [this](std::size_t i, std::atomic<uint64_t>* coded) { return Encode(i, coded); },
          next_++, pending.coded.get());
      pending_.push_back(std::move(pending));
    }
  }

  // The bytes coded in all, and of the body waited for (the first pending).
  void Show() {
    uint64_t coded = finished_;
    for (const Pending& pending : pending_) coded += pending.coded->load();
    if (pending_.empty()) return progress_.Set(coded);
    const Pending& front = pending_.front();
    const uint64_t size = sizes_[front.index], done = std::min(size, front.coded->load());
    progress_.Set(coded, TargetName(request_.bodies[front.index].resourceNumber) + " " +
                             std::to_string(size == 0 ? 100 : done * 100 / size) + "%");
  }

  EncodedBody Next() {
    Pending& front = pending_.front();
    while (front.body.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) Show();
    EncodedBody body = front.body.get();
    finished_ += front.coded->load();
    pending_.pop_front();
    Launch();
    return body;
  }

  CFileSystem& fileSystem_;
  const BuildRequest& request_;
  const std::vector<uint64_t>& sizes_;
  uint64_t finished_ = 0;  // coded bytes of the bodies taken
  Progress progress_;
  std::deque<Pending> pending_;  // last: they finish before what they use goes
  std::size_t next_ = 0;
};

// The record of `body`, the encoded body of `source`, at `offset`.
PatchRecordV3 RecordOf(const BodySource& source, const EncodedBody& body, uint64_t offset, bool versioned) {
  PatchRecordV3 record{};
  record.resourceNumber = source.resourceNumber;
  record.encoding = static_cast<uint16_t>(body.encoding);
  record.flags = body.hasBase ? kRecordHasBase : 0;
  record.bodyOffset = offset;
  record.storedSize = body.Stored().size();
  record.resultSize = body.result.size();
  record.baseSize = body.baseSize;
  record.versions = versioned ? source.versions : 0;
  std::memcpy(record.resultHash, body.resultHash.data(), sizeof record.resultHash);
  if (body.hasBase) std::memcpy(record.baseHash, body.baseHash.data(), sizeof record.baseHash);
  return record;
}

// The whole bodies (stored or compressed) and deltas for several bases
// written for each resource so far, for the alternatives that follow:
// an alternative with the same bytes points at them instead.
class SharedBodies {
 public:
  // Whether `record` (of a version-3 patch), whose body is `stored`, can
  // take the bytes of an earlier alternative: then it points at them.
  bool Share(PatchRecordV3& record, const EncodedBody& body) {
    const std::vector<uint8_t>& stored = body.Stored();
    if (body.encoding == BodyEncoding::Delta && !IsSharedDelta(stored)) return false;
    const ContentHash storedHash = HashOf(stored);
    const auto key = std::make_pair(record.resourceNumber, record.encoding);
    const auto earlier = written_.find(key);
    if (earlier != written_.end() && earlier->second.hash == storedHash && earlier->second.size == stored.size()) {
      record.bodyOffset = earlier->second.offset;
      return true;
    }
    written_[key] = {storedHash, record.bodyOffset, stored.size()};
    return false;
  }

 private:
  struct Written {
    ContentHash hash;
    uint64_t offset = 0;
    uint64_t size = 0;
  };
  std::map<std::pair<uint32_t, uint16_t>, Written> written_;
};

// The table, a version-3 patch's versions block, and the end of the
// payload after the bodies, which end at `offset`.
void WriteTableAndEnd(const BuildRequest& request, const std::vector<PatchRecordV3>& table, uint64_t offset,
                      PayloadSink& sink, BuildResult& result) {
  const bool versioned = !request.labels.empty();
  result.storedBytes = offset - result.programLength;
  result.tableOffset = offset;
  if (versioned) {
    sink.WriteTable(table);
    const std::vector<uint8_t> versions = VersionsBlock(request.labels);
    sink.Write(versions.data(), versions.size());
  } else {
    std::vector<PatchRecordV2> plain;
    for (const PatchRecordV3& record : table) plain.push_back(BaseRecord(record));
    sink.WriteTable(plain);
  }
  result.sealPadding = sink.WriteEnd(
      true, result.programLength,
      TrailerOf(PayloadTrailerHeaderV2{versioned ? kPayloadVersion3 : kPayloadVersion2,
                                       static_cast<uint32_t>(table.size()), offset}));
  result.fileLength = sink.Written();
}

void WriteCheckedPayload(CFileSystem& fileSystem, const BuildRequest& request, const std::vector<uint64_t>& sizes,
                         bool readsCodecs2, PayloadSink& sink, BuildResult& result) {
  sink.StartSeal();
  const bool versioned = !request.labels.empty();
  const std::size_t count = request.bodies.size();
  BodyEncoders encoders(fileSystem, request, sizes, result.bodyBytes);
  SharedBodies shared;
  std::vector<PatchRecordV3> table;
  uint64_t offset = result.programLength;
  // The alternatives of one resource come one after another: they are
  // taken together, so that they may share one delta for all their bases.
  std::vector<EncodedBody> group;
  std::size_t groupStart = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (i == groupStart + group.size()) {
      groupStart = i;
      group = encoders.Group(i);
    }
    const EncodedBody& body = group[i - groupStart];
    if (!readsCodecs2 && NeedsCodecs2(body.encoding, body.Stored())) {
      Fail(kExitBadInput, request.stubName + ": is an older qpxpatch that does not read the second body codings "
                                             "(LZMA in blocks, deltas of program code), and the body of " +
                              TargetName(request.bodies[i].resourceNumber) + " is one; give a newer patcher");
    }
    encoders.Advance();
    PatchRecordV3 record = RecordOf(request.bodies[i], body, offset, versioned);
    const bool sharing = versioned && shared.Share(record, body);
    if (sharing) ++result.sharedBodies;
    table.push_back(record);
    result.records.push_back(versioned ? FromVersion3(record) : FromVersion2(BaseRecord(record)));
    if (body.tooLargeForDelta) {
      result.notes.push_back(TargetName(record.resourceNumber) + ": with the bytes it replaces " +
                             Grouped(body.baseSize + body.result.size()) +
                             " bytes, beyond what the delta encoder takes here (" + Grouped(DeltaEncoderBound()) +
                             "); stored " + (body.encoding == BodyEncoding::Stored ? "as it is" : "compressed"));
    }
    if (sharing) continue;
    sink.Write(body.Stored().data(), body.Stored().size());
    offset += body.Stored().size();
  }
  WriteTableAndEnd(request, table, offset, sink, result);
}

}  // namespace

namespace {

// Whether `file` holds the bytes that `masked` hides, anywhere in it.
template <std::size_t N>
bool CarriesMarker(CAbstractFile& file, const std::array<uint8_t, N>& masked) {
  // Unmasked here, at run time, so that this program's image never holds it.
  const volatile uint8_t mask = kPatcherMarkerMask;
  std::array<uint8_t, N> marker{};
  for (std::size_t i = 0; i < marker.size(); ++i) marker[i] = masked[i] ^ mask;

  // Each piece is searched with the tail of the one before in front of it,
  // so that a marker split between two reads is found too.
  const std::size_t overlap = marker.size() - 1;
  std::vector<uint8_t> window(kCopyBufferSize + overlap);
  std::size_t carried = 0;
  int64_t size = 0;
  if (!file.QuerySize64(size) || !file.Seek64(0)) return false;
  for (uint64_t done = 0; done < static_cast<uint64_t>(size);) {
    const auto piece = static_cast<uint32_t>(std::min<uint64_t>(kCopyBufferSize, static_cast<uint64_t>(size) - done));
    if (file.Read(window.data() + carried, piece) != piece) return false;
    const auto end = window.begin() + static_cast<std::ptrdiff_t>(carried + piece);
    if (std::search(window.begin(), end, marker.begin(), marker.end()) != end) return true;
    const std::size_t keep = std::min<std::size_t>(overlap, carried + piece);
    std::copy(end - static_cast<std::ptrdiff_t>(keep), end, window.begin());
    carried = keep;
    done += piece;
  }
  return false;
}

}  // namespace

bool CarriesPatcherMarker(CAbstractFile& file) { return CarriesMarker(file, kMaskedPatcherMarker); }

bool ReadsVersion2(CAbstractFile& file) { return CarriesMarker(file, kMaskedVersion2Marker); }

bool ReadsVersion3(CAbstractFile& file) { return CarriesMarker(file, kMaskedVersion3Marker); }

bool ReadsCodecs2(CAbstractFile& file) { return CarriesMarker(file, kMaskedCodecs2Marker); }

std::vector<uint8_t> VersionsBlock(const std::vector<std::string>& labels) {
  std::vector<uint8_t> texts;
  for (const std::string& label : labels) {
    texts.push_back(static_cast<uint8_t>(label.size()));
    texts.insert(texts.end(), label.begin(), label.end());
  }
  PayloadVersionsHeader header{};
  std::memcpy(header.magic, kVersionsMagic, sizeof header.magic);
  header.count = static_cast<uint32_t>(labels.size());
  header.bytes = static_cast<uint32_t>(texts.size());
  std::vector<uint8_t> block(sizeof header + texts.size());
  std::memcpy(block.data(), &header, sizeof header);
  std::copy(texts.begin(), texts.end(), block.begin() + sizeof header);
  return block;
}

BuildResult BuildPatchOfBodies(CFileSystem& fileSystem, BuildRequest& request, const std::string& out,
                               std::vector<BodySource> bodies, const FormatOptions& format, bool anyStub) {
  request.out = PathFromText(out);
  request.outText = out;
  request.bodies = std::move(bodies);
  request.anyStub = anyStub;
  ApplyFormat(format, false, request);
  request.allowNoBodies = true;
  return BuildPatch(fileSystem, request);
}

bool FindProgramEnd(const Payload& payload, uint64_t& programEnd, std::string& why) {
  // A seal names where its payload starts, and holds every piece.
  if (payload.sealed) {
    if (payload.seal.coveredStart == 0) {
      why = "its payload starts at byte 0: no program is left once it is stripped";
      return false;
    }
    programEnd = payload.seal.coveredStart;
    return true;
  }
  const uint64_t trailerStart = static_cast<uint64_t>(payload.fileSize) - sizeof(PayloadTrailer);
  std::vector<std::pair<uint64_t, uint64_t>> pieces;  // [start, end)
  pieces.emplace_back(payload.tableOffset, payload.tableOffset + payload.TableBytes());
  for (const PayloadRecord& record : payload.records) {
    if (!record.Skipped()) pieces.emplace_back(record.bodyOffset, record.bodyOffset + record.storedSize);
  }
  std::sort(pieces.begin(), pieces.end());
  uint64_t covered = pieces.front().first;
  for (const auto& [start, end] : pieces) {
    if (end > trailerStart) {
      why = "its payload has a table or body beyond the start of its trailer";
      return false;
    }
    if (start > covered) {
      why = "its payload leaves bytes " + Grouped(covered) + ".." + Grouped(start - 1) +
            " unused between its pieces, so where the program ends is unclear";
      return false;
    }
    covered = std::max(covered, end);
  }
  if (covered != trailerStart) {
    why = "its payload leaves bytes " + Grouped(covered) + ".." + Grouped(trailerStart - 1) +
          " unused before its trailer, so where the program ends is unclear";
    return false;
  }
  if (pieces.front().first == 0) {
    why = "its payload starts at byte 0: no program is left once it is stripped";
    return false;
  }
  programEnd = pieces.front().first;
  return true;
}

void ApplyFormat(const FormatOptions& options, bool noSeal, BuildRequest& request) {
  if (noSeal && options.format == kPayloadVersion2) {
    Fail(kExitBadInput, "--no-seal writes the plain version-1 payload; a version-2 payload is always sealed");
  }
  request.format = noSeal || options.format == kPayloadVersion1 ? kPayloadVersion1 : kPayloadVersion2;
  request.seal = !noSeal;
  request.encode.level = options.level;
  request.encode.delta = !options.noDelta;
}

std::string Described(const BuildRequest& request, const BuildResult& result) {
  if (request.format == kPayloadVersion1) return request.seal ? "format 1, sealed" : "format 1, not sealed";
  std::size_t compressed = 0, deltas = 0;
  for (const PayloadRecord& record : result.records) {
    compressed += record.encoding == BodyEncoding::Lzma || record.encoding == BodyEncoding::LzmaBlocks;
    deltas += record.encoding == BodyEncoding::Delta;
  }
  std::string text = std::string(request.labels.empty() ? "format 2" : "format 3") + ", sealed; " +
                     std::to_string(compressed) + " of " + std::to_string(result.records.size()) +
                     (result.records.size() == 1 ? " body" : " bodies") + " compressed";
  if (deltas != 0) text += ", " + std::to_string(deltas) + (deltas == 1 ? " delta" : " deltas");
  if (result.sharedBodies != 0) {
    text += ", " + std::to_string(result.sharedBodies) + (result.sharedBodies == 1 ? " body" : " bodies") +
            " shared with another old version's record";
  }
  if (result.bodyBytes != 0) {
    text += " (" + Grouped(result.bodyBytes) + " -> " + Grouped(result.storedBytes) + " bytes)";
  }
  return text;
}

void ChooseStub(CFileSystem& fileSystem, const std::string& given, BuildRequest& request) {
  if (given.empty() || given == "windows" || given == "linux") {
    request.stub = InstalledStub(fileSystem, given == "linux" ? StubKind::Linux : StubKind::Windows);
    request.stubName = "the installed stub " + Quoted(PathToText(request.stub));
  } else {
    request.stub = PathFromText(given);
    request.stubName = "--stub " + Quoted(given);
    if (fileSystem.KindOf(request.stub.c_str()) == PathKind::Missing) {
      Fail(kExitBadInput, request.stubName + ": no such file; " + InstalledStubsText(fileSystem));
    }
  }
}

namespace {

// Refuses a stub that is empty, signed, or (unless --any-stub) no qpxpatch.
void RefuseUnfitStub(CAbstractFile& stub, int64_t stubSize, const BuildRequest& request) {
  const std::string& stubName = request.stubName;
  if (stubSize == 0) Fail(kExitBadInput, stubName + ": is empty; the stub is the patcher program (qpxpatch)");
  // Authenticode signs everything in front of its certificate table; a
  // payload put after the table is outside the signature and breaks it.
  if (CertificateTable table; FindCertificateTable(stub, stubSize, table)) {
    Fail(kExitBadInput, stubName + ": is signed (it carries an Authenticode certificate table), and a payload "
                                   "added to a signed program breaks its signature; build from the unsigned "
                                   "patcher, then sign the built patch");
  }
  if (!request.anyStub && !CarriesPatcherMarker(stub)) {
    Fail(kExitBadInput, stubName +
                            ": is not a qpxpatch patcher (it lacks the patcher's marker); give qpxpatch or "
                            "qpxpatch.exe, or --any-stub to build on it anyway");
  }
}

// Refuses an output that is a folder, no regular file, the stub itself, in
// a folder that does not exist, or (without --force) already there.
void RefuseUnfitOut(CFileSystem& fileSystem, const BuildRequest& request, const std::string& outName) {
  const PathKind outKind = fileSystem.KindOf(request.out.c_str());
  if (outKind == PathKind::Directory) Fail(kExitBadInput, outName + ": is a folder; name the patch file to write");
  if (outKind == PathKind::Other) Fail(kExitBadInput, outName + ": is not a regular file");
  if (outKind != PathKind::Missing && fileSystem.SameFile(request.stub.c_str(), request.out.c_str())) {
    Fail(kExitBadInput, outName + ": is the stub itself; write the patch to another file");
  }
  const std::wstring outDirectory = DirectoryOf(request.out);
  if (!outDirectory.empty() && fileSystem.KindOf(outDirectory.c_str()) != PathKind::Directory) {
    Fail(kExitBadInput, outName + ": its folder does not exist");
  }
  RefuseExistingOutput(fileSystem, request.out, outName, request.force);
}

// Where the stub's program ends: its end, or, for a stub that is a patch
// itself (--replace-payload), where its sound payload starts. Sets the
// result's program length and the bytes left out.
void FindStubProgram(CAbstractFile& stub, int64_t stubSize, const BuildRequest& request, BuildResult& result) {
  const std::string& stubName = request.stubName;
  result.programLength = static_cast<uint64_t>(stubSize);
  Payload existing;
  const PayloadError existingError = ReadPayload(stub, existing);
  if (existingError != PayloadError::CantFind) {
    if (!request.replacePayload) {
      Fail(kExitBadInput, stubName + ": already carries a patch payload; use the plain patcher, "
                                     "or give --replace-payload to replace that payload");
    }
    CTransferBuffer sealBuffer;
    PayloadError error = existingError;
    if (error == PayloadError::None) error = VerifySeal(stub, existing, sealBuffer);
    if (error != PayloadError::None) {
      Fail(kExitBadInput, stubName + ": carries a damaged payload (the patcher says \"" +
                              PatcherMessage(PayloadMessage(error)) +
                              "\"), so where the program ends is unclear; use the plain patcher");
    }
    std::string why;
    for (const PayloadRecord& record : existing.records) {
      if (!record.Skipped() && !BodyLiesInside(record, existing)) {
        Fail(kExitBadInput, stubName + ": its payload has a body outside the file; use the plain patcher");
      }
    }
    if (!FindProgramEnd(existing, result.programLength, why)) {
      Fail(kExitBadInput, stubName + ": cannot strip its payload: " + why + "; use the plain patcher");
    }
    if (EndsInMagic(stub, result.programLength)) {
      Fail(kExitBadInput, stubName + ": still ends in a payload once its own is stripped; use the plain patcher");
    }
    result.strippedBytes = static_cast<uint64_t>(stubSize) - result.programLength;
  }
  if (result.programLength > kOffsetLimit) {
    Fail(kExitBadInput, stubName + ": is " + Grouped(result.programLength) +
                            " bytes long; payload offsets must fit in 32 bits (at most 4,294,967,295)");
  }
}

// Refuses a format the stub does not read (unless --any-stub), and a
// version-3 patch's wrong count of versions or labels.
void RefuseUnreadFormat(CAbstractFile& stub, const BuildRequest& request) {
  const std::string& stubName = request.stubName;
  if (request.format == kPayloadVersion2 && !request.anyStub && !ReadsVersion2(stub)) {
    Fail(kExitBadInput, stubName + ": is an older qpxpatch that reads only version-1 payloads; give a newer "
                                   "patcher, or --format 1 to write a payload it reads");
  }
  if (request.labels.empty()) return;
  if (request.format != kPayloadVersion2) {
    Fail(kExitBadInput, "a patch for several old versions is written in format 3; --format 1 cannot hold it");
  }
  if (!request.anyStub && !ReadsVersion3(stub)) {
    Fail(kExitBadInput, stubName + ": is an older qpxpatch that does not read patches for several old versions "
                                   "(format 3); give a newer patcher, or make one patch per old version");
  }
  if (request.labels.size() < 3 || request.labels.size() > kMaxOldVersions + 1) {
    Fail(kExitBadInput, "a patch for several old versions names 2 to " + std::to_string(kMaxOldVersions) +
                            " of them, and the new one");
  }
  for (const std::string& label : request.labels) {
    if (label.empty() || label.size() > kMaxLabelLength) {
      Fail(kExitBadInput, "the label " + Quoted(label) + " has " + std::to_string(label.size()) +
                              " bytes; a version's label has 1 to " + std::to_string(kMaxLabelLength));
    }
  }
}

// Every body's size, each checked before anything is written: that its
// resource can hold it and (version 1) its offsets fit; a resource given
// twice is a warning.
std::vector<uint64_t> SizeBodies(CFileSystem& fileSystem, const BuildRequest& request, BuildResult& result) {
  std::map<uint32_t, std::size_t> lastRecordOf;
  uint64_t offset = result.programLength;
  std::vector<uint64_t> sizes;
  for (std::size_t i = 0; i < request.bodies.size(); ++i) {
    const BodySource& body = request.bodies[i];
    const std::string name = BodyName(body);
    const uint64_t bodySize = SizeOfBody(fileSystem, body, name);
    sizes.push_back(bodySize);
    if (body.resourceNumber < kResourceLimit && bodySize > MaxBodySize(body.resourceNumber)) {
      Fail(kExitBadInput, name + ": has " + Grouped(bodySize) + " bytes; " +
                              (body.resourceNumber >= kEntryCount
                                   ? "a loose file (" + TargetName(body.resourceNumber) + ") holds at most " +
                                         Grouped(kLooseMaxBodySize)
                                   : std::string("an entry holds at most 4,294,967,295")));
    }
    if (request.format == kPayloadVersion1 && offset + bodySize > kOffsetLimit) {
      Fail(kExitBadInput, name + ": would end at byte " + Grouped(offset + bodySize) +
                              " of the patch; version-1 payload offsets must fit in 32 bits (at most 4,294,967,295)");
    }
    if (const auto earlier = lastRecordOf.find(body.resourceNumber); earlier != lastRecordOf.end()) {
      result.warnings.push_back(body.origin + ": resource " + std::to_string(body.resourceNumber) +
                                " was already given by " + request.bodies[earlier->second].origin +
                                "; both are applied in turn and the later body stays");
    }
    lastRecordOf[body.resourceNumber] = i;
    offset += bodySize;
    result.bodyBytes += bodySize;
  }
  return sizes;
}

// The stub's program with the publisher's branding, read whole (a patcher
// is well under a megabyte; a program far larger is no patcher's).
std::vector<uint8_t> BrandedProgram(CAbstractFile& stub, const BuildRequest& request, BuildResult& result) {
  constexpr uint64_t kMaxBrandedProgram = 256u << 20;
  if (result.programLength > kMaxBrandedProgram) {
    Fail(kExitBadInput, request.stubName + ": is " + Grouped(result.programLength) +
                            " bytes long; a patcher to brand is at most " + Grouped(kMaxBrandedProgram));
  }
  std::vector<uint8_t> program = ReadWhole(stub, 0, result.programLength, request.stubName);
  const bool windows = program.size() >= 2 && program[0] == 'M' && program[1] == 'Z';
  if (windows) program = BrandProgram(program, request.branding, request.stubName);
  WriteBrandingRoom(program, request.branding, windows, request.stubName);
  if (program.size() > kOffsetLimit) {
    Fail(kExitBadInput, request.stubName + ": would be " + Grouped(program.size()) +
                            " bytes long with its branding; payload offsets must fit in 32 bits");
  }
  result.programLength = program.size();
  return program;
}

}  // namespace

BuildResult BuildPatch(CFileSystem& fileSystem, const BuildRequest& request) {
  const std::string outName = "--out " + Quoted(request.outText);
  RefuseUnsafeOutput(fileSystem, request);
  if (request.bodies.empty() && !request.allowNoBodies) {
    Fail(kExitBadInput, "no bodies to put in the patch: name them in a --manifest or as NUMBER=FILE arguments");
  }
  int64_t stubSize = 0;
  const auto stub = OpenInput(fileSystem, request.stub, request.stubName, stubSize);
  RefuseUnfitStub(*stub, stubSize, request);
  RefuseUnfitOut(fileSystem, request, outName);
  BuildResult result;
  FindStubProgram(*stub, stubSize, request, result);
  RefuseUnreadFormat(*stub, request);
  // Branded before the bodies are sized: their offsets start where the
  // branded program ends.
  const std::vector<uint8_t> branded =
      request.branding.any ? BrandedProgram(*stub, request, result) : std::vector<uint8_t>();
  const std::vector<uint64_t> sizes = SizeBodies(fileSystem, request, result);

  ReplacingOutput output(fileSystem, request.out);
  PayloadSink sink(output, outName);
  CopyBuffer buffer;
  if (request.branding.any) {
    sink.Write(branded.data(), branded.size());
  } else {
    sink.Copy(*stub, 0, result.programLength, buffer.Span(), request.stubName);
  }
  if (request.format == kPayloadVersion1) {
    WriteVersion1(fileSystem, request, sizes, sink, buffer, result);
  } else {
    WriteCheckedPayload(fileSystem, request, sizes, request.anyStub || ReadsCodecs2(*stub), sink, result);
  }
  output.Commit(request.stub);
  return result;
}

}  // namespace qpx::tool
