// User information on the wire: what appendDictionary writes (exact bytes, every kind, the
// nesting a bus daemon accepts), what readDictionary makes of anything a sender may put there
// (other types, nesting, corrupted bodies), and that encodedSize never undercounts.
#include "platform/linux/bus/dbus_value.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

#include "support/private_bus.h"

namespace trellis::lnx {
namespace {

// The depth limit used here, as the centre's (protocol::kMaxUserInfoDepth). Much deeper limits
// cannot be tested the same way: sd-bus cannot skip past 128 containers, which 43 levels of
// dictionaries reach.
constexpr int kDepth = 32;

std::uint32_t word(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;  // host order: the messages here are written by this host
}

// An sd-bus connection whose far end is a plain socket held by the test, so no daemon is needed:
// what the connection sends can be read as bytes, and bytes written to the socket arrive as a
// received message. The test answers the connection's authentication itself.
class WirePeer {
 public:
  WirePeer() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
    EXPECT_GE(sd_bus_new(&bus_), 0);
    EXPECT_GE(sd_bus_set_fd(bus_, fds_[0], fds_[0]), 0);
    EXPECT_GE(sd_bus_start(bus_), 0);
    // sd-bus sends its whole side of the exchange at once; answer it, file descriptors agreed.
    std::string greeting;
    char buffer[256];
    while (greeting.find("BEGIN\r\n") == std::string::npos) {
      ssize_t n = read(fds_[1], buffer, sizeof buffer);
      if (n <= 0) break;
      greeting.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_NE(greeting.find("AUTH EXTERNAL"), std::string::npos);
    const std::string answer = "DATA\r\nOK 0123456789abcdef0123456789abcdef\r\nAGREE_UNIX_FD\r\n";
    EXPECT_EQ(write(fds_[1], answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    EXPECT_GE(sd_bus_flush(bus_), 0);
    EXPECT_GT(sd_bus_can_send(bus_, SD_BUS_TYPE_UNIX_FD), 0);
  }
  ~WirePeer() {
    sd_bus_flush_close_unref(bus_);
    close(fds_[1]);
  }

  sd_bus_message* newSignal() {
    sd_bus_message* message = nullptr;
    EXPECT_GE(sd_bus_message_new_signal(bus_, &message, "/org/trellis/Test", "org.trellis.Test", "Info"), 0);
    return message;
  }

  // Sends `message` (taking it) and returns it as the bytes that went over the wire.
  std::string capture(sd_bus_message* message) {
    EXPECT_GE(sd_bus_send(bus_, message, nullptr), 0);
    sd_bus_message_unref(message);
    std::string bytes;
    std::thread reader([&] {
      std::size_t total = 16;
      char buffer[65536];
      while (bytes.size() < total) {
        ssize_t n = read(fds_[1], buffer, std::min(sizeof buffer, total - bytes.size()));
        if (n <= 0) return;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() >= 16) total = 16 + (word(bytes, 12) + 7) / 8 * 8 + word(bytes, 4);
      }
    });
    EXPECT_GE(sd_bus_flush(bus_), 0);
    reader.join();
    return bytes;
  }

  // Writes `bytes` to the connection and returns the message it receives (or null after 5 s).
  sd_bus_message* deliver(const std::string& bytes) {
    std::thread writer([&] {
      std::size_t done = 0;
      while (done < bytes.size()) {
        ssize_t n = write(fds_[1], bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
      }
    });
    sd_bus_message* received = nullptr;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (received == nullptr && std::chrono::steady_clock::now() < deadline) {
      int r = sd_bus_process(bus_, &received);
      if (r < 0) break;
      if (r == 0) (void)sd_bus_wait(bus_, 100000);
    }
    writer.join();
    return received;
  }

  // Seals `message` where it is, for reading it back without sending it.
  void seal(sd_bus_message* message) {
    EXPECT_GE(sd_bus_message_seal(message, ++cookie_, 0), 0);
    EXPECT_GE(sd_bus_message_rewind(message, 1), 0);
  }

  static std::size_t bodyOffset(const std::string& bytes) { return 16 + (word(bytes, 12) + 7) / 8 * 8; }

 private:
  int fds_[2] = {-1, -1};
  sd_bus* bus_ = nullptr;
  std::uint64_t cookie_ = 0;
};

class DBusValueTest : public ::testing::Test {
 protected:
  // Sends `info` as the only argument and reads it back from the bytes that went over the wire.
  std::optional<Dictionary> overTheWire(const Dictionary& info, int maxDepth = kDepth) {
    sd_bus_message* message = peer.newSignal();
    EXPECT_GE(appendDictionary(message, info), 0);
    sd_bus_message* received = peer.deliver(peer.capture(message));
    EXPECT_NE(received, nullptr);
    if (received == nullptr) return std::nullopt;
    std::optional<Dictionary> read = readDictionary(received, maxDepth);
    sd_bus_message_unref(received);
    return read;
  }

  // The body of a message holding `before` bytes, then `info`.
  std::string body(const Dictionary& info, int before = 0) {
    sd_bus_message* message = peer.newSignal();
    for (int i = 0; i < before; ++i) {
      const std::uint8_t byte = 7;
      EXPECT_GE(sd_bus_message_append_basic(message, 'y', &byte), 0);
    }
    EXPECT_GE(appendDictionary(message, info), 0);
    std::string bytes = peer.capture(message);
    return bytes.substr(WirePeer::bodyOffset(bytes));
  }

  WirePeer peer;
};

// {"k": [[..."leaf"...]]} or {"k": {"k": ..."leaf"}}: a dictionary of depth `levels`.
Dictionary nested(int levels, bool dictionaries) {
  Value value = "leaf";
  for (int i = 1; i < levels; ++i) value = dictionaries ? Value(Dictionary{{"k", value}}) : Value(Array{value});
  return Dictionary{{"k", value}};
}

// The same shapes written with sd-bus directly, past any limit of appendDictionary; `levels`
// counts the top-level dictionary.
void appendNested(sd_bus_message* m, int levels, bool dictionaries) {
  int open = 0;
  auto check = [](int r) { ASSERT_GE(r, 0); };
  check(sd_bus_message_open_container(m, 'a', "{sv}"));
  check(sd_bus_message_open_container(m, 'e', "sv"));
  check(sd_bus_message_append(m, "s", "k"));
  open += 2;
  for (int i = 2; i <= levels; ++i) {
    if (dictionaries) {
      check(sd_bus_message_open_container(m, 'v', "a{sv}"));
      check(sd_bus_message_open_container(m, 'a', "{sv}"));
      check(sd_bus_message_open_container(m, 'e', "sv"));
      check(sd_bus_message_append(m, "s", "k"));
      open += 3;
    } else {
      check(sd_bus_message_open_container(m, 'v', "av"));
      check(sd_bus_message_open_container(m, 'a', "v"));
      open += 2;
    }
  }
  check(sd_bus_message_append(m, "v", "s", "leaf"));
  for (int i = 0; i < open; ++i) check(sd_bus_message_close_container(m));
}

TEST_F(DBusValueTest, EveryKindRoundTripsOverTheWireAndWhatCannotBeWrittenIsRefused) {
  const float tenth = 0.1f;
  Dictionary info{
      {"text", "grüße"},
      {"empty text", ""},
      {"", "empty key"},
      {"yes", true},
      {"no", false},
      {"int32", std::numeric_limits<std::int32_t>::min()},
      {"int64", std::numeric_limits<std::int64_t>::min()},
      {"uint32", std::numeric_limits<std::uint32_t>::max()},
      {"uint64", std::numeric_limits<std::uint64_t>::max()},
      {"double", -1.5e300},
      {"float", tenth},
      {"date", Date{1700000000.25}},
      {"bytes", Bytes{0x00, 0x7f, 0x80, 0xff}},
      {"no bytes", Bytes{}},
      {"array", Array{Value(std::int32_t{1}), "two", Null{}, Array{}, Dictionary{}}},
      {"dictionary", Dictionary{{"inner", Dictionary{{"x", std::int64_t{-3}}}}, {"gone", Null{}}}},
      {"left out", Null{}},
  };
  Dictionary expected = info;
  expected["float"] = static_cast<double>(tenth);  // the double of the same float, not 0.1
  expected["date"] = 1700000000.25;
  expected["array"] = Array{Value(std::int32_t{1}), "two", Array{}, Array{}, Dictionary{}};
  expected["dictionary"] = Dictionary{{"inner", Dictionary{{"x", std::int64_t{-3}}}}};
  expected.erase("left out");

  std::optional<Dictionary> read = overTheWire(info);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, expected);
  ASSERT_NE(read->at("float").get<double>(), nullptr);
  EXPECT_NE(*read->at("float").get<double>(), 0.1);

  EXPECT_EQ(overTheWire({}), Dictionary{});

  // What cannot be written: a NUL in a key or a text (-EINVAL), text that is not UTF-8.
  const std::pair<Dictionary, int> refused[] = {{Dictionary{{std::string("a\0b", 3), "x"}}, -EINVAL},
                                                {Dictionary{{"k", std::string("a\0b", 3)}}, -EINVAL},
                                                {Dictionary{{"k", "not UTF-8 \xff"}}, 0}};
  for (const auto& [bad, code] : refused) {
    sd_bus_message* message = peer.newSignal();
    const int r = appendDictionary(message, bad);
    EXPECT_TRUE(code != 0 ? r == code : r < 0) << r;
    sd_bus_message_unref(message);
  }
}

TEST_F(DBusValueTest, AReadingIsTheseExactBytes) {
  std::string bytes = body({{"cpu", 42.5f}});
  if (!bytes.empty() && std::endian::native != std::endian::little) GTEST_SKIP() << "expected bytes are little-endian";
  // clang-format off
  const unsigned char expected[] = {
      0x18, 0, 0, 0,                              // array length: 24 bytes of entries
      0, 0, 0, 0,                                 // padding to the 8-aligned first entry
      3, 0, 0, 0, 'c', 'p', 'u', 0,               // key
      1, 'd', 0,                                  // variant signature "d"
      0, 0, 0, 0, 0,                              // padding to 8
      0, 0, 0, 0, 0, 0x40, 0x45, 0x40,            // 42.5 as a double
  };
  // clang-format on
  EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(expected), sizeof expected));
}

// A bus daemon drops the whole connection of a sender whose message nests too deep; whatever
// appendDictionary accepts must pass through a real dbus-daemon, and the sender stays connected.
TEST(DBusValueDaemonTest, TheDeepestWrittenValuesPassARealDaemon) {
  testing::PrivateBus daemon;
  if (!daemon.ok()) GTEST_SKIP() << "dbus-daemon could not be started";
  auto connect = [&daemon]() {
    sd_bus* bus = nullptr;
    EXPECT_GE(sd_bus_new(&bus), 0);
    EXPECT_GE(sd_bus_set_address(bus, daemon.address().c_str()), 0);
    EXPECT_GE(sd_bus_set_bus_client(bus, 1), 0);
    EXPECT_GE(sd_bus_start(bus), 0);
    return bus;
  };
  sd_bus* sender = connect();
  sd_bus* receiver = connect();
  ASSERT_GE(sd_bus_add_match(receiver, nullptr, "type='signal',interface='org.trellis.Test'", nullptr, nullptr), 0);

  for (bool dictionaries : {false, true}) {
    SCOPED_TRACE(dictionaries ? "nested dictionaries" : "nested arrays");
    // The deepest value of this shape that appendDictionary writes.
    Dictionary deepest;
    bool refused = false;
    for (int levels = 2; levels < 200 && !refused; ++levels) {
      const Dictionary info = nested(levels, dictionaries);
      sd_bus_message* probe = nullptr;
      ASSERT_GE(sd_bus_message_new_signal(sender, &probe, "/p", "org.trellis.Probe", "P"), 0);
      int r = appendDictionary(probe, info);
      sd_bus_message_unref(probe);
      refused = r == -ELOOP;
      if (!refused) {
        ASSERT_GE(r, 0);
        deepest = info;
      }
    }
    ASSERT_TRUE(refused);
    // Deep enough for any payload that travels: a reading is 3 levels deep.
    EXPECT_GE(Value(deepest).depth(), 20);

    sd_bus_message* message = nullptr;
    ASSERT_GE(sd_bus_message_new_signal(sender, &message, "/org/trellis/Test", "org.trellis.Test", "Info"), 0);
    ASSERT_GE(appendDictionary(message, deepest), 0);
    ASSERT_GE(sd_bus_send(sender, message, nullptr), 0);
    sd_bus_message_unref(message);
    ASSERT_GE(sd_bus_flush(sender), 0);

    sd_bus_message* received = nullptr;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         received == nullptr && std::chrono::steady_clock::now() < end;) {
      const int r = sd_bus_process(receiver, &received);
      ASSERT_GE(r, 0);
      if (received != nullptr && sd_bus_message_is_signal(received, "org.trellis.Test", "Info") <= 0) {
        received = sd_bus_message_unref(received);
      }
      if (r == 0) (void)sd_bus_wait(receiver, 100000);
    }
    ASSERT_NE(received, nullptr) << "the daemon did not deliver the message";
    EXPECT_EQ(readDictionary(received, 64), deepest);
    sd_bus_message_unref(received);

    sd_bus_message* reply = nullptr;
    EXPECT_GE(sd_bus_call_method(sender, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "GetId", nullptr, &reply, ""),
              0)
        << "the daemon dropped the sender";
    sd_bus_message_unref(reply);
  }
  sd_bus_flush_close_unref(sender);
  sd_bus_flush_close_unref(receiver);
}

