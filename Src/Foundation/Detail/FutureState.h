#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "Foundation/Detail/Continuation.h"
#include "Foundation/Export.h"
#include "zelcore/Executor.h"

namespace zelcore::async {
template <class T>
class Future;
}  // namespace zelcore::async

namespace zelcore::async::detail {

// What a state holds for Future<void>.
struct Unit {};

template <class T>
using Stored = std::conditional_t<std::is_void_v<T>, Unit, T>;

// What Future<T>::Get returns.
template <class T>
using ValueRef = std::conditional_t<std::is_void_v<T>, void, std::add_lvalue_reference_t<std::add_const_t<T>>>;

template <class T>
struct IsFuture : std::false_type {};
template <class T>
struct IsFuture<Future<T>> : std::true_type {};

// The value type of a future that follows a callable returning R: R itself, or U when R is Future<U>.
template <class R>
struct Unwrap {
  using Type = R;
};
template <class U>
struct Unwrap<Future<U>> {
  using Type = U;
};
template <class R>
using UnwrapFuture = typename Unwrap<std::remove_cvref_t<R>>::Type;

// The value type of the future that OnSuccessWithExecutor makes from a Future<T> and a callable F.
template <class T, class F>
struct ContinuationResult {
  using Type = std::invoke_result_t<F&, ValueRef<T>>;
};
template <class F>
struct ContinuationResult<void, F> {
  using Type = std::invoke_result_t<F&>;
};
template <class T, class F>
using ContinuationValue = UnwrapFuture<typename ContinuationResult<T, std::decay_t<F>>::Type>;

enum class FutureStatus : std::uint8_t { kPending, kValue, kException, kCancelled };

// How states and continuations keep an executor: the default executor for an empty one, null for the inline
// executor (so that inline continuations cost no reference counting on a shared executor), else `executor`.
QUILLAN_EXPORT std::shared_ptr<AsyncExecutor> ResolveExecutor(std::shared_ptr<AsyncExecutor> executor);

// The shared state of one future: its outcome, its continuations, the executor its promise named, and two
// counts: the promises that may still end it, and the future handles that want its outcome.
//
//                    SetValue ─────────────────────────────► kValue
//                  ╱
//   kPending ─────┼─ Fail, or the last promise goes ──────► kException
//                  ╲
//                    Cancel ───────────────────────────────► kCancelled
//
// A state leaves kPending exactly once; later completions are ignored and report false. Leaving kPending stores
// the outcome and takes the continuation list under the mutex; the continuations are then handed out, with the
// mutex released, in the order they were added. A continuation added later is handed out at once.
//
// Ownership. Future handles and promises own the state; weak futures and weak promises do not. A continuation is
// owned by the state it is filed in and never owns that state; it may own the state it completes, so it runs
// whether or not anybody holds that state's futures. A state that follows another (HoldUntilEnded) owns and wants
// it until it ends or its own last future handle goes; KeepAliveUntilEnded makes a state own and want itself
// until it ends. A weak promise finds nothing once no future handle wants the state.
//
// Thread-safe. The recursive mutex guards writing the outcome, the continuation list and the held states; no user
// code runs under it except the move of a value into the state.
class QUILLAN_EXPORT UntypedFutureState : public std::enable_shared_from_this<UntypedFutureState> {
 public:
  // A state whose futures carry `executor`. A state made to follow `followed` owns and wants it as HoldUntilEnded
  // would, without taking the mutex.
  explicit UntypedFutureState(std::shared_ptr<AsyncExecutor> executor,
                              std::shared_ptr<UntypedFutureState> followed = nullptr);
  virtual ~UntypedFutureState();
  UntypedFutureState(UntypedFutureState const&) = delete;
  UntypedFutureState& operator=(UntypedFutureState const&) = delete;

  FutureStatus GetStatus() const { return status_.load(std::memory_order_acquire); }
  bool IsDone() const { return GetStatus() != FutureStatus::kPending; }
  std::shared_ptr<AsyncExecutor> const& GetExecutor() const { return executor_ ? executor_ : GetInlineExecutor(); }

