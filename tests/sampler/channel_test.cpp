#include "channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace varnel {
namespace {

using namespace std::chrono_literals;

TEST(Channel, RendezvousSendReturnsOnlyAfterTheItemWasTaken) {
  auto [sender, receiver] = rendezvous_channel<int>();
  std::atomic<bool> returned{false};
  std::thread producer([&, s = std::move(sender)]() mutable {
    EXPECT_TRUE(s.send(7).has_value());
    returned.store(true);
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned.load()) << "send returned before anyone received";
  auto item = receiver.recv();
  producer.join();
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(*item, 7);
  EXPECT_TRUE(returned.load());
}

TEST(Channel, RendezvousSendFailsWhenTheReceiverLeavesWhileItWaits) {
  auto [sender, receiver] = rendezvous_channel<std::string>();
  std::thread producer([s = std::move(sender)]() mutable {
    Status sent = s.send("never taken");
    ASSERT_FALSE(sent.has_value());
    EXPECT_EQ(sent.error().message(), "sending on a disconnected channel");
  });
  std::this_thread::sleep_for(20ms);
  receiver.reset();
  producer.join();
}

// Each way of receiving drains what was queued before it reports the hang-up.
TEST(Channel, ReceiversDrainTheQueueBeforeReportingDisconnection) {
  using Receive = std::function<std::expected<int, RecvError>(Receiver<int>&)>;
  const struct {
    const char* label;
    Receive receive;
  } cases[] = {
      {"recv", [](Receiver<int>& r) { return r.recv(); }},
      {"try_recv", [](Receiver<int>& r) { return r.try_recv(); }},
      {"recv_timeout zero", [](Receiver<int>& r) { return r.recv_timeout(0ns); }},
      {"recv_timeout forever", [](Receiver<int>& r) { return r.recv_timeout(std::chrono::nanoseconds::max()); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto [sender, receiver] = unbounded_channel<int>();
    Sender<int> copy = sender;
    ASSERT_TRUE(sender.send(1).has_value());
    ASSERT_TRUE(copy.send(2).has_value());
    sender.reset();
    ASSERT_TRUE(copy.send(3).has_value());
    copy.reset();
    for (int expected : {1, 2, 3}) {
      auto item = c.receive(receiver);
      ASSERT_TRUE(item.has_value());
      EXPECT_EQ(*item, expected);
    }
    auto last = c.receive(receiver);
    ASSERT_FALSE(last.has_value());
    EXPECT_EQ(last.error(), RecvError::Disconnected);
  }
}

TEST(Channel, EmptyAndTimeoutAreNotDisconnection) {
  auto [sender, receiver] = unbounded_channel<int>();
  EXPECT_EQ(receiver.try_recv().error(), RecvError::Empty);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(receiver.recv_timeout(20ms).error(), RecvError::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 20ms);
  EXPECT_EQ(receiver.recv_timeout(-5s).error(), RecvError::Timeout);
}

TEST(Channel, UnboundedWaitWakesOnTheLastSenderLeaving) {
  auto [sender, receiver] = unbounded_channel<int>();
  std::thread leaver([s = std::move(sender)]() mutable {
    std::this_thread::sleep_for(20ms);
    s.reset();
  });
  auto item = receiver.recv_timeout(std::chrono::nanoseconds::max());
  leaver.join();
  EXPECT_EQ(item.error(), RecvError::Disconnected);
}

TEST(Channel, SendFailsOnceTheReceiverIsGone) {
  auto [sender, receiver] = unbounded_channel<int>();
  ASSERT_TRUE(sender.send(1).has_value());
  receiver.reset();
  EXPECT_FALSE(sender.send(2).has_value());
}

}  // namespace
}  // namespace varnel
