#include "zelscripting/ScriptObjectDefinition.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "zelcore/Logging.h"
#include "zelscripting/ScriptObjectUtils.h"

namespace zelscripting {
namespace {

constexpr int kDefinitionContext = 41;

class Counter : public ScriptObject {
 public:
  int Add(int amount, std::string const& label) {
    total += amount;
    lastLabel = label;
    return total;
  }
  std::string Describe() const { return "total " + std::to_string(total); }
  void Reset() { total = 0; }
  bool IsNothing(IntrusivePtr<ScriptObject> const& other, bool flag) const { return !other && !flag; }
  int Context() const { return GetContextHdl(); }

  static void DefineScriptObject(ScriptDefinitions& definitions) {
    auto definition = std::make_shared<ScriptObjectDefinition<Counter>>("TestCounter", "Counts.", 3);
    ScriptDefinitionContext const context(definition);
    AddOrModifyNamespace("Tests", 1);
    RegisterMethod("add", "Adds.", ScriptObjectPropertyModifier::kNone, ItemThreadOption::kDefault,
                   ScriptItemFlag::kNone, PropertyType<int>(), ParameterType<int>("amount"),
                   ParameterType<std::string>("label"), &Counter::Add);
    RegisterMethod("describe", "Describes.", ScriptObjectPropertyModifier::kNone, ItemThreadOption::kAnyThread,
                   ScriptItemFlag::kNone, PropertyType<std::string>(), &Counter::Describe);
    RegisterMethod("reset", "Resets.", ScriptObjectPropertyModifier::kNone, ItemThreadOption::kMainThread,
                   ScriptItemFlag::kNone, PropertyType<void>(), &Counter::Reset);
    RegisterMethod("isNothing", "Tests.", ScriptObjectPropertyModifier::kNone, ItemThreadOption::kAnyThread,
                   ScriptItemFlag::kNone, PropertyType<bool>(), ParameterType<IntrusivePtr<ScriptObject>>("other"),
                   ParameterType<bool>("flag"), &Counter::IsNothing);
    RegisterMethod("context", "The caller's context.", ScriptObjectPropertyModifier::kStatic,
                   ItemThreadOption::kAnyThread, ScriptItemFlag::kNone, PropertyType<int>(), &Counter::Context);
    AddOrModifyNamespace("Tests", 2);  // modifies, does not list the class twice
    definitions.AddObjectDefinition("TestCounter", definition);
  }

  int total = 0;
  std::string lastLabel;
};

// Defined only once a test has queued its initiator.
class Late : public ScriptObject {
 public:
  int Own() const { return 1; }

