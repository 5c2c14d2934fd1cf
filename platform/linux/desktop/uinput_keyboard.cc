// The uinput protocol: set the event and key bits, describe the device (UI_DEV_SETUP), create it,
// then write struct input_event records; the kernel stamps their times.
#include "platform/linux/desktop/uinput_keyboard.h"

#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/linux/io/eintr.h"

namespace trellis::lnx {

namespace {

struct KeyMapping {
  std::uint16_t virtualKey;
  std::uint16_t linuxKey;
};

// Virtual key codes of the ANSI, ISO and JIS layouts and the function and navigation keys.
constexpr KeyMapping kKeys[] = {
    {0x00, KEY_A}, {0x01, KEY_S}, {0x02, KEY_D}, {0x03, KEY_F}, {0x04, KEY_H}, {0x05, KEY_G},
    {0x06, KEY_Z}, {0x07, KEY_X}, {0x08, KEY_C}, {0x09, KEY_V}, {0x0A, KEY_102ND}, {0x0B, KEY_B},
    {0x0C, KEY_Q}, {0x0D, KEY_W}, {0x0E, KEY_E}, {0x0F, KEY_R}, {0x10, KEY_Y}, {0x11, KEY_T},
    {0x12, KEY_1}, {0x13, KEY_2}, {0x14, KEY_3}, {0x15, KEY_4}, {0x16, KEY_6}, {0x17, KEY_5},
    {0x18, KEY_EQUAL}, {0x19, KEY_9}, {0x1A, KEY_7}, {0x1B, KEY_MINUS}, {0x1C, KEY_8}, {0x1D, KEY_0},
    {0x1E, KEY_RIGHTBRACE}, {0x1F, KEY_O}, {0x20, KEY_U}, {0x21, KEY_LEFTBRACE}, {0x22, KEY_I},
    {0x23, KEY_P}, {0x24, KEY_ENTER}, {0x25, KEY_L}, {0x26, KEY_J}, {0x27, KEY_APOSTROPHE},
    {0x28, KEY_K}, {0x29, KEY_SEMICOLON}, {0x2A, KEY_BACKSLASH}, {0x2B, KEY_COMMA}, {0x2C, KEY_SLASH},
    {0x2D, KEY_N}, {0x2E, KEY_M}, {0x2F, KEY_DOT}, {0x30, KEY_TAB}, {0x31, KEY_SPACE}, {0x32, KEY_GRAVE},
    {0x33, KEY_BACKSPACE}, {0x35, KEY_ESC}, {0x36, KEY_RIGHTMETA}, {0x37, KEY_LEFTMETA},
    {0x38, KEY_LEFTSHIFT}, {0x39, KEY_CAPSLOCK}, {0x3A, KEY_LEFTALT}, {0x3B, KEY_LEFTCTRL},
    {0x3C, KEY_RIGHTSHIFT}, {0x3D, KEY_RIGHTALT}, {0x3E, KEY_RIGHTCTRL}, {0x3F, KEY_FN}, {0x40, KEY_F17},
    {0x41, KEY_KPDOT}, {0x43, KEY_KPASTERISK}, {0x45, KEY_KPPLUS}, {0x47, KEY_NUMLOCK},
    {0x48, KEY_VOLUMEUP}, {0x49, KEY_VOLUMEDOWN}, {0x4A, KEY_MUTE}, {0x4B, KEY_KPSLASH},
    {0x4C, KEY_KPENTER}, {0x4E, KEY_KPMINUS}, {0x4F, KEY_F18}, {0x50, KEY_F19}, {0x51, KEY_KPEQUAL},
    {0x52, KEY_KP0}, {0x53, KEY_KP1}, {0x54, KEY_KP2}, {0x55, KEY_KP3}, {0x56, KEY_KP4}, {0x57, KEY_KP5},
    {0x58, KEY_KP6}, {0x59, KEY_KP7}, {0x5A, KEY_F20}, {0x5B, KEY_KP8}, {0x5C, KEY_KP9},
    {0x5D, KEY_YEN}, {0x5E, KEY_RO}, {0x5F, KEY_KPJPCOMMA}, {0x60, KEY_F5}, {0x61, KEY_F6},
    {0x62, KEY_F7}, {0x63, KEY_F3}, {0x64, KEY_F8}, {0x65, KEY_F9}, {0x66, KEY_HANJA}, {0x67, KEY_F11},
    {0x68, KEY_HANGEUL}, {0x69, KEY_F13}, {0x6A, KEY_F16}, {0x6B, KEY_F14}, {0x6D, KEY_F10},
    {0x6F, KEY_F12}, {0x71, KEY_F15}, {0x72, KEY_INSERT}, {0x73, KEY_HOME}, {0x74, KEY_PAGEUP},
    {0x75, KEY_DELETE}, {0x76, KEY_F4}, {0x77, KEY_END}, {0x78, KEY_F2}, {0x79, KEY_PAGEDOWN},
    {0x7A, KEY_F1}, {0x7B, KEY_LEFT}, {0x7C, KEY_RIGHT}, {0x7D, KEY_DOWN}, {0x7E, KEY_UP},
};

struct ModifierMapping {
  std::uint64_t flag;
  std::uint16_t linuxKey;
};

constexpr ModifierMapping kModifiers[] = {
    {kEventFlagMaskControl, KEY_LEFTCTRL},
    {kEventFlagMaskAlternate, KEY_LEFTALT},
    {kEventFlagMaskShift, KEY_LEFTSHIFT},
    {kEventFlagMaskCommand, KEY_LEFTMETA},
};

std::vector<std::uint16_t> allKeys() {
  std::vector<std::uint16_t> keys;
  for (const KeyMapping& mapping : kKeys) keys.push_back(mapping.linuxKey);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;  // the modifiers are among the keys
}

}  // namespace

std::optional<std::uint16_t> linuxKeyCode(std::uint16_t virtualKeyCode) {
  for (const KeyMapping& mapping : kKeys) {
    if (mapping.virtualKey == virtualKeyCode) return mapping.linuxKey;
  }
  return std::nullopt;
}

std::vector<std::uint16_t> modifierKeys(std::uint64_t flags) {
  std::vector<std::uint16_t> keys;
  for (const ModifierMapping& modifier : kModifiers) {
    if ((flags & modifier.flag) != 0) keys.push_back(modifier.linuxKey);
  }
  return keys;
}

DevUinputDevice::~DevUinputDevice() {
  if (fd_ < 0) return;
  (void)::ioctl(fd_, UI_DEV_DESTROY);  // closing removes the device too
  (void)::close(fd_);
}

bool DevUinputDevice::create(const std::vector<std::uint16_t>& keys) {
  if (fd_ >= 0) return true;
  int fd = retryOnEintr([&] { return ::open(options_.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) return false;
  bool ready = ::ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0 && ::ioctl(fd, UI_SET_EVBIT, EV_SYN) == 0;
  for (std::uint16_t key : keys) ready = ready && ::ioctl(fd, UI_SET_KEYBIT, static_cast<int>(key)) == 0;
  uinput_setup setup {};
  setup.id.bustype = BUS_VIRTUAL;
  setup.id.vendor = 0x1209;  // pid.codes: open-source projects' shared vendor ID
  setup.id.product = 0x7e11;
  setup.id.version = 1;
  std::strncpy(setup.name, options_.name.c_str(), UINPUT_MAX_NAME_SIZE - 1);
  ready = ready && ::ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ::ioctl(fd, UI_DEV_CREATE) == 0;
  if (!ready) {
    (void)::close(fd);
    return false;
  }
  fd_ = fd;
  if (options_.settle.count() > 0) std::this_thread::sleep_for(options_.settle);
  return true;
}

bool DevUinputDevice::write(std::uint16_t type, std::uint16_t code, std::int32_t value) {
  if (fd_ < 0) return false;
  input_event event {};
  event.type = type;
  event.code = code;
  event.value = value;
  ssize_t written = retryOnEintr([&] { return ::write(fd_, &event, sizeof event); });
  return written == static_cast<ssize_t>(sizeof event);
}

std::optional<std::string> DevUinputDevice::sysName() const {
  char name[64] = {};
  if (fd_ < 0 || ::ioctl(fd_, UI_GET_SYSNAME(sizeof name - 1), name) < 0) return std::nullopt;
  return std::string(name);
}

bool UinputKeyboard::emitKey(std::uint16_t code, std::int32_t value) {
  return device_->write(EV_KEY, code, value) && device_->write(EV_SYN, SYN_REPORT, 0);
}

bool UinputKeyboard::post(const KeyboardEvent& event) {
  std::optional<std::uint16_t> key = linuxKeyCode(event.keyCode);
  if (!key) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!created_) created_ = device_->create(allKeys());
  if (!created_) return false;
  const std::vector<std::uint16_t> modifiers = modifierKeys(event.flags);
  bool sent = true;
  for (std::uint16_t modifier : modifiers) sent = emitKey(modifier, 1) && sent;
  sent = emitKey(*key, event.keyDown ? 1 : 0) && sent;
  // Released even when something failed, so that no modifier stays down.
  for (auto modifier = modifiers.rbegin(); modifier != modifiers.rend(); ++modifier) sent = emitKey(*modifier, 0) && sent;
  return sent;
}

}  // namespace trellis::lnx
