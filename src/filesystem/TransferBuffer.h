#pragma once
// Memory for moving a whole body from one file to another.
//
// A body is read whole, then written whole, so its buffer is as large as
// the body. Fresh memory of that size costs a page fault per page on first
// touch, which can cost more than the copy itself; the buffer therefore
// keeps its memory for the next body, and where the platform can back it
// with large pages it asks for them. Its bytes are never zeroed ahead of a
// read that overwrites them.

#include <cstddef>
#include <cstdint>

namespace qpx {

class CTransferBuffer {
 public:
  CTransferBuffer() = default;
  CTransferBuffer(const CTransferBuffer&) = delete;
  CTransferBuffer& operator=(const CTransferBuffer&) = delete;
  ~CTransferBuffer();

  // Room for at least `size` bytes; the contents are not kept. Throws
  // std::bad_alloc when the memory cannot be had.
  uint8_t* Reserve(uint32_t size);

 private:
  void Release();

  uint8_t* data = nullptr;
  std::size_t capacity = 0;
};

}  // namespace qpx