TEST_F(DBusValueTest, ReadsOtherTypesLeniently) {
  int fd = dup(STDERR_FILENO);
  sd_bus_message* m = peer.newSignal();
  // clang-format off
  ASSERT_GE(sd_bus_message_append(m, "a{sv}", 17, "byte", "y", 200, "int16", "n", -300, "uint16", "q", 65535,
                                  "path", "o", "/org/trellis", "signature", "g", "a{sv}", "struct", "(sib)", "a", 7, 1,
                                  "texts", "as", 2, "p", "q", "variant in variant", "v", "i", 5,
                                  "byte arrays", "aay", 2, 2, 1, 2, 0, "number keys", "a{is}", 2, 1, "one", -2, "minus two",
                                  "bool keys", "a{bs}", 1, 1, "yes", "double keys", "a{dv}", 1, 0.5, "s", "half",
                                  "path keys", "a{ov}", 1, "/p", "i", 3, "twice", "a{ss}", 2, "k", "first", "k", "second",
                                  "fd", "h", fd, "fds", "ah", 2, fd, fd, "fd in struct", "(hi)", fd, 9),
            0);
  // clang-format on
  ASSERT_GE(sd_bus_message_append(m, "s", "after"), 0);
  close(fd);
  peer.seal(m);

  // clang-format off
  const Dictionary expected{
      {"byte", std::uint32_t{200}}, {"int16", std::int32_t{-300}}, {"uint16", std::uint32_t{65535}},
      {"path", "/org/trellis"}, {"signature", "a{sv}"}, {"struct", Array{"a", std::int32_t{7}, true}},
      {"texts", Array{"p", "q"}}, {"variant in variant", std::int32_t{5}}, {"byte arrays", Array{Bytes{1, 2}, Bytes{}}},
      {"number keys", Dictionary{{"1", "one"}, {"-2", "minus two"}}}, {"bool keys", Dictionary{{"true", "yes"}}},
      {"double keys", Dictionary{{"0.5", "half"}}}, {"path keys", Dictionary{{"/p", std::int32_t{3}}}},
      {"twice", Dictionary{{"k", "second"}}}, {"fds", Array{}}, {"fd in struct", Array{std::int32_t{9}}},
  };
  // clang-format on
  EXPECT_EQ(readDictionary(m, kDepth), expected);
  const char* after = nullptr;
  EXPECT_GT(sd_bus_message_read(m, "s", &after), 0);
  EXPECT_STREQ(after, "after");
  sd_bus_message_unref(m);
}

