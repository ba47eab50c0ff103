#include "ScriptClasses.h"

#include <unordered_set>
#include <utility>

#include "AddonEnvironment.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Errors.h"
#include "zelscripting/ScriptDefinitions.h"
#include "zelscripting/ScriptException.h"

namespace Quillan::Node {
namespace {

using zelscripting::IntrusivePtr;
using zelscripting::ScriptObject;

// Marks the instances of these classes, so that an object wrapped by another addon is never taken for one.
constexpr napi_type_tag kInstanceTag = {0x6a1c2f0e9b7d4c35ULL, 0x8e41a7d2c05b19f3ULL};

constexpr auto kMethodAttributes = static_cast<napi_property_attributes>(napi_writable | napi_configurable);

}  // namespace

struct ScriptClasses::Class {
  ScriptClasses* owner = nullptr;
  std::shared_ptr<zelscripting::ScriptObjectDefinitionBase> definition;
  Napi::FunctionReference constructor;
  std::vector<std::unique_ptr<Method>> methods;
};

struct ScriptClasses::Method {
  Class const* owner = nullptr;
  std::string name;
  bool isStatic = false;
};

// The JavaScript object of one script object. Holds a reference to the native object until it is collected.
class ScriptClasses::Instance : public Napi::ObjectWrap<Instance> {
 public:
  explicit Instance(Napi::CallbackInfo const& info) : Napi::ObjectWrap<Instance>(info) {
    auto* const cls = static_cast<Class*>(info.Data());
    Napi::Env const env = info.Env();
    ScriptClasses& classes = *cls->owner;
    // Wrap passes the object it hands over with an External of the class record, which no script can make.
    if (classes.adopting_ && info.Length() == 1 && info[0].IsExternal() &&
        info[0].As<Napi::External<Class>>().Data() == cls) {
      object_ = std::move(classes.adopting_);
    } else {
      object_ = Guarded(env, [&] {
        AddonEnvironment* const state = AddonEnvironment::Get(env);
        if (state == nullptr)
          throw ResultCodeError(env, "Quillan is not loaded in this environment", kResultUnavailable);
        IntrusivePtr<ScriptObject> object = cls->definition->CreateInstance(classes.contextHandle_);
        cls->definition->Construct(object, state->ArgumentsOf(info));
        return object;
      });
    }
    info.This().As<Napi::Object>().TypeTag(&kInstanceTag);
  }

  IntrusivePtr<ScriptObject> const& Object() const { return object_; }

  // The instance behind `value`, or null when it is not one.
  static Instance* Of(Napi::Value value) {
    if (!value.IsObject()) return nullptr;
    auto const object = value.As<Napi::Object>();
    return object.CheckTypeTag(&kInstanceTag) ? Unwrap(object) : nullptr;
  }

