#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "zelcore/Singletons.h"
#include "zelscripting/GuidScriptObject.h"
#include "zelscripting/ScriptContext.h"
#include "zelscripting/ScriptObject.h"
#include "zelscripting/ScriptObjectDefinition.h"
#include "zelscripting/ScriptingRefPreserver.h"

namespace zelscripting {
namespace {

using zelcore::InterfaceRef;
using zelcore::classref::UnknownBase;
using zelcore::utility::Guid;

constexpr int kRuntimeContext = 3;

class Tracked : public ScriptObject {
 public:
  explicit Tracked(int& destroyed) : destroyed_(destroyed) {}
  ~Tracked() override { ++destroyed_; }

 private:
  int& destroyed_;
};

class Native : public zelcore::classref::Unknown {
 public:
  void* QueryMap(std::string_view name) override { return zelcore::classref::QueryMapOf<>(this, name); }
};

TEST(ScriptObjectTest, LastReferenceDestroysAcrossThreads) {
  int destroyed = 0;
  {
    IntrusivePtr<ScriptObject> const object(new Tracked(destroyed));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([object] {
        for (int i = 0; i < 1000; ++i) IntrusivePtr<ScriptObject> copy = object;
      });
    }
    for (auto& thread : threads) thread.join();
    IntrusivePtr<Tracked> const tracked = DynamicPointerCast<Tracked>(object);
    EXPECT_EQ(tracked.get(), object.get());
    EXPECT_FALSE(DynamicPointerCast<GuidScriptObject>(object));
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST(ScriptObjectTest, IdentityHashIsFnv1aOfTheAddress) {
  EXPECT_EQ(HashAddress(nullptr), 0xa8c7f832281a39c5ull);
  // Lowest byte first: 08 07 06 05 04 03 02 01.
  EXPECT_EQ(HashAddress(reinterpret_cast<void const*>(std::uintptr_t{0x0102030405060708})), 0x0c6d4496e17859d5ull);
  int destroyed = 0;
  IntrusivePtr<ScriptObject> const a(new Tracked(destroyed));
  IntrusivePtr<ScriptObject> const b(new Tracked(destroyed));
  EXPECT_EQ(a->GetIdentityHash(), HashAddress(a.get()));
  EXPECT_TRUE(a->IsSameObject(*a));
  EXPECT_FALSE(a->IsSameObject(*b));
}

TEST(GuidScriptObjectTest, ConstructsFromTextOnly) {
  auto const definition = ScriptDefinitions::GetInstance().FindObjectDefinition("Guid");
  ASSERT_TRUE(definition);
  EXPECT_EQ(definition->GetNamespaces(), std::vector<std::string>{"Quillan"});
  std::string const text = "00112233-4455-6677-8899-aabbccddeeff";

  for (std::string const& given : {text, std::string("{00112233-4455-6677-8899-AABBCCDDEEFF}")}) {
    auto const object = definition->CreateInstance(kRuntimeContext);
    definition->Construct(object, {given});
    EXPECT_EQ(definition->Invoke("toString", kRuntimeContext, object, {}), ScriptValue(text));
    Guid value;
    ASSERT_TRUE(dynamic_cast<ScriptCastInterface<Guid>&>(*object).TryGetValue(value));
    EXPECT_EQ(value.AsUTF8String(), text);
  }

  std::vector<std::vector<ScriptValue>> const bad = {
      {}, {std::string("not a guid")}, {std::string("00112233-4455-6677-8899-aabbccddeef")}, {1.0}, {nullptr}};
  for (auto const& args : bad) {
    auto const object = definition->CreateInstance(kRuntimeContext);
    EXPECT_THROW(definition->Construct(object, args), ParameterErrorException);
    Guid value = Guid::CreateUnique();
    Guid const before = value;
    EXPECT_FALSE(dynamic_cast<ScriptCastInterface<Guid>&>(*object).TryGetValue(value));
    EXPECT_EQ(value, before);
  }
}

TEST(GuidScriptObjectTest, ObjectsOfOneGuidAreTheSame) {
  Guid const id = Guid::CreateUnique();
  auto const a = GuidScriptObject::Create(id, kRuntimeContext);
  auto const b = GuidScriptObject::Create(id, kRuntimeContext + 1);
  auto const other = GuidScriptObject::Create(Guid::CreateUnique(), kRuntimeContext);
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(a->GetClassName(), "Guid");
  EXPECT_EQ(b->GetContextHdl(), kRuntimeContext + 1);
  EXPECT_TRUE(a->IsSameObject(*b));
  EXPECT_EQ(a->GetIdentityHash(), b->GetIdentityHash());
  EXPECT_FALSE(a->IsSameObject(*other));
}

TEST(ScriptContextsTest, HandlesAreNeverReused) {
  struct Named : ScriptContext {
    std::string GetName() const override { return "test"; }
  };
  auto& contexts = ScriptContexts::GetInstance();
  auto const context = std::make_shared<Named>();
  int const first = contexts.Register(context);
  int const second = contexts.Register(std::make_shared<Named>());
  EXPECT_GE(first, 1);
  EXPECT_GT(second, first);
  EXPECT_EQ(contexts.Find(first), context);
  contexts.Unregister(first);
  contexts.Unregister(first);  // ignored
  EXPECT_FALSE(contexts.Find(first));
  EXPECT_GT(contexts.Register(context), second);
  EXPECT_FALSE(contexts.Find(0));
  EXPECT_THROW(contexts.Register(nullptr), std::invalid_argument);
}

TEST(ScriptingRefPreserverTest, HoldsEachObjectOnce) {
  ScriptingRefPreserver preserver;
  auto native = std::make_shared<Native>();
  std::weak_ptr<Native> const weak = native;
  InterfaceRef<UnknownBase> ref{std::shared_ptr<UnknownBase>(native)};
  native.reset();
  preserver.AddReference(ref);
  preserver.AddReference(InterfaceRef<UnknownBase>(ref.shared()));  // the same object again
  preserver.AddReference(nullptr);
  EXPECT_EQ(preserver.GetReferenceCount(), 1u);
  EXPECT_TRUE(preserver.HoldsReference(ref));
  preserver.RemoveReference(ref);
  EXPECT_EQ(preserver.GetReferenceCount(), 0u);
  EXPECT_FALSE(preserver.HoldsReference(ref));

  preserver.AddReference(ref);
  ref.reset();
  EXPECT_FALSE(weak.expired());  // only the preserver holds it now
  preserver.ReleaseAll();
  EXPECT_TRUE(weak.expired());
}

// The process's preserver lets go of its objects at teardown and is gone afterwards. Returns what went wrong. Runs
// in a child process, since tearing the singletons down is once per process.
std::string CheckPreserverTeardown() {
  std::string problems;
  auto const preserver = ScriptingRefPreserver::GetInstance();
  if (!preserver || ScriptingRefPreserver::GetInstance() != preserver) problems += "no single instance\n";
  std::weak_ptr<UnknownBase> weak;
  {
    InterfaceRef<UnknownBase> const object(std::shared_ptr<UnknownBase>(std::make_shared<Native>()));
    weak = object.shared();
    preserver->AddReference(object);
  }
  if (weak.expired()) problems += "not preserved\n";
  zelcore::config::RunSingletonTerminations();
  if (!weak.expired()) problems += "preserved after teardown\n";
  if (ScriptingRefPreserver::GetInstance()) problems += "an instance after teardown\n";
  return problems;
}

TEST(ScriptingRefPreserverDeathTest, ReleasesEverythingAtTeardown) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string const problems = CheckPreserverTeardown();
        std::fputs(problems.c_str(), stderr);
        std::exit(problems.empty() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace zelscripting
