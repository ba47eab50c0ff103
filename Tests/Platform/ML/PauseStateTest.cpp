#include "ML/PauseState.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "zelcore/Logging.h"

namespace ML {
namespace {

using zelcore::utility::Guid;

// The states one callback heard, readable from any thread.
struct Heard {
  std::mutex mutex;
  std::vector<PauseState> states;

  PauseCallback Recorder() {
    return [this](PauseState state) {
      std::lock_guard lock(mutex);
      states.push_back(state);
    };
  }
  std::vector<PauseState> Get() {
    std::lock_guard lock(mutex);
    return states;
  }
};

TEST(PauseStateTest, EveryCallbackHearsEveryLaterCallInOrder) {
  EXPECT_THROW(RegisterPauseCallback(nullptr), std::invalid_argument);
  EXPECT_FALSE(UnregisterPauseCallback(Guid::CreateUnique()));

  std::vector<zelcore::logging::LoggedException> logged;
  zelcore::logging::SetLogSink([&](zelcore::logging::LoggedException const& e) { logged.push_back(e); });
  Heard first, late;
  Guid const a = RegisterPauseCallback(first.Recorder());
  Guid const thrower = RegisterPauseCallback([](PauseState) { throw std::runtime_error("callback broke"); });
  SetPauseState(3);
  SetPauseState(3);  // a repeated value is a call like any other
  Guid const b = RegisterPauseCallback(late.Recorder());
  EXPECT_EQ(GetPauseState(), 3);
  EXPECT_TRUE(late.Get().empty());  // registered while paused, but hears nothing until the next call
  SetPauseState(kPauseStateRunning);
  EXPECT_EQ(first.Get(), (std::vector<PauseState>{3, 3, 0}));
  EXPECT_EQ(late.Get(), (std::vector<PauseState>{0}));
  EXPECT_EQ(logged.size(), 3u);  // one per call; the callbacks after the thrower were still called

  EXPECT_TRUE(UnregisterPauseCallback(a));
  EXPECT_FALSE(UnregisterPauseCallback(a));
  SetPauseState(kPauseStatePaused);
  SetPauseState(kPauseStateRunning);
  EXPECT_EQ(first.Get().size(), 3u);
  EXPECT_EQ(late.Get(), (std::vector<PauseState>{0, 1, 0}));
  UnregisterPauseCallback(b);
  UnregisterPauseCallback(thrower);
  zelcore::logging::SetLogSink(nullptr);
}

TEST(PauseStateTest, CallbacksMayUnregisterAndSetTheStateFromInside) {
  Heard heard, victim;
  Guid self, other;
  auto token = std::make_shared<int>();
  std::weak_ptr<int> const watch = token;
  self = RegisterPauseCallback([&, token = std::move(token)](PauseState state) {
    heard.Recorder()(state);
    UnregisterPauseCallback(self);   // itself: must not wait for its own call
    UnregisterPauseCallback(other);  // a later callback of this round: must not be called any more
    SetPauseState(state + 10);       // delivered after this round, not nested inside it
  });
  other = RegisterPauseCallback(victim.Recorder());
  Heard after;
  Guid const afterward = RegisterPauseCallback(after.Recorder());
  SetPauseState(1);
  EXPECT_EQ(heard.Get(), (std::vector<PauseState>{1}));
  EXPECT_TRUE(victim.Get().empty());
  EXPECT_EQ(after.Get(), (std::vector<PauseState>{1, 11}));
  EXPECT_TRUE(watch.expired());  // the self-removed callback was destroyed once its call was over
  UnregisterPauseCallback(afterward);
  SetPauseState(kPauseStateRunning);
}

TEST(PauseStateTest, UnregisterWaitsForACallRunningOnAnotherThread) {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false, unregistered = false, unregisterReturnedEarly = false;
  auto token = std::make_shared<int>();
  std::weak_ptr<int> const watch = token;
  Guid const registration = RegisterPauseCallback([&, token = std::move(token)](PauseState) {
    std::unique_lock lock(mutex);
    entered = true;
    changed.notify_all();
    // A faulty Unregister returns while this call still runs; give it the chance to.
    unregisterReturnedEarly = changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return unregistered; });
  });
  std::thread setter([] { SetPauseState(1); });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return entered; }));
  }
  std::thread remover([&] {
    UnregisterPauseCallback(registration);
    EXPECT_TRUE(watch.expired());  // destroyed before Unregister returned
    std::lock_guard lock(mutex);
    unregistered = true;
    changed.notify_all();
  });
  remover.join();
  setter.join();
  EXPECT_FALSE(unregisterReturnedEarly);
  SetPauseState(kPauseStateRunning);
}

TEST(PauseStateTest, ConcurrentSettersAndRegistrationsKeepOrderAndNeverCallRemovedCallbacks) {
  Heard steady;
  Guid const registration = RegisterPauseCallback(steady.Recorder());
  constexpr int kSetters = 4, kCallsEach = 300, kChurners = 2;
  std::atomic<int> lateCalls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kSetters; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kCallsEach; ++i) SetPauseState(t * kCallsEach + i + 1);
    });
  }
  for (int t = 0; t < kChurners; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto const gone = std::make_shared<std::atomic<bool>>(false);
        Guid const churn = RegisterPauseCallback([gone, &lateCalls](PauseState) {
          if (*gone) ++lateCalls;
        });
        UnregisterPauseCallback(churn);
        *gone = true;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  auto const states = steady.Get();
  ASSERT_EQ(states.size(), static_cast<std::size_t>(kSetters * kCallsEach));
  EXPECT_EQ(states.back(), GetPauseState());  // the last state delivered is the state that holds
  std::vector<int> lastOfSetter(kSetters, 0);
  for (PauseState state : states) {  // each setter's calls arrive in the order it made them
    int const setter = (state - 1) / kCallsEach;
    EXPECT_GT(state, lastOfSetter[setter]);
    lastOfSetter[setter] = state;
  }
  EXPECT_EQ(lateCalls, 0);
  UnregisterPauseCallback(registration);
  SetPauseState(kPauseStateRunning);
}

}  // namespace
}  // namespace ML
