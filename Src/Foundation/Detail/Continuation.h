#pragma once

#include <memory>
#include <utility>

#include "Foundation/Export.h"
#include "Foundation/InlineExecutor.h"
#include "zelcore/Executor.h"

namespace zelcore::async::detail {

class UntypedFutureState;

// One step filed in a state: what to run when the state ends, and the executor to run it on. The state owns its
// continuations until it hands them out. A continuation must never own the state it is filed in, so that filing
// one never keeps a future alive.
class QUILLAN_EXPORT Continuation {
 public:
  // `executor` null means inline: run on the thread that ends the state.
  explicit Continuation(std::shared_ptr<AsyncExecutor> executor) : executor_(std::move(executor)) {}
  virtual ~Continuation();
  Continuation(Continuation const&) = delete;
  Continuation& operator=(Continuation const&) = delete;

  // Reads the ended `source`. May throw; ContinuationCaller logs what escapes.
  virtual void Run(UntypedFutureState& source) = 0;

 private:
  friend class ContinuationList;
  friend class ContinuationCaller;

  std::shared_ptr<AsyncExecutor> executor_;
  Continuation* next_ = nullptr;  // owned link of the ContinuationList that holds this continuation
};

template <class F>
class CallableContinuation final : public Continuation {
 public:
  CallableContinuation(std::shared_ptr<AsyncExecutor> executor, F f)
      : Continuation(std::move(executor)), f_(std::move(f)) {}

  void Run(UntypedFutureState& source) override { f_(source); }

 private:
  F f_;
};

// Wraps `f(UntypedFutureState& ended)` with the executor it must run on. The inline executor is stored as null so
// that handing the continuation out needs neither a virtual call nor a reference count on a shared executor.
template <class F>
std::unique_ptr<Continuation> MakeContinuation(std::shared_ptr<AsyncExecutor> executor, F&& f) {
  if (executor.get() == GetInlineExecutor().get()) executor.reset();
  return std::make_unique<CallableContinuation<std::decay_t<F>>>(std::move(executor), std::forward<F>(f));
}

// A FIFO of continuations that owns them, linked through the continuations themselves so that filing one
// allocates nothing beyond the continuation. Not thread-safe: the owning state guards it.
class ContinuationList {
 public:
  ContinuationList() = default;
  ContinuationList(ContinuationList&& other) noexcept
      : head_(std::exchange(other.head_, nullptr)), tail_(std::exchange(other.tail_, nullptr)) {}
  ContinuationList& operator=(ContinuationList&& other) noexcept {
    ContinuationList old(std::move(*this));
    head_ = std::exchange(other.head_, nullptr);
    tail_ = std::exchange(other.tail_, nullptr);
    return *this;
  }
  ~ContinuationList() {
    while (PopFront()) {
    }
  }

  bool Empty() const { return head_ == nullptr; }

  void PushBack(std::unique_ptr<Continuation> continuation) {
    Continuation* raw = continuation.release();
    raw->next_ = nullptr;
    (tail_ ? tail_->next_ : head_) = raw;
    tail_ = raw;
  }

  std::unique_ptr<Continuation> PopFront() {
    Continuation* raw = head_;
    if (raw) {
      head_ = std::exchange(raw->next_, nullptr);
      if (!head_) tail_ = nullptr;
    }
    return std::unique_ptr<Continuation>(raw);
  }

 private:
  Continuation* head_ = nullptr;
  Continuation* tail_ = nullptr;
};

// Hands continuations of an ended state to their executors.
class QUILLAN_EXPORT ContinuationCaller {
 public:
  // Runs `continuation` on its executor: inline ones at once on this thread, others queued with Execute. An
  // executor that refuses the task destroys the continuation unrun. `source` must have ended.
  static void CallContinuationAsync(std::unique_ptr<Continuation> continuation,
                                    std::shared_ptr<UntypedFutureState> const& source);

  // Runs `continuation` on this thread. Whatever it throws is logged and goes no further.
  static void CallFutureContinuation(Continuation& continuation, UntypedFutureState& source) noexcept;

 private:
  static void CallInline(std::unique_ptr<Continuation> continuation, std::shared_ptr<UntypedFutureState> const& source);
};

}  // namespace zelcore::async::detail