  // The failure of an ended state: its exception, or FutureIsCancelledException when cancelled. Null while
  // pending and after a value.
  std::exception_ptr GetFailure() const;
  // Returns when the state holds a value. Otherwise throws FutureNotReadyException while pending, the stored
  // exception after a failure, and FutureIsCancelledException after a cancellation.
  void ThrowUnlessValue() const;

  // Ends the state with `exception` (which must not be null). False when it had already ended.
  bool Fail(std::exception_ptr exception);
  bool Cancel();

  // Files `continuation`, or hands it out at once when the state has ended.
  void AddContinuation(std::unique_ptr<Continuation> continuation);

  // Every Promise and WeakPromise counts. When the count drops to zero before the state has ended, the state fails
  // with BrokenPromiseException.
  void AddPromise() noexcept { promiseCount_.fetch_add(1, std::memory_order_relaxed); }
  void ReleasePromise();

  // Every future handle counts (and so does a following state, and KeepAliveUntilEnded).
  void AddFuture() noexcept { futureCount_.fetch_add(1, std::memory_order_relaxed); }
  // Drops one count of `state`. The last one releases the state it follows, and so on up the chain.
  static void ReleaseFuture(std::shared_ptr<UntypedFutureState> state);
  // Whether some future handle still wants the outcome.
  bool IsWanted() const { return futureCount_.load(std::memory_order_acquire) > 0; }
  // Whether anything could still see the outcome: a future handle or a continuation.
  bool IsObserved() const;

  // Owns and wants `source`, whose outcome this state will take, until this state ends or its last future handle
  // goes. A later call replaces the earlier source.
  void HoldUntilEnded(std::shared_ptr<UntypedFutureState> source);
  // Owns and wants itself until it ends, so that the work behind it runs even when nobody holds a future.
  void KeepAliveUntilEnded();

 protected:
  // Ends the state with `status` after `store` has written the outcome (under the mutex). False, and `store` not
  // called, when the state had already ended.
  template <class StoreOutcome>
  bool Complete(FutureStatus status, StoreOutcome&& store);

 private:
  // What ending a state takes out of it, to be released after the mutex.
  struct Ending {
    ContinuationList continuations;
    std::shared_ptr<UntypedFutureState> followed;
    std::shared_ptr<UntypedFutureState> keepAlive;
  };

  Ending EndLocked(FutureStatus status);
  void HandOut(Ending ending);

  mutable std::recursive_mutex mutex_;
  // Written under mutex_; read without it. The outcome is complete before it leaves kPending (release/acquire).
  std::atomic<FutureStatus> status_{FutureStatus::kPending};
  std::exception_ptr exception_;                   // written once under mutex_, before status_ says kException
  ContinuationList continuations_;                 // guarded by mutex_
  std::shared_ptr<UntypedFutureState> followed_;   // guarded by mutex_; holds one future count of its state
  std::shared_ptr<UntypedFutureState> keepAlive_;  // guarded by mutex_; this state, holding one future count
  std::atomic<std::size_t> promiseCount_{0};
  std::atomic<std::size_t> futureCount_{0};
  std::shared_ptr<AsyncExecutor> const executor_;  // as ResolveExecutor keeps it
};

template <class T>
class FutureState final : public UntypedFutureState {
 public:
  using UntypedFutureState::UntypedFutureState;

  template <class... Args>
  bool SetValue(Args&&... args) {
    return Complete(FutureStatus::kValue, [&] { value_.emplace(std::forward<Args>(args)...); });
  }

  // The value; throws as ThrowUnlessValue does.
  Stored<T> const& Value() const {
    ThrowUnlessValue();
    return *value_;
  }
  // The value of a state known to hold one.
  Stored<T> const& ValueUnchecked() const { return *value_; }

 private:
  std::optional<Stored<T>> value_;  // written once under the mutex, before the status says kValue
};

template <class StoreOutcome>
bool UntypedFutureState::Complete(FutureStatus status, StoreOutcome&& store) {
  Ending ending;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (status_.load(std::memory_order_relaxed) != FutureStatus::kPending) return false;
    store();
    ending = EndLocked(status);
  }
  HandOut(std::move(ending));
  return true;
}

}  // namespace zelcore::async::detail
