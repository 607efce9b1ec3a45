#pragma once
// The mark by which qpxtool recognises our patcher: a fixed string of bytes
// that every qpxpatch build, native or Windows, carries in its image. A
// patch built on any other program would not run.
//
// Only the patcher holds the bytes as they are; everyone else keeps them
// masked, so that the tool (which searches for them) does not carry the mark
// itself and pass for a patcher.

#include <array>
#include <cstddef>
#include <cstdint>

namespace qpx {

inline constexpr uint8_t kPatcherMarkerMask = 0xA5;

template <std::size_t N>
constexpr std::array<uint8_t, N - 1> MaskMarker(const char (&text)[N]) {
  std::array<uint8_t, N - 1> masked{};
  for (std::size_t i = 0; i + 1 < N; ++i) masked[i] = static_cast<uint8_t>(text[i]) ^ kPatcherMarkerMask;
  return masked;
}

// The marker, each byte XORed with kPatcherMarkerMask.
inline constexpr auto kMaskedPatcherMarker = MaskMarker("qpxpatch:patcher-image:7d1e4c0a9b63f285");
// Carried beside it by every patcher that reads version-2 payloads, so that
// no such payload is put on an older patcher, which would refuse it.
inline constexpr auto kMaskedVersion2Marker = MaskMarker("qpxpatch:reads-payload-version-2:c3f19a0e5b7d2846");
// And by every patcher that reads version-3 payloads (one patch for several
// old versions of the game).
inline constexpr auto kMaskedVersion3Marker = MaskMarker("qpxpatch:reads-payload-version-3:9e42b7d05a1c63f8");
// And by every patcher that reads the second generation of body codings:
// deltas that know program code (a delta body of version 2) and LZMA bodies
// in independent blocks. A payload that holds either goes only on such a
// patcher; an older one would refuse those bodies.
inline constexpr auto kMaskedCodecs2Marker = MaskMarker("qpxpatch:reads-codecs-2:4b8e1f63a0d92c57");

// A marker itself, for the patcher's image only.
template <std::size_t N>
constexpr std::array<uint8_t, N> Unmasked(const std::array<uint8_t, N>& masked) {
  std::array<uint8_t, N> marker{};
  for (std::size_t i = 0; i < N; ++i) marker[i] = masked[i] ^ kPatcherMarkerMask;
  return marker;
}

}  // namespace qpx
