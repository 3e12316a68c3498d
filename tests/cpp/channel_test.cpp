#include "support/channel.h"

#include <gtest/gtest.h>

#include <thread>

#include "module/delivery.h"

namespace vestra {
namespace {

using namespace std::chrono_literals;

// Items sent from another thread arrive in order, and disconnection is reported only after
// every queued item has been received.
TEST(Channel, OrderThenDisconnectionAcrossThreads) {
  auto [sender, receiver] = channel<int>();
  constexpr int kCount = 100000;
  std::thread producer([s = std::move(sender)]() mutable {
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(s.send(i).is_ok());
  });
  for (int i = 0; i < kCount; ++i) {
    auto item = receiver.recv_timeout(10s);
    ASSERT_TRUE(item.is_ok()) << "item " << i << " missing";
    ASSERT_EQ(item.value(), i) << "out of order";
  }
  producer.join();
  auto end = receiver.recv_timeout(10s);
  ASSERT_TRUE(end.is_err());
  EXPECT_EQ(end.error(), RecvTimeoutError::Disconnected);
}

// A queued item is returned at once even with a zero time-out; an empty channel with a live
// sender times out after about the duration and is left unchanged.
TEST(Channel, TimeoutAndImmediateItem) {
  auto [sender, receiver] = channel<int>();
  ASSERT_TRUE(sender.send(7).is_ok());
  auto item = receiver.recv_timeout(0ns);
  ASSERT_TRUE(item.is_ok());
  EXPECT_EQ(item.value(), 7);

  const auto start = std::chrono::steady_clock::now();
  auto none = receiver.recv_timeout(50ms);
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(none.is_err());
  EXPECT_EQ(none.error(), RecvTimeoutError::Timeout);
  EXPECT_GE(waited, 50ms);
  ASSERT_TRUE(sender.send(8).is_ok());
  EXPECT_EQ(receiver.recv_timeout(0ns).value(), 8) << "a time-out must not lose later items";
}

// A receiver blocked in a long wait is woken by a send from another thread.
TEST(Channel, WaitingReceiverIsWoken) {
  auto [sender, receiver] = channel<int>();
  std::thread producer([s = std::move(sender)]() mutable {
    std::this_thread::sleep_for(20ms);
    (void)s.send(1);
  });
  const auto start = std::chrono::steady_clock::now();
  auto item = receiver.recv_timeout(10s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  ASSERT_TRUE(item.is_ok());
  producer.join();
}

// A receiver blocked in a wait learns of the last sender's departure at once.
TEST(Channel, WaitingReceiverSeesDisconnection) {
  auto [sender, receiver] = channel<int>();
  std::thread producer([s = std::move(sender)]() mutable { std::this_thread::sleep_for(20ms); });
  const auto start = std::chrono::steady_clock::now();
  auto item = receiver.recv_timeout(10s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  ASSERT_TRUE(item.is_err());
  EXPECT_EQ(item.error(), RecvTimeoutError::Disconnected);
  producer.join();
}

struct Tracked {
  explicit Tracked(int* alive) : alive(alive) { ++*alive; }
  Tracked(Tracked&& other) noexcept : alive(std::exchange(other.alive, nullptr)) {}
  ~Tracked() {
    if (alive) --*alive;
  }
  int* alive;
};

// Destroying the receiver destroys queued items at once; later sends hand the item back.
TEST(Channel, ReceiverGoneDiscards) {
  int alive = 0;
  auto [sender, receiver] = channel<Tracked>();
  ASSERT_TRUE(sender.send(Tracked(&alive)).is_ok());
  ASSERT_TRUE(sender.send(Tracked(&alive)).is_ok());
  EXPECT_EQ(alive, 2);
  { auto gone = std::move(receiver); }
  EXPECT_EQ(alive, 0) << "queued items must be destroyed with the receiver";
  auto refused = sender.send(Tracked(&alive));
  ASSERT_TRUE(refused.is_err());
  EXPECT_EQ(alive, 1) << "the refused item comes back to the sender";
}

// The delivery handler drops items silently once the receiving end is gone.
TEST(Delivery, HandlerAfterReceiverGoneDropsSilently) {
  auto delivery = make_delivery_channel();
  {
    auto guard = delivery.handler->lock().unwrap();
    (*guard)->handle_event(Ok(Event(EventKind::any())));
  }
  EXPECT_TRUE(delivery.receiver.has_ready());
  { auto gone = std::move(delivery.receiver); }
  auto guard = delivery.handler->lock().unwrap();
  (*guard)->handle_event(Ok(Event(EventKind::other())));
  (*guard)->handle_event(Err(Error::path_not_found()));
  SUCCEED() << "no failure after the receiver went away";
}

}  // namespace
}  // namespace vestra
