#include "Foundation/Future.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Foundation/InlineExecutor.h"
#include "ManualExecutor.h"
#include "zelcore/Logging.h"

namespace zelcore::async {
namespace {

using config::zel_exception;
using zelcore::async::test_support::ManualExecutor;

constexpr auto kGenerous = std::chrono::seconds(20);

// How a future ended, as text, so that tables can compare outcomes.
template <class T>
std::string Outcome(Future<T> const& future) {
  try {
    if constexpr (std::is_void_v<T>) {
      future.Get();
      return "value";
    } else {
      return "value " + std::to_string(future.Get());
    }
  } catch (zel_exception const& e) {
    return "error " + std::to_string(e.GetResult()) + " " + e.what();
  } catch (std::exception const& e) {
    return std::string("error ") + e.what();
  }
}

// The outcome once the future has ended (continuations on the pool end it on another thread).
template <class T>
std::string Settled(Future<T> const& future) {
  WaitForUntypedUntil(future, std::chrono::steady_clock::now() + kGenerous, true);
  return Outcome(future);
}

std::exception_ptr Error(char const* message) { return std::make_exception_ptr(std::runtime_error(message)); }

std::string const kNotReady = "error " + std::to_string(kResultFutureNotReady) + " Future: Not Ready";
std::string const kCancelled = "error " + std::to_string(kResultFutureIsCancelled) + " Future Is Cancelled";
std::string const kBroken = "error " + std::to_string(kResultBrokenPromise) + " Future: Broken Promise";
std::string const kTerminated = "error " + std::to_string(kResultExecutorIsTerminated) + " Executor Is Terminated";

// Every way a pending future can end, and the outcome each gives.
struct Ending {
  char const* name;
  std::function<void(Promise<int>&, Future<int> const&)> end;
  std::string outcome;
};
Ending const kEndings[] = {
    {"value", [](Promise<int>& p, Future<int> const&) { p.Fulfill(4); }, "value 4"},
    {"exception", [](Promise<int>& p, Future<int> const&) { p.Fail(Error("inner")); }, "error inner"},
    {"cancellation", [](Promise<int>&, Future<int> const& f) { f.Cancel(); }, kCancelled},
    {"broken", [](Promise<int>& p, Future<int> const&) { p = Promise<int>(); }, kBroken},
};

TEST(FutureTest, ReadingReportsHowTheFutureEnded) {
  Promise<int> pending;
  Promise<int> fulfilled;
  fulfilled.Fulfill(7);
  Promise<int> failed;
  failed.Fail(Error("boom"));
  Future<int> broken = Promise<int>().GetFuture();
  Promise<int> toCancel;
  Future<int> cancelledFuture = toCancel.GetFuture();
  cancelledFuture.Cancel();
  WeakFuture<int> dead = Promise<int>().GetFuture();

  struct Case {
    char const* name;
    std::string outcome;
    std::string expected;
  } const cases[] = {
      {"pending", Outcome(pending.GetFuture()), kNotReady},
      {"no state", Outcome(Future<int>()), kCancelled},
      {"value", Outcome(fulfilled.GetFuture()), "value 7"},
      {"exception", Outcome(failed.GetFuture()), "error boom"},
      {"broken", Outcome(broken), kBroken},
      {"cancelled", Outcome(cancelledFuture), kCancelled},
      {"weak, alive", Outcome(WeakFuture<int>(fulfilled.GetFuture()).Lock()), "value 7"},
      {"weak, dead", Outcome(dead.Lock()), kCancelled},
  };
  for (auto const& c : cases) EXPECT_EQ(c.outcome, c.expected) << c.name;

  EXPECT_THROW(dead.Get(), FutureIsCancelledException);
  // Caught as the library's base exception, across the library boundary.
  EXPECT_THROW(pending.GetFuture().Get(), Exception);
}

TEST(PromiseTest, BreaksOnlyWhenTheLastPromiseGoes) {
  {
    auto first = std::make_unique<Promise<int>>();
    Future<int> future = first->GetFuture();
    auto second = std::make_unique<Promise<int>>(*first);
    first.reset();
    EXPECT_FALSE(future.IsReady()) << "another promise still lives";
    second.reset();
    EXPECT_EQ(Outcome(future), kBroken);
  }
  {
    auto promise = std::make_unique<Promise<int>>();
    Future<int> future = promise->GetFuture();
    auto weak = std::make_unique<WeakPromise<int>>(*promise);
    promise.reset();
    EXPECT_FALSE(future.IsReady()) << "a weak promise counts as a promise";
    EXPECT_TRUE(weak->Lock().Fulfill(3));
    weak.reset();
    EXPECT_EQ(Outcome(future), "value 3") << "an ended state does not break";
  }
  {
    Promise<int> promise;
    WeakPromise<int> weak(promise);
    Future<int> future = promise.GetFuture();
    { WeakPromise<int> copy = weak; }
    EXPECT_FALSE(future.IsReady()) << "a weak copy going is not the last promise going";
    EXPECT_TRUE(weak.Lock().IsValid());
    future = Future<int>();
    EXPECT_FALSE(weak.Lock().IsValid()) << "the promise keeps the state, but no future wants it";
  }
  Promise<int> moved;
  Promise<int> target = std::move(moved);
  EXPECT_THROW(moved.Fulfill(1), std::logic_error);
  EXPECT_THROW(target.Fail(nullptr), std::invalid_argument);
}

TEST(PromiseTest, CompletesOnlyOnce) {
  struct Completion {
    char const* name;
    std::function<bool(Promise<int>&, Future<int> const&)> apply;
    std::string outcome;
  };
  std::vector<Completion> const completions = {
      {"fulfil", [](Promise<int>& p, Future<int> const&) { return p.Fulfill(1); }, "value 1"},
      {"fail", [](Promise<int>& p, Future<int> const&) { return p.Fail(Error("first")); }, "error first"},
      {"cancel", [](Promise<int>&, Future<int> const& f) { return f.Cancel(); }, kCancelled},
      {"fail from a holder",
       [](Promise<int>&, Future<int> const& f) {
         return f.Fail(std::make_exception_ptr(zel_exception("", 0xA00F0007)));
       },
       "error " + std::to_string(0xA00F0007) + " "},
  };
  for (auto const& first : completions) {
    for (auto const& second : completions) {
      Promise<int> promise;
      Future<int> future = promise.GetFuture();
      int runs = 0;
      Future<void> watcher = IgnoreExceptionsFuture(future).OnSuccessWithExecutor(GetInlineExecutor(), [&] { ++runs; });
      EXPECT_TRUE(first.apply(promise, future)) << first.name;
      EXPECT_FALSE(second.apply(promise, future)) << first.name << " then " << second.name;
      EXPECT_EQ(Outcome(future), first.outcome) << first.name << " then " << second.name;
      EXPECT_EQ(runs, 1) << first.name << " then " << second.name;
    }
  }
}

TEST(FutureTest, ContinuationAddedAfterCompletionRuns) {
  auto executor = std::make_shared<ManualExecutor>();
  Future<int> ready = MakeReadyFuture(20);

  Future<int> inlineResult = ready.OnSuccessWithExecutor(GetInlineExecutor(), [](int v) { return v + 1; });
  EXPECT_EQ(Outcome(inlineResult), "value 21") << "inline: handed out at once";

  Future<int> queuedResult = ready.OnSuccessWithExecutor(executor, [](int v) { return v + 2; });
  EXPECT_FALSE(queuedResult.IsReady());
  EXPECT_EQ(executor->RunAll(), 1u);
  EXPECT_EQ(Outcome(queuedResult), "value 22");
  EXPECT_EQ(queuedResult.GetExecutor(), executor);
}

// Runs `body` on its own thread and reports whether it finished in time. A deadlock leaves the thread behind
// instead of hanging the test program.
bool FinishesOnAnotherThread(std::function<void()> body) {
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  std::thread([done, body = std::move(body)] {
    body();
    done->set_value();
  }).detach();
  return finished.wait_for(kGenerous) == std::future_status::ready;
}

TEST(FutureTest, ContinuationsRunWithoutTheStateLocked) {
  // A continuation that waits for another thread to use the state it runs for: it would deadlock if the state
  // were still locked.
  Promise<int> a;
  Future<int> futureA = a.GetFuture();
  Promise<int> b;
  Future<int> futureB = b.GetFuture();
  std::atomic<bool> otherThreadDone{false};
  std::atomic<int> chainedBack{0};
  Future<void> first = futureA.OnSuccessWithExecutor(GetInlineExecutor(), [&](int) {
    otherThreadDone = FinishesOnAnotherThread([&] {
      EXPECT_FALSE(a.Fulfill(5));  // complete-once: takes the lock, changes nothing
      futureA.OnSuccessWithExecutor(GetInlineExecutor(), [&](int v) { chainedBack += v; });
      EXPECT_TRUE(b.Fulfill(2));
    });
  });
  // B's continuation chains back into A from B's completing thread.
  Future<void> second = futureB.OnSuccessWithExecutor(GetInlineExecutor(), [&](int) {
    EXPECT_EQ(futureA.Get(), 1);
    futureA.OnSuccessWithExecutor(GetInlineExecutor(), [&](int v) { chainedBack += 10 * v; });
  });

  ASSERT_TRUE(FinishesOnAnotherThread([&] { a.Fulfill(1); }));
  EXPECT_TRUE(otherThreadDone);
  EXPECT_EQ(chainedBack, 11);
  EXPECT_TRUE(first.HasValue());
  EXPECT_TRUE(second.HasValue());
}

TEST(FutureTest, OnSuccessPassesFailureAndCancellationWithoutCallingF) {
  Promise<int> failed;
  failed.Fail(Error("boom"));
  Promise<int> cancelledPromise;
  Future<int> cancelled = cancelledPromise.GetFuture();
  cancelled.Cancel();
  struct Case {
    char const* name;
    Future<int> source;
    std::string expected;
  } const cases[] = {
      {"exception", failed.GetFuture(), "error boom"},
      {"cancelled", cancelled, kCancelled},
      {"no state", Future<int>(), kCancelled},
  };
  for (auto const& c : cases) {
    bool called = false;
    Future<int> result = c.source.OnSuccessWithExecutor(GetInlineExecutor(), [&](int v) {
      called = true;
      return v;
    });
    EXPECT_FALSE(called) << c.name;
    EXPECT_EQ(Outcome(result), c.expected) << c.name;
  }
}

TEST(FutureTest, OnSuccessFollowsWhatFReturns) {
  auto const inl = GetInlineExecutor();
  Promise<int> source;
  Promise<std::string> inner;
  Future<int> plus = source.GetFuture().OnSuccessWithExecutor(inl, [](int v) { return v + 1; });
  Future<void> nothing = source.GetFuture().OnSuccessWithExecutor(inl, [](int) {});
  Future<std::string> following = source.GetFuture().OnSuccessWithExecutor(inl, [&](int) { return inner.GetFuture(); });
  Future<int> throwing =
      source.GetFuture().OnSuccessWithExecutor(inl, [](int) -> int { throw std::runtime_error("from f"); });
  Future<int> fromVoid = nothing.OnSuccessWithExecutor(inl, [] { return 9; });

  source.Fulfill(1);
  EXPECT_EQ(Outcome(plus), "value 2");
  EXPECT_EQ(Outcome(nothing), "value");
  EXPECT_EQ(Outcome(fromVoid), "value 9");
  EXPECT_EQ(Outcome(throwing), "error from f");
  EXPECT_FALSE(following.IsReady()) << "follows the future that f returned";
  inner.Fulfill("done");
  EXPECT_EQ(following.Get(), "done");

  // A long chain of inline continuations must not grow the stack with its length.
  constexpr int kLength = 20000;
  Promise<int> head;
  Future<int> tail = head.GetFuture();
  for (int i = 0; i < kLength; ++i) tail = tail.OnSuccessWithExecutor(inl, [](int v) { return v + 1; });
  head.Fulfill(0);
  EXPECT_EQ(Outcome(tail), "value " + std::to_string(kLength));
}

TEST(PromiseTest, FulfillWithFutureForwardsEveryOutcome) {
  for (auto const& c : kEndings) {
    for (bool sourceEndsFirst : {false, true}) {
      Promise<int> source;
      Future<int> sourceFuture = source.GetFuture();
      Promise<int> target;
      Future<int> targetFuture = target.GetFuture();
      if (sourceEndsFirst) c.end(source, sourceFuture);
      target.Fulfill(sourceFuture);
      if (!sourceEndsFirst) {
        EXPECT_FALSE(targetFuture.IsReady()) << c.name;
        sourceFuture = Future<int>();  // the target keeps its source
        c.end(source, source.GetFuture());
      }
      EXPECT_EQ(Outcome(targetFuture), c.outcome) << c.name << (sourceEndsFirst ? ", source ended first" : "");
    }
  }

  Promise<int> target;
  target.Fulfill(Future<int>());
  EXPECT_EQ(Outcome(target.GetFuture()), kCancelled) << "a future without state reads as cancelled";
  Promise<int> self;
  EXPECT_THROW(self.Fulfill(self.GetFuture()), std::invalid_argument);
}

TEST(FutureTest, HandleExceptionFutureFollowsTheHandler) {
  Promise<int> recovered;
  struct Case {
    char const* name;
    Future<int> source;
    std::function<Future<int>(std::exception_ptr)> handler;
    std::string expected;
    std::string seen;  // what the handler was given
  } const cases[] = {
      {"value passes", MakeReadyFuture(1), nullptr, "value 1", ""},
      {"handler gives a pending future", MakeExceptionalFuture<int>(Error("lost")),
       [&](std::exception_ptr) { return recovered.GetFuture(); }, "value 3", "error lost"},
      {"handler throws", MakeExceptionalFuture<int>(Error("lost")),
       [](std::exception_ptr) -> Future<int> { throw std::runtime_error("handler"); }, "error handler", "error lost"},
      {"cancellation counts as failure", Future<int>(), [](std::exception_ptr) { return MakeReadyFuture(4); },
       "value 4", kCancelled},
  };
  for (auto const& c : cases) {
    std::string seen;
    Future<int> result = HandleExceptionFuture(c.source, [&](std::exception_ptr e) {
      seen = Outcome(MakeExceptionalFuture<int>(e));
      return c.handler(e);
    });
    if (c.expected == "value 3") recovered.Fulfill(3);
    EXPECT_EQ(Settled(result), c.expected) << c.name;
    EXPECT_EQ(seen, c.seen) << c.name;
  }
  // The handler may also return a plain value.
  EXPECT_EQ(
      Settled(HandleExceptionFuture(MakeExceptionalFuture<int>(Error("x")), [](std::exception_ptr) { return 5; })),
      "value 5");
}

TEST(FutureTest, IgnoreExceptionsFutureSucceedsWhateverTheOutcome) {
  Promise<int> cancelled;
  cancelled.GetFuture().Cancel();
  UntypedFuture const sources[] = {MakeReadyFuture(1), MakeExceptionalFuture<int>(Error("x")), cancelled.GetFuture(),
                                   Future<int>()};
  for (auto const& source : sources) EXPECT_TRUE(IgnoreExceptionsFuture(source).HasValue());

  Promise<void> pending;
  Future<void> ignored = IgnoreExceptionsFuture(pending.GetFuture());
  EXPECT_FALSE(ignored.IsReady());
  pending = Promise<void>();  // breaks
  EXPECT_TRUE(ignored.HasValue());
}

TEST(WeakFutureTest, DiesWithItsLastFuture) {
  auto promise = std::make_unique<Promise<int>>();
  Future<int> first = promise->GetFuture();
  Future<int> second = first;
  WeakFuture<int> weak = first;
  promise.reset();  // only futures hold the state now; it has broken, but lives on
  first = Future<int>();
  EXPECT_TRUE(weak.Lock().IsValid());
  second = Future<int>();
  EXPECT_TRUE(weak.Expired());
  EXPECT_FALSE(weak.Lock().IsValid());
  EXPECT_THROW(weak.Get(), FutureIsCancelledException);
}

TEST(AsyncTest, RunsTheTaskAndDeliversItsOutcome) {
  auto executor = std::make_shared<ManualExecutor>();
  auto continuations = std::make_shared<ManualExecutor>();
  auto async = [&](auto task) {
    return AsyncWithExecutorAndContinuationExecutorAndDelay(executor, std::chrono::milliseconds(0), continuations,
                                                            task);
  };
  Promise<int> inner;
  Future<int> value = async([] { return 1; });
  Future<int> throwing = async([]() -> int { throw std::runtime_error("task"); });
  Future<int> following = async([&] { return inner.GetFuture(); });
  EXPECT_EQ(value.GetExecutor(), continuations);
  EXPECT_FALSE(value.IsReady());

  EXPECT_EQ(executor->RunAll(), 3u);
  EXPECT_EQ(Outcome(value), "value 1");
  EXPECT_EQ(Outcome(throwing), "error task");
  EXPECT_FALSE(following.IsReady());
  inner.Fulfill(2);
  EXPECT_EQ(Outcome(following), "value 2");
}

TEST(AsyncTest, RefusedTaskFailsWithExecutorIsTerminated) {
  auto manual = std::make_shared<ManualExecutor>();
  manual->Shutdown();
  auto sub = CreateSubExecutor(GetDefaultExecutor(), 1);
  sub->Shutdown();
  for (std::shared_ptr<AsyncExecutor> executor :
       {std::shared_ptr<AsyncExecutor>(manual), std::shared_ptr<AsyncExecutor>(sub)}) {
    bool ran = false;
    Future<int> future =
        AsyncWithExecutorAndContinuationExecutorAndDelay(executor, std::chrono::milliseconds(0), nullptr, [&] {
          ran = true;
          return 1;
        });
    EXPECT_EQ(Outcome(future), kTerminated);
    EXPECT_FALSE(ran);
  }
}

TEST(AsyncTest, TaskRunsOnlyWhileSomebodyWantsItsResult) {
  auto executor = std::make_shared<ManualExecutor>();
  std::vector<std::string> ran;
  auto start = [&](std::string name) {
    return AsyncWithExecutorAndContinuationExecutorAndDelay(executor, std::chrono::milliseconds(0), GetInlineExecutor(),
                                                            [&ran, name] {
                                                              ran.push_back(name);
                                                              return 1;
                                                            });
  };
  start("dropped");
  WeakFuture<int> weakOnly = start("weak only");
  KeepAlive(start("kept alive"));
  Future<int> chained = start("chained").OnSuccessWithExecutor(GetInlineExecutor(), [](int v) { return v + 1; });
  Future<int> held = start("held");
  // A continuation runs even when nobody holds its result, or the future between it and `held`.
  IgnoreExceptionsFuture(held).OnSuccessWithExecutor(GetInlineExecutor(), [&] { ran.push_back("after held"); });

  executor->RunAll();
  EXPECT_EQ(ran, (std::vector<std::string>{"kept alive", "chained", "held", "after held"}));
  EXPECT_EQ(Outcome(chained), "value 2");

  // A queued task that the executor destroys unrun breaks its promise.
  Future<int> orphan = start("never");
  executor->Shutdown();
  EXPECT_EQ(Outcome(orphan), kBroken);
}

TEST(AsyncTest, TaskOfAFutureThatHasAlreadyEndedNeverRuns) {
  auto executor = std::make_shared<ManualExecutor>();
  int runs = 0;
  auto start = [&] {
    return AsyncWithExecutorAndContinuationExecutorAndDelay(executor, std::chrono::milliseconds(0), nullptr,
                                                            [&runs] { return ++runs; });
  };
  Future<int> const failed = start();
  Future<int> const cancelled = start();
  Future<int> const wanted = start();
  failed.Fail(std::make_exception_ptr(zel_exception("gave up", 7)));
  cancelled.Cancel();
  executor->RunAll();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(Outcome(failed), "error 7 gave up");
  EXPECT_EQ(Outcome(cancelled), kCancelled);
  EXPECT_EQ(Outcome(wanted), "value 1");
}

TEST(FutureTest, OnSuccessCarriesTheExecutorItWasGivenInlineIncluded) {
  auto const manual = std::make_shared<ManualExecutor>();
  struct Case {
    char const* name;
    std::shared_ptr<AsyncExecutor> given;
    std::shared_ptr<AsyncExecutor> carried;
  };
  for (Case const& c : {Case{"inline", GetInlineExecutor(), GetInlineExecutor()}, Case{"manual", manual, manual},
                        Case{"empty", nullptr, GetDefaultExecutor()}}) {
    SCOPED_TRACE(c.name);
    Promise<int> promise(GetInlineExecutor());
    Future<int> const next = promise.GetFuture().OnSuccessWithExecutor(c.given, [](int v) { return v; });
    EXPECT_EQ(next.GetExecutor(), c.carried);
  }
  manual->Shutdown();  // drops the continuation that the broken promise queued on it
  // A handler chained on an inline continuation's future runs on the thread that fails it, not on the pool.
  Promise<int> promise(GetInlineExecutor());
  Future<int> const inlineNext =
      promise.GetFuture().OnSuccessWithExecutor(GetInlineExecutor(), [](int v) { return v; });
  std::thread::id handledOn;
  Future<int> const handled = HandleExceptionFuture(inlineNext, [&](std::exception_ptr) {
    handledOn = std::this_thread::get_id();
    return 0;
  });
  promise.Fail(std::make_exception_ptr(zel_exception("", 1)));
  EXPECT_EQ(handledOn, std::this_thread::get_id());
  EXPECT_EQ(Outcome(handled), "value 0");
}

TEST(FutureTest, WhenEndedRunsOnceForEveryEndingAndGoesUnrunWithAStateThatNeverEnds) {
  struct Counted {
    int* runs;
    int* destroyed;
    Counted(int* r, int* d) : runs(r), destroyed(d) {}
    Counted(Counted&& other) noexcept : runs(other.runs), destroyed(std::exchange(other.destroyed, nullptr)) {}
    ~Counted() {
      if (destroyed) ++*destroyed;
    }
    void operator()() { ++*runs; }
  };
  for (Ending const& c : kEndings) {
    SCOPED_TRACE(c.name);
    int runs = 0;
    int destroyed = 0;
    Promise<int> promise;
    Future<int> future = promise.GetFuture();
    WhenEnded(future, GetInlineExecutor(), Counted(&runs, &destroyed));
    EXPECT_EQ(runs, 0);
    c.end(promise, future);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(destroyed, 1);
  }
  // Only a weak promise and a future: dropping the future lets the state go without ending.
  int runs = 0;
  int destroyed = 0;
  {
    Promise<int> promise;
    WeakPromise<int> const weak(promise);
    Future<int> future = promise.GetFuture();
    promise = Promise<int>(GetInlineExecutor());
    WhenEnded(future, GetInlineExecutor(), Counted(&runs, &destroyed));
    future = Future<int>();
    EXPECT_EQ(destroyed, 1);
  }
  EXPECT_EQ(runs, 0);
  // An empty future counts as ended.
  WhenEnded(Future<int>(), GetInlineExecutor(), Counted(&runs, &destroyed));
  EXPECT_EQ(runs, 1);
}

TEST(FutureTest, ContinuationThatThrowsIsLogged) {
  std::vector<logging::LoggedException> logged;
  std::mutex mutex;
  auto previous = logging::SetLogSink([&](logging::LoggedException const& e) {
    std::lock_guard<std::mutex> lock(mutex);
    logged.push_back(e);
  });

  Promise<int> promise;
  Future<int> seen = promise.GetFuture().OnSuccessWithExecutor(
      GetInlineExecutor(), [](int) -> int { throw std::runtime_error("seen by its future"); });
  promise.GetFuture().OnSuccessWithExecutor(GetInlineExecutor(),
                                            [](int) -> int { throw zel_exception("nobody looks", 0xA00F0002); });
  promise.Fulfill(1);
  logging::SetLogSink(std::move(previous));

  EXPECT_EQ(Outcome(seen), "error seen by its future");
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].function, "zelcore::async::detail::ContinuationCaller::CallFutureContinuation");
  EXPECT_EQ(logged[0].message, "nobody looks");
  EXPECT_EQ(logged[0].result, 0xA00F0002u);
}

TEST(WaitForUntypedUntilTest, ReportsWhetherTheFutureEndedInTime) {
  auto const now = [] { return std::chrono::steady_clock::now(); };
  Promise<int> never;
  EXPECT_FALSE(WaitForUntypedUntil(never.GetFuture(), now() + std::chrono::milliseconds(20), true));
  EXPECT_TRUE(WaitForUntypedUntil(MakeReadyFuture(1), now() - std::chrono::seconds(1), false));
  EXPECT_TRUE(WaitForUntypedUntil(Future<int>(), now() + kGenerous, true));
  EXPECT_FALSE(WaitForUntypedUntil(Future<int>(), now() + kGenerous, false));

  Promise<int> later;
  Future<int> future = later.GetFuture();
  std::thread completer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    later.Fulfill(6);
  });
  EXPECT_TRUE(WaitForUntypedUntil(future, now() + kGenerous, true));
  EXPECT_EQ(future.Get(), 6);
  completer.join();
}

}  // namespace
}  // namespace zelcore::async
