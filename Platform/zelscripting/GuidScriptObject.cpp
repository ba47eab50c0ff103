#include "zelscripting/GuidScriptObject.h"

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "zelscripting/ScriptException.h"
#include "zelscripting/ScriptObjectDefinition.h"
#include "zelscripting/ScriptObjectUtils.h"

namespace zelscripting {
namespace {

ScriptObjectDefinitionRegistrar const registrar(std::make_shared<ScriptObjectDefinitionInitiator<GuidScriptObject>>());

}  // namespace

GuidScriptObject::GuidScriptObject() = default;
GuidScriptObject::~GuidScriptObject() = default;

IntrusivePtr<ScriptObject> GuidScriptObject::Create(zelcore::utility::Guid const& value, int contextHandle) {
  return utils::CreateScriptObject(contextHandle, kClassName, [&value](IntrusivePtr<ScriptObject> const& object) {
    auto* const guid = dynamic_cast<GuidScriptObject*>(object.get());
    if (guid == nullptr) throw ScriptException(ScriptExceptionType::kInvalidObject);
    guid->value_ = value;
    guid->hasValue_ = true;
  });
}

std::string GuidScriptObject::ToString() const { return value_.AsUTF8String(); }

void GuidScriptObject::DefineScriptObject(ScriptDefinitions& definitions) {
  auto definition = std::make_shared<ScriptObjectDefinition<GuidScriptObject>>(
      kClassName, "A 16-byte identifier, made from its text form.", 0);
  {
    ScriptDefinitionContext const context(definition);
    AddOrModifyNamespace("Quillan", 0);
    RegisterMethod("toString", "The identifier as lowercase text with hyphens and no braces.",
                   ScriptObjectPropertyModifier::kNone, ItemThreadOption::kAnyThread, ScriptItemFlag::kNone,
                   PropertyType<std::string>(), &GuidScriptObject::ToString);
    definition->SetConstructor(&GuidScriptObject::Construct);
  }
  for (auto const& component :
       definitions.GetScriptComponentGroupDefinitions(utility::GetRuntimeTypeName<GuidScriptObject>())) {
    definition->AddComponent(component);
  }
  definitions.AddObjectDefinition(kClassName, std::move(definition));
}

bool GuidScriptObject::IsSameObject(ScriptObjectBase const& other) const {
  auto const* const guid = dynamic_cast<GuidScriptObject const*>(&other);
  return guid != nullptr && guid->hasValue_ == hasValue_ && guid->value_ == value_;
}

std::uint64_t GuidScriptObject::GetIdentityHash() const { return std::hash<zelcore::utility::Guid>()(value_); }

bool GuidScriptObject::TryGetValue(zelcore::utility::Guid& out) const {
  if (!hasValue_) return false;
  out = value_;
  return true;
}

void GuidScriptObject::Construct(IntrusivePtr<ScriptObject> const& object, std::vector<ScriptValue> const& args) {
  auto* const guid = dynamic_cast<GuidScriptObject*>(object.get());
  if (guid == nullptr) throw ScriptException(ScriptExceptionType::kInvalidObject);
  auto const* const text = args.empty() ? nullptr : std::get_if<std::string>(&args.front());
  auto const value = text != nullptr ? zelcore::utility::Guid::FromString(*text) : std::nullopt;
  if (!value)
    throw ParameterErrorException(
        "Quillan.Guid needs the text of a GUID, as \"00112233-4455-6677-8899-aabbccddeeff\".");
  guid->value_ = *value;
  guid->hasValue_ = true;
}

}  // namespace zelscripting
