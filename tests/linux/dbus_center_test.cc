// The D-Bus centre on a private bus: what a post puts on the wire, what a registration lets
// through, and how it copes with senders that do not follow the format.
#include "platform/linux/bus/dbus_center.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "notify/protocol.h"
#include "support/private_bus.h"
#include "support/temp_tree.h"

namespace trellis::lnx {
namespace {

struct Received {
  std::string name;
  std::optional<std::string> object;
  std::optional<Dictionary> userInfo;
};

class DBusCenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.ok()) << "dbus-daemon could not be started";
    senderLoop = SdEventRunLoop::create();
    receiverLoop = SdEventRunLoop::create();
    sender = DBusCenter::create(*senderLoop, {});
    receiver = DBusCenter::create(*receiverLoop, {});
    ASSERT_TRUE(sender && receiver);
  }

  void listen(std::string_view name) {
    ASSERT_TRUE(receiver->addObserver(
        this,
        [this](const std::string& n, const std::optional<std::string>& object, const std::optional<Dictionary>& info) {
          received.push_back({n, object, info});
        },
        name));
  }

  // Lets both loops work until `count` notifications arrived or a second passed.
  void pump(std::size_t count) {
    sender->flush();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
      senderLoop->runPending();
      receiverLoop->runPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  testing::PrivateBus bus;
  std::unique_ptr<SdEventRunLoop> senderLoop, receiverLoop;
  std::unique_ptr<DBusCenter> sender, receiver;
  std::vector<Received> received;
};

TEST_F(DBusCenterTest, PostsArriveInOrderWithTheirUserInfoAndOnlyForRegisteredNames) {
  listen("A");
  sender->postNotification("B", nullptr);
  Dictionary info{{"cpu", 42.5f}, {"nested", Dictionary{{"count", 2}}}};
  sender->postNotification("A", &info);
  sender->postNotification("A", nullptr);
  pump(2);
  pump(3);  // give a stray "B" the chance to show up
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].name, "A");
  EXPECT_FALSE(received[0].object.has_value());
  ASSERT_TRUE(received[0].userInfo);
  // A float travels as the double of the same value.
  EXPECT_EQ(*received[0].userInfo, (Dictionary{{"cpu", 42.5}, {"nested", Dictionary{{"count", 2}}}}));
  EXPECT_EQ(received[1].userInfo, Dictionary{});
}

TEST_F(DBusCenterTest, OversizedUserInfoIsNotSentAndRemovingTheLastObserverStopsDelivery) {
  listen("A");
  Dictionary huge{{"blob", Bytes(protocol::kMaxUserInfoBytes + 1, 0x5a)}};
  sender->postNotification("A", &huge);
  Dictionary small{{"k", 1}};
  sender->postNotification("A", &small);  // the connection survived
  pump(1);
  receiver->removeObserver(this, "A");
  sender->postNotification("A", nullptr);
  pump(2);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].userInfo, small);
  for (const std::string& name : {std::string(), std::string("it's"), std::string(256, 'n')}) {
    EXPECT_FALSE(receiver->addObserver(
        this, [](auto&&...) {}, name))
        << name;
  }
}

TEST_F(DBusCenterTest, ReceivingIsLenientAboutWhatFollowsTheName) {
  listen("A");
  sd_bus* raw = sender->bus();
  auto send = [&](auto&& fill) {
    sd_bus_message* m = nullptr;
    ASSERT_GE(sd_bus_message_new_signal(raw, &m, kObjectPath, kInterface, kMember), 0);
    fill(m);
    ASSERT_GE(sd_bus_send(raw, m, nullptr), 0);
    sd_bus_message_unref(m);
  };
  send([](sd_bus_message* m) { sd_bus_message_append(m, "s", "A"); });
  send([](sd_bus_message* m) { sd_bus_message_append(m, "ssi", "A", "obj", 5); });
  send([](sd_bus_message* m) { sd_bus_message_append(m, "is", 1, "A"); });  // not a notification
  send([](sd_bus_message* m) { sd_bus_message_append(m, "ss", "A", "last"); });
  pump(3);
  pump(4);
  ASSERT_EQ(received.size(), 3u);
  EXPECT_FALSE(received[0].object);
  EXPECT_FALSE(received[0].userInfo);
  EXPECT_EQ(received[1].object, "obj");
  EXPECT_FALSE(received[1].userInfo) << "user information of another type arrives as none";
  EXPECT_EQ(received[2].object, "last");
}

TEST(DBusCenterReconnectTest, ARestartedBusIsFoundAgainWithItsRegistrations) {
  testing::TempTree folder;
  testing::PrivateBus bus(folder.path("bus"));
  ASSERT_TRUE(bus.ok());
  auto loop = SdEventRunLoop::create();
  auto center = DBusCenter::create(*loop, {});
  ASSERT_TRUE(center);
  int arrived = 0;
  static int identity;
  ASSERT_TRUE(center->addObserver(
      &identity, [&](auto&&...) { ++arrived; }, "A"));

  auto runFor = [&](std::chrono::milliseconds span, auto done) {
    auto deadline = std::chrono::steady_clock::now() + span;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      loop->runPending();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  bus.stop();
  runFor(std::chrono::milliseconds(500), [&] { return center->bus() == nullptr; });
  bus.start();
  ASSERT_TRUE(bus.ok());
  runFor(std::chrono::seconds(3), [&] { return center->reconnections() > 0; });
  ASSERT_EQ(center->reconnections(), 1);

  // The registration came back with the connection: a post from another client reaches it.
  auto otherLoop = SdEventRunLoop::create();
  auto other = DBusCenter::create(*otherLoop, {});
  ASSERT_TRUE(other);
  other->postNotification("A", nullptr);
  other->flush();
  runFor(std::chrono::seconds(1), [&] { return arrived > 0; });
  EXPECT_EQ(arrived, 1);
}

}  // namespace
}  // namespace trellis::lnx
