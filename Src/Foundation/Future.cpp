#include "Foundation/Future.h"

#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace zelcore::async {

// UntypedFuture

std::exception_ptr UntypedFuture::GetException() const {
  if (!state_) return std::make_exception_ptr(FutureIsCancelledException());
  return state_->GetFailure();
}

std::shared_ptr<AsyncExecutor> UntypedFuture::GetExecutor() const { return state_ ? state_->GetExecutor() : nullptr; }

bool UntypedFuture::Fail(std::exception_ptr exception) const {
  if (!exception) throw std::invalid_argument("A future cannot fail with a null exception");
  auto state = state_;  // this handle may go while the continuations run
  return state && state->Fail(std::move(exception));
}

bool UntypedFuture::Cancel() const {
  auto state = state_;
  return state && state->Cancel();
}

// Free functions

Future<void> MakeReadyFuture() {
  auto state = std::make_shared<detail::FutureState<void>>(nullptr);
  state->SetValue();
  return detail::FutureAccess::MakeFuture(std::move(state));
}

void KeepAlive(UntypedFuture const& future) {
  if (auto const& state = detail::FutureAccess::State(future)) state->KeepAliveUntilEnded();
}

Future<void> IgnoreExceptionsFuture(UntypedFuture const& future) {
  auto const& source = detail::FutureAccess::State(future);
  if (!source) return MakeReadyFuture();
  auto result = std::make_shared<detail::FutureState<void>>(source->GetExecutor(), source);
  Future<void> ignored = detail::FutureAccess::MakeFuture(result);
  source->AddContinuation(detail::MakeContinuation(
      nullptr, [promise = detail::FutureAccess::MakePromise(std::move(result))](detail::UntypedFutureState&) {
        detail::FutureAccess::State(promise)->SetValue();
      }));
  return ignored;
}

bool WaitForUntypedUntil(UntypedFuture const& future, std::chrono::steady_clock::time_point deadline,
                         bool emptyHasEnded) {
  auto const& state = detail::FutureAccess::State(future);
  if (!state) return emptyHasEnded;
  if (state->IsDone()) return true;

  struct Signal {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;  // guarded by mutex
  };
  auto signal = std::make_shared<Signal>();
  state->AddContinuation(detail::MakeContinuation(nullptr, [signal](detail::UntypedFutureState&) {
    {
      std::lock_guard<std::mutex> lock(signal->mutex);
      signal->done = true;
    }
    signal->ended.notify_all();
  }));
  std::unique_lock<std::mutex> lock(signal->mutex);
  signal->ended.wait_until(lock, deadline, [&] { return signal->done; });
  return signal->done || state->IsDone();
}

}  // namespace zelcore::async