  static void DefineScriptObject(ScriptDefinitions& definitions) {
    ++definedCount;
    auto definition = std::make_shared<ScriptObjectDefinition<Late>>("TestLate", "", 0);
    {
      ScriptDefinitionContext const context(definition);
      RegisterMethod("own", "", ScriptObjectPropertyModifier::kNone, ItemThreadOption::kAnyThread,
                     ScriptItemFlag::kNone, PropertyType<int>(), &Late::Own);
    }
    for (auto const& component : definitions.GetScriptComponentGroupDefinitions(utility::GetRuntimeTypeName<Late>())) {
      definition->AddComponent(component);
    }
    definitions.AddObjectDefinition("TestLate", definition);
  }
  static inline std::atomic<int> definedCount{0};
};

class Other : public ScriptObject {
 public:
  static void DefineScriptObject(ScriptDefinitions&) {
    ++definedCount;
    throw std::runtime_error("definition failed");
  }
  static inline std::atomic<int> definedCount{0};
};

class Dropped : public ScriptObject {
 public:
  static void DefineScriptObject(ScriptDefinitions&) { ++definedCount; }
  static inline std::atomic<int> definedCount{0};
};

ScriptObjectDefinitionRegistrar const counterRegistrar(std::make_shared<ScriptObjectDefinitionInitiator<Counter>>());

ScriptObjectDefinitionBase const& CounterDefinition() {
  static auto const definition = ScriptDefinitions::GetInstance().FindObjectDefinition("TestCounter");
  return *definition;
}

TEST(ScriptObjectDefinitionTest, InitiatorsRunOnceWhenDefinitionsAreAskedFor) {
  std::vector<zelcore::logging::LoggedException> logged;
  auto const previousSink =
      zelcore::logging::SetLogSink([&logged](zelcore::logging::LoggedException const& e) { logged.push_back(e); });
  auto& definitions = ScriptDefinitions::GetInstance();

  // A component attached before the class is defined comes after the class's own methods. Attached once per
  // process, so that the test may be repeated.
  static bool const attached = [&definitions] {
    auto component = std::make_shared<ScriptComponentDefinition>();
    component->methods.push_back(MethodDefinition{"extra",
                                                  "From another module.",
                                                  ScriptObjectPropertyModifier::kNone,
                                                  ItemThreadOption::kAnyThread,
                                                  ScriptItemFlag::kNone,
                                                  "number",
                                                  {},
                                                  [](auto const&, auto const&) { return ScriptValue(7.0); }});
    definitions.AddComponent(utility::GetRuntimeTypeName<Late>(), component);
    return true;
  }();
  EXPECT_TRUE(attached);
  EXPECT_EQ(utility::GetRuntimeTypeName<Late>(), "zelscripting::(anonymous namespace)::Late");
  Late::definedCount = Other::definedCount = Dropped::definedCount = 0;

  ScriptObjectDefinitionRegistrar const late(std::make_shared<ScriptObjectDefinitionInitiator<Late>>());
  ScriptObjectDefinitionRegistrar const failing(std::make_shared<ScriptObjectDefinitionInitiator<Other>>());
  std::make_unique<ScriptObjectDefinitionRegistrar>(std::make_shared<ScriptObjectDefinitionInitiator<Dropped>>())
      .reset();                      // a module unloaded before anyone asked
  EXPECT_EQ(Late::definedCount, 0);  // queued, not run

  auto const all = definitions.GetObjectDefinitions();
  definitions.GetObjectDefinitions();
  zelcore::logging::SetLogSink(previousSink);

  EXPECT_EQ(Late::definedCount, 1);
  EXPECT_EQ(Other::definedCount, 1);
  EXPECT_EQ(Dropped::definedCount, 0);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].message, "definition failed");

  auto const lateDefinition = definitions.FindObjectDefinition("TestLate");
  ASSERT_TRUE(lateDefinition);
  EXPECT_NE(std::find(all.begin(), all.end(), lateDefinition), all.end());
  EXPECT_NE(std::find(all.begin(), all.end(), definitions.FindObjectDefinition("TestCounter")), all.end());
  ASSERT_EQ(lateDefinition->GetMethods().size(), 2u);
  EXPECT_EQ(lateDefinition->GetMethods()[0].name, "own");
  EXPECT_EQ(lateDefinition->GetMethods()[1].name, "extra");
  auto const object = lateDefinition->CreateInstance(kDefinitionContext);
  EXPECT_EQ(lateDefinition->Invoke("extra", kDefinitionContext, object, {}), ScriptValue(7.0));
}

TEST(ScriptObjectDefinitionTest, MethodTableKeepsRegistrationOrderAndMetadata) {
  auto const& counter = CounterDefinition();
  EXPECT_EQ(counter.GetName(), "TestCounter");
  EXPECT_EQ(counter.GetDescription(), "Counts.");
  EXPECT_EQ(counter.GetFlags(), 3);
  EXPECT_EQ(counter.GetNamespaces(), std::vector<std::string>{"Tests"});
  EXPECT_EQ(counter.GetNamespaceFlags("Tests"), 2);
  EXPECT_EQ(counter.GetObjectType(), typeid(Counter));

  struct Expected {
    char const* name;
    ScriptObjectPropertyModifier modifier;
    ItemThreadOption thread;
    char const* result;
    std::vector<std::pair<std::string, std::string>> parameters;
  };
  using M = ScriptObjectPropertyModifier;
  using T = ItemThreadOption;
  std::vector<Expected> const expected = {
      {"add", M::kNone, T::kDefault, "number", {{"amount", "number"}, {"label", "string"}}},
      {"describe", M::kNone, T::kAnyThread, "string", {}},
      {"reset", M::kNone, T::kMainThread, "undefined", {}},
      {"isNothing", M::kNone, T::kAnyThread, "boolean", {{"other", "object"}, {"flag", "boolean"}}},
      {"context", M::kStatic, T::kAnyThread, "number", {}},
  };
  auto const& methods = counter.GetMethods();
  ASSERT_EQ(methods.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(methods[i].name, expected[i].name);
    EXPECT_EQ(methods[i].modifier, expected[i].modifier);
    EXPECT_EQ(methods[i].threadOption, expected[i].thread);
    EXPECT_EQ(methods[i].resultTypeName, expected[i].result);
    ASSERT_EQ(methods[i].parameters.size(), expected[i].parameters.size());
    for (std::size_t p = 0; p < expected[i].parameters.size(); ++p) {
      EXPECT_EQ(methods[i].parameters[p].name, expected[i].parameters[p].first);
      EXPECT_EQ(methods[i].parameters[p].typeName, expected[i].parameters[p].second);
    }
  }
}

