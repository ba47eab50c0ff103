#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "zelscripting/Export.h"
#include "zelscripting/ScriptException.h"
#include "zelscripting/ScriptObject.h"
#include "zelscripting/ScriptValue.h"

namespace zelscripting {

enum class ScriptObjectPropertyModifier : int { kNone = 0, kStatic = 1 };

// On which threads the runtime may call an item.
enum class ItemThreadOption : int {
  kDefault = 0,           // the script context's own thread
  kMainThread = 0x40000,  // the application's main thread
  kAnyThread = 0x80000,   // whatever thread the runtime calls from
};

enum class ScriptItemFlag : int { kNone = 0 };

struct ParameterDescription {
  std::string name;
  std::string typeName;
};

// Calls a method. For a static method `self` is a new unbound instance of the class in the caller's context.
using MethodInvoker =
    std::function<ScriptValue(IntrusivePtr<ScriptObject> const& self, std::vector<ScriptValue> const& args)>;

struct MethodDefinition {
  std::string name;
  std::string description;
  ScriptObjectPropertyModifier modifier = ScriptObjectPropertyModifier::kNone;
  ItemThreadOption threadOption = ItemThreadOption::kDefault;
  ScriptItemFlag flags = ScriptItemFlag::kNone;
  std::string resultTypeName;
  std::vector<ParameterDescription> parameters;
  MethodInvoker invoke;
};

// Extra methods that another module attaches to a class, by the class's run-time type name
// (ScriptDefinitions::AddComponent); the class takes them when it is defined.
struct ScriptComponentDefinition {
  std::string name;
  std::vector<MethodDefinition> methods;
};

// A script namespace a class is listed in.
struct NamespaceDefinition {
  std::string name;
  int flags = 0;
};

// A script class: its name, description, namespaces, methods, and how its objects are made.
//
// A definition is filled in while its class is being defined (ScriptDefinitionContext, RegisterMethod,
// AddOrModifyNamespace, AddComponent, SetConstructor) and is immutable once published through
// ScriptDefinitions::AddObjectDefinition; from then on every const member may be called from any thread.
class ZELSCRIPTING_EXPORT ScriptObjectDefinitionBase {
 public:
  using Constructor =
      std::function<void(IntrusivePtr<ScriptObject> const& object, std::vector<ScriptValue> const& args)>;

  ScriptObjectDefinitionBase(std::string name, std::string description, int flags);
  ScriptObjectDefinitionBase(ScriptObjectDefinitionBase const&) = delete;
  ScriptObjectDefinitionBase& operator=(ScriptObjectDefinitionBase const&) = delete;
  virtual ~ScriptObjectDefinitionBase();

  // The definition that RegisterMethod and AddOrModifyNamespace fill in on this thread; set by
  // ScriptDefinitionContext, null outside one.
  static thread_local ScriptObjectDefinitionBase* sCurrent;

  std::string const& GetName() const;
  std::string const& GetDescription() const;
  int GetFlags() const;
  // Namespace names in the order they were first added, e.g. {"Quillan"}.
  std::vector<std::string> const& GetNamespaces() const;
  // The flags the namespace was last added with; 0 for a namespace the class is not listed in.
  int GetNamespaceFlags(std::string_view name) const;
  // In registration order, components' methods after the class's own.
  std::vector<MethodDefinition> const& GetMethods() const;
  // The method of that name, or null.
  MethodDefinition const* FindMethod(std::string_view name) const;
  // The native type of the class's objects.
  virtual std::type_info const& GetObjectType() const = 0;

  // A new instance in `contextHandle`, unbound: what a script's `new X(...)` starts from.
  IntrusivePtr<ScriptObject> CreateInstance(int contextHandle) const;
  // Runs the class's constructor hook on `object` with the script's arguments (may throw ParameterErrorException
  // or ScriptException); a class without a hook ignores the arguments.
  void Construct(IntrusivePtr<ScriptObject> const& object, std::vector<ScriptValue> const& args) const;
  // Calls method `name` and returns its result. A static method gets a new unbound instance made in
  // `contextHandle` as `self`; any other needs `self`. Throws what the method throws, and ScriptException for an
  // unknown name (kUnknownMethod) or a missing `self` (kInvalidObject).
  ScriptValue Invoke(std::string_view name, int contextHandle, IntrusivePtr<ScriptObject> const& self,
                     std::vector<ScriptValue> const& args) const;

  // While the class is being defined:
  void AddMethod(MethodDefinition method);
  // Adds the namespace, or changes its flags when the class is listed in it already.
  void AddNamespace(std::string name, int flags);
  // Appends the component's methods.
  void AddComponent(std::shared_ptr<ScriptComponentDefinition const> const& component);
  void SetConstructor(Constructor constructor);

 protected:
  // A new, default-constructed native object of the class.
  virtual ScriptObject* NewObject() const = 0;

 private:
  std::string const name_;
  std::string const description_;
  int const flags_;
  std::vector<std::string> namespaces_;
  std::vector<NamespaceDefinition> namespaceDefinitions_;
  std::vector<MethodDefinition> methods_;
  std::vector<std::shared_ptr<ScriptComponentDefinition const>> components_;
  Constructor constructor_;
};

// The definition of a script class whose objects are T (default-constructible, derived from ScriptObject).
template <class T>
class ScriptObjectDefinition : public ScriptObjectDefinitionBase {
  static_assert(std::is_base_of_v<ScriptObject, T>, "script classes derive from ScriptObject");

 public:
  using ScriptObjectDefinitionBase::ScriptObjectDefinitionBase;

  std::type_info const& GetObjectType() const override { return typeid(T); }

