#include "zelscripting/ScriptObjectDefinition.h"

#include <algorithm>
#include <utility>

namespace zelscripting {

thread_local ScriptObjectDefinitionBase* ScriptObjectDefinitionBase::sCurrent = nullptr;

ScriptObjectDefinitionBase::ScriptObjectDefinitionBase(std::string name, std::string description, int flags)
    : name_(std::move(name)), description_(std::move(description)), flags_(flags) {}

ScriptObjectDefinitionBase::~ScriptObjectDefinitionBase() = default;

std::string const& ScriptObjectDefinitionBase::GetName() const { return name_; }

std::string const& ScriptObjectDefinitionBase::GetDescription() const { return description_; }

int ScriptObjectDefinitionBase::GetFlags() const { return flags_; }

std::vector<std::string> const& ScriptObjectDefinitionBase::GetNamespaces() const { return namespaces_; }

int ScriptObjectDefinitionBase::GetNamespaceFlags(std::string_view name) const {
  for (auto const& space : namespaceDefinitions_) {
    if (space.name == name) return space.flags;
  }
  return 0;
}

std::vector<MethodDefinition> const& ScriptObjectDefinitionBase::GetMethods() const { return methods_; }

MethodDefinition const* ScriptObjectDefinitionBase::FindMethod(std::string_view name) const {
  auto const found =
      std::find_if(methods_.begin(), methods_.end(), [name](MethodDefinition const& m) { return m.name == name; });
  return found == methods_.end() ? nullptr : &*found;
}

IntrusivePtr<ScriptObject> ScriptObjectDefinitionBase::CreateInstance(int contextHandle) const {
  IntrusivePtr<ScriptObject> object(NewObject());
  // Nobody else sees the object yet, so these plain writes are published with the pointer.
  object->contextHandle_ = contextHandle;
  object->className_ = name_;
  return object;
}

void ScriptObjectDefinitionBase::Construct(IntrusivePtr<ScriptObject> const& object,
                                           std::vector<ScriptValue> const& args) const {
  if (!object) throw ScriptException(ScriptExceptionType::kInvalidObject);
  if (constructor_) constructor_(object, args);
}

ScriptValue ScriptObjectDefinitionBase::Invoke(std::string_view name, int contextHandle,
                                               IntrusivePtr<ScriptObject> const& self,
                                               std::vector<ScriptValue> const& args) const {
  MethodDefinition const* const method = FindMethod(name);
  if (method == nullptr) {
    throw ScriptException(ScriptExceptionType::kUnknownMethod,
                          "The script class \"" + name_ + "\" has no method \"" + std::string(name) + "\".");
  }
  if (method->modifier == ScriptObjectPropertyModifier::kStatic) {
    return method->invoke(CreateInstance(contextHandle), args);
  }
  if (!self) {
    throw ScriptException(ScriptExceptionType::kInvalidObject,
                          "\"" + method->name + "\" of \"" + name_ + "\" needs an object of its class.");
  }
  return method->invoke(self, args);
}

void ScriptObjectDefinitionBase::AddMethod(MethodDefinition method) {
  if (!method.invoke) throw std::invalid_argument("A script method needs an invoker: " + method.name);
  if (FindMethod(method.name) != nullptr) {
    throw std::logic_error("The script class \"" + name_ + "\" has a method \"" + method.name + "\" already.");
  }
  methods_.push_back(std::move(method));
}

void ScriptObjectDefinitionBase::AddNamespace(std::string name, int flags) {
  for (auto& space : namespaceDefinitions_) {
    if (space.name == name) {
      space.flags = flags;
      return;
    }
  }
  namespaces_.push_back(name);
  namespaceDefinitions_.push_back(NamespaceDefinition{std::move(name), flags});
}

void ScriptObjectDefinitionBase::AddComponent(std::shared_ptr<ScriptComponentDefinition const> const& component) {
  if (!component) return;
  for (auto const& method : component->methods) AddMethod(method);
  components_.push_back(component);
}

void ScriptObjectDefinitionBase::SetConstructor(Constructor constructor) { constructor_ = std::move(constructor); }

ScriptDefinitionContext::ScriptDefinitionContext(ScriptObjectDefinitionBase* definition)
    : previous_(ScriptObjectDefinitionBase::sCurrent) {
  ScriptObjectDefinitionBase::sCurrent = definition;
}

ScriptDefinitionContext::~ScriptDefinitionContext() { ScriptObjectDefinitionBase::sCurrent = previous_; }

ScriptObjectDefinitionBase& CurrentDefinition() {
  if (ScriptObjectDefinitionBase::sCurrent == nullptr) {
    throw std::logic_error("No script class is being defined on this thread.");
  }
  return *ScriptObjectDefinitionBase::sCurrent;
}

void AddOrModifyNamespace(std::string name, int flags) { CurrentDefinition().AddNamespace(std::move(name), flags); }

}  // namespace zelscripting