 private:
  IntrusivePtr<ScriptObject> object_;
};

ScriptClasses::ScriptClasses(Napi::Env, Napi::Object exports, int contextHandle)
    : contextHandle_(contextHandle), exports_(Napi::Persistent(exports)) {}

ScriptClasses::~ScriptClasses() = default;

void ScriptClasses::Refresh(Napi::Env env) {
  for (auto const& definition : zelscripting::ScriptDefinitions::GetInstance().GetObjectDefinitions()) {
    auto const found = classes_.find(definition->GetName());
    if (found != classes_.end() && found->second->definition == definition) continue;
    Publish(env, definition);
  }
}

Napi::Object ScriptClasses::Namespace(Napi::Env env, std::string_view name) {
  Napi::Object current = exports_.Value();
  while (!name.empty()) {
    std::size_t const dot = name.find('.');
    std::string const part(name.substr(0, dot));
    name = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    if (part.empty()) continue;
    Napi::Value const next = current.Get(part);
    if (next.IsObject()) {
      current = next.As<Napi::Object>();
    } else {
      Napi::Object const made = Napi::Object::New(env);
      current.Set(part, made);
      current = made;
    }
  }
  return current;
}

void ScriptClasses::Publish(Napi::Env env,
                            std::shared_ptr<zelscripting::ScriptObjectDefinitionBase> const& definition) {
  auto cls = std::make_unique<Class>();
  cls->owner = this;
  cls->definition = definition;
  Napi::Function const constructor = Instance::DefineClass(env, definition->GetName().c_str(), {}, cls.get());
  Napi::Object const prototype = constructor.Get("prototype").As<Napi::Object>();

  std::unordered_set<std::string> instanceMethods;
  for (zelscripting::MethodDefinition const& method : definition->GetMethods()) {
    auto record = std::make_unique<Method>();
    record->owner = cls.get();
    record->name = method.name;
    record->isStatic = method.modifier == zelscripting::ScriptObjectPropertyModifier::kStatic;
    Napi::Function const function = Napi::Function::New<&CallMethod>(env, method.name.c_str(), record.get());
    Napi::Object target = record->isStatic ? Napi::Object(constructor) : prototype;
    target.DefineProperty(Napi::PropertyDescriptor::Value(method.name, function, kMethodAttributes));
    if (!record->isStatic) instanceMethods.insert(method.name);
    cls->methods.push_back(std::move(record));
  }
  if (!instanceMethods.contains("equals")) {
    prototype.DefineProperty(Napi::PropertyDescriptor::Value(
        "equals", Napi::Function::New<&Equals>(env, "equals", cls.get()), kMethodAttributes));
  }
  if (!instanceMethods.contains("hashCode")) {
    prototype.DefineProperty(Napi::PropertyDescriptor::Value(
        "hashCode", Napi::Function::New<&HashCode>(env, "hashCode", cls.get()), kMethodAttributes));
  }

  if (definition->GetNamespaces().empty()) {
    exports_.Value().Set(definition->GetName(), constructor);
  }
  for (std::string const& name : definition->GetNamespaces()) {
    Namespace(env, name).Set(definition->GetName(), constructor);
  }
  cls->constructor = Napi::Persistent(constructor);

  auto& slot = classes_[definition->GetName()];
  if (slot) retired_.push_back(std::move(slot));
  slot = std::move(cls);
}

Napi::Value ScriptClasses::Wrap(Napi::Env env, IntrusivePtr<ScriptObject> const& object) {
  if (!object) return env.Null();
  auto found = classes_.find(object->GetClassName());
  if (found == classes_.end()) {
    Refresh(env);
    found = classes_.find(object->GetClassName());
    if (found == classes_.end()) {
      throw zelscripting::ScriptException(zelscripting::ScriptExceptionType::kUnknownClass,
                                          "No script class \"" + object->GetClassName() + "\" is published");
    }
  }
  Class* const cls = found->second.get();
  adopting_ = object;
  struct Reset {
    IntrusivePtr<ScriptObject>& slot;
    ~Reset() { slot.reset(); }
  } const reset{adopting_};
  return cls->constructor.New({Napi::External<Class>::New(env, cls)});
}

IntrusivePtr<ScriptObject> ScriptClasses::Unwrap(Napi::Value value) const {
  Instance const* const instance = Instance::Of(value);
  return instance ? instance->Object() : IntrusivePtr<ScriptObject>();
}

Napi::Value ScriptClasses::CallMethod(Napi::CallbackInfo const& info) {
  auto const* const method = static_cast<Method const*>(info.Data());
  Napi::Env const env = info.Env();
  return Guarded(env, [&]() -> Napi::Value {
    AddonEnvironment* const state = AddonEnvironment::Get(env);
    if (state == nullptr) throw ResultCodeError(env, "Quillan is not loaded in this environment", kResultUnavailable);
    auto const& definition = *method->owner->definition;
    IntrusivePtr<ScriptObject> self;
    if (!method->isStatic) {
      Instance const* const instance = Instance::Of(info.This());
      if (instance == nullptr || instance->Object()->GetClassName() != definition.GetName()) {
        throw ArgumentError(
            env, definition.GetName() + "." + method->name + " needs a " + definition.GetName() + " object as `this`");
      }
      self = instance->Object();
    }
    std::vector<zelscripting::ScriptValue> const args = state->ArgumentsOf(info);
    zelscripting::ScriptValue const result =
        definition.Invoke(method->name, method->owner->owner->contextHandle_, self, args);
    return state->ToJs(env, result);
  });
}

Napi::Value ScriptClasses::Equals(Napi::CallbackInfo const& info) {
  Instance const* const self = Instance::Of(info.This());
  if (self == nullptr) throw ArgumentError(info.Env(), "equals needs a Quillan object as `this`");
  Instance const* const other = info.Length() > 0 ? Instance::Of(info[0]) : nullptr;
  return Napi::Boolean::New(info.Env(), other != nullptr && self->Object()->IsSameObject(*other->Object()));
}

Napi::Value ScriptClasses::HashCode(Napi::CallbackInfo const& info) {
  Instance const* const self = Instance::Of(info.This());
  if (self == nullptr) throw ArgumentError(info.Env(), "hashCode needs a Quillan object as `this`");
  return Napi::BigInt::New(info.Env(), self->Object()->GetIdentityHash());
}

}  // namespace Quillan::Node
