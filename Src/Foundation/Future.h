#pragma once

#include <chrono>
#include <exception>
#include <memory>
#include <type_traits>

#include "Foundation/Detail/FutureState.h"
#include "Foundation/Export.h"
#include "Foundation/FutureExceptions.h"
#include "Foundation/InlineExecutor.h"
#include "zelcore/Executor.h"

// Futures and promises of the asynchronous model.
//
// A future ends once: with a value, with an exception, or cancelled. Its continuations each run on the executor
// they were filed with; continuations on GetInlineExecutor() run on the thread that ends the future. Wherever an
// operation takes an executor, an empty one means GetDefaultExecutor().
//
// Lifetime. A future handle keeps its state alive and wants its outcome. A future made by OnSuccessWithExecutor,
// HandleExceptionFuture, IgnoreExceptionsFuture or Promise::Fulfill(future) keeps the future it follows alive and
// wanted until it ends or its own last handle goes. A continuation keeps the future it completes alive until it
// has run, so it runs whether or not anybody holds its result; it never keeps the future it waits on alive. Weak
// futures and weak promises keep nothing alive, and a weak promise finds nothing once no future handle wants the
// state: work behind one (AsyncWithExecutorAndContinuationExecutorAndDelay) is dropped when nobody wants its
// result any more, unless KeepAlive was called.
//
// All handles may be used from any thread; one handle object is not itself synchronised.

namespace zelcore::async {

template <class T>
class Future;
template <class T>
class WeakFuture;
template <class T>
class Promise;
template <class T>
class WeakPromise;

namespace detail {
struct FutureAccess;
}  // namespace detail

// A future seen without its value type: for waiting and for reading how it ended.
class QUILLAN_EXPORT UntypedFuture {
 public:
  UntypedFuture() = default;
  UntypedFuture(UntypedFuture const& other) : state_(other.state_) {
    if (state_) state_->AddFuture();
  }
  UntypedFuture(UntypedFuture&& other) noexcept = default;
  UntypedFuture& operator=(UntypedFuture other) noexcept {
    state_.swap(other.state_);
    return *this;
  }
  ~UntypedFuture() {
    if (state_) detail::UntypedFutureState::ReleaseFuture(std::move(state_));
  }

  bool IsValid() const { return state_ != nullptr; }
  explicit operator bool() const { return IsValid(); }

  // Whether it has ended, in any way. False without state.
  bool IsReady() const { return state_ && state_->IsDone(); }
  bool HasValue() const { return Is(detail::FutureStatus::kValue); }
  bool HasException() const { return Is(detail::FutureStatus::kException); }
  bool IsCancelled() const { return Is(detail::FutureStatus::kCancelled); }

  // How it failed: its exception, or FutureIsCancelledException when it was cancelled or has no state. Null while
  // pending and after a value.
  std::exception_ptr GetException() const;

  // The executor the future carries: the one its promise was made with, or the one OnSuccessWithExecutor ran its
  // continuation on. Empty without state.
  std::shared_ptr<AsyncExecutor> GetExecutor() const;

  // Ends the future with `exception` (not null) unless it has already ended; returns whether it did. For holders
  // that give up on the work behind it. A future without state ignores it.
  bool Fail(std::exception_ptr exception) const;
  // Ends the future as cancelled unless it has already ended; returns whether it did.
  bool Cancel() const;

 protected:
  explicit UntypedFuture(std::shared_ptr<detail::UntypedFutureState> state) : state_(std::move(state)) {
    if (state_) state_->AddFuture();
  }

  bool Is(detail::FutureStatus status) const { return state_ && state_->GetStatus() == status; }

  std::shared_ptr<detail::UntypedFutureState> state_;  // holds one future count of its state

 private:
  friend struct detail::FutureAccess;
};

// The reading side of a state holding a T (nothing for void). Copies share the state.
template <class T>
class Future : public UntypedFuture {
 public:
  using ValueType = T;

  Future() = default;

  // The value (nothing for Future<void>). Throws FutureNotReadyException while pending, the stored exception after
  // a failure, and FutureIsCancelledException when cancelled or without state.
  detail::ValueRef<T> Get() const;

  // When this future ends with a value, runs f(value) (f() for Future<void>) on `executor`; the returned future
  // follows f's result, or the future that f returns. An exception or a cancellation passes to the returned
  // future without calling f, and an exception thrown by f fails it. f runs whether or not anybody still holds
  // the returned future; when nobody does, its result is dropped and an exception it throws is logged.
  // The returned future's executor is `executor`. Without state this future counts as cancelled.
  template <class F>
  Future<detail::ContinuationValue<T, F>> OnSuccessWithExecutor(std::shared_ptr<AsyncExecutor> const& executor,
                                                                F&& f) const;

 private:
  friend struct detail::FutureAccess;

  explicit Future(std::shared_ptr<detail::FutureState<T>> state) : UntypedFuture(std::move(state)) {}

  detail::FutureState<T>& State() const { return static_cast<detail::FutureState<T>&>(*state_); }
};

// Observes a state without keeping it alive.
template <class T>
class WeakFuture {
 public:
  WeakFuture() = default;
  WeakFuture(Future<T> const& future);  // implicit: wherever a future is given, a weak one may be kept

  // A future of the state, or an empty one when the state is gone.
  Future<T> Lock() const;
  bool Expired() const { return state_.expired(); }

  // As Future::Get; a state that is gone raises FutureIsCancelledException.
  std::conditional_t<std::is_void_v<T>, void, T> Get() const;