TEST(ScriptObjectDefinitionTest, InvokeConvertsArgumentsAndResults) {
  auto const& definition = CounterDefinition();
  IntrusivePtr<ScriptObject> const object = definition.CreateInstance(kDefinitionContext);
  ASSERT_TRUE(object);
  EXPECT_EQ(object->GetClassName(), "TestCounter");
  EXPECT_EQ(object->GetContextHdl(), kDefinitionContext);
  auto& counter = dynamic_cast<Counter&>(*object);

  EXPECT_EQ(definition.Invoke("add", kDefinitionContext, object, {2.0, std::string("two")}), ScriptValue(2.0));
  EXPECT_EQ(counter.lastLabel, "two");
  // Fractions are cut toward zero; missing arguments read as empty values.
  EXPECT_EQ(definition.Invoke("add", kDefinitionContext, object, {-1.9}), ScriptValue(1.0));
  EXPECT_EQ(counter.lastLabel, "");
  EXPECT_EQ(definition.Invoke("describe", kDefinitionContext, object, {}), ScriptValue(std::string("total 1")));
  EXPECT_EQ(definition.Invoke("reset", kDefinitionContext, object, {}), ScriptValue());
  EXPECT_EQ(counter.total, 0);
  EXPECT_EQ(definition.Invoke("isNothing", kDefinitionContext, object, {}), ScriptValue(true));
  EXPECT_EQ(definition.Invoke("isNothing", kDefinitionContext, object, {nullptr, false}), ScriptValue(true));
  EXPECT_EQ(definition.Invoke("isNothing", kDefinitionContext, object, {object, false}), ScriptValue(false));
  // A static method runs on a new instance in the caller's context, with or without an object.
  EXPECT_EQ(definition.Invoke("context", 99, nullptr, {}), ScriptValue(99.0));
  EXPECT_EQ(definition.Invoke("context", 98, object, {}), ScriptValue(98.0));
}

TEST(ScriptObjectDefinitionTest, InvokeRejectsBadCallsAndArguments) {
  auto const& definition = CounterDefinition();
  IntrusivePtr<ScriptObject> const object = definition.CreateInstance(kDefinitionContext);
  double const tooLarge = static_cast<double>(std::numeric_limits<int>::max()) + 1;
  struct Case {
    char const* what;
    std::vector<ScriptValue> args;
  };
  std::vector<Case> const wrongTypes = {
      {"string for int", {std::string("1")}}, {"null for int", {nullptr}},
      {"out of range", {tooLarge}},           {"NaN", {std::numeric_limits<double>::quiet_NaN()}},
      {"number for string", {1.0, 2.0}},      {"object for string", {1.0, object}},
  };
  for (auto const& c : wrongTypes) {
    SCOPED_TRACE(c.what);
    EXPECT_THROW(definition.Invoke("add", kDefinitionContext, object, c.args), ParameterErrorException);
  }
  EXPECT_EQ(dynamic_cast<Counter&>(*object).total, 0);  // nothing ran
  EXPECT_THROW(definition.Invoke("isNothing", kDefinitionContext, object, {true}), ParameterErrorException);
  EXPECT_THROW(definition.Invoke("isNothing", kDefinitionContext, object, {nullptr, 1.0}), ParameterErrorException);

  auto typeOf = [&](std::string_view name, IntrusivePtr<ScriptObject> const& self) {
    try {
      definition.Invoke(name, kDefinitionContext, self, {});
    } catch (ScriptException const& e) {
      EXPECT_NE(std::string(e.what()), "");
      return e.GetType();
    }
    ADD_FAILURE() << "no ScriptException for " << name;
    return ScriptExceptionType::kError;
  };
  EXPECT_EQ(typeOf("missing", object), ScriptExceptionType::kUnknownMethod);
  EXPECT_EQ(typeOf("describe", nullptr), ScriptExceptionType::kInvalidObject);
  IntrusivePtr<ScriptObject> const stranger(new Dropped());
  EXPECT_EQ(typeOf("describe", stranger), ScriptExceptionType::kInvalidObject);
}

