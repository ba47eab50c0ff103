#include "AddonEnvironment.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "Errors.h"
#include "zelcore/Application.h"
#include "zelscripting/ScriptContext.h"
#include "zelscripting/ScriptException.h"

namespace Quillan::Node {
namespace {

using zelscripting::ScriptValue;

// Environments of this process that have the addon loaded and are not torn down yet.
std::atomic<int> gLiveEnvironments{0};

bool IsProcessMainThread() { return ::syscall(SYS_gettid) == ::getpid(); }

class NodeScriptContext : public zelscripting::ScriptContext {
 public:
  explicit NodeScriptContext(bool mainThread) : mainThread_(mainThread) {}
  std::string GetName() const override { return mainThread_ ? "node" : "node worker"; }

 private:
  bool const mainThread_;
};

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
// clang 14 does not deduce an aggregate's arguments by itself.
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// A result code that script values carry as a number: signed (as the runtime passes codes) or unsigned.
std::optional<zelcore::config::Result> ResultCodeOf(double number) {
  if (std::trunc(number) != number || number < std::numeric_limits<std::int32_t>::min() ||
      number > std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  // Conversion to the unsigned type wraps a negative code onto its unsigned form.
  return static_cast<zelcore::config::Result>(static_cast<std::int64_t>(number));
}

void CleanupHook(void* data) { static_cast<AddonEnvironment*>(data)->TearDown(); }

}  // namespace

AddonEnvironment& AddonEnvironment::Create(Napi::Env env, Napi::Object exports) {
  auto* const state = new AddonEnvironment(env, exports);
  // Node.js deletes the instance data when the environment ends, after the cleanup hooks; the finalizer tears down
  // first in case it ever runs before the hook.
  env.SetInstanceData<AddonEnvironment, &AddonEnvironment::Finalize>(state);
  napi_add_env_cleanup_hook(env, &CleanupHook, state);
  state->classes_->Refresh(env);
  return *state;
}

AddonEnvironment* AddonEnvironment::Get(Napi::Env env) { return env.GetInstanceData<AddonEnvironment>(); }

AddonEnvironment::AddonEnvironment(Napi::Env env, Napi::Object exports) : queue_(JsThreadQueue::Create(env)) {
  contextHandle_ =
      zelscripting::ScriptContexts::GetInstance().Register(std::make_shared<NodeScriptContext>(IsProcessMainThread()));
  ++gLiveEnvironments;
  classes_ = std::make_unique<ScriptClasses>(env, exports, contextHandle_);
}

AddonEnvironment::~AddonEnvironment() = default;

void AddonEnvironment::Finalize(Napi::Env env, AddonEnvironment* state) {
  if (!state->tornDown_) {
    state->TearDown();
    napi_remove_env_cleanup_hook(env, &CleanupHook, state);
  }
  delete state;
}

void AddonEnvironment::TearDown() {
  if (tornDown_) return;
  tornDown_ = true;
  // Settlements that arrive from now on are dropped on the thread that makes them.
  queue_->Close();
  auto activities = std::move(activities_);
  for (auto const& [key, activity] : activities) activity->Stop();
  pending_.clear();
  kept_.clear();
  zelscripting::ScriptContexts::GetInstance().Unregister(contextHandle_);
  // The application's shutdown is once per process and cannot be undone: it drains the pre-termination executor
  // and tears down the singletons (default host and registry). That is only right when the process's main
  // environment goes and no worker still uses the library, which is when Node.js is about to exit.
  if (--gLiveEnvironments == 0 && IsProcessMainThread()) zelcore::config::ShutdownApplication();
}

AddonEnvironment::PendingPromise AddonEnvironment::NewPromise(Napi::Env env) {
  auto const deferred = Napi::Promise::Deferred::New(env);
  std::uint64_t const id = nextPromiseId_++;
  pending_.emplace(id, deferred);
  queue_->Hold();
  return {deferred.Promise(), id};
}

void AddonEnvironment::SettlePromise(std::shared_ptr<JsThreadQueue> const& queue, std::uint64_t id, Settler settler) {
  queue->Post([id, settler = std::move(settler)](Napi::Env env) {
    if (AddonEnvironment* const state = Get(env)) state->Complete(env, id, settler);
  });
}

void AddonEnvironment::Complete(Napi::Env env, std::uint64_t id, Settler const& settler) {
  auto const found = pending_.find(id);
  if (found == pending_.end()) return;
  Napi::Promise::Deferred const deferred = found->second;
  pending_.erase(found);
  queue_->Letgo();
  try {
    settler(env, deferred);
  } catch (...) {
    deferred.Reject(ToJsError(env, std::current_exception()).Value());
  }
  // Kept until the settler has run: it may still need them.
  kept_.erase(id);
}

Napi::Value AddonEnvironment::ToJs(Napi::Env env, ScriptValue const& value) {
  return std::visit(
      Overloaded{
          [&](std::monostate) -> Napi::Value { return env.Undefined(); },
          [&](std::nullptr_t) -> Napi::Value { return env.Null(); },
          [&](bool b) -> Napi::Value { return Napi::Boolean::New(env, b); },
          [&](double d) -> Napi::Value { return Napi::Number::New(env, d); },
          [&](std::string const& s) -> Napi::Value { return Napi::String::New(env, s); },
          [&](zelscripting::IntrusivePtr<zelscripting::ScriptObject> const& object) -> Napi::Value {
            return classes_->Wrap(env, object);
          },
          [&](std::shared_ptr<zelscripting::NativeObject> const& native) -> Napi::Value {
            if (!native) return env.Null();
            if (auto promise = std::dynamic_pointer_cast<zelscripting::NativePromise>(native)) {
              return ToJsPromise(env, promise);
            }
            throw zelscripting::ScriptException("A native value of a kind scripts cannot hold was returned");
          },
      },
      value);
}

ScriptValue AddonEnvironment::FromJs(Napi::Value value) {
  switch (value.Type()) {
    case napi_undefined:
      return std::monostate();
    case napi_null:
      return nullptr;
    case napi_boolean:
      return value.As<Napi::Boolean>().Value();
    case napi_number:
      return value.As<Napi::Number>().DoubleValue();
    case napi_string:
      return value.As<Napi::String>().Utf8Value();
    case napi_object:
      if (auto object = classes_->Unwrap(value)) return ScriptValue(std::move(object));
      break;
    default:
      break;
  }
  throw zelscripting::ParameterErrorException(
      "Native methods take undefined, null, booleans, numbers, strings and Quillan objects only");
}

std::vector<ScriptValue> AddonEnvironment::ArgumentsOf(Napi::CallbackInfo const& info) {
  std::vector<ScriptValue> args;
  args.reserve(info.Length());
  for (std::size_t i = 0; i < info.Length(); ++i) args.push_back(FromJs(info[i]));
  return args;
}

Napi::Value AddonEnvironment::SettledValue(Napi::Env env, std::vector<ScriptValue> const& values) {
  if (values.empty()) return env.Undefined();
  if (values.size() == 1) return ToJs(env, values.front());
  Napi::Array array = Napi::Array::New(env, values.size());
  for (std::size_t i = 0; i < values.size(); ++i) array.Set(static_cast<std::uint32_t>(i), ToJs(env, values[i]));
  return array;
}

Napi::Value AddonEnvironment::RejectionValue(Napi::Env env, std::vector<ScriptValue> const& values,
                                             std::string const& failureMessage) {
  // Scripts always get an Error. The runtime rejects with {message, code} (utility::RejectPromise) or, for the job
  // methods, with the bare code while the promise keeps the failure's message aside; anything else is read the same
  // way: its first text is the message and its first number the code.
  std::string message = failureMessage;
  std::optional<zelcore::config::Result> code;
  for (ScriptValue const& value : values) {
    if (auto const* text = std::get_if<std::string>(&value); text != nullptr && message.empty()) message = *text;
    if (auto const* number = std::get_if<double>(&value); number != nullptr && !code) code = ResultCodeOf(*number);
  }
  return ResultCodeError(env, message, code.value_or(zelcore::config::kResultUnexpected)).Value();
}

Napi::Value AddonEnvironment::ToJsPromise(Napi::Env env, std::shared_ptr<zelscripting::NativePromise> const& promise) {
  PendingPromise const pending = NewPromise(env);
  try {
    // Weak: the promise keeps its handler until it settles, and the handler runs while the promise is alive.
    promise->OnSettled([queue = queue_, id = pending.id, weak = std::weak_ptr(promise)](
                           bool fulfilled, std::vector<ScriptValue> const& values) {
      std::string failureMessage;
      if (auto const settled = weak.lock(); settled && !fulfilled) failureMessage = settled->GetFailureMessage();
      SettlePromise(queue, id,
                    [fulfilled, values, failureMessage](Napi::Env env, Napi::Promise::Deferred const& deferred) {
                      AddonEnvironment* const state = Get(env);
                      if (fulfilled) {
                        deferred.Resolve(state->SettledValue(env, values));
                      } else {
                        deferred.Reject(state->RejectionValue(env, values, failureMessage));
                      }
                    });
    });
  } catch (...) {
    // A promise that already has a handler cannot be handed out twice; drop the JavaScript one unsettled.
    pending_.erase(pending.id);
    queue_->Letgo();
    throw;
  }
  return pending.promise;
}

void AddonEnvironment::KeepForPromise(std::uint64_t id, Napi::Object values) { kept_[id] = Napi::Persistent(values); }

Napi::Object AddonEnvironment::KeptForPromise(Napi::Env env, std::uint64_t id) const {
  auto const found = kept_.find(id);
  return found == kept_.end() ? Napi::Object::New(env) : found->second.Value();
}

void AddonEnvironment::Track(std::shared_ptr<Activity> const& activity) { activities_[activity.get()] = activity; }

void AddonEnvironment::Forget(Activity const* activity) { activities_.erase(activity); }

}  // namespace Quillan::Node