 private:
  std::weak_ptr<detail::UntypedFutureState> state_;
};

// The writing side of a state. Copies share the state and each counts as one promise: when the last promise (or
// weak promise) goes while the state has not ended, the state fails with BrokenPromiseException.
// Writing through an empty (moved-from) promise throws std::logic_error.
template <class T>
class Promise {
 public:
  // A new state whose future carries `executor` (the default executor when empty).
  Promise() : Promise(nullptr) {}
  explicit Promise(std::shared_ptr<AsyncExecutor> const& executor);
  Promise(Promise const& other);
  Promise(Promise&& other) noexcept = default;
  Promise& operator=(Promise other) noexcept;
  ~Promise();

  bool IsValid() const { return state_ != nullptr; }
  explicit operator bool() const { return IsValid(); }
  // Whether the state has ended, in any way (also through a holder of its future: Fail, Cancel). False when empty.
  bool IsReady() const { return state_ && state_->IsDone(); }
  Future<T> GetFuture() const;

  // Ends the state with a value. False, and nothing changed, when it had already ended.
  bool Fulfill(detail::Stored<T> value) requires(!std::is_void_v<T>);
  bool Fulfill() requires std::is_void_v<T>;
  // Makes the state take `future`'s outcome (value, exception or cancellation) when that ends, keeping `future`
  // alive and wanted until this state ends or its last future handle goes. An empty `future` cancels the state.
  // Throws std::invalid_argument for the promise's own future.
  void Fulfill(Future<T> const& future);
  // Ends the state with `exception` (not null). False when it had already ended.
  bool Fail(std::exception_ptr exception);

 private:
  friend class WeakPromise<T>;
  friend struct detail::FutureAccess;

  struct AdoptTag {};
  Promise(std::shared_ptr<detail::FutureState<T>> state, AdoptTag) : state_(std::move(state)) {}

  detail::FutureState<T>& CheckedState() const;

  std::shared_ptr<detail::FutureState<T>> state_;
};

// A promise that does not keep its state alive, for work that must not run on when nobody wants its result. It
// counts as a promise (its loss can break the state) as long as the state lives.
template <class T>
class WeakPromise {
 public:
  WeakPromise() = default;
  explicit WeakPromise(Promise<T> const& promise);
  WeakPromise(WeakPromise const& other);
  WeakPromise(WeakPromise&& other) noexcept = default;
  WeakPromise& operator=(WeakPromise other) noexcept;
  ~WeakPromise();

  // A promise of the state while some future handle wants it; an empty promise once nobody does.
  Promise<T> Lock() const;

 private:
  friend struct detail::FutureAccess;

  std::weak_ptr<detail::FutureState<T>> state_;
};

// A future that has already ended with `value` (on the default executor).
template <class T>
Future<std::decay_t<T>> MakeReadyFuture(T&& value);
QUILLAN_EXPORT Future<void> MakeReadyFuture();
// A future that has already failed with `exception` (not null).
template <class T>
Future<T> MakeExceptionalFuture(std::exception_ptr exception);

// Keeps the future's state alive until it has ended, so that work whose result nobody reads still runs to its end.
QUILLAN_EXPORT void KeepAlive(UntypedFuture const& future);

// Follows `future` when it ends with a value. When it fails or is cancelled, runs handler(exception_ptr) on the
// future's executor (cancellation as FutureIsCancelledException) and follows what the handler returns: a
// Future<T>, or a value of T. An exception thrown by the handler fails the result.
template <class T, class Handler>
Future<T> HandleExceptionFuture(Future<T> const& future, Handler&& handler);

// A future that ends with success when `future` ends, whatever its outcome (also when it has no state).
QUILLAN_EXPORT Future<void> IgnoreExceptionsFuture(UntypedFuture const& future);

// Runs f() on `executor` (empty: the default executor; GetInlineExecutor(): the thread that ends the future) once
// `future` has ended, whatever its outcome. Allocates no state of its own. f is destroyed without running when the
// executor refuses it, or when the state goes without ever ending (no handle and no promise left), so work that
// must happen either way belongs in f's destructor as well. A future without state counts as ended.
template <class F>
void WhenEnded(UntypedFuture const& future, std::shared_ptr<AsyncExecutor> const& executor, F&& f);

// Runs task() on `executor` after `delay` and returns a future of its result (followed when task returns a
// future) that carries `continuationExecutor`. The queued task holds only a weak promise: when no future handle
// wants the result by the time it runs, or the future has already ended (a holder failed or cancelled it), it does
// nothing. When the executor refuses it, the future fails with
// ExecutorIsTerminatedException; when the executor destroys it unrun, with BrokenPromiseException.
template <class Rep, class Period, class F>
auto AsyncWithExecutorAndContinuationExecutorAndDelay(std::shared_ptr<AsyncExecutor> const& executor,
                                                      std::chrono::duration<Rep, Period> delay,
                                                      std::shared_ptr<AsyncExecutor> const& continuationExecutor,
                                                      F&& task)
    -> Future<detail::UnwrapFuture<std::invoke_result_t<std::decay_t<F>&>>>;

// Blocks until `future` has ended or the steady clock reaches `deadline`; returns whether it has ended.
// `emptyHasEnded` answers for a future without state, at once: true counts it as ended (reading it then raises
// FutureIsCancelledException), false as one that never ends. Must not be called from a task that the future waits
// for.
QUILLAN_EXPORT bool WaitForUntypedUntil(UntypedFuture const& future, std::chrono::steady_clock::time_point deadline,
                                        bool emptyHasEnded);

}  // namespace zelcore::async

#include "Foundation/Future-inl.h"
