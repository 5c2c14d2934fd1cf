// Synthetic key presses on Linux: a virtual keyboard made through /dev/uinput, which the display
// server reads like any other keyboard. Virtual key codes are mapped to Linux key codes with a
// table; the modifier flags of an event (shift, control, option, command) become modifier keys
// held down around that one key event, so a key-down with flags and a key-up without arrive as
// exactly that. The device is made on first use and kept. Safe from any thread (one lock).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/key_events.h"

namespace trellis::lnx {

// Where the keyboard's input events go: the uinput device, or a recording in tests.
class UinputDevice {
 public:
  virtual ~UinputDevice() = default;
  // Makes the virtual keyboard, able to send `keys` (Linux key codes); false when it cannot.
  virtual bool create(const std::vector<std::uint16_t>& keys) = 0;
  // Writes one input event to the made device; false when it could not.
  virtual bool write(std::uint16_t type, std::uint16_t code, std::int32_t value) = 0;
};

class DevUinputDevice final : public UinputDevice {
 public:
  struct Options {
    std::string path = "/dev/uinput";
    std::string name = "Trellis virtual keyboard";
    // How long the display server is given to notice a new device before its first event.
    std::chrono::milliseconds settle{200};
  };
  DevUinputDevice() = default;
  explicit DevUinputDevice(Options options) : options_(std::move(options)) {}
  ~DevUinputDevice() override;  // removes the device
  DevUinputDevice(const DevUinputDevice&) = delete;
  DevUinputDevice& operator=(const DevUinputDevice&) = delete;

  bool create(const std::vector<std::uint16_t>& keys) override;
  bool write(std::uint16_t type, std::uint16_t code, std::int32_t value) override;

  // The device's name among the system's input devices (e.g. "input42"), once made.
  std::optional<std::string> sysName() const;

 private:
  Options options_;
  int fd_ = -1;
};

class UinputKeyboard final : public KeyEventPoster {
 public:
  explicit UinputKeyboard(std::unique_ptr<UinputDevice> device) : device_(std::move(device)) {}

  // Modifier keys down, the key, modifier keys up in reverse, each key event followed by a
  // synchronisation report. False, with nothing sent, for a key code without a Linux equivalent
  // or when the device cannot be made (tried again on the next event).
  bool post(const KeyboardEvent& event) override;

 private:
  bool emitKey(std::uint16_t code, std::int32_t value);

  std::mutex mutex_;
  std::unique_ptr<UinputDevice> device_;
  bool created_ = false;
};

// The Linux key code of a virtual key code; nothing for one without an equivalent.
std::optional<std::uint16_t> linuxKeyCode(std::uint16_t virtualKeyCode);
// The modifier keys the flags ask for, in the order they are pressed. Caps lock, the numeric-pad,
// help and fn flags have no held key and are left out.
std::vector<std::uint16_t> modifierKeys(std::uint64_t flags);

}  // namespace trellis::lnx
