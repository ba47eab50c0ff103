#pragma once

#include <napi.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "JsThreadQueue.h"
#include "ScriptClasses.h"
#include "zelscripting/NativePromise.h"
#include "zelscripting/ScriptValue.h"

namespace Quillan::Node {

// What the addon keeps per Node.js environment (the main thread's, or a worker's): the script context it
// registered, the queue to the JavaScript thread, the published classes and the promises still pending.
//
// Made by the module's init, stored as the environment's instance data, and torn down by the environment's
// cleanup hook. Everything runs on the environment's JavaScript thread except where a method says otherwise.
class AddonEnvironment {
 public:
  // Settles a JavaScript promise on the JavaScript thread.
  using Settler = std::function<void(Napi::Env, Napi::Promise::Deferred const&)>;

  // The promise a native operation settles later through SettlePromise, from any thread.
  struct PendingPromise {
    Napi::Promise promise;
    std::uint64_t id;
  };

  // Work the addon started that must stop with the environment.
  class Activity {
   public:
    virtual ~Activity() = default;
    // Stops what is still running. Runs on the JavaScript thread during teardown.
    virtual void Stop() = 0;
  };

  // Registers the script context and the cleanup hook; publishes the classes under `exports`.
  static AddonEnvironment& Create(Napi::Env env, Napi::Object exports);
  // The environment's instance; null before Create.
  static AddonEnvironment* Get(Napi::Env env);

  ~AddonEnvironment();

  std::shared_ptr<JsThreadQueue> const& GetQueue() const { return queue_; }
  ScriptClasses& GetClasses() { return *classes_; }

  // A new JavaScript promise, pending until SettlePromise settles it. Keeps the event loop alive meanwhile.
  PendingPromise NewPromise(Napi::Env env);
  // Settles the promise `id` with `settler` on the JavaScript thread; a throwing settler rejects it instead. May be
  // called from any thread, once per promise; does nothing once the environment is gone.
  static void SettlePromise(std::shared_ptr<JsThreadQueue> const& queue, std::uint64_t id, Settler settler);

  // Conversions across the script boundary. ToJs turns a NativePromise into a JavaScript promise and a script object
  // into an instance of its class; FromJs throws ParameterErrorException for a value native methods cannot take.
  Napi::Value ToJs(Napi::Env env, zelscripting::ScriptValue const& value);
  zelscripting::ScriptValue FromJs(Napi::Value value);
  std::vector<zelscripting::ScriptValue> ArgumentsOf(Napi::CallbackInfo const& info);

  // Keeps `values` (the script's callbacks of the work behind promise `id`) until that promise settles or the
  // environment goes, so that tasks from other threads name them by `id` and never hold a JavaScript reference.
  void KeepForPromise(std::uint64_t id, Napi::Object values);
  // What KeepForPromise kept for `id`; an empty object once the promise has settled.
  Napi::Object KeptForPromise(Napi::Env env, std::uint64_t id) const;

  // Files `activity` until it is Forget-ed; teardown stops what is still filed.
  void Track(std::shared_ptr<Activity> const& activity);
  void Forget(Activity const* activity);

  // The environment's cleanup hook: stops what the addon started, closes the queue, unregisters the script context
  // and, when the process's main environment is the last to go, runs the application's shutdown. Runs once.
  void TearDown();

 private:
  AddonEnvironment(Napi::Env env, Napi::Object exports);

  static void Finalize(Napi::Env env, AddonEnvironment* state);
  // What a settled NativePromise's values become: nothing is undefined, one value itself, more an array.
  Napi::Value SettledValue(Napi::Env env, std::vector<zelscripting::ScriptValue> const& values);
  // What a rejected NativePromise's values become: always an Error (Errors.h), with `failureMessage` as its message
  // when not empty.
  Napi::Value RejectionValue(Napi::Env env, std::vector<zelscripting::ScriptValue> const& values,
                             std::string const& failureMessage);

  Napi::Value ToJsPromise(Napi::Env env, std::shared_ptr<zelscripting::NativePromise> const& promise);
  // Runs on the JavaScript thread for SettlePromise.
  void Complete(Napi::Env env, std::uint64_t id, Settler const& settler);

  int contextHandle_ = 0;
  std::shared_ptr<JsThreadQueue> queue_;
  std::unique_ptr<ScriptClasses> classes_;
  std::uint64_t nextPromiseId_ = 1;
  std::unordered_map<std::uint64_t, Napi::Promise::Deferred> pending_;
  std::unordered_map<std::uint64_t, Napi::ObjectReference> kept_;  // by pending promise
  std::unordered_map<Activity const*, std::shared_ptr<Activity>> activities_;
  bool tornDown_ = false;
};

}  // namespace Quillan::Node
