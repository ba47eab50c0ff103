#include "zelcore/Messaging.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "zelcore/Logging.h"
#include "zelcore/ZelException.h"

namespace {

using namespace zelcore::messaging;
using zelcore::utility::Guid;

// Polls `done` until it holds or a generous deadline passes.
bool WaitUntil(std::function<bool()> const& done) {
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Records the int payloads one listener receives.
struct Recorder {
  std::mutex mutex;
  std::vector<int> received;
  std::atomic<bool> open{true};  // while false, the listener holds its first message

  Listener AsListener() {
    return [this](MessagePtr const& message) {
      while (!open.load()) std::this_thread::yield();
      std::lock_guard lock(mutex);
      received.push_back(*message->PayloadAs<int>());
    };
  }
  std::vector<int> Received() {
    std::lock_guard lock(mutex);
    return received;
  }
};

TEST(MessagingTest, BroadcastReachesEverySubscriberOfItsTargetInOrderAndNoOther) {
  static_assert(HashMessageTypeNameToMessageID("") == 0xcbf29ce484222325ull);  // FNV-1a test vectors
  EXPECT_EQ(HashMessageTypeNameToMessageID("foobar"), 0x85944171f73967e8ull);
  EXPECT_EQ(MakeMessage("a", 5)->id, 0xaf63dc4c8601ec8cull);

  Guid const target = Guid::CreateUnique();
  Guid const other = Guid::CreateUnique();
  Recorder first, second, elsewhere;
  first.open = false;  // so its messages pile up behind the first one
  ScopedSubscription const a(target, first.AsListener());
  ScopedSubscription const b(target, second.AsListener());
  ScopedSubscription const c(other, elsewhere.AsListener());
  std::vector<int> expected;
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(AsyncBroadcastMessagePtr(target, MakeMessage("Test.Number", i)), 2u);
    expected.push_back(i);
  }
  first.open = true;
  EXPECT_EQ(AsyncBroadcastMessagePtr(other, MakeMessage("Test.Number", -1)), 1u);
  EXPECT_EQ(AsyncBroadcastMessagePtr(Guid::CreateUnique(), MakeMessage("Test.Number", -2)), 0u);

  ASSERT_TRUE(WaitUntil([&] { return first.Received().size() == 100 && second.Received().size() == 100; }));
  ASSERT_TRUE(WaitUntil([&] { return !elsewhere.Received().empty(); }));
  EXPECT_EQ(first.Received(), expected);
  EXPECT_EQ(second.Received(), expected);
  EXPECT_EQ(elsewhere.Received(), std::vector<int>{-1});
  EXPECT_THROW(AsyncBroadcastMessagePtr(target, nullptr), zelcore::config::zel_exception);
  EXPECT_THROW(Subscribe(target, nullptr), zelcore::config::zel_exception);
}

TEST(MessagingTest, NoDeliveryAfterUnsubscribe) {
  Guid const target = Guid::CreateUnique();
  // A listener that unsubscribes itself drops the message already waiting behind the current one. The
  // token it holds dies with the subscription, which tells that no delivery is left.
  std::atomic<bool> inside{false}, release{false};
  std::atomic<int> calls{0};
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> const alive = token;
  SubscriptionID self = 0;
  self = Subscribe(target, [&, token](MessagePtr const&) {
    ++calls;
    inside = true;
    while (!release.load()) std::this_thread::yield();
    EXPECT_TRUE(Unsubscribe(self));
  });
  token.reset();
  EXPECT_EQ(AsyncBroadcastMessagePtr(target, MakeMessage("Test", 1)), 1u);
  ASSERT_TRUE(WaitUntil([&] { return inside.load(); }));
  EXPECT_EQ(AsyncBroadcastMessagePtr(target, MakeMessage("Test", 2)), 1u);
  release = true;
  ASSERT_TRUE(WaitUntil([&] { return alive.expired(); }));
  EXPECT_EQ(calls.load(), 1);
  EXPECT_FALSE(Unsubscribe(self));

  // From another thread: once Unsubscribe has returned, the listener is not called again.
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> delivered{0};
    auto roundToken = std::make_shared<int>(0);
    std::weak_ptr<int> const roundAlive = roundToken;
    SubscriptionID const id = Subscribe(target, [&delivered, roundToken](MessagePtr const&) { ++delivered; });
    roundToken.reset();
    for (int i = 0; i < 20; ++i) AsyncBroadcastMessagePtr(target, MakeMessage("Test", i));
    EXPECT_TRUE(Unsubscribe(id));
    int const atUnsubscribe = delivered.load();
    ASSERT_TRUE(WaitUntil([&] { return roundAlive.expired(); }));
    EXPECT_EQ(delivered.load(), atUnsubscribe);
  }
}

TEST(MessagingTest, ThrowingListenerIsLoggedAndKeepsItsSubscription) {
  std::mutex mutex;
  std::vector<zelcore::logging::LoggedException> logged;
  auto const previousSink = zelcore::logging::SetLogSink([&](zelcore::logging::LoggedException const& e) {
    std::lock_guard lock(mutex);
    logged.push_back(e);
  });
  Guid const target = Guid::CreateUnique();
  Recorder recorder;
  ScopedSubscription const subscription(target, [&](MessagePtr const& message) {
    if (*message->PayloadAs<int>() == 1) throw zelcore::config::zel_exception("listener failed", 0xA00F0077);
    recorder.AsListener()(message);
  });
  AsyncBroadcastMessagePtr(target, MakeMessage("Test", 1));
  AsyncBroadcastMessagePtr(target, MakeMessage("Test", 2));
  ASSERT_TRUE(WaitUntil([&] { return recorder.Received() == std::vector<int>{2}; }));
  std::lock_guard lock(mutex);
  ASSERT_EQ(logged.size(), 1u);  // logged before the next message was delivered
  EXPECT_EQ(logged[0].result, 0xA00F0077u);
  EXPECT_EQ(logged[0].message, "listener failed");
  zelcore::logging::SetLogSink(previousSink);
}

TEST(MessagingTest, ConcurrentBroadcastsAndSubscriptionChurn) {
  Guid const target = Guid::CreateUnique();
  std::atomic<int> steadyCount{0};
  ScopedSubscription const steady(target, [&](MessagePtr const&) { ++steadyCount; });
  constexpr int kThreads = 3, kMessages = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kMessages; ++i) {
        ScopedSubscription const transient(target, [](MessagePtr const&) {});
        AsyncBroadcastMessagePtr(target, MakeMessage("Test", i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(WaitUntil([&] { return steadyCount.load() == kThreads * kMessages; }));
}

}  // namespace
