#pragma once
// Reads where an executable's or a native library's loaded pieces lie
// (ELF program segments, PE sections), for deltas that know program code.
// Only the encoder needs it: the body carries what it found.

#include <cstdint>
#include <optional>
#include <span>

#include "src/app/codecs/delta/CodeDelta.h"

namespace qpx::tool {

// The layout of a base and a result that are programs of one x86 machine
// (ELF or PE, 32- or 64-bit, little-endian), with at most kCodeRangesMax
// loaded pieces each, at least one of the base's holding code; nullopt for
// anything else, or for headers that do not hold together.
std::optional<CodeLayout> FindCodeLayout(std::span<const uint8_t> base, std::span<const uint8_t> result);

}  // namespace qpx::tool
