// Synthetic keyboard events as the utility layer posts them: the platform's virtual key codes and
// event flag masks, and where events go. The platform folder supplies the real poster (a virtual
// keyboard device); tests install a recording one. A poster is safe from any thread.
#pragma once

#include <cstdint>

namespace trellis {

// Event flag masks of keyboard events.
inline constexpr std::uint64_t kEventFlagMaskAlphaShift = 0x00010000;  // caps lock
inline constexpr std::uint64_t kEventFlagMaskShift = 0x00020000;
inline constexpr std::uint64_t kEventFlagMaskControl = 0x00040000;
inline constexpr std::uint64_t kEventFlagMaskAlternate = 0x00080000;   // option
inline constexpr std::uint64_t kEventFlagMaskCommand = 0x00100000;
inline constexpr std::uint64_t kEventFlagMaskNumericPad = 0x00200000;
inline constexpr std::uint64_t kEventFlagMaskHelp = 0x00400000;
inline constexpr std::uint64_t kEventFlagMaskSecondaryFn = 0x00800000;
// Set on every event the system itself did not coalesce; alone it means "no modifier".
inline constexpr std::uint64_t kEventFlagMaskNonCoalesced = 0x00000100;

struct KeyboardEvent {
  std::uint16_t keyCode = 0;  // virtual key code (kVK_ANSI_A = 0, kVK_Return = 0x24, ...)
  bool keyDown = true;
  std::uint64_t flags = 0;    // exactly the flags the event carries
  friend bool operator==(const KeyboardEvent&, const KeyboardEvent&) = default;
};

class KeyEventPoster {
 public:
  virtual ~KeyEventPoster() = default;
  // Posts `event` into the user's session, after every event posted before it. False when it
  // could not be posted (no device, a key code without an equivalent).
  virtual bool post(const KeyboardEvent& event) = 0;

  // The one the process uses (base/services.h).
  static KeyEventPoster& system();
};


}  // namespace trellis