TEST_F(DBusValueTest, SkipsArgumentsThatAreNotUserInformation) {
  sd_bus_message* m = peer.newSignal();
  ASSERT_GE(sd_bus_message_append(m, "asa{ss}iva{sv}s", 1, "x", 1, "a", "b", 5, "a{sv}", 0, 1, "k", "s", "v", "end"),
            0);
  std::string bytes = peer.capture(m);
  m = peer.deliver(bytes);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(readDictionary(m, kDepth), std::nullopt);  // as
  EXPECT_EQ(readDictionary(m, kDepth), std::nullopt);  // a{ss}
  EXPECT_EQ(readDictionary(m, kDepth), std::nullopt);  // i
  EXPECT_EQ(readDictionary(m, kDepth), std::nullopt);  // v holding a{sv}
  EXPECT_EQ(readDictionary(m, kDepth), (Dictionary{{"k", "v"}}));
  const char* end = nullptr;
  EXPECT_GT(sd_bus_message_read(m, "s", &end), 0);
  EXPECT_STREQ(end, "end");
  // Nothing left: nothing read, nothing consumed.
  EXPECT_EQ(readDictionary(m, kDepth), std::nullopt);
  EXPECT_EQ(sd_bus_message_peek_type(m, nullptr, nullptr), 0);
  sd_bus_message_unref(m);
}