 protected:
  ScriptObject* NewObject() const override { return new T(); }
};

// Makes `definition` the current one (ScriptObjectDefinitionBase::sCurrent) on this thread for its lifetime, and
// restores the previous one after.
class ZELSCRIPTING_EXPORT ScriptDefinitionContext {
 public:
  explicit ScriptDefinitionContext(ScriptObjectDefinitionBase* definition);
  explicit ScriptDefinitionContext(std::shared_ptr<ScriptObjectDefinitionBase> const& definition)
      : ScriptDefinitionContext(definition.get()) {}
  ~ScriptDefinitionContext();
  ScriptDefinitionContext(ScriptDefinitionContext const&) = delete;
  ScriptDefinitionContext& operator=(ScriptDefinitionContext const&) = delete;

 private:
  ScriptObjectDefinitionBase* const previous_;
};

// Lists the current class in the script namespace `name`. Throws std::logic_error outside a
// ScriptDefinitionContext.
ZELSCRIPTING_EXPORT void AddOrModifyNamespace(std::string name, int flags);

// The current definition; throws std::logic_error outside a ScriptDefinitionContext.
ZELSCRIPTING_EXPORT ScriptObjectDefinitionBase& CurrentDefinition();

namespace detail {

template <class M>
struct MemberFunctionTraits;
template <class R, class C, class... A>
struct MemberFunctionTraits<R (C::*)(A...)> {
  using Class = C;
  using Result = R;
  using Arguments = std::tuple<A...>;
};
template <class R, class C, class... A>
struct MemberFunctionTraits<R (C::*)(A...) const> {
  using Class = C;
  using Result = R;
  using Arguments = std::tuple<A...>;
};

// Argument `index`, or `undefined` when the script passed fewer.
inline ScriptValue const& ArgumentAt(std::vector<ScriptValue> const& args, std::size_t index) {
  static ScriptValue const kUndefined;
  return index < args.size() ? args[index] : kUndefined;
}

template <class R, class Tuple, std::size_t... I>
void RegisterMethodFromTuple(std::string name, std::string description, ScriptObjectPropertyModifier modifier,
                             ItemThreadOption threadOption, ScriptItemFlag flags, Tuple const& rest,
                             std::index_sequence<I...>) {
  using Method = std::remove_cvref_t<std::tuple_element_t<sizeof...(I), Tuple>>;
  using Traits = MemberFunctionTraits<Method>;
  using Class = typename Traits::Class;
  static_assert(std::tuple_size_v<typename Traits::Arguments> == sizeof...(I),
                "one ParameterType per parameter of the method");
  static_assert(((std::is_convertible_v<typename std::remove_cvref_t<std::tuple_element_t<I, Tuple>>::Type,
                                        std::tuple_element_t<I, typename Traits::Arguments>>)&&...),
                "each ParameterType must convert to its parameter");
  static_assert(std::is_void_v<R> || std::is_convertible_v<typename Traits::Result, R>,
                "the method's result must convert to the registered result type");

  Method const method = std::get<sizeof...(I)>(rest);
  MethodDefinition definition;
  definition.name = std::move(name);
  definition.description = std::move(description);
  definition.modifier = modifier;
  definition.threadOption = threadOption;
  definition.flags = flags;
  definition.resultTypeName = PropertyType<R>::kTypeName;
  definition.parameters = {ParameterDescription{
      std::get<I>(rest).name,
      PropertyType<typename std::remove_cvref_t<std::tuple_element_t<I, Tuple>>::Type>::kTypeName}...};
  definition.invoke = [method](IntrusivePtr<ScriptObject> const& self,
                               [[maybe_unused]] std::vector<ScriptValue> const& args) -> ScriptValue {
    auto* const object = dynamic_cast<Class*>(self.get());
    if (object == nullptr) throw ScriptException(ScriptExceptionType::kInvalidObject);
    if constexpr (std::is_void_v<R>) {
      (object->*method)(PropertyType<typename std::remove_cvref_t<std::tuple_element_t<I, Tuple>>::Type>::FromScript(
          ArgumentAt(args, I))...);
      return ScriptValue();
    } else {
      return PropertyType<R>::ToScript((object->*method)(
          PropertyType<typename std::remove_cvref_t<std::tuple_element_t<I, Tuple>>::Type>::FromScript(
              ArgumentAt(args, I))...));
    }
  };
  CurrentDefinition().AddMethod(std::move(definition));
}

}  // namespace detail

// Adds a method to the current definition (ScriptObjectDefinitionBase::sCurrent):
//
//   RegisterMethod("count", "What it does.", ScriptObjectPropertyModifier::kNone, ItemThreadOption::kAnyThread,
//                  ScriptItemFlag::kNone, PropertyType<int>(), ParameterType<std::string>("name"), &MyObject::Count);
//
// After the result type come one ParameterType per parameter of the method, then the member function pointer. The
// method's class must be the definition's class or one of its bases. Calls convert each argument with
// PropertyType<P>::FromScript (a missing one reads as `undefined`) and the result with PropertyType<R>::ToScript.
// Throws std::logic_error outside a ScriptDefinitionContext.
template <class R, class... ParametersThenMethod>
void RegisterMethod(std::string name, std::string description, ScriptObjectPropertyModifier modifier,
                    ItemThreadOption threadOption, ScriptItemFlag flags, PropertyType<R> /*result*/,
                    ParametersThenMethod const&... parametersThenMethod) {
  static_assert(sizeof...(ParametersThenMethod) >= 1, "the member function pointer comes last");
  detail::RegisterMethodFromTuple<R>(std::move(name), std::move(description), modifier, threadOption, flags,
                                     std::tie(parametersThenMethod...),
                                     std::make_index_sequence<sizeof...(ParametersThenMethod) - 1>());
}

}  // namespace zelscripting

#include "zelscripting/ScriptDefinitions.h"
