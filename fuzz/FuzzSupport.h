#pragma once
// What the fuzz targets share: a private working folder made current for
// the whole process (the archive is always found in the current folder), a
// check that stops the process so that libFuzzer keeps the input, and a
// reader that takes little-endian values from the front of an input.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

// A broken invariant: print it and abort, which libFuzzer reports as a
// crash with the input that caused it.
#define FUZZ_CHECK(condition)                                                         \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace qpx::fuzz {

// Makes a fresh folder under the temporary directory current for the rest
// of the process, and removes it when the process exits normally.
inline void EnterWorkFolder(const char* name) {
  static std::filesystem::path folder;
  folder = std::filesystem::temp_directory_path() /
           (std::string("qpx-fuzz-") + name + "-" + std::to_string(std::random_device{}()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::filesystem::current_path(folder);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::current_path(folder.parent_path(), ignored);
    std::filesystem::remove_all(folder, ignored);
  });
}

// Every path below the current folder, relative, files and folders alike.
inline std::set<std::string> ListFolder() {
  std::set<std::string> names;
  for (const auto& item : std::filesystem::recursive_directory_iterator(".")) {
    names.insert(std::filesystem::relative(item.path(), ".").generic_string());
  }
  return names;
}

// Takes values from the front of the input; past its end every value is 0
// and every byte string empty, so any input decodes.
class InputReader {
 public:
  explicit InputReader(std::span<const uint8_t> input) : rest_(input) {}

  uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
  uint64_t U64() { return Take(8); }
  bool Empty() const { return rest_.empty(); }

  // Up to `size` bytes (fewer when the input ends first).
  std::vector<uint8_t> Bytes(std::size_t size) {
    const std::size_t n = size < rest_.size() ? size : rest_.size();
    std::vector<uint8_t> bytes(rest_.begin(), rest_.begin() + static_cast<std::ptrdiff_t>(n));
    rest_ = rest_.subspan(n);
    return bytes;
  }

 private:
  uint64_t Take(std::size_t width) {
    uint64_t value = 0;
    for (std::size_t i = 0; i < width && !rest_.empty(); ++i) {
      value |= uint64_t{rest_.front()} << (8 * i);
      rest_ = rest_.subspan(1);
    }
    return value;
  }

  std::span<const uint8_t> rest_;
};

}  // namespace qpx::fuzz
