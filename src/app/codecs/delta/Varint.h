#pragma once
// The varint of delta bodies (DeltaDecoder.h): groups of 7 bits, least
// significant first, each in a byte whose top bit says that another follows.

#include <cstdint>
#include <vector>

namespace qpx {

inline void PutVarint(std::vector<uint8_t>& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

}  // namespace qpx
