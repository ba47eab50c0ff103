#pragma once

#include <napi.h>

#include <functional>
#include <memory>
#include <mutex>

namespace Quillan::Node {

// Carries work from any thread to the JavaScript thread of one Node.js environment, through one thread-safe
// function. Tasks run in the order they were posted, each in its own handle scope.
//
// The queue keeps the event loop alive only while a holder says there is work to wait for (Hold/Letgo), so a
// process whose promises have all settled exits by itself. Once closed (environment teardown) or finalized by
// Node.js, posted tasks are dropped on the posting thread without running.
//
// Post may be called from any thread; everything else only on the JavaScript thread.
class JsThreadQueue : public std::enable_shared_from_this<JsThreadQueue> {
 public:
  using Task = std::function<void(Napi::Env)>;

  static std::shared_ptr<JsThreadQueue> Create(Napi::Env env);

  JsThreadQueue(JsThreadQueue const&) = delete;
  JsThreadQueue& operator=(JsThreadQueue const&) = delete;
  ~JsThreadQueue();

  // Queues `task` for the JavaScript thread; false (task dropped) once the queue is closed.
  bool Post(Task task);

  // Keeps the event loop alive until the matching Letgo.
  void Hold();
  void Letgo();

  // Drops tasks from now on and lets Node.js finalize the thread-safe function. Idempotent.
  void Close();

 private:
  JsThreadQueue() = default;

  static void CallJs(napi_env env, napi_value callback, void* context, void* data);
  static void Finalize(napi_env env, void* data, void* hint);

  napi_env env_ = nullptr;
  std::mutex mutex_;
  napi_threadsafe_function function_ = nullptr;  // guarded by mutex_; null once closed or finalized
  int holds_ = 0;                                // JavaScript thread only
};

}  // namespace Quillan::Node
