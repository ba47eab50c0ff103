#include "Foundation/CompoundFuture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "ManualExecutor.h"

namespace zelcore::async {
namespace {

using zelcore::async::test_support::ManualExecutor;

std::string Failure(Future<void> const& future) {
  try {
    future.Get();
    return "";
  } catch (std::exception const& e) {
    return e.what();
  }
}

TEST(CompoundFutureTest, EndsWhenEveryFutureHasEnded) {
  Promise<int> a;
  Promise<void> b;
  auto compound = CompoundFuture::Create(nullptr);
  compound->Add(a.GetFuture());
  compound->Add(b.GetFuture());
  compound->Add(MakeReadyFuture(3));
  Future<void> all = compound->Close();
  EXPECT_EQ(all.GetExecutor(), GetDefaultExecutor()) << "created without an executor";
  a.Fulfill(1);
  EXPECT_FALSE(all.IsReady());
  b.Fulfill();
  EXPECT_TRUE(all.HasValue());
  EXPECT_TRUE(compound->Close().HasValue()) << "Close again gives the same future";
  EXPECT_THROW(compound->Add(MakeReadyFuture(1)), std::logic_error);

  auto executor = std::make_shared<ManualExecutor>();
  Future<void> empty = CompoundFuture::Create(executor)->Close();
  EXPECT_TRUE(empty.HasValue()) << "nothing added: ends at once";
  EXPECT_EQ(empty.GetExecutor(), executor);
}

TEST(CompoundFutureTest, FailsWithTheEarliestAddedFailure) {
  struct Case {
    char const* name;
    bool cancelFirst;
    std::string expected;
  } const cases[] = {{"exception", false, "first"}, {"cancellation", true, "Future Is Cancelled"}};
  for (auto const& c : cases) {
    Promise<int> ok;
    Promise<int> first;
    Promise<int> second;
    auto compound = CompoundFuture::Create(nullptr);
    compound->Add(ok.GetFuture());
    compound->Add(first.GetFuture());
    compound->Add(second.GetFuture());
    Future<void> all = compound->Close();
    second.Fail(std::make_exception_ptr(std::runtime_error("second")));  // ends first, but was added later
    if (c.cancelFirst) {
      first.GetFuture().Cancel();
    } else {
      first.Fail(std::make_exception_ptr(std::runtime_error("first")));
    }
    EXPECT_FALSE(all.IsReady()) << c.name << ": waits for every future";
    ok.Fulfill(1);
    EXPECT_EQ(Failure(all), c.expected) << c.name;
  }
  auto compound = CompoundFuture::Create(nullptr);
  compound->Add(Future<int>());
  EXPECT_EQ(Failure(compound->Close()), "Future Is Cancelled") << "a future without state";
}

TEST(CompoundFutureTest, KeepsItsFuturesWanted) {
  auto executor = std::make_shared<ManualExecutor>();
  bool ran = false;
  auto compound = CompoundFuture::Create(nullptr);
  compound->Add(AsyncWithExecutorAndContinuationExecutorAndDelay(executor, std::chrono::milliseconds(0), nullptr,
                                                                 [&] { ran = true; }));
  Future<void> all = compound->Close();
  compound.reset();
  executor->RunAll();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(all.HasValue());
}

}  // namespace
}  // namespace zelcore::async
