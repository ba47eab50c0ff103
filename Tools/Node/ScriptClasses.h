#pragma once

#include <napi.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "zelscripting/ScriptObject.h"
#include "zelscripting/ScriptObjectDefinition.h"

namespace Quillan::Node {

// The script classes of one environment as JavaScript classes. Each published definition becomes a class under
// its namespaces ("Quillan" gives `exports.Quillan.AnalyzerHost`; a dotted name nests): static methods on the class,
// the others on its prototype, `new X(...)` through CreateInstance and Construct, and on every class `equals(other)`
// (the runtime's identity comparison) and `hashCode()` (its identity hash as a BigInt) unless the class defines
// methods of those names itself.
//
// JavaScript thread only.
class ScriptClasses {
 public:
  ScriptClasses(Napi::Env env, Napi::Object exports, int contextHandle);
  ~ScriptClasses();

  // Publishes every definition that is new since the last call (a module loaded meanwhile may have added some), and
  // republishes one that was replaced under its name.
  void Refresh(Napi::Env env);

  // The namespace object `name` under the exports, made when missing.
  Napi::Object Namespace(Napi::Env env, std::string_view name);

  // An instance of the object's class that holds `object`; null for an empty pointer. Throws ScriptException
  // kUnknownClass for an object of a class that is not published.
  Napi::Value Wrap(Napi::Env env, zelscripting::IntrusivePtr<zelscripting::ScriptObject> const& object);
  // The native object of an instance of one of these classes; empty for any other value.
  zelscripting::IntrusivePtr<zelscripting::ScriptObject> Unwrap(Napi::Value value) const;

 private:
  struct Class;
  struct Method;
  class Instance;

  void Publish(Napi::Env env, std::shared_ptr<zelscripting::ScriptObjectDefinitionBase> const& definition);

  static Napi::Value CallMethod(Napi::CallbackInfo const& info);
  static Napi::Value Equals(Napi::CallbackInfo const& info);
  static Napi::Value HashCode(Napi::CallbackInfo const& info);

  int const contextHandle_;
  Napi::ObjectReference exports_;
  std::unordered_map<std::string, std::unique_ptr<Class>> classes_;
  // Replaced classes stay until the environment ends: their JavaScript functions may still be called.
  std::vector<std::unique_ptr<Class>> retired_;
  // The object a Wrap in progress hands to the constructor it calls.
  zelscripting::IntrusivePtr<zelscripting::ScriptObject> adopting_;
};

}  // namespace Quillan::Node
