#include "zelscripting/ScriptDefinitions.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <utility>

#include "zelcore/Logging.h"
#include "zelscripting/ScriptObjectDefinition.h"

namespace zelscripting {

ScriptObjectDefinitionInitiatorBase::~ScriptObjectDefinitionInitiatorBase() = default;

ScriptDefinitions& ScriptDefinitions::GetInstance() {
  static ScriptDefinitions instance;
  return instance;
}

ScriptDefinitions::ScriptDefinitions() = default;
ScriptDefinitions::~ScriptDefinitions() = default;

void ScriptDefinitions::AddObjectDefinition(std::string name, std::shared_ptr<ScriptObjectDefinitionBase> definition) {
  if (!definition) throw std::invalid_argument("A script class needs a definition: " + name);
  std::lock_guard lock(mutex_);
  auto const same = std::find_if(definitions_.begin(), definitions_.end(),
                                 [&name](auto const& entry) { return entry.first == name; });
  if (same != definitions_.end()) {
    same->second = std::move(definition);
  } else {
    definitions_.emplace_back(std::move(name), std::move(definition));
  }
}

std::vector<std::shared_ptr<ScriptObjectDefinitionBase>> ScriptDefinitions::GetObjectDefinitions() {
  std::lock_guard lock(mutex_);
  RunPendingInitiators();
  std::vector<std::shared_ptr<ScriptObjectDefinitionBase>> all;
  all.reserve(definitions_.size());
  for (auto const& entry : definitions_) all.push_back(entry.second);
  return all;
}

std::shared_ptr<ScriptObjectDefinitionBase> ScriptDefinitions::FindObjectDefinition(std::string_view name) {
  std::lock_guard lock(mutex_);
  RunPendingInitiators();
  for (auto const& entry : definitions_) {
    if (entry.first == name) return entry.second;
  }
  return nullptr;
}

void ScriptDefinitions::AddComponent(std::string typeName, std::shared_ptr<ScriptComponentDefinition const> component) {
  if (!component) throw std::invalid_argument("A script component needs a definition: " + typeName);
  std::lock_guard lock(mutex_);
  components_[std::move(typeName)].push_back(std::move(component));
}

std::vector<std::shared_ptr<ScriptComponentDefinition const>> ScriptDefinitions::GetScriptComponentGroupDefinitions(
    std::string_view typeName) {
  std::lock_guard lock(mutex_);
  auto const found = components_.find(typeName);
  if (found == components_.end()) return {};
  return found->second;
}

void ScriptDefinitions::AddInitiator(std::shared_ptr<ScriptObjectDefinitionInitiatorBase> initiator) {
  if (!initiator) throw std::invalid_argument("A script class initiator must not be null");
  std::lock_guard lock(mutex_);
  pending_.push_back(std::move(initiator));
}

void ScriptDefinitions::RemoveInitiator(ScriptObjectDefinitionInitiatorBase const* initiator) {
  std::lock_guard lock(mutex_);
  std::erase_if(pending_, [initiator](auto const& pending) { return pending.get() == initiator; });
}

void ScriptDefinitions::RunPendingInitiators() {
  std::lock_guard lock(mutex_);
  // One at a time from the front: a definition function may ask for definitions itself (the lock is recursive),
  // and must not run its own initiator again.
  while (!pending_.empty()) {
    std::shared_ptr<ScriptObjectDefinitionInitiatorBase> const initiator = std::move(pending_.front());
    pending_.erase(pending_.begin());
    try {
      initiator->GetDefinitionFunction()(*this);
    } catch (...) {
      zelcore::logging::LogException(std::current_exception(), "zelscripting::ScriptDefinitions::RunPendingInitiators");
    }
  }
}

ScriptObjectDefinitionRegistrar::ScriptObjectDefinitionRegistrar(
    std::shared_ptr<ScriptObjectDefinitionInitiatorBase> initiator)
    : initiator_(std::move(initiator)) {
  ScriptDefinitions::GetInstance().AddInitiator(initiator_);
}

ScriptObjectDefinitionRegistrar::~ScriptObjectDefinitionRegistrar() {
  ScriptDefinitions::GetInstance().RemoveInitiator(initiator_.get());
}

namespace utility {

std::string GetRuntimeTypeName(std::type_info const& type) {
  int status = 0;
  char* const demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  if (status != 0 || demangled == nullptr) return type.name();
  std::string name(demangled);
  std::free(demangled);
  return name;
}

}  // namespace utility

}  // namespace zelscripting
