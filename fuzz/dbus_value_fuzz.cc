// Fuzzes the reading of user information from the bus. The input drives a small builder that
// writes one or two arguments of any shape sd-bus allows (basic values, arrays, structs,
// variants, dictionaries, nested to any depth and with any type at each place, so mostly not
// a{sv}); the sealed message is then read as user information. What comes back must respect the
// depth limit it was read with, and a dictionary that reads must write back and read again to
// the same value. Single-threaded.
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/linux/bus/dbus_value.h"

namespace {

using namespace trellis;

void check(bool condition) {
  if (!condition) std::abort();
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string text() {
    std::size_t length = byte() % 12;
    std::string s;
    for (std::size_t i = 0; i < length; ++i) s += static_cast<char>('a' + byte() % 26);
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

constexpr char kBasic[] = "ybnqiuxtdsog";

// A signature for one complete type, at most `depth` containers deep.
std::string signature(Input& in, int depth) {
  const int kind = in.byte() % (depth > 0 ? 16 : 12);
  if (kind < 12) return std::string(1, kBasic[kind]);
  switch (kind) {
    case 12: return "a" + signature(in, depth - 1);
    case 13: return "v";
    case 14: {
      std::string s = "(";
      for (int i = 0, n = 1 + in.byte() % 3; i < n; ++i) s += signature(in, depth - 1);
      return s + ")";
    }
    default: return "a{" + std::string(1, kBasic[in.byte() % 12]) + signature(in, depth - 1) + "}";
  }
}

// Appends a value of the complete type at the start of `type`; returns its length in `type`.
std::size_t append(sd_bus_message* m, Input& in, const std::string& type, std::size_t at, int depth);

std::size_t completeLength(const std::string& type, std::size_t at) {
  char c = type[at];
  if (c == 'a') return 1 + completeLength(type, at + 1);
  if (c == '(' || c == '{') {
    const char close = c == '(' ? ')' : '}';
    std::size_t i = at + 1;
    while (type[i] != close) i += completeLength(type, i);
    return i + 1 - at;
  }
  return 1;
}

std::size_t append(sd_bus_message* m, Input& in, const std::string& type, std::size_t at, int depth) {
  const char c = type[at];
  const std::size_t length = completeLength(type, at);
  switch (c) {
    case 'y': { std::uint8_t v = in.byte(); sd_bus_message_append_basic(m, c, &v); break; }
    case 'b': { int v = in.byte() & 1; sd_bus_message_append_basic(m, c, &v); break; }
    case 'n': case 'q': { std::uint16_t v = in.byte() << 8 | in.byte(); sd_bus_message_append_basic(m, c, &v); break; }
    case 'i': case 'u': {
      std::uint32_t v = 0;
      for (int i = 0; i < 4; ++i) v = v << 8 | in.byte();
      sd_bus_message_append_basic(m, c, &v);
      break;
    }
    case 'x': case 't': {
      std::uint64_t v = 0;
      for (int i = 0; i < 8; ++i) v = v << 8 | in.byte();
      sd_bus_message_append_basic(m, c, &v);
      break;
    }
    case 'd': {
      // Any finite double (a NaN would not compare equal to itself after the round trip).
      double v = static_cast<std::int32_t>(in.byte() << 24 | in.byte() << 16 | in.byte() << 8 | in.byte()) / 256.0;
      sd_bus_message_append_basic(m, c, &v);
      break;
    }
    case 's': { std::string v = in.text(); sd_bus_message_append_basic(m, c, v.c_str()); break; }
    case 'o': sd_bus_message_append_basic(m, c, "/a/b"); break;
    case 'g': sd_bus_message_append_basic(m, c, "a{sv}"); break;
    case 'v': {
      std::string inner = signature(in, depth > 0 ? depth - 1 : 0);
      if (sd_bus_message_open_container(m, 'v', inner.c_str()) >= 0) {
        append(m, in, inner, 0, depth - 1);
        sd_bus_message_close_container(m);
      }
      break;
    }
    case 'a': {
      const std::string element = type.substr(at + 1, length - 1);
      if (sd_bus_message_open_container(m, 'a', element.c_str()) >= 0) {
        for (int i = 0, n = in.empty() ? 0 : in.byte() % 4; i < n; ++i) append(m, in, element, 0, depth - 1);
        sd_bus_message_close_container(m);
      }
      break;
    }
    case '(': case '{': {
      const std::string inner = type.substr(at + 1, length - 2);
      if (sd_bus_message_open_container(m, c == '(' ? 'r' : 'e', inner.c_str()) >= 0) {
        for (std::size_t i = 0; i < inner.size();) i += append(m, in, inner, i, depth - 1);
        sd_bus_message_close_container(m);
      }
      break;
    }
    default: break;
  }
  return length;
}

// A connection over a socket pair whose far end answers the authentication, so that messages
// can be made and sealed; nothing is ever sent.
sd_bus* openConnection() {
  int fds[2];
  check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  sd_bus* bus = nullptr;
  check(sd_bus_new(&bus) >= 0 && sd_bus_set_fd(bus, fds[0], fds[0]) >= 0 && sd_bus_start(bus) >= 0);
  std::string greeting;
  char buffer[256];
  while (greeting.find("BEGIN\r\n") == std::string::npos) {
    ssize_t n = read(fds[1], buffer, sizeof buffer);
    check(n > 0);
    greeting.append(buffer, static_cast<std::size_t>(n));
  }
  const std::string answer = "DATA\r\nOK 0123456789abcdef0123456789abcdef\r\nAGREE_UNIX_FD\r\n";
  check(write(fds[1], answer.data(), answer.size()) == static_cast<ssize_t>(answer.size()));
  check(sd_bus_flush(bus) >= 0);
  return bus;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static sd_bus* bus = openConnection();
  static std::uint64_t cookie = 0;

  Input in(data, size);
  const int maxDepth = 1 + in.byte() % 24;
  sd_bus_message* m = nullptr;
  check(sd_bus_message_new_signal(bus, &m, "/org/trellis/Fuzz", "org.trellis.Fuzz", "Info") >= 0);
  for (int argument = 0, n = 1 + in.byte() % 2; argument < n; ++argument) {
    // Mostly a{sv}, so that the dictionary paths are reached; otherwise any type.
    const std::string type = in.byte() % 3 != 0 ? std::string("a{sv}") : signature(in, 6);
    append(m, in, type, 0, 8);
  }
  if (sd_bus_message_seal(m, ++cookie, 0) < 0 || sd_bus_message_rewind(m, 1) < 0) {
    sd_bus_message_unref(m);
    return 0;
  }

  std::optional<Dictionary> info = lnx::readDictionary(m, maxDepth);
  if (info) {
    check(Value(*info).depth() <= maxDepth);
    // Whatever was read writes back and reads again unchanged.
    sd_bus_message* again = nullptr;
    check(sd_bus_message_new_signal(bus, &again, "/org/trellis/Fuzz", "org.trellis.Fuzz", "Info") >= 0);
    if (lnx::appendDictionary(again, *info) >= 0 && sd_bus_message_seal(again, ++cookie, 0) >= 0 &&
        sd_bus_message_rewind(again, 1) >= 0) {
      std::optional<Dictionary> reread = lnx::readDictionary(again, 64);
      check(reread.has_value() && Value(*reread) == Value(*info));
    }
    sd_bus_message_unref(again);
  }
  sd_bus_message_unref(m);
  return 0;
}
