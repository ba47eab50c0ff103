#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "zelscripting/Export.h"

namespace zelscripting {

class ScriptObjectDefinitionBase;
struct ScriptComponentDefinition;
class ScriptDefinitions;

// Defines one script class when the runtime first needs the classes: gives the class's native type and the
// function that defines it in ScriptDefinitions.
class ZELSCRIPTING_EXPORT ScriptObjectDefinitionInitiatorBase {
 public:
  virtual ~ScriptObjectDefinitionInitiatorBase();
  virtual std::type_info const& GetTypeInfo() const = 0;
  virtual std::function<void(ScriptDefinitions&)> GetDefinitionFunction() const = 0;
};

// The initiator of class T, which defines itself in `static void DefineScriptObject(ScriptDefinitions&)`.
template <class T>
class ScriptObjectDefinitionInitiator : public ScriptObjectDefinitionInitiatorBase {
 public:
  std::type_info const& GetTypeInfo() const override { return typeid(T); }
  std::function<void(ScriptDefinitions&)> GetDefinitionFunction() const override {
    return [](ScriptDefinitions& definitions) { T::DefineScriptObject(definitions); };
  }
};

// The process's script classes. Modules queue initiators when they load (ScriptObjectDefinitionRegistrar); the
// classes are defined the first time somebody asks for definitions after that, so a module loaded later adds its
// classes on the next call. Thread-safe; initiators run under the registry's (recursive) lock, one at a time.
class ZELSCRIPTING_EXPORT ScriptDefinitions {
 public:
  static ScriptDefinitions& GetInstance();

  ScriptDefinitions(ScriptDefinitions const&) = delete;
  ScriptDefinitions& operator=(ScriptDefinitions const&) = delete;

  // Publishes a class under `name`, replacing a class of the same name. The definition must not change afterwards.
  void AddObjectDefinition(std::string name, std::shared_ptr<ScriptObjectDefinitionBase> definition);
  // Every published class, in publication order; runs pending initiators first.
  std::vector<std::shared_ptr<ScriptObjectDefinitionBase>> GetObjectDefinitions();
  // The class published under `name`, or null; runs pending initiators first.
  std::shared_ptr<ScriptObjectDefinitionBase> FindObjectDefinition(std::string_view name);

  // Attaches `component` to the class whose native run-time type name (utility::GetRuntimeTypeName) is
  // `typeName`. A class takes the components attached before it is defined.
  void AddComponent(std::string typeName, std::shared_ptr<ScriptComponentDefinition const> component);
  // The components attached to `typeName`, in the order they were attached.
  std::vector<std::shared_ptr<ScriptComponentDefinition const>> GetScriptComponentGroupDefinitions(
      std::string_view typeName);

  // Queues an initiator to run on the next request for definitions; RemoveInitiator drops it unless it has run.
  void AddInitiator(std::shared_ptr<ScriptObjectDefinitionInitiatorBase> initiator);
  void RemoveInitiator(ScriptObjectDefinitionInitiatorBase const* initiator);
  // Runs pending initiators now. An initiator that throws is logged and dropped.
  void RunPendingInitiators();

 private:
  ScriptDefinitions();
  ~ScriptDefinitions();

  std::recursive_mutex mutex_;
  std::vector<std::shared_ptr<ScriptObjectDefinitionInitiatorBase>> pending_;                     // guarded by mutex_
  std::vector<std::pair<std::string, std::shared_ptr<ScriptObjectDefinitionBase>>> definitions_;  // guarded by mutex_
  std::map<std::string, std::vector<std::shared_ptr<ScriptComponentDefinition const>>, std::less<>>
      components_;  // guarded by mutex_
};

// Queues an initiator when built; a static one in a module defines the module's class once it is loaded:
//
//   ScriptObjectDefinitionRegistrar const registrar(std::make_shared<ScriptObjectDefinitionInitiator<MyObject>>());
//
// Drops the initiator again if it is destroyed before the initiator ran (a module unloaded early).
class ZELSCRIPTING_EXPORT ScriptObjectDefinitionRegistrar {
 public:
  explicit ScriptObjectDefinitionRegistrar(std::shared_ptr<ScriptObjectDefinitionInitiatorBase> initiator);
  ~ScriptObjectDefinitionRegistrar();
  ScriptObjectDefinitionRegistrar(ScriptObjectDefinitionRegistrar const&) = delete;
  ScriptObjectDefinitionRegistrar& operator=(ScriptObjectDefinitionRegistrar const&) = delete;

 private:
  // Held so that its address, by which it is removed, stays its own.
  std::shared_ptr<ScriptObjectDefinitionInitiatorBase> const initiator_;
};

namespace utility {

// The readable (demangled) run-time name of a type, e.g. "Quillan::Scripting::AnalyzerHostObject".
ZELSCRIPTING_EXPORT std::string GetRuntimeTypeName(std::type_info const& type);
template <class T>
std::string GetRuntimeTypeName() {
  return GetRuntimeTypeName(typeid(T));
}

}  // namespace utility

}  // namespace zelscripting
