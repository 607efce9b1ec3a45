#pragma once
// Where the stored bytes of a patch body come from: a range of the patch
// file, read a piece at a time, or bytes already in memory (tests, the
// fuzzers, qpxtool). Decoders take their input through this, so that a body
// never has to be held whole beside what it decodes to.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "src/filesystem/FileSystem.h"

namespace qpx {

class CByteSource {
 public:
  virtual ~CByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Fills `into` with the bytes from `offset` on. False when they do not
  // all lie in the source, or cannot be read.
  virtual bool ReadAt(uint64_t offset, std::span<uint8_t> into) = 0;
};

class MemorySource final : public CByteSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(uint64_t offset, std::span<uint8_t> into) override {
    if (offset > bytes_.size() || into.size() > bytes_.size() - offset) return false;
    if (!into.empty()) std::memcpy(into.data(), bytes_.data() + offset, into.size());
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
};

// Where decoded bytes go, a piece at a time and in order: memory, or a file
// being written. False when it could not take them (a write failed).
class CByteSink {
 public:
  virtual ~CByteSink() = default;
  virtual bool Put(std::span<const uint8_t> bytes) = 0;
};

// Fills `into` from its start; refuses bytes past its end.
class SpanSink final : public CByteSink {
 public:
  explicit SpanSink(std::span<uint8_t> into) : into_(into) {}
  bool Put(std::span<const uint8_t> bytes) override {
    if (bytes.size() > into_.size() - filled_) return false;
    if (!bytes.empty()) std::memcpy(into_.data() + filled_, bytes.data(), bytes.size());
    filled_ += bytes.size();
    return true;
  }
  std::size_t Filled() const { return filled_; }

 private:
  std::span<uint8_t> into_;
  std::size_t filled_ = 0;
};

// `size` bytes from `start` of an open file (which the caller keeps open).
class FileRangeSource final : public CByteSource {
 public:
  FileRangeSource(CAbstractFile& file, uint64_t start, uint64_t size) : file_(file), start_(start), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, std::span<uint8_t> into) override {
    if (offset > size_ || into.size() > size_ - offset) return false;
    if (into.empty()) return true;
    const auto length = static_cast<uint32_t>(into.size());
    return into.size() <= UINT32_MAX && file_.Seek64(static_cast<int64_t>(start_ + offset)) &&
           file_.Read(into.data(), length) == length;
  }

 private:
  CAbstractFile& file_;
  uint64_t start_;
  uint64_t size_;
};

}  // namespace qpx
