#include "Foundation/CompoundFuture.h"

#include <stdexcept>
#include <utility>

namespace zelcore::async {

std::shared_ptr<CompoundFuture> CompoundFuture::Create(std::shared_ptr<AsyncExecutor> const& executor) {
  return std::shared_ptr<CompoundFuture>(new CompoundFuture(executor));
}

CompoundFuture::CompoundFuture(std::shared_ptr<AsyncExecutor> const& executor)
    : promise_(executor), future_(promise_.GetFuture()) {}

CompoundFuture::~CompoundFuture() = default;

void CompoundFuture::Add(UntypedFuture const& future) {
  std::size_t index = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) throw std::logic_error("CompoundFuture: a future was added after Close");
    index = members_.size();
    members_.push_back(future);
    ++pending_;
  }
  auto const& state = detail::FutureAccess::State(future);
  if (!state) {
    MemberEnded(index, future.GetException());
    return;
  }
  state->AddContinuation(
      detail::MakeContinuation(nullptr, [self = shared_from_this(), index](detail::UntypedFutureState& ended) {
        self->MemberEnded(index, ended.GetFailure());
      }));
}

Future<void> CompoundFuture::Close() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!closed_) {
    closed_ = true;
    EndIfDone(std::move(lock));
  }
  return future_;
}

void CompoundFuture::MemberEnded(std::size_t index, std::exception_ptr failure) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (failure && (!failure_ || index < failedIndex_)) {
    failure_ = std::move(failure);
    failedIndex_ = index;
  }
  --pending_;
  EndIfDone(std::move(lock));
}

void CompoundFuture::EndIfDone(std::unique_lock<std::mutex> lock) {
  if (!closed_ || pending_ > 0 || !promise_.IsValid()) return;
  Promise<void> promise = std::move(promise_);
  std::vector<UntypedFuture> members = std::move(members_);
  std::exception_ptr failure = failure_;
  lock.unlock();
  // The combined future's continuations run here, outside the mutex.
  if (failure) {
    promise.Fail(std::move(failure));
  } else {
    promise.Fulfill();
  }
}

}  // namespace zelcore::async
