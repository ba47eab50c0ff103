#include "Foundation/Detail/FutureState.h"

#include <stdexcept>
#include <vector>

#include "Foundation/FutureExceptions.h"
#include "Foundation/InlineExecutor.h"
#include "zelcore/Logging.h"

namespace zelcore::async::detail {

namespace {

// Inline continuations run nested on the thread that ends their state, up to this depth; deeper ones wait in the
// thread's queue until the outermost one returns, so that long chains of inline continuations cannot exhaust the
// stack.
constexpr int kMaxInlineDepth = 32;

struct DeferredContinuation {
  std::unique_ptr<Continuation> continuation;
  std::shared_ptr<UntypedFutureState> source;
};

struct InlineRun {
  int depth = 0;
  std::vector<DeferredContinuation> deferred;  // run, in order, by the outermost inline call of the thread
};

thread_local InlineRun tInlineRun;

}  // namespace

Continuation::~Continuation() = default;

void ContinuationCaller::CallContinuationAsync(std::unique_ptr<Continuation> continuation,
                                               std::shared_ptr<UntypedFutureState> const& source) {
  if (!continuation->executor_) {
    CallInline(std::move(continuation), source);
    return;
  }
  std::shared_ptr<AsyncExecutor> executor = std::move(continuation->executor_);
  executor->Execute(
      [continuation = std::move(continuation), source]() { CallFutureContinuation(*continuation, *source); });
}

void ContinuationCaller::CallFutureContinuation(Continuation& continuation, UntypedFutureState& source) noexcept {
  try {
    continuation.Run(source);
  } catch (...) {
    try {
      logging::LogException(std::current_exception(),
                            "zelcore::async::detail::ContinuationCaller::CallFutureContinuation");
    } catch (...) {
      // A failing log must not unwind into the executor either.
    }
  }
}

void ContinuationCaller::CallInline(std::unique_ptr<Continuation> continuation,
                                    std::shared_ptr<UntypedFutureState> const& source) {
  InlineRun& run = tInlineRun;
  if (run.depth >= kMaxInlineDepth) {
    run.deferred.push_back({std::move(continuation), source});
    return;
  }
  ++run.depth;
  CallFutureContinuation(*continuation, *source);
  continuation.reset();  // still counted: destroying it may end further states
  --run.depth;
  if (run.depth > 0) return;
  // Items appended while draining are reached by the same loop.
  for (std::size_t i = 0; i < run.deferred.size(); ++i) {
    DeferredContinuation item = std::move(run.deferred[i]);
    ++run.depth;
    CallFutureContinuation(*item.continuation, *item.source);
    item.continuation.reset();
    --run.depth;
  }
  run.deferred.clear();
}

// UntypedFutureState

UntypedFutureState::UntypedFutureState(std::shared_ptr<AsyncExecutor> executor,
                                       std::shared_ptr<UntypedFutureState> followed)
    : followed_(std::move(followed)), executor_(ResolveExecutor(std::move(executor))) {
  if (followed_) followed_->AddFuture();
}

UntypedFutureState::~UntypedFutureState() {
  // Set only when HoldUntilEnded ran on a state that no future handle ever wanted.
  if (followed_) ReleaseFuture(std::move(followed_));
}

std::exception_ptr UntypedFutureState::GetFailure() const {
  switch (GetStatus()) {
    case FutureStatus::kException:
      return exception_;
    case FutureStatus::kCancelled:
      return std::make_exception_ptr(FutureIsCancelledException());
    case FutureStatus::kPending:
    case FutureStatus::kValue:
      break;
  }
  return nullptr;
}

void UntypedFutureState::ThrowUnlessValue() const {
  switch (GetStatus()) {
    case FutureStatus::kValue:
      return;
    case FutureStatus::kPending:
      throw FutureNotReadyException();
    case FutureStatus::kException:
      std::rethrow_exception(exception_);
    case FutureStatus::kCancelled:
      throw FutureIsCancelledException();
  }
}

bool UntypedFutureState::Fail(std::exception_ptr exception) {
  if (!exception) throw std::invalid_argument("A future cannot fail with a null exception");
  return Complete(FutureStatus::kException, [&] { exception_ = std::move(exception); });
}

bool UntypedFutureState::Cancel() {
  return Complete(FutureStatus::kCancelled, [] {});
}

void UntypedFutureState::AddContinuation(std::unique_ptr<Continuation> continuation) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (status_.load(std::memory_order_relaxed) == FutureStatus::kPending) {
      continuations_.PushBack(std::move(continuation));
      return;
    }
  }
  ContinuationCaller::CallContinuationAsync(std::move(continuation), shared_from_this());
}

void UntypedFutureState::ReleasePromise() {
  if (promiseCount_.fetch_sub(1, std::memory_order_acq_rel) == 1 && !IsDone()) {
    Fail(std::make_exception_ptr(BrokenPromiseException()));
  }
}

void UntypedFutureState::ReleaseFuture(std::shared_ptr<UntypedFutureState> state) {
  // A loop rather than recursion: dropping the last future of a long pending chain must not exhaust the stack.
  while (state && state->futureCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::shared_ptr<UntypedFutureState> followed;
    if (!state->IsDone()) {  // an ended state has already let its source go
      std::lock_guard<std::recursive_mutex> lock(state->mutex_);
      // A weak future may have made a new handle meanwhile; then the state is wanted again and keeps its source.
      if (state->futureCount_.load(std::memory_order_relaxed) == 0) followed = std::move(state->followed_);
    }
    state = std::move(followed);  // carries the count that `state` held on its source into the next round
  }
}

bool UntypedFutureState::IsObserved() const {
  if (IsWanted()) return true;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return !continuations_.Empty();
}

void UntypedFutureState::HoldUntilEnded(std::shared_ptr<UntypedFutureState> source) {
  source->AddFuture();
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (status_.load(std::memory_order_relaxed) == FutureStatus::kPending) followed_.swap(source);
  }
  ReleaseFuture(std::move(source));  // the earlier source, or the new one when this state has already ended
}

void UntypedFutureState::KeepAliveUntilEnded() {
  std::shared_ptr<UntypedFutureState> self = shared_from_this();
  AddFuture();
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (status_.load(std::memory_order_relaxed) == FutureStatus::kPending && !keepAlive_) keepAlive_.swap(self);
  }
  ReleaseFuture(std::move(self));  // null when kept
}

UntypedFutureState::Ending UntypedFutureState::EndLocked(FutureStatus status) {
  status_.store(status, std::memory_order_release);
  return Ending{std::move(continuations_), std::move(followed_), std::move(keepAlive_)};
}

void UntypedFutureState::HandOut(Ending ending) {
  if (!ending.continuations.Empty()) {
    // A continuation may drop the last outside reference to this state.
    std::shared_ptr<UntypedFutureState> self = shared_from_this();
    while (auto continuation = ending.continuations.PopFront()) {
      ContinuationCaller::CallContinuationAsync(std::move(continuation), self);
    }
  }
  ReleaseFuture(std::move(ending.followed));
  ReleaseFuture(std::move(ending.keepAlive));  // may destroy this state: nothing touches it afterwards
}

std::shared_ptr<AsyncExecutor> ResolveExecutor(std::shared_ptr<AsyncExecutor> executor) {
  if (!executor) return GetDefaultExecutor();
  if (executor.get() == GetInlineExecutor().get()) return nullptr;
  return executor;
}

}  // namespace zelcore::async::detail
