// qpxpatch: applies the patch payload appended to this very executable to
// the game's archive in the current folder, or in the one it is given.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <vector>

#include "src/app/payload/PatcherBranding.h"
#include "src/app/payload/PatcherMarker.h"
#include "src/app/run/PatchRunner.h"
#include "src/app/run/RunMessages.h"
#include "src/filesystem/ExecutablePath.h"
#include "src/filesystem/ProcessContext.h"
#include "src/filesystem/ProcessSetup.h"

namespace {

// Tell qpxtool that this program is our patcher, and one that reads
// version-2 and version-3 payloads and the second body codings (see
// PatcherMarker.h).
constexpr auto kPatcherMarker = qpx::Unmasked(qpx::kMaskedPatcherMarker);
constexpr auto kVersion2Marker = qpx::Unmasked(qpx::kMaskedVersion2Marker);
constexpr auto kVersion3Marker = qpx::Unmasked(qpx::kMaskedVersion3Marker);
constexpr auto kCodecs2Marker = qpx::Unmasked(qpx::kMaskedCodecs2Marker);

// The room qpxtool writes the publisher's name into (see PatcherBranding.h).
// Volatile, so that its zeros are read as the file holds them, never folded
// into the code as the compiler saw them.
struct BrandingImage {
  uint8_t marker[qpx::kMaskedBrandingMarker.size()];
  uint8_t room[qpx::kBrandingRoomBytes];
};
constexpr BrandingImage EmptyBranding() {
  BrandingImage image{};
  const auto marker = qpx::Unmasked(qpx::kMaskedBrandingMarker);
  for (std::size_t i = 0; i < marker.size(); ++i) image.marker[i] = marker[i];
  return image;
}
const volatile BrandingImage kBranding = EmptyBranding();

qpx::PatchBranding ReadOwnBranding() {
  std::vector<uint8_t> room(qpx::kBrandingRoomBytes);
  for (std::size_t i = 0; i < room.size(); ++i) room[i] = kBranding.room[i];
  static_cast<void>(kBranding.marker[0]);
  return qpx::ReadBrandingRoom(room);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qpx;
  // A volatile read keeps the marker in the image whatever the optimiser
  // and the linker think of it.
  static_cast<void>(*static_cast<const volatile uint8_t*>(kPatcherMarker.data()));
  static_cast<void>(*static_cast<const volatile uint8_t*>(kVersion2Marker.data()));
  static_cast<void>(*static_cast<const volatile uint8_t*>(kVersion3Marker.data()));
  static_cast<void>(*static_cast<const volatile uint8_t*>(kCodecs2Marker.data()));
  PrepareProcess();
  StdoutConsole console;
  RunResult result;
  try {
    RunSettings settings;
    settings.arguments = ParseArguments(CommandLineArguments(argc, argv), SwitchesStartWithSlash());
    settings.progress = StdoutIsTerminal();
    settings.someoneCanAnswer = SomeoneCanAnswer();
    settings.branding = ReadOwnBranding();
    const auto fileSystem = CreatePatcherFileSystem();
    result = RunPatcher(*fileSystem, GetExecutablePath(), console, settings);
  } catch (const std::bad_alloc&) {
    // Everything the run held is released by now: its owners have unwound.
    ConsoleReport(console, lines::kOutOfMemory);
  } catch (const std::length_error&) {
    ConsoleReport(console, lines::kOutOfMemory);
  }
  // A run keeps its window open until its player has read it; a question
  // answered, a script or a launcher is not kept waiting.
  if (result.waitForKey) {
    ConsoleReport(console, lines::kPressAnyKey);
    if (result.seedsWait) {
      std::getchar();
    } else {
      WaitForOneKey();
      ConsoleReport(console, lines::kAfterKey);
    }
  }
  return result.ExitStatus();
}
