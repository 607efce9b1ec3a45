#include <sys/mman.h>

#include <new>

#include "src/filesystem/TransferBuffer.h"

namespace qpx {
namespace {

// Large pages are 2 MiB on the hosts that offer them; rounding the mapping
// to that size lets the whole of it be backed by them.
constexpr std::size_t kLargePage = std::size_t{2} << 20;

}  // namespace

CTransferBuffer::~CTransferBuffer() { Release(); }

void CTransferBuffer::Release() {
  if (data != nullptr) munmap(data, capacity);
  data = nullptr;
  capacity = 0;
}

uint8_t* CTransferBuffer::Reserve(uint32_t size) {
  if (size <= capacity && data != nullptr) return data;
  Release();
  const std::size_t length = (std::size_t{size} + kLargePage - 1) / kLargePage * kLargePage;
  void* memory = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  madvise(memory, length, MADV_HUGEPAGE);  // advice only: a refusal costs nothing but speed
  data = static_cast<uint8_t*>(memory);
  capacity = length;
  return data;
}

}  // namespace qpx