TEST_F(DBusValueTest, NestingBeyondTheLimitGivesNothingAndIsSkipped) {
  for (bool dictionaries : {false, true}) {
    for (int levels : {1, kDepth, kDepth + 1}) {
      SCOPED_TRACE(std::string(dictionaries ? "dictionaries " : "arrays ") + std::to_string(levels));
      sd_bus_message* m = peer.newSignal();
      appendNested(m, levels, dictionaries);
      ASSERT_GE(sd_bus_message_append(m, "s", "after"), 0);
      peer.seal(m);
      std::optional<Dictionary> read = readDictionary(m, kDepth);
      if (levels <= kDepth) {
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(Value(*read).depth(), levels);
      } else {
        EXPECT_EQ(read, std::nullopt);
      }
      const char* after = nullptr;
      EXPECT_GT(sd_bus_message_read(m, "s", &after), 0);
      EXPECT_STREQ(after, "after");
      sd_bus_message_unref(m);
    }
  }

  // 64 levels, and a flat dictionary with a limit of 0.
  sd_bus_message* m = peer.newSignal();
  appendNested(m, 64, false);
  peer.seal(m);
  EXPECT_EQ(readDictionary(m, kDepth), std::nullopt);
  sd_bus_message_unref(m);
  m = peer.newSignal();
  ASSERT_GE(sd_bus_message_append(m, "a{sv}", 0), 0);
  peer.seal(m);
  EXPECT_EQ(readDictionary(m, 0), std::nullopt);
  sd_bus_message_unref(m);
}

