#include "zelscripting/NativePromise.h"

#include <stdexcept>
#include <utility>

namespace zelscripting {

NativePromise::NativePromise(int contextHandle) : contextHandle_(contextHandle) {}

NativePromise::~NativePromise() = default;

int NativePromise::GetContextHdl() const { return contextHandle_; }

bool NativePromise::Resolve(std::vector<ScriptValue> values) { return Settle(true, std::move(values)); }

bool NativePromise::Reject(std::vector<ScriptValue> values) { return Settle(false, std::move(values)); }

bool NativePromise::IsSettled() const {
  std::lock_guard lock(mutex_);
  return settled_;
}

void NativePromise::OnSettled(SettledHandler handler) {
  if (!handler) throw std::invalid_argument("A promise handler must not be empty");
  std::unique_lock lock(mutex_);
  if (handlerAttached_) throw std::logic_error("The promise has a handler already");
  handlerAttached_ = true;
  if (!settled_) {
    handler_ = std::move(handler);
    return;
  }
  // Settled values never change again, so the handler may read them without the lock.
  lock.unlock();
  handler(fulfilled_, values_);
}

std::string NativePromise::GetFailureMessage() const {
  std::lock_guard lock(mutex_);
  return failureMessage_;
}

bool NativePromise::Settle(bool fulfilled, std::vector<ScriptValue> values, std::string failureMessage) {
  SettledHandler handler;
  zelcore::async::UntypedFuture source;  // released outside the lock
  {
    std::lock_guard lock(mutex_);
    if (settled_) return false;
    settled_ = true;
    fulfilled_ = fulfilled;
    values_ = std::move(values);
    failureMessage_ = std::move(failureMessage);
    handler = std::move(handler_);
    source = std::move(source_);
  }
  if (handler) handler(fulfilled_, values_);
  return true;
}

void NativePromise::KeepUntilSettled(zelcore::async::UntypedFuture future) {
  std::lock_guard lock(mutex_);
  if (!settled_) source_ = std::move(future);
}

void NativePromise::SettleFromFailure(std::exception_ptr const& failure, RejectionValue rejection) {
  zelcore::config::Result const code = zelcore::config::ExtractResultFromException(failure);
  std::string message = zelcore::config::ExtractMessageFromException(failure);
  if (static_cast<std::int32_t>(code) < 0 && rejection == RejectionValue::kResultCode) {
    Settle(false, {PropertyType<int>::ToScript(static_cast<std::int32_t>(code))}, std::move(message));
    return;
  }
  utility::RejectPromise(shared_from_this(), message, code);
}

namespace utility {

void RejectPromise(std::shared_ptr<NativePromise> const& promise, std::string const& message,
                   zelcore::config::Result code) {
  if (!promise) throw std::invalid_argument("No promise to reject");
  promise->Reject(
      {PropertyType<std::string>::ToScript(message), PropertyType<int>::ToScript(static_cast<std::int32_t>(code))});
}

}  // namespace utility

}  // namespace zelscripting
