#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Foundation/Future.h"
#include "zelcore/ZelException.h"
#include "zelscripting/Export.h"
#include "zelscripting/ScriptObject.h"
#include "zelscripting/ScriptValue.h"

namespace zelscripting {

// A promise handed to a script: the native side settles it once, and the binding turns the outcome into the
// script's own promise in the context `GetContextHdl()`.
//
//   pending ──Resolve──► fulfilled
//      └─────Reject────► rejected        (the first settle wins; later ones are ignored)
//
// Thread-safe: it may be settled from any thread, and its handler runs on the thread that settles it (or on the
// thread that attaches it, when it has settled already). The binding marshals to its script thread itself.
class ZELSCRIPTING_EXPORT NativePromise : public NativeObject, public std::enable_shared_from_this<NativePromise> {
 public:
  using SettledHandler = std::function<void(bool fulfilled, std::vector<ScriptValue> const& values)>;

  // What a failed future rejects the promise with (see Create).
  enum class RejectionValue : int { kResultCode = 0, kMessage = 1 };

  explicit NativePromise(int contextHandle);
  ~NativePromise() override;

  int GetContextHdl() const;

  // Settle the promise; the first call of either wins, later ones are ignored. Each returns whether it settled it.
  bool Resolve(std::vector<ScriptValue> values);
  bool Reject(std::vector<ScriptValue> values);

  bool IsSettled() const;

  // The message of the failure for which Create rejected the promise with its bare result code; empty for any
  // other outcome. The script values of such a rejection hold the code alone, and a binding may still show the message.
  std::string GetFailureMessage() const;

  // `handler` runs exactly once: at once on the calling thread when the promise has settled already, else on the
  // thread that settles it. There is one handler: a second call throws std::logic_error.
  void OnSettled(SettledHandler handler);

  // A promise that settles when `future` ends, from a continuation on the future (no thread waits for it). It keeps
  // `future` alive until then. A value resolves the promise with PropertyType<T>::ToScript(value). A failure whose
  // result code (as a signed 32-bit number) is negative rejects it: with RejectionValue::kResultCode with that code
  // alone, else through utility::RejectPromise with the failure's message and code. A failure with a non-negative
  // code always rejects through utility::RejectPromise, so the script still learns what went wrong.
  template <class T>
  static std::shared_ptr<NativePromise> Create(zelcore::async::Future<T> future, int contextHandle,
                                               RejectionValue rejection);

 private:
  bool Settle(bool fulfilled, std::vector<ScriptValue> values, std::string failureMessage = {});
  void KeepUntilSettled(zelcore::async::UntypedFuture future);
  void SettleFromFailure(std::exception_ptr const& failure, RejectionValue rejection);

  int const contextHandle_;
  mutable std::mutex mutex_;
  bool settled_ = false;                  // guarded by mutex_
  bool fulfilled_ = false;                // guarded by mutex_
  bool handlerAttached_ = false;          // guarded by mutex_
  std::vector<ScriptValue> values_;       // guarded by mutex_
  std::string failureMessage_;            // guarded by mutex_
  SettledHandler handler_;                // guarded by mutex_; emptied when it runs
  zelcore::async::UntypedFuture source_;  // guarded by mutex_; released when settled
};

namespace utility {

// Rejects `promise` with the script values {message, code}, the code as a signed 32-bit number.
ZELSCRIPTING_EXPORT void RejectPromise(std::shared_ptr<NativePromise> const& promise, std::string const& message,
                                       zelcore::config::Result code);

}  // namespace utility

template <class T>
std::shared_ptr<NativePromise> NativePromise::Create(zelcore::async::Future<T> future, int contextHandle,
                                                     RejectionValue rejection) {
  auto promise = std::make_shared<NativePromise>(contextHandle);
  promise->KeepUntilSettled(future);
  // The continuation holds the future it reads; both it and the promise let go of the future once it has ended.
  zelcore::async::IgnoreExceptionsFuture(future).OnSuccessWithExecutor(
      zelcore::async::GetInlineExecutor(), [promise, future, rejection] {
        if (future.HasValue()) {
          if constexpr (std::is_void_v<T>) {
            promise->Resolve({});
          } else {
            promise->Resolve({PropertyType<T>::ToScript(future.Get())});
          }
        } else {
          promise->SettleFromFailure(future.GetException(), rejection);
        }
      });
  return promise;
}

}  // namespace zelscripting