TEST_F(DBusValueTest, VariantsAreUnwrappedButCannotNestWithoutBound) {
  for (int variants : {100, 1000}) {
    SCOPED_TRACE(variants);
    sd_bus_message* m = peer.newSignal();
    ASSERT_GE(sd_bus_message_open_container(m, 'a', "{sv}"), 0);
    ASSERT_GE(sd_bus_message_open_container(m, 'e', "sv"), 0);
    ASSERT_GE(sd_bus_message_append(m, "s", "k"), 0);
    for (int i = 0; i < variants; ++i) ASSERT_GE(sd_bus_message_open_container(m, 'v', "v"), 0);
    ASSERT_GE(sd_bus_message_append(m, "v", "s", "deep"), 0);
    for (int i = 0; i < variants + 2; ++i) ASSERT_GE(sd_bus_message_close_container(m), 0);
    std::string bytes = peer.capture(m);
    m = peer.deliver(bytes);
    ASSERT_NE(m, nullptr);
    std::optional<Dictionary> read = readDictionary(m, kDepth);
    // Up to the container depth sd-bus reads, a chain of variants is one value.
    if (variants == 100) {
      EXPECT_EQ(read, (Dictionary{{"k", "deep"}}));
    } else {
      EXPECT_EQ(read, std::nullopt);
    }
    sd_bus_message_unref(m);
  }
}

TEST_F(DBusValueTest, EncodedSizeNeverUndercounts) {
  // clang-format off
  std::vector<Dictionary> shapes{
      {},
      {{"cpu", 42.5f}},
      {{"a", Array{}}, {"b", Bytes{}}, {"c", Dictionary{}}},
      {{"b", true}, {"i", std::int32_t{1}}, {"x", std::int64_t{2}}, {"u", std::uint32_t{3}}, {"t", std::uint64_t{4}},
       {"d", 5.0}, {"date", Date{6}}, {"gone", Null{}}},
      {{"fan", Dictionary{{"count", std::int32_t{2}}, {"fans", Array{Dictionary{{"ID", std::int32_t{0}}, {"speed", 1200.5f}},
                                                                    Dictionary{{"ID", std::int32_t{1}}, {"speed", 900.0f}}}}}}},
      {{"array", Array{Null{}, Bytes{1}, "a", Array{Array{}}, Dictionary{{"k", std::uint64_t{1}}}}}},
  };
  // clang-format on
  Dictionary uneven;
  for (int length = 1; length < 9; ++length) {
    uneven[std::string(static_cast<std::size_t>(length), 'k')] = std::string(static_cast<std::size_t>(length), 'v');
  }
  shapes.push_back(uneven);
  for (int length = 0; length < 9; ++length) {
    shapes.push_back({{std::string(static_cast<std::size_t>(length), 'k'),
                       Array{std::string(static_cast<std::size_t>(length), 'v'), std::int64_t{1},
                             Bytes(static_cast<std::size_t>(length), 0xab), std::int32_t{2}}}});
  }
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    SCOPED_TRACE(i);
    const Dictionary& info = shapes[i];
    const std::size_t estimate = encodedSize(info);
    const std::size_t alone = body(info).size();
    EXPECT_LE(estimate, alone + 8);
    // After other arguments the user information starts at any offset, which changes its padding.
    for (int before = 0; before < 8; ++before) {
      EXPECT_GE(estimate, body(info, before).size() - static_cast<std::size_t>(before)) << before << " bytes before";
    }
  }
}

