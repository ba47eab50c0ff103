#include "Host/AnalyzerRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerRegistryImpl.h"
#include "zelcore/Singletons.h"
#include "zelcore/ZelException.h"

namespace Quillan {
namespace {

constexpr AnalyzerType kTypeZero{0};
constexpr AnalyzerType kTypeOne{1};
constexpr AnalyzerType kTypeHigh{0x01000000};  // differs from kTypeZero only in the top byte

// A factory that tells which registration it came from through the parameter it is given back.
AnalyzerFactory TaggedFactory(int tag, std::vector<int>* calls) {
  return [tag, calls](auto const&, std::any const&, auto const&) {
    calls->push_back(tag);
    return zelcore::InterfaceRef<IAnalyzer>();
  };
}

int CallFactory(AnalyzerFactory const& factory, std::vector<int>& calls) {
  factory({}, {}, {});
  return calls.back();
}

template <class F>
Result ThrownResult(F f) {
  try {
    f();
  } catch (zelcore::config::zel_exception const& e) {
    return e.GetResult();
  }
  return 0;
}

TEST(AnalyzerRegistryTest, RefusesNullGuidAndEmptyFactory) {
  AnalyzerRegistryImpl registry;
  std::vector<int> calls;
  EXPECT_EQ(registry.RegisterAnalyzer(Guid(), kTypeZero, TaggedFactory(1, &calls)),
            static_cast<int>(kResultRegistrationRefused));
  Guid const id = Guid::CreateUnique();
  EXPECT_EQ(registry.RegisterAnalyzer(id, kTypeZero, AnalyzerFactory()), static_cast<int>(0xA00F000E));
  EXPECT_TRUE(registry.GetAnalyzerFactories(kTypeZero).empty());
  EXPECT_EQ(ThrownResult([&] { registry.GetAnalyzerFactory(id); }), 0xA00F0008u);
  EXPECT_EQ(ThrownResult([&] { registry.GetAnalyzerFactory(Guid()); }), 0xA00F0008u);
  // The refused id can still be registered properly afterwards.
  EXPECT_EQ(registry.RegisterAnalyzer(id, kTypeZero, TaggedFactory(3, &calls)), 0);
  EXPECT_EQ(CallFactory(registry.GetAnalyzerFactory(id), calls), 3);
}

TEST(AnalyzerRegistryTest, UpdateMovesOnlyFromTheTypeItIsFiledUnder) {
  AnalyzerRegistryImpl registry;
  std::vector<int> calls;
  Guid const id = Guid::CreateUnique();
  registry.RegisterAnalyzer(id, kTypeOne, TaggedFactory(1, &calls));

  EXPECT_FALSE(registry.UpdateAnalyzerType(id, kTypeZero, kTypeHigh));  // not filed under kTypeZero
  EXPECT_EQ(registry.GetAnalyzerFactories(kTypeOne).size(), 1u);
  EXPECT_TRUE(registry.GetAnalyzerFactories(kTypeHigh).empty());

  EXPECT_TRUE(registry.UpdateAnalyzerType(id, kTypeOne, kTypeOne));
  EXPECT_EQ(registry.GetAnalyzerFactories(kTypeOne).size(), 1u);

  EXPECT_TRUE(registry.UpdateAnalyzerType(id, kTypeOne, kTypeHigh));
  EXPECT_TRUE(registry.GetAnalyzerFactories(kTypeOne).empty());
  EXPECT_TRUE(registry.GetAnalyzerFactories(kTypeZero).empty());  // all four bytes of the type count
  ASSERT_EQ(registry.GetAnalyzerFactories(kTypeHigh).size(), 1u);
  EXPECT_EQ(CallFactory(registry.GetAnalyzerFactories(kTypeHigh)[0], calls), 1);
  EXPECT_FALSE(registry.UpdateAnalyzerType(Guid::CreateUnique(), kTypeHigh, kTypeOne));
}

// The first registration of a GUID wins, type and factory.
TEST(AnalyzerRegistryTest, ListsEveryAnalyzerUnderItsCurrentTypeInGuidOrder) {
  AnalyzerRegistryImpl registry;
  EXPECT_TRUE(registry.GetRegisteredAnalyzers().empty());
  std::vector<int> calls;
  Guid const first = Guid::CreateUnique();
  Guid const second = Guid::CreateUnique();
  auto const [low, high] = std::minmax(first, second);
  registry.RegisterAnalyzer(first, kTypeOne, TaggedFactory(1, &calls));
  registry.RegisterAnalyzer(second, kTypeZero, TaggedFactory(2, &calls));
  registry.RegisterAnalyzer(first, kTypeZero, TaggedFactory(3, &calls));  // refused in effect: the first one wins
  registry.UpdateAnalyzerType(second, kTypeZero, kTypeHigh);

  auto const typeOf = [&](Guid const& id) { return id == first ? kTypeOne : kTypeHigh; };
  std::vector<RegisteredAnalyzer> const expected{{low, typeOf(low)}, {high, typeOf(high)}};
  EXPECT_EQ(registry.GetRegisteredAnalyzers(), expected);
  EXPECT_TRUE(calls.empty());  // listing builds no analyzer
  EXPECT_TRUE(registry.GetAnalyzerFactories(kTypeZero).empty());
  EXPECT_EQ(CallFactory(registry.GetAnalyzerFactory(first), calls), 1);
}

TEST(AnalyzerRegistryTest, FactoryMayCallBackIntoTheRegistry) {
  AnalyzerRegistryImpl registry;
  Guid const inner = Guid::CreateUnique();
  Guid const outer = Guid::CreateUnique();
  bool registeredFromFactory = false;
  registry.RegisterAnalyzer(outer, kTypeZero, [&](auto const&, auto const&, auto const&) {
    registeredFromFactory = registry.RegisterAnalyzer(inner, kTypeOne, [](auto const&, auto const&, auto const&) {
      return zelcore::InterfaceRef<IAnalyzer>();
    }) == 0;
    return zelcore::InterfaceRef<IAnalyzer>();
  });
  for (auto const& factory : registry.GetAnalyzerFactories(kTypeZero)) factory({}, {}, {});
  EXPECT_TRUE(registeredFromFactory);
  EXPECT_NO_THROW(registry.GetAnalyzerFactory(inner));
}

TEST(AnalyzerRegistryTest, ConcurrentRegistrationsAllLand) {
  AnalyzerRegistryImpl registry;
  constexpr int kThreads = 4, kPerThread = 200;
  std::vector<std::vector<Guid>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        Guid const id = Guid::CreateUnique();
        ids[t].push_back(id);
        registry.RegisterAnalyzer(
            id, kTypeZero, [](auto const&, auto const&, auto const&) { return zelcore::InterfaceRef<IAnalyzer>(); });
        registry.UpdateAnalyzerType(id, kTypeZero, AnalyzerType(t + 1));
        registry.GetAnalyzerFactories(kTypeZero);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(registry.GetAnalyzerFactories(kTypeZero).empty());
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(registry.GetAnalyzerFactories(AnalyzerType(t + 1)).size(), static_cast<std::size_t>(kPerThread));
    for (Guid const& id : ids[t]) EXPECT_NO_THROW(registry.GetAnalyzerFactory(id));
  }
}

TEST(AnalyzerRegistryTest, DefaultRegistryIsEmptiedNotDestroyedAtTermination) {
  auto const registry = AnalyzerRegistry::GetDefaultRegistry();
  EXPECT_EQ(registry, AnalyzerRegistry::GetDefaultRegistry());

  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> weakToken = token;
  Guid const id = Guid::CreateUnique();
  AnalyzerType const type{0x5157};
  EXPECT_EQ(
      RegisterAnalyzer(id, type,
                       [token](auto const&, auto const&, auto const&) { return zelcore::InterfaceRef<IAnalyzer>(); }),
      0);
  token.reset();
  EXPECT_TRUE(UpdateAnalyzerType(id, type, type));
  EXPECT_EQ(registry->GetAnalyzerFactories(type).size(), 1u);

  auto const listed = GetRegisteredAnalyzers();
  EXPECT_NE(std::find(listed.begin(), listed.end(), RegisteredAnalyzer{id, type}), listed.end());

  zelcore::config::RunSingletonTerminations();
  EXPECT_TRUE(GetRegisteredAnalyzers().empty());
  EXPECT_TRUE(weakToken.expired());  // the stored factory was released
  EXPECT_TRUE(registry->GetAnalyzerFactories(type).empty());
  EXPECT_EQ(ThrownResult([&] { registry->GetAnalyzerFactory(id); }), kResultAnalyzerNotRegistered);
  EXPECT_FALSE(UpdateAnalyzerType(id, type, type));

  EXPECT_EQ(RegisterAnalyzer(id, type,
                             [](auto const&, auto const&, auto const&) { return zelcore::InterfaceRef<IAnalyzer>(); }),
            0);
  EXPECT_NO_THROW(registry->GetAnalyzerFactory(id));
}

}  // namespace
}  // namespace Quillan
