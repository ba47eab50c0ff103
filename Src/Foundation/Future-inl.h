#pragma once

// Template bodies of Future.h. Include Future.h, not this file.

#include <stdexcept>
#include <utility>

namespace zelcore::async {
namespace detail {

// The one way into the handles' states, for the machinery of this header.
struct FutureAccess {
  static std::shared_ptr<UntypedFutureState> const& State(UntypedFuture const& future) { return future.state_; }
  template <class T>
  static std::shared_ptr<FutureState<T>> const& State(Promise<T> const& promise) {
    return promise.state_;
  }

  template <class T>
  static Future<T> MakeFuture(std::shared_ptr<FutureState<T>> state) {
    return Future<T>(std::move(state));
  }

  // A promise of `state` (counted), or an empty promise for null.
  template <class T>
  static Promise<T> MakePromise(std::shared_ptr<FutureState<T>> state) {
    if (state) state->AddPromise();
    return Promise<T>(std::move(state), typename Promise<T>::AdoptTag{});
  }

  // The state of a weak promise while some future handle wants it, else null.
  template <class T>
  static std::shared_ptr<FutureState<T>> Lock(WeakPromise<T> const& promise) {
    auto state = promise.state_.lock();
    if (state && !state->IsWanted()) state.reset();
    return state;
  }
};

// A state for a future without one, which reads as cancelled.
template <class T>
std::shared_ptr<UntypedFutureState> MakeCancelledState() {
  auto state = std::make_shared<FutureState<T>>(nullptr);
  state->Cancel();
  return state;
}

// Gives `target` the failure or cancellation of the ended `source`.
template <class T>
void PassFailure(FutureState<T>& target, UntypedFutureState const& source) {
  if (source.GetStatus() == FutureStatus::kCancelled) {
    target.Cancel();
  } else {
    target.Fail(source.GetFailure());
  }
}

// Gives `target` the whole outcome of the ended `source`, a FutureState<T>.
template <class T>
void PassOutcome(FutureState<T>& target, UntypedFutureState const& source) {
  if (source.GetStatus() != FutureStatus::kValue) return PassFailure(target, source);
  if constexpr (std::is_void_v<T>) {
    target.SetValue();
  } else {
    target.SetValue(static_cast<FutureState<T> const&>(source).ValueUnchecked());
  }
}

// Makes `target` take the outcome of `source` when that ends (Promise::Fulfill(future)).
template <class T>
void Follow(std::shared_ptr<FutureState<T>> const& target, Future<T> const& source) {
  auto const& sourceState = FutureAccess::State(source);
  if (!sourceState) {
    target->Cancel();
    return;
  }
  if (sourceState == target) throw std::invalid_argument("A promise cannot be fulfilled with its own future");
  // An ended source (a ready result, the common case) is passed on at once, without a continuation.
  if (sourceState->IsDone()) {
    PassOutcome(*target, *sourceState);
    return;
  }
  // Counted before HoldUntilEnded lets an earlier source go, whose continuation may hold the only other promise.
  auto promise = FutureAccess::MakePromise(target);
  target->HoldUntilEnded(sourceState);
  sourceState->AddContinuation(MakeContinuation(nullptr, [promise = std::move(promise)](UntypedFutureState& ended) {
    PassOutcome(*FutureAccess::State(promise), ended);
  }));
}

// Runs `call` and completes `target` with its value, its exception, or the outcome of the future it returns. An
// exception that nothing can see in `target` (no future handle, no continuation) is also rethrown, to be logged.
template <class R, class Call>
void CompleteFromCall(std::shared_ptr<FutureState<R>> const& target, Call&& call) {
  using Raw = std::invoke_result_t<Call&>;
  try {
    if constexpr (IsFuture<std::remove_cvref_t<Raw>>::value) {
      Follow(target, call());
    } else if constexpr (std::is_void_v<Raw>) {
      call();
      target->SetValue();
    } else {
      target->SetValue(call());
    }
  } catch (...) {
    bool const observed = target->IsObserved();
    target->Fail(std::current_exception());
    if (!observed) throw;
  }
}

}  // namespace detail

// Future

template <class T>
detail::ValueRef<T> Future<T>::Get() const {
  if (!state_) throw FutureIsCancelledException();
  if constexpr (std::is_void_v<T>) {
    State().ThrowUnlessValue();
  } else {
    return State().Value();
  }
}

template <class T>
template <class F>
Future<detail::ContinuationValue<T, F>> Future<T>::OnSuccessWithExecutor(std::shared_ptr<AsyncExecutor> const& executor,
                                                                         F&& f) const {
  using R = detail::ContinuationValue<T, F>;
  auto const cancelled = state_ ? nullptr : detail::MakeCancelledState<T>();
  auto const& source = state_ ? state_ : cancelled;
  auto resolved = detail::ResolveExecutor(executor);
  // The state resolves its executor again, and would read null (inline) as "none given".
  auto result = std::make_shared<detail::FutureState<R>>(resolved ? resolved : GetInlineExecutor(), source);
  Future<R> future = detail::FutureAccess::MakeFuture(result);
  source->AddContinuation(detail::MakeContinuation(
      std::move(resolved), [promise = detail::FutureAccess::MakePromise(std::move(result)),
                            f = std::forward<F>(f)](detail::UntypedFutureState& ended) mutable {
        auto const& target = detail::FutureAccess::State(promise);
        if (ended.GetStatus() != detail::FutureStatus::kValue) return detail::PassFailure(*target, ended);
        detail::CompleteFromCall(target, [&]() -> decltype(auto) {
          if constexpr (std::is_void_v<T>) {
            return f();
          } else {
            return f(static_cast<detail::FutureState<T>&>(ended).ValueUnchecked());
          }
        });
      }));
  return future;
}

// WeakFuture

template <class T>
WeakFuture<T>::WeakFuture(Future<T> const& future) : state_(detail::FutureAccess::State(future)) {}

template <class T>
Future<T> WeakFuture<T>::Lock() const {
  return detail::FutureAccess::MakeFuture(std::static_pointer_cast<detail::FutureState<T>>(state_.lock()));
}

template <class T>
std::conditional_t<std::is_void_v<T>, void, T> WeakFuture<T>::Get() const {
  Future<T> future = Lock();
  if constexpr (std::is_void_v<T>) {
    future.Get();
  } else {
    return future.Get();
  }
}

// Promise

template <class T>
Promise<T>::Promise(std::shared_ptr<AsyncExecutor> const& executor)
    : state_(std::make_shared<detail::FutureState<T>>(executor)) {
  state_->AddPromise();
}

template <class T>
Promise<T>::Promise(Promise const& other) : state_(other.state_) {
  if (state_) state_->AddPromise();
}

template <class T>
Promise<T>& Promise<T>::operator=(Promise other) noexcept {
  state_.swap(other.state_);
  return *this;
}

template <class T>
Promise<T>::~Promise() {
  if (state_) state_->ReleasePromise();
}

template <class T>
Future<T> Promise<T>::GetFuture() const {
  return detail::FutureAccess::MakeFuture(state_);
}

template <class T>
bool Promise<T>::Fulfill(detail::Stored<T> value) requires(!std::is_void_v<T>) {
  return CheckedState().SetValue(std::move(value));
}

template <class T>
bool Promise<T>::Fulfill() requires std::is_void_v<T> {
  return CheckedState().SetValue();
}

template <class T>
void Promise<T>::Fulfill(Future<T> const& future) {
  CheckedState();
  detail::Follow(state_, future);
}

template <class T>
bool Promise<T>::Fail(std::exception_ptr exception) {
  return CheckedState().Fail(std::move(exception));
}

template <class T>
detail::FutureState<T>& Promise<T>::CheckedState() const {
  if (!state_) throw std::logic_error("The promise has no state: it was moved from");
  return *state_;
}

// WeakPromise

template <class T>
WeakPromise<T>::WeakPromise(Promise<T> const& promise) : state_(promise.state_) {
  if (promise.state_) promise.state_->AddPromise();
}

template <class T>
WeakPromise<T>::WeakPromise(WeakPromise const& other) : state_(other.state_) {
  if (auto state = state_.lock()) state->AddPromise();
}

template <class T>
WeakPromise<T>& WeakPromise<T>::operator=(WeakPromise other) noexcept {
  state_.swap(other.state_);
  return *this;
}

template <class T>
WeakPromise<T>::~WeakPromise() {
  if (auto state = state_.lock()) state->ReleasePromise();
}

template <class T>
Promise<T> WeakPromise<T>::Lock() const {
  return detail::FutureAccess::MakePromise(detail::FutureAccess::Lock(*this));
}

// Free functions

template <class T>
Future<std::decay_t<T>> MakeReadyFuture(T&& value) {
  auto state = std::make_shared<detail::FutureState<std::decay_t<T>>>(nullptr);
  state->SetValue(std::forward<T>(value));
  return detail::FutureAccess::MakeFuture(std::move(state));
}

template <class T>
Future<T> MakeExceptionalFuture(std::exception_ptr exception) {
  auto state = std::make_shared<detail::FutureState<T>>(nullptr);
  state->Fail(std::move(exception));
  return detail::FutureAccess::MakeFuture(std::move(state));
}

template <class T, class Handler>
Future<T> HandleExceptionFuture(Future<T> const& future, Handler&& handler) {
  using Raw = std::invoke_result_t<std::decay_t<Handler>&, std::exception_ptr>;
  static_assert(std::is_same_v<detail::UnwrapFuture<Raw>, T>, "the handler must return Future<T> or T");
  auto const cancelled = future.IsValid() ? nullptr : detail::MakeCancelledState<T>();
  auto const& source = future.IsValid() ? detail::FutureAccess::State(future) : cancelled;
  auto result = std::make_shared<detail::FutureState<T>>(source->GetExecutor(), source);
  Future<T> handled = detail::FutureAccess::MakeFuture(result);
  source->AddContinuation(detail::MakeContinuation(
      source->GetExecutor(), [promise = detail::FutureAccess::MakePromise(std::move(result)),
                              handler = std::forward<Handler>(handler)](detail::UntypedFutureState& ended) mutable {
        auto const& target = detail::FutureAccess::State(promise);
        if (ended.GetStatus() == detail::FutureStatus::kValue) return detail::PassOutcome(*target, ended);
        detail::CompleteFromCall(target, [&]() -> decltype(auto) { return handler(ended.GetFailure()); });
      }));
  return handled;
}

template <class F>
void WhenEnded(UntypedFuture const& future, std::shared_ptr<AsyncExecutor> const& executor, F&& f) {
  auto continuation = detail::MakeContinuation(detail::ResolveExecutor(executor),
                                               [f = std::forward<F>(f)](detail::UntypedFutureState&) mutable { f(); });
  auto const& state = detail::FutureAccess::State(future);
  auto const cancelled = state ? nullptr : detail::MakeCancelledState<void>();
  (state ? state : cancelled)->AddContinuation(std::move(continuation));
}

template <class Rep, class Period, class F>
auto AsyncWithExecutorAndContinuationExecutorAndDelay(std::shared_ptr<AsyncExecutor> const& executor,
                                                      std::chrono::duration<Rep, Period> delay,
                                                      std::shared_ptr<AsyncExecutor> const& continuationExecutor,
                                                      F&& task)
    -> Future<detail::UnwrapFuture<std::invoke_result_t<std::decay_t<F>&>>> {
  using R = detail::UnwrapFuture<std::invoke_result_t<std::decay_t<F>&>>;
  Promise<R> promise(continuationExecutor);
  Future<R> future = promise.GetFuture();
  Task wrapper([weak = WeakPromise<R>(promise), task = std::forward<F>(task)]() mutable {
    auto state = detail::FutureAccess::Lock(weak);
    if (state && !state->IsDone()) detail::CompleteFromCall(state, task);
  });
  // The strong promise lives until CallAsync has answered, so that a refused wrapper cannot break the state first.
  if (!CallAsync(executor ? executor : GetDefaultExecutor(), std::move(wrapper), details::DurationToInteger(delay))) {
    promise.Fail(std::make_exception_ptr(ExecutorIsTerminatedException()));
  }
  return future;
}

}  // namespace zelcore::async