TEST(ScriptObjectDefinitionTest, DefiningNeedsACurrentDefinition) {
  EXPECT_EQ(ScriptObjectDefinitionBase::sCurrent, nullptr);
  EXPECT_THROW(AddOrModifyNamespace("Tests", 0), std::logic_error);
  EXPECT_THROW(RegisterMethod("describe", "", ScriptObjectPropertyModifier::kNone, ItemThreadOption::kAnyThread,
                              ScriptItemFlag::kNone, PropertyType<std::string>(), &Counter::Describe),
               std::logic_error);

  auto outer = std::make_shared<ScriptObjectDefinition<Counter>>("Outer", "", 0);
  auto inner = std::make_shared<ScriptObjectDefinition<Counter>>("Inner", "", 0);
  {
    ScriptDefinitionContext const outerContext(outer);
    {
      ScriptDefinitionContext const innerContext(inner);
      EXPECT_EQ(ScriptObjectDefinitionBase::sCurrent, inner.get());
      AddOrModifyNamespace("Inner", 0);
    }
    EXPECT_EQ(ScriptObjectDefinitionBase::sCurrent, outer.get());
    RegisterMethod("describe", "", ScriptObjectPropertyModifier::kNone, ItemThreadOption::kAnyThread,
                   ScriptItemFlag::kNone, PropertyType<std::string>(), &Counter::Describe);
    // One method per name: the second is refused, the first kept.
    EXPECT_THROW(RegisterMethod("describe", "again", ScriptObjectPropertyModifier::kNone, ItemThreadOption::kAnyThread,
                                ScriptItemFlag::kNone, PropertyType<std::string>(), &Counter::Describe),
                 std::logic_error);
  }
  EXPECT_EQ(ScriptObjectDefinitionBase::sCurrent, nullptr);
  EXPECT_EQ(inner->GetNamespaces(), std::vector<std::string>{"Inner"});
  EXPECT_TRUE(outer->GetNamespaces().empty());
  ASSERT_EQ(outer->GetMethods().size(), 1u);
  EXPECT_EQ(outer->GetMethods()[0].description, "");
}

TEST(ScriptObjectDefinitionTest, CreateScriptObjectRunsInitBeforeReturning) {
  int seenContext = 0;
  auto const object =
      utils::CreateScriptObject(kDefinitionContext, "TestCounter", [&](IntrusivePtr<ScriptObject> const& o) {
        seenContext = o->GetContextHdl();
        dynamic_cast<Counter&>(*o).total = 5;
      });
  EXPECT_EQ(seenContext, kDefinitionContext);
  EXPECT_EQ(dynamic_cast<Counter&>(*object).total, 5);
  try {
    utils::CreateScriptObject(kDefinitionContext, "NoSuchClass", nullptr);
    ADD_FAILURE() << "an object of an unknown class";
  } catch (ScriptException const& e) {
    EXPECT_EQ(e.GetType(), ScriptExceptionType::kUnknownClass);
    EXPECT_NE(std::string(e.what()).find("NoSuchClass"), std::string::npos);
  }
}

}  // namespace
}  // namespace zelscripting
