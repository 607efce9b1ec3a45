#include <windows.h>

#include <new>

#include "src/filesystem/TransferBuffer.h"

namespace qpx {

CTransferBuffer::~CTransferBuffer() { Release(); }

void CTransferBuffer::Release() {
  if (data != nullptr) VirtualFree(data, 0, MEM_RELEASE);
  data = nullptr;
  capacity = 0;
}

uint8_t* CTransferBuffer::Reserve(uint32_t size) {
  if (size <= capacity && data != nullptr) return data;
  Release();
  // Whole pages straight from the system: a large body never fragments the
  // heap of a 32-bit process, and is returned whole when it is released.
  const std::size_t length = size == 0 ? 1 : size;
  void* memory = VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (memory == nullptr) throw std::bad_alloc();
  data = static_cast<uint8_t*>(memory);
  capacity = length;
  return data;
}

}  // namespace qpx
