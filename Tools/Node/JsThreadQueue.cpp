#include "JsThreadQueue.h"

namespace Quillan::Node {

std::shared_ptr<JsThreadQueue> JsThreadQueue::Create(Napi::Env env) {
  std::shared_ptr<JsThreadQueue> queue(new JsThreadQueue());
  queue->env_ = env;
  // The function's finalizer owns one reference, so the queue outlives it whoever lets go first.
  auto* const keepAlive = new std::shared_ptr<JsThreadQueue>(queue);
  napi_value const name = Napi::String::New(env, "quillan.settle");
  napi_status const status = napi_create_threadsafe_function(env, nullptr, nullptr, name, 0, 1, keepAlive, &Finalize,
                                                             nullptr, &CallJs, &queue->function_);
  if (status != napi_ok) {
    delete keepAlive;
    NAPI_THROW_IF_FAILED(env, status, nullptr);
  }
  // Idle until someone waits for a settlement.
  napi_unref_threadsafe_function(env, queue->function_);
  return queue;
}

JsThreadQueue::~JsThreadQueue() = default;

bool JsThreadQueue::Post(Task task) {
  auto* const item = new Task(std::move(task));
  {
    // Held across the call: Finalize takes the lock too, so the function cannot go away underneath it.
    std::lock_guard lock(mutex_);
    if (function_ && napi_call_threadsafe_function(function_, item, napi_tsfn_nonblocking) == napi_ok) return true;
  }
  delete item;
  return false;
}

void JsThreadQueue::Hold() {
  std::lock_guard lock(mutex_);
  if (holds_++ == 0 && function_) napi_ref_threadsafe_function(env_, function_);
}

void JsThreadQueue::Letgo() {
  std::lock_guard lock(mutex_);
  if (--holds_ == 0 && function_) napi_unref_threadsafe_function(env_, function_);
}

void JsThreadQueue::Close() {
  std::lock_guard lock(mutex_);
  if (!function_) return;
  napi_release_threadsafe_function(function_, napi_tsfn_abort);
  function_ = nullptr;
}

void JsThreadQueue::CallJs(napi_env env, napi_value, void*, void* data) {
  std::unique_ptr<Task> const task(static_cast<Task*>(data));
  // Without an environment the function is being torn down and only hands back what was still queued.
  if (env == nullptr) return;
  try {
    Napi::HandleScope scope(env);
    (*task)(Napi::Env(env));
  } catch (...) {
    // Nothing can be reported from here; a task settles its own promise before anything can throw.
  }
}

void JsThreadQueue::Finalize(napi_env, void* data, void*) {
  std::unique_ptr<std::shared_ptr<JsThreadQueue>> const keepAlive(static_cast<std::shared_ptr<JsThreadQueue>*>(data));
  std::lock_guard lock((*keepAlive)->mutex_);
  (*keepAlive)->function_ = nullptr;
}

}  // namespace Quillan::Node