TEST_F(DBusValueTest, LargePayloadsRoundTripAndAreMeasured) {
  Dictionary info;
  info["blob"] = Bytes(900 * 1024, 0x5a);
  Array numbers;
  for (int i = 0; i < 5000; ++i) numbers.push_back(Value(std::int64_t{i} * 1000003));
  info["numbers"] = numbers;
  for (int i = 0; i < 2000; ++i) info["key " + std::to_string(i)] = std::string(static_cast<std::size_t>(i % 50), 'x');

  std::optional<Dictionary> read = overTheWire(info);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(*read, info);
  const std::size_t actual = body(info).size();
  EXPECT_GT(actual, 1024u * 1024u);  // the centre refuses this one
  EXPECT_GE(encodedSize(info), actual);
  EXPECT_LE(encodedSize(info), actual + 8);
}

// Every byte of a body that covers each reading path, changed in two ways: reading whatever sd-bus
// hands over must end, without crashing, with nothing or a value within the depth limit.
TEST_F(DBusValueTest, CorruptedBodiesAreReadSafely) {
  sd_bus_message* m = peer.newSignal();
  ASSERT_GE(
      appendDictionary(
          m, {{"fan", Dictionary{{"count", std::int32_t{1}}, {"fans", Array{Dictionary{{"speed", 1.5}}, Null{}}}}},
              {"blob", Bytes{1, 2, 3}},
              {"text", "abc"}}),
      0);
  ASSERT_GE(
      sd_bus_message_append(m, "a{sv}", 3, "s", "(ynq)", 1, 2, 3, "k", "a{iv}", 1, 4, "o", "/x", "g", "g", "a{sv}"), 0);
  const std::string original = peer.capture(m);
  const std::size_t start = WirePeer::bodyOffset(original);
  ASSERT_GT(original.size(), start);
  for (std::size_t at = start; at < original.size(); ++at) {
    for (unsigned char change : {0x01, 0xff}) {
      std::string bytes = original;
      bytes[at] = static_cast<char>(static_cast<unsigned char>(bytes[at]) ^ change);
      sd_bus_message* received = peer.deliver(bytes);
      ASSERT_NE(received, nullptr) << "at " << at;
      for (int argument = 0; argument < 2; ++argument) {
        std::optional<Dictionary> read = readDictionary(received, 4);
        if (read) {
          EXPECT_LE(Value(*read).depth(), 4) << "at " << at;
        }
      }
      sd_bus_message_unref(received);
    }
  }
}

// A sender of the other byte order: sd-bus does not hand out its arrays in place.
TEST_F(DBusValueTest, ReadsBytesFromABigEndianSender) {
  // clang-format off
  const unsigned char message[] = {
      'B', 4, 0, 1, 0, 0, 0, 27, 0, 0, 0, 1, 0, 0, 0, 59,  // signal, body 27 bytes, serial 1, fields 59
      1, 1, 'o', 0, 0, 0, 0, 2, '/', 'a', 0, 0, 0, 0, 0, 0,  // path /a
      2, 1, 's', 0, 0, 0, 0, 3, 'a', '.', 'b', 0, 0, 0, 0, 0,  // interface a.b
      3, 1, 's', 0, 0, 0, 0, 1, 'C', 0, 0, 0, 0, 0, 0, 0,  // member C
      8, 1, 'g', 0, 5, 'a', '{', 's', 'v', '}', 0, 0, 0, 0, 0, 0,  // signature a{sv}, padding
      0, 0, 0, 19, 0, 0, 0, 0,                             // body: array of 19 bytes, padding
      0, 0, 0, 1, 'b', 0, 2, 'a', 'y', 0, 0, 0, 0, 0, 0, 3, 1, 2, 3,  // "b": <ay [1, 2, 3]>
  };
  // clang-format on
  sd_bus_message* m = peer.deliver(std::string(reinterpret_cast<const char*>(message), sizeof message));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(readDictionary(m, kDepth), (Dictionary{{"b", Bytes{1, 2, 3}}}));
  sd_bus_message_unref(m);
}

}  // namespace
}  // namespace trellis::lnx
