#include "zelscripting/NativePromise.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Foundation/FutureExceptions.h"
#include "Foundation/ManualExecutor.h"
#include "Support/FutureTestUtils.h"
#include "zelcore/ZelException.h"

namespace zelscripting {
namespace {

using zelcore::async::Future;
using zelcore::async::Promise;

constexpr int kPromiseContext = 7;

// What a promise's handler received.
struct Outcome {
  int calls = 0;
  bool fulfilled = false;
  std::vector<ScriptValue> values;
};

void Record(NativePromise& promise, Outcome& outcome) {
  promise.OnSettled([&outcome](bool fulfilled, std::vector<ScriptValue> const& values) {
    ++outcome.calls;
    outcome.fulfilled = fulfilled;
    outcome.values = values;
  });
}

TEST(NativePromiseTest, FirstSettleWinsAndReachesEarlyAndLateHandlers) {
  NativePromise early(kPromiseContext);
  Outcome earlyOutcome;
  Record(early, earlyOutcome);
  EXPECT_EQ(earlyOutcome.calls, 0);
  EXPECT_TRUE(early.Resolve({1.0}));
  EXPECT_FALSE(early.Reject({2.0}));
  EXPECT_FALSE(early.Resolve({3.0}));
  EXPECT_EQ(earlyOutcome.calls, 1);
  EXPECT_TRUE(earlyOutcome.fulfilled);
  EXPECT_EQ(earlyOutcome.values, std::vector<ScriptValue>{1.0});
  EXPECT_THROW(early.OnSettled([](bool, auto const&) {}), std::logic_error);  // one handler only

  NativePromise late(kPromiseContext);
  EXPECT_EQ(late.GetContextHdl(), kPromiseContext);
  EXPECT_TRUE(late.Reject({std::string("no")}));
  EXPECT_FALSE(late.Resolve({}));
  EXPECT_TRUE(late.IsSettled());
  Outcome lateOutcome;
  Record(late, lateOutcome);  // runs at once, on this thread
  EXPECT_EQ(lateOutcome.calls, 1);
  EXPECT_FALSE(lateOutcome.fulfilled);
  EXPECT_EQ(lateOutcome.values, std::vector<ScriptValue>{std::string("no")});
}

TEST(NativePromiseTest, HandlerRunsOnceWhenSettlingRacesAttaching) {
  for (int round = 0; round < 200; ++round) {
    auto const promise = std::make_shared<NativePromise>(kPromiseContext);
    std::atomic<int> calls{0};
    std::thread resolver([&] { promise->Resolve({1.0}); });
    std::thread rejecter([&] { promise->Reject({2.0}); });
    promise->OnSettled([&calls](bool, std::vector<ScriptValue> const& values) {
      ++calls;
      EXPECT_EQ(values.size(), 1u);
    });
    resolver.join();
    rejecter.join();
    ASSERT_EQ(calls, 1) << "round " << round;
  }
}

TEST(NativePromiseTest, CreateSettlesFromTheFuture) {
  constexpr zelcore::config::Result kNegative = 0xA00F0008;
  constexpr zelcore::config::Result kPositive = 0x00000005;
  auto failure = [](zelcore::config::Result code) {
    return std::make_exception_ptr(zelcore::config::zel_exception("it broke", code));
  };
  auto const negativeCode = ScriptValue(static_cast<double>(static_cast<std::int32_t>(kNegative)));
  auto const cancelled = std::make_exception_ptr(zelcore::async::FutureIsCancelledException());
  using R = NativePromise::RejectionValue;
  struct Case {
    char const* what;
    std::optional<int> value;
    std::exception_ptr failure;
    R rejection;
    bool fulfilled;
    std::vector<ScriptValue> values;
    std::string failureMessage;  // kept aside only when the values hold the bare code
  };
  std::vector<Case> const cases = {
      {"value", 42, nullptr, R::kResultCode, true, {42.0}, ""},
      {"negative code alone", std::nullopt, failure(kNegative), R::kResultCode, false, {negativeCode}, "it broke"},
      {"negative code with message",
       std::nullopt,
       failure(kNegative),
       R::kMessage,
       false,
       {std::string("it broke"), negativeCode},
       ""},
      {"non-negative code keeps the message",
       std::nullopt,
       failure(kPositive),
       R::kResultCode,
       false,
       {std::string("it broke"), 5.0},
       ""},
      {"cancelled",
       std::nullopt,
       cancelled,
       R::kResultCode,
       false,
       {static_cast<double>(static_cast<std::int32_t>(0xF3610004))},
       zelcore::config::ExtractMessageFromException(cancelled)},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.what);
    Promise<int> source;
    auto const promise = NativePromise::Create<int>(source.GetFuture(), kPromiseContext, c.rejection);
    Outcome outcome;
    Record(*promise, outcome);
    EXPECT_EQ(outcome.calls, 0);
    if (c.value) {
      source.Fulfill(*c.value);
    } else {
      source.Fail(c.failure);
    }
    // Settled from the future's own completion, on this thread.
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.fulfilled, c.fulfilled);
    EXPECT_EQ(outcome.values, c.values);
    EXPECT_EQ(promise->GetFailureMessage(), c.failureMessage);
    EXPECT_EQ(promise->GetContextHdl(), kPromiseContext);
  }

  Outcome empty;
  Record(*NativePromise::Create<bool>(Future<bool>(), kPromiseContext, R::kResultCode), empty);
  EXPECT_EQ(empty.calls, 1);
  EXPECT_FALSE(empty.fulfilled);
}

TEST(NativePromiseTest, CreateKeepsWorkWantedUntilItSettles) {
  // Work behind a weak promise is dropped when nobody wants its future; the native promise wants it.
  auto const executor = std::make_shared<zelcore::async::test_support::ManualExecutor>();
  std::shared_ptr<NativePromise> promise = NativePromise::Create<bool>(
      zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
          executor, std::chrono::milliseconds(0), zelcore::async::GetInlineExecutor(), [] { return true; }),
      kPromiseContext, NativePromise::RejectionValue::kResultCode);
  Outcome outcome;
  Record(*promise, outcome);
  EXPECT_EQ(executor->RunAll(), 1u);
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_TRUE(outcome.fulfilled);
  EXPECT_EQ(outcome.values, std::vector<ScriptValue>{true});

  // A settled promise lets go of its future: the promise is its only owner left.
  std::weak_ptr<NativePromise> const weak = promise;
  promise.reset();
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace zelscripting
