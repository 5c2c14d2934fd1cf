// The bus layer: appendDictionary's exact bytes and nesting, readDictionary on anything a sender may
// put there, encodedSize, and the D-Bus centre on a private bus.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <thread>

#include "notify/protocol.h"
#include "platform/linux/bus/dbus_center.h"
#include "platform/linux/bus/dbus_value.h"
#include "support/private_bus.h"

namespace trellis::lnx {
namespace {

using Clock = std::chrono::steady_clock;

// The depth limit used here, as the centre's (protocol::kMaxUserInfoDepth). Much deeper limits
// cannot be tested the same way: sd-bus cannot skip past 128 containers, which 43 levels of
// dictionaries reach.
constexpr int kDepth = 32;

std::size_t word(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;  // host order: the messages here are written by this host
}
std::size_t bodyOffset(const std::string& bytes) { return 16 + (word(bytes, 12) + 7) / 8 * 8; }

// An sd-bus connection whose far end is a plain socket held by the test, so no daemon is needed:
// what the connection sends can be read as bytes, and bytes written to the socket arrive as a
// received message. The test answers the connection's authentication itself.
class DBusValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
    ASSERT_GE(sd_bus_new(&bus_), 0);
    ASSERT_GE(sd_bus_set_fd(bus_, fds_[0], fds_[0]), 0);
    ASSERT_GE(sd_bus_start(bus_), 0);
    // sd-bus sends its whole side of the exchange at once; answer it, file descriptors agreed.
    std::string greeting(256, '\0');
    for (std::size_t got = 0; greeting.find("BEGIN\r\n") == std::string::npos;) {
      const ssize_t n = read(fds_[1], greeting.data() + got, greeting.size() - got);
      ASSERT_GT(n, 0);
      got += static_cast<std::size_t>(n);
    }
    const std::string answer = "DATA\r\nOK 0123456789abcdef0123456789abcdef\r\nAGREE_UNIX_FD\r\n";
    ASSERT_EQ(write(fds_[1], answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    ASSERT_GE(sd_bus_flush(bus_), 0);
  }
  void TearDown() override {
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
      char buffer[65536];
      for (std::size_t total = 16; bytes.size() < total;) {
        const ssize_t n = read(fds_[1], buffer, std::min(sizeof buffer, total - bytes.size()));
        if (n <= 0) return;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() >= 16) total = bodyOffset(bytes) + word(bytes, 4);
      }
    });
    EXPECT_GE(sd_bus_flush(bus_), 0);
    reader.join();
    return bytes;
  }
  // Writes `bytes` to the connection and returns the message it receives (or null after 5 s).
  sd_bus_message* deliver(const std::string& bytes) {
    std::thread writer([&] { EXPECT_EQ(write(fds_[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); });
    sd_bus_message* received = nullptr;
    for (auto end = Clock::now() + std::chrono::seconds(5); received == nullptr && Clock::now() < end;) {
      const int r = sd_bus_process(bus_, &received);
      if (r < 0) break;
      if (r == 0) (void)sd_bus_wait(bus_, 100000);
    }
    writer.join();
    return received;
  }
  // Builds a message with `fill`, then the text "after" unless `tail` says not (sd-bus could not
  // reach it), seals it where it is, and reads the first argument as user information; the text
  // must still read after it.
  enum class Tail { kAfter, kNone };
  template <typename Fill>
  std::optional<Dictionary> readBack(Fill fill, Tail tail = Tail::kAfter, int maxDepth = kDepth) {
    sd_bus_message* m = newSignal();
    fill(m);
    if (tail == Tail::kAfter) {
      EXPECT_GE(sd_bus_message_append(m, "s", "after"), 0);
    }
    EXPECT_GE(sd_bus_message_seal(m, ++cookie_, 0), 0);
    EXPECT_GE(sd_bus_message_rewind(m, 1), 0);
    std::optional<Dictionary> read = readDictionary(m, maxDepth);
    const char* after = nullptr;
    if (tail == Tail::kAfter) {
      EXPECT_GT(sd_bus_message_read(m, "s", &after), 0);
      EXPECT_STREQ(after, "after");
      EXPECT_EQ(readDictionary(m, maxDepth), std::nullopt) << "nothing left: nothing read";
      EXPECT_EQ(sd_bus_message_peek_type(m, nullptr, nullptr), 0) << "nor consumed";
    }
    sd_bus_message_unref(m);
    return read;
  }
  std::optional<Dictionary> roundTrip(const Dictionary& info) {
    return readBack([&](sd_bus_message* m) { EXPECT_GE(appendDictionary(m, info), 0); });
  }
  // The body of a message holding `before` bytes, then `info`.
  std::string body(const Dictionary& info, int before = 0) {
    sd_bus_message* message = newSignal();
    for (int i = 0; i < before; ++i) EXPECT_GE(sd_bus_message_append(message, "y", 7), 0);
    EXPECT_GE(appendDictionary(message, info), 0);
    const std::string bytes = capture(message);
    return bytes.substr(bodyOffset(bytes));
  }

 private:
  int fds_[2] = {-1, -1};
  sd_bus* bus_ = nullptr;
  std::uint64_t cookie_ = 0;
};

// {"k": [[..."leaf"...]]} or {"k": {"k": ..."leaf"}}: a dictionary of depth `levels`.
Dictionary nested(int levels, bool dictionaries) {
  Value value = "leaf";
  for (int i = 1; i < levels; ++i) value = dictionaries ? Value(Dictionary{{"k", value}}) : Value(Array{value});
  return Dictionary{{"k", value}};
}

// Written with sd-bus directly, past any limit of appendDictionary: {"k": ...} holding `levels` -
// 1 arrays ('a'), dictionaries ('d') or variants ('v', which add no depth) around "leaf".
void appendNested(sd_bus_message* m, int levels, char kind) {
  int open = 2;
  ASSERT_GE(sd_bus_message_open_container(m, 'a', "{sv}"), 0);
  ASSERT_GE(sd_bus_message_open_container(m, 'e', "sv"), 0);
  ASSERT_GE(sd_bus_message_append(m, "s", "k"), 0);
  for (int i = 2; i <= levels; ++i, ++open) {
    ASSERT_GE(sd_bus_message_open_container(m, 'v', kind == 'a' ? "av" : kind == 'd' ? "a{sv}" : "v"), 0);
    if (kind == 'v') continue;
    ASSERT_GE(sd_bus_message_open_container(m, 'a', kind == 'a' ? "v" : "{sv}"), 0);
    ++open;
    if (kind == 'a') continue;
    ASSERT_GE(sd_bus_message_open_container(m, 'e', "sv"), 0);
    ASSERT_GE(sd_bus_message_append(m, "s", "k"), 0);
    ++open;
  }
  ASSERT_GE(sd_bus_message_append(m, "v", "s", "leaf"), 0);
  for (int i = 0; i < open; ++i) ASSERT_GE(sd_bus_message_close_container(m), 0);
}

TEST_F(DBusValueTest, EveryKindRoundTripsAndWhatCannotBeWrittenIsRefused) {
  const float tenth = 0.1f;
  Dictionary info{
      {"text", "grüße"}, {"empty text", ""}, {"", "empty key"}, {"yes", true}, {"no", false},
      {"int32", std::numeric_limits<std::int32_t>::min()}, {"int64", std::numeric_limits<std::int64_t>::min()},
      {"uint32", std::numeric_limits<std::uint32_t>::max()}, {"uint64", std::numeric_limits<std::uint64_t>::max()},
      {"double", -1.5e300}, {"float", tenth}, {"date", Date{1700000000.25}}, {"bytes", Bytes{0x00, 0x7f, 0x80, 0xff}},
      {"no bytes", Bytes{}}, {"array", Array{Value(std::int32_t{1}), "two", Null{}, Array{}, Dictionary{}}},
      {"dictionary", Dictionary{{"inner", Dictionary{{"x", std::int64_t{-3}}}}, {"gone", Null{}}}}, {"left out", Null{}},
  };
  Dictionary expected = info;
  expected["float"] = static_cast<double>(tenth);  // the double of the same float, not 0.1
  expected["date"] = 1700000000.25;
  expected["array"] = Array{Value(std::int32_t{1}), "two", Array{}, Array{}, Dictionary{}};
  expected["dictionary"] = Dictionary{{"inner", Dictionary{{"x", std::int64_t{-3}}}}};
  expected.erase("left out");
  EXPECT_EQ(roundTrip(info), expected);
  EXPECT_EQ(roundTrip({}), Dictionary{});
  Dictionary large{{"blob", Bytes(900 * 1024, 0x5a)}};
  for (int i = 0; i < 2000; ++i) large["key " + std::to_string(i)] = std::string(static_cast<std::size_t>(i % 50), 'x');
  EXPECT_EQ(roundTrip(large), large);

  // What cannot be written: a NUL in a key or a text (-EINVAL), text that is not UTF-8.
  for (const auto& [bad, code] : {std::pair{Dictionary{{std::string("a\0b", 3), "x"}}, -EINVAL},
                                  {Dictionary{{"k", std::string("a\0b", 3)}}, -EINVAL},
                                  {Dictionary{{"k", "not UTF-8 \xff"}}, 0}}) {
    sd_bus_message* message = newSignal();
    const int r = appendDictionary(message, bad);
    EXPECT_TRUE(code != 0 ? r == code : r < 0) << r;
    sd_bus_message_unref(message);
  }
}

TEST_F(DBusValueTest, AReadingIsTheseExactBytesAndEncodedSizeNeverUndercountsWhereverItStarts) {
  if (std::endian::native != std::endian::little) GTEST_SKIP() << "expected bytes are little-endian";
  // clang-format off
  const unsigned char expected[] = {
      0x18, 0, 0, 0,                  // array length: 24 bytes of entries
      0, 0, 0, 0,                     // padding to the 8-aligned first entry
      3, 0, 0, 0, 'c', 'p', 'u', 0,   // key
      1, 'd', 0, 0, 0, 0, 0, 0,       // variant signature "d", padding to 8
      0, 0, 0, 0, 0, 0x40, 0x45, 0x40,  // 42.5 as a double
  };
  std::vector<Dictionary> shapes{
      {},
      {{"a", Array{}}, {"b", Bytes{}}, {"c", Dictionary{}}},
      {{"b", true}, {"i", std::int32_t{1}}, {"x", std::int64_t{2}}, {"u", std::uint32_t{3}}, {"t", std::uint64_t{4}},
       {"d", 5.0}, {"f", 1.5f}, {"date", Date{6}}, {"gone", Null{}}},
      {{"fan", Dictionary{{"fans", Array{Dictionary{{"ID", std::int32_t{0}}, {"speed", 1200.5f}}}}}}},
      {{"array", Array{Null{}, Bytes{1}, "a", Array{Array{}}, Dictionary{{"k", std::uint64_t{1}}}}}},
      {{"blob", Bytes(300 * 1024, 1)}},
  };
  // clang-format on
  EXPECT_EQ(body({{"cpu", 42.5f}}), std::string(reinterpret_cast<const char*>(expected), sizeof expected));
  for (std::size_t length = 0; length < 9; ++length) {
    shapes.push_back({{std::string(length, 'k'), Array{std::string(length, 'v'), std::int64_t{1}, Bytes(length, 0xab),
                                                      std::int32_t{2}}},
                      {std::string(length + 1, 'k'), std::string(length, 'v')}});
  }
  for (std::size_t i = 0; i < shapes.size(); ++i) {
    const std::size_t estimate = encodedSize(shapes[i]);
    EXPECT_LE(estimate, body(shapes[i]).size() + 8) << i;
    for (int before = 0; before < 8; ++before) {
      EXPECT_GE(estimate, body(shapes[i], before).size() - static_cast<std::size_t>(before)) << i << ", " << before;
    }
  }
}

TEST_F(DBusValueTest, ReadsOtherTypesLenientlyAndSkipsArgumentsThatAreNotUserInformation) {
  const int fd = dup(STDERR_FILENO);
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
  EXPECT_EQ(readBack([fd](sd_bus_message* m) {
              // clang-format off
              ASSERT_GE(sd_bus_message_append(m, "a{sv}", 17, "byte", "y", 200, "int16", "n", -300, "uint16", "q", 65535,
                  "path", "o", "/org/trellis", "signature", "g", "a{sv}", "struct", "(sib)", "a", 7, 1,
                  "texts", "as", 2, "p", "q", "variant in variant", "v", "i", 5,
                  "byte arrays", "aay", 2, 2, 1, 2, 0, "number keys", "a{is}", 2, 1, "one", -2, "minus two",
                  "bool keys", "a{bs}", 1, 1, "yes", "double keys", "a{dv}", 1, 0.5, "s", "half",
                  "path keys", "a{ov}", 1, "/p", "i", 3, "twice", "a{ss}", 2, "k", "first", "k", "second",
                  "fd", "h", fd, "fds", "ah", 2, fd, fd, "fd in struct", "(hi)", fd, 9), 0);
              // clang-format on
            }),
            expected);
  close(fd);
  // Other arguments are skipped, whole.
  for (const char* signature : {"as", "a{ss}", "i", "v"}) {
    EXPECT_EQ(readBack([&](sd_bus_message* m) {
                ASSERT_GE(*signature == 'i'   ? sd_bus_message_append(m, "i", 5)
                          : *signature == 'v' ? sd_bus_message_append(m, "v", "a{sv}", 1, "k", "s", "v")
                                              : sd_bus_message_append(m, signature, 1, "x", "y"),
                          0);
              }),
              std::nullopt)
        << signature;
  }
}

TEST_F(DBusValueTest, NestingBeyondTheLimitGivesNothingAndIsSkipped) {
  // {kind, levels, the depth read (0: nothing)}. A chain of variants is one value up to the
  // container depth sd-bus reads.
  for (const auto& [kind, levels, depth] : {std::tuple{'a', 1, 1}, {'a', kDepth, kDepth}, {'a', kDepth + 1, 0},
                                            {'a', 64, 0}, {'d', 1, 1}, {'d', kDepth, kDepth}, {'d', kDepth + 1, 0},
                                            {'v', 100, 1}, {'v', 1000, 0}}) {
    const auto append = [n = levels, k = kind](sd_bus_message* m) { appendNested(m, n, k); };
    const std::optional<Dictionary> read = readBack(append, levels >= 64 ? Tail::kNone : Tail::kAfter);
    EXPECT_EQ(read ? Value(*read).depth() : 0, depth) << kind << " " << levels;
  }
  EXPECT_EQ(readBack([](sd_bus_message* m) { sd_bus_message_append(m, "a{sv}", 0); }, Tail::kAfter, 0), std::nullopt)
      << "a flat dictionary with a limit of 0";
}

// Every byte of a body that covers each reading path, changed in two ways: reading whatever sd-bus
// hands over must end, without crashing, with nothing or a value within the depth limit.
TEST_F(DBusValueTest, CorruptedBodiesAreReadSafely) {
  sd_bus_message* m = newSignal();
  ASSERT_GE(appendDictionary(m, {{"fan", Dictionary{{"count", std::int32_t{1}}, {"fans", Array{Dictionary{{"s", 1.5}}, Null{}}}}},
                                 {"blob", Bytes{1, 2, 3}}, {"text", "abc"}}),
            0);
  ASSERT_GE(sd_bus_message_append(m, "a{sv}", 3, "s", "(ynq)", 1, 2, 3, "k", "a{iv}", 1, 4, "o", "/x", "g", "g", "a{sv}"), 0);
  const std::string original = capture(m);
  for (std::size_t at = bodyOffset(original); at < original.size(); ++at) {
    for (unsigned char change : {0x01, 0xff}) {
      std::string bytes = original;
      bytes[at] = static_cast<char>(static_cast<unsigned char>(bytes[at]) ^ change);
      sd_bus_message* received = deliver(bytes);
      ASSERT_NE(received, nullptr) << "at " << at;
      for (int argument = 0; argument < 2; ++argument) {
        const std::optional<Dictionary> read = readDictionary(received, 4);
        EXPECT_LE(read ? Value(*read).depth() : 0, 4) << "at " << at;
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
  sd_bus_message* m = deliver(std::string(reinterpret_cast<const char*>(message), sizeof message));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(readDictionary(m, kDepth), (Dictionary{{"b", Bytes{1, 2, 3}}}));
  sd_bus_message_unref(m);
}

// Waits for `received` to hold a message (or 5 s), dropping others; returns it.
sd_bus_message* nextSignal(sd_bus* bus) {
  sd_bus_message* received = nullptr;
  for (auto end = Clock::now() + std::chrono::seconds(5); received == nullptr && Clock::now() < end;) {
    const int r = sd_bus_process(bus, &received);
    if (r < 0) return nullptr;
    if (received != nullptr && sd_bus_message_is_signal(received, "org.trellis.Test", "Info") <= 0) {
      received = sd_bus_message_unref(received);
    }
    if (r == 0) (void)sd_bus_wait(bus, 100000);
  }
  return received;
}

// A bus daemon drops the whole connection of a sender whose message nests too deep; whatever
// appendDictionary accepts must pass through a real dbus-daemon, and the sender stays connected.
TEST(DBusValueDaemonTest, TheDeepestWrittenValuesPassARealDaemon) {
  testing::PrivateBus daemon;
  ASSERT_TRUE(daemon.ok()) << "dbus-daemon could not be started";
  sd_bus* buses[2] = {nullptr, nullptr};
  for (sd_bus*& bus : buses) {
    ASSERT_GE(sd_bus_open_user(&bus), 0);
  }
  sd_bus* sender = buses[0];
  sd_bus* receiver = buses[1];
  ASSERT_GE(sd_bus_add_match(receiver, nullptr, "type='signal',interface='org.trellis.Test'", nullptr, nullptr), 0);
  for (bool dictionaries : {false, true}) {
    // The deepest value of this shape that appendDictionary writes: deep enough for any payload
    // that travels (a reading is 3 levels deep).
    const auto write = [&](int levels) {
      sd_bus_message* probe = nullptr;
      EXPECT_GE(sd_bus_message_new_signal(sender, &probe, "/p", "org.trellis.Probe", "P"), 0);
      const int r = appendDictionary(probe, nested(levels, dictionaries));
      sd_bus_message_unref(probe);
      return r;
    };
    int levels = 2;
    while (write(levels + 1) >= 0 && levels < 200) ++levels;
    ASSERT_EQ(write(levels + 1), -ELOOP);
    const Dictionary deepest = nested(levels, dictionaries);
    EXPECT_GE(Value(deepest).depth(), 20);
    sd_bus_message* message = nullptr;
    ASSERT_GE(sd_bus_message_new_signal(sender, &message, "/org/trellis/Test", "org.trellis.Test", "Info"), 0);
    ASSERT_GE(appendDictionary(message, deepest), 0);
    ASSERT_GE(sd_bus_send(sender, message, nullptr), 0);
    sd_bus_message_unref(message);
    ASSERT_GE(sd_bus_flush(sender), 0);
    sd_bus_message* received = nextSignal(receiver);
    ASSERT_NE(received, nullptr) << "the daemon did not deliver the message";
    EXPECT_EQ(readDictionary(received, 64), deepest);
    sd_bus_message_unref(received);
    EXPECT_GE(sd_bus_call_method(sender, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "GetId", nullptr, nullptr, ""),
              0)
        << "the daemon dropped the sender";
  }
  for (sd_bus* bus : buses) sd_bus_flush_close_unref(bus);
}

struct Received {
  std::string name;
  std::optional<std::string> object;
  std::optional<Dictionary> userInfo;
  bool operator==(const Received&) const = default;
};

class DBusCenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.ok()) << "dbus-daemon could not be started";
    sender = DBusCenter::create(*senderLoop, {});
    receiver = DBusCenter::create(*receiverLoop, {});
    ASSERT_TRUE(sender && receiver);
    ASSERT_TRUE(receiver->addObserver(
        this, [this](const std::string& n, const auto& object, const auto& info) { received.push_back({n, object, info}); },
        "A"));
  }
  // Lets both loops work until `count` notifications arrived (or 2 s passed), then 100 ms more for
  // a stray one to show; returns what arrived.
  std::vector<Received> arrivals(std::size_t count) {
    sender->flush();
    auto end = Clock::now() + std::chrono::seconds(2);
    for (bool arrived = false; Clock::now() < end;) {
      senderLoop->runPending();
      receiverLoop->runPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (!arrived && received.size() >= count) {
        arrived = true;
        end = Clock::now() + std::chrono::milliseconds(100);
      }
    }
    return std::exchange(received, {});
  }

  testing::PrivateBus bus;
  std::unique_ptr<SdEventRunLoop> senderLoop = SdEventRunLoop::create(), receiverLoop = SdEventRunLoop::create();
  std::unique_ptr<DBusCenter> sender, receiver;
  std::vector<Received> received;
};

TEST_F(DBusCenterTest, PostsArriveInOrderOnlyForRegisteredNamesAndOversizedOnesAreNotSent) {
  sender->postNotification("B", nullptr);
  const Dictionary info{{"cpu", 42.5f}, {"nested", Dictionary{{"count", 2}}}};
  sender->postNotification("A", &info);
  // Information of exactly the limit's size is sent; one byte more is not.
  const std::size_t room = protocol::kMaxUserInfoBytes - encodedSize(Dictionary{{"blob", Bytes{}}});
  const Dictionary full{{"blob", Bytes(room, 0x5a)}}, over{{"blob", Bytes(room + 1, 0x5a)}};
  ASSERT_EQ(encodedSize(full), protocol::kMaxUserInfoBytes);
  sender->postNotification("A", &over);
  sender->postNotification("A", &full);
  sender->postNotification("A", nullptr);  // the connection survived
  EXPECT_EQ(arrivals(3), (std::vector<Received>{
                             {"A", std::nullopt, Dictionary{{"cpu", 42.5}, {"nested", Dictionary{{"count", 2}}}}},
                             {"A", std::nullopt, full},
                             {"A", std::nullopt, Dictionary{}}}));
  receiver->removeObserver(this, "A");
  sender->postNotification("A", nullptr);
  EXPECT_TRUE(arrivals(0).empty()) << "removing the last observer stops delivery";
  for (const std::string& name : {std::string(), std::string("it's"), std::string(256, 'n')}) {
    EXPECT_FALSE(receiver->addObserver(this, [](auto&&...) {}, name)) << name;
  }
}

TEST_F(DBusCenterTest, ReceivingIsLenientAboutWhatFollowsTheName) {
  const auto send = [&](auto&& fill) {
    sd_bus_message* m = nullptr;
    ASSERT_GE(sd_bus_message_new_signal(sender->bus(), &m, kObjectPath, kInterface, kMember), 0);
    fill(m);
    ASSERT_GE(sd_bus_send(sender->bus(), m, nullptr), 0);
    sd_bus_message_unref(m);
  };
  send([](sd_bus_message* m) { sd_bus_message_append(m, "s", "A"); });
  send([](sd_bus_message* m) { sd_bus_message_append(m, "ssi", "A", "obj", 5); });  // information of another type
  send([](sd_bus_message* m) { sd_bus_message_append(m, "is", 1, "A"); });          // not a notification
  send([](sd_bus_message* m) { sd_bus_message_append(m, "sia{sv}", "A", 1, 0); });  // an object of another type
  send([](sd_bus_message* m) { sd_bus_message_append(m, "ss", "A", "last"); });
  EXPECT_EQ(arrivals(4), (std::vector<Received>{{"A", std::nullopt, std::nullopt},
                                                {"A", "obj", std::nullopt},
                                                {"A", std::nullopt, Dictionary{}},
                                                {"A", "last", std::nullopt}}));
}

}  // namespace
}  // namespace trellis::lnx
