#include "DataStoreAdaptors/DefaultAnalyzerDatastore.h"

#include <gtest/gtest.h>

#include <string>

#include "Analyzers/IAnalyzer.h"  // AnalyzerHost.h needs it complete
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/CompoundDataStoreAdaptor.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"
#include "Host/AnalyzerHost.h"
#include "Host/AnalyzerRegistryImpl.h"
#include "Support/FutureTestUtils.h"
#include "Support/TempDirectory.h"

namespace Quillan {
namespace {

using zelcore::InterfaceRef;

// The members of a list: "S" for a sidecar store, "M" for `managed`.
std::string Members(CompoundDataStoreAdaptor::Adaptors const& adaptors, InterfaceRef<IDataStoreAdaptor> managed) {
  std::string members;
  for (auto const& adaptor : adaptors) {
    if (managed && adaptor == managed) {
      members += "M";
    } else {
      members += InterfaceRef<SidecarDataStoreAdaptor>::Query(adaptor) ? "S" : "?";
    }
  }
  return members;
}

TEST(DefaultAnalyzerDatastoreTest, LocationOrdersReadsAndChoosesWrites) {
  auto const managed = CompoundDataStoreAdaptor::Create({}, {});  // any store will do
  auto const registry = std::make_shared<AnalyzerRegistryImpl>();
  InterfaceRef<IAnalyzerHost> const withStore = AnalyzerHost::Create(registry, managed);
  InterfaceRef<IAnalyzerHost> const withoutStore = AnalyzerHost::Create(registry, {});
  struct Case {
    int location;
    InterfaceRef<IAnalyzerHost> host;
    char const* reads;
    char const* writes;
  };
  for (Case const& c : {Case{0, withStore, "SM", "S"}, Case{0, withoutStore, "S", "S"}, Case{0, {}, "S", "S"},
                        Case{1, withStore, "MS", "M"}, Case{1, withoutStore, "S", ""}, Case{1, {}, "S", ""},
                        Case{2, withStore, "SM", ""}, Case{2, {}, "S", ""}, Case{7, withStore, "S", ""},
                        Case{-1, withStore, "S", ""}}) {
    SCOPED_TRACE(testing::Message() << c.location << (c.host == withStore ? " with store" : " without"));
    auto const store = InterfaceRef<CompoundDataStoreAdaptor>::Query(
        CreateDefaultAnalyzerDatastore(static_cast<AnalyzerCacheLocation>(c.location), c.host, false));
    ASSERT_TRUE(store);
    EXPECT_EQ(Members(store->GetReadAdaptors(), managed), c.reads);
    EXPECT_EQ(Members(store->GetWriteAdaptors(), managed), c.writes);
    // One sidecar store serves both lists.
    if (std::string(c.writes) == "S") {
      EXPECT_TRUE(store->GetWriteAdaptors()[0] == store->GetReadAdaptors()[0]);
    }
  }
}

TEST(DefaultAnalyzerDatastoreTest, SidecarFallsBackToAnyParameterOnlyWhenAllowed) {
  testsupport::TempDirectory directory;
  testsupport::WriteFile(directory / "tone.wav", testsupport::RandomBytes(512, 1));
  Target const media = BE::ProjectFactory::CreateMedia((directory / "tone.wav").u16string());
  Guid const analyzer = Guid::CreateUnique();
  auto const key = ImmutableString::Create("key");
  auto blob = zelcore::allocator::RecycledMemory::Create(1);
  blob->data()[0] = 7;

  auto const writer = CreateDefaultAnalyzerDatastore(AnalyzerCacheLocation::kSidecarFile, {}, false);
  testsupport::Await(writer->SaveDataWithKey(media, analyzer, ImmutableString::Create("a"), key, blob));
  auto const other = ImmutableString::Create("b");
  auto const allowing = CreateDefaultAnalyzerDatastore(AnalyzerCacheLocation::kReadOnly, {}, true);
  EXPECT_EQ(testsupport::Await(allowing->LoadDataWithKey(media, analyzer, other, key))->data()[0], 7);
  auto const exact = CreateDefaultAnalyzerDatastore(AnalyzerCacheLocation::kSidecarFile, {}, false);
  auto const miss = testsupport::AwaitFailure(exact->LoadDataWithKey(media, analyzer, other, key));
  EXPECT_TRUE(exact->IsDataNotFoundInCache(miss));
}

}  // namespace
}  // namespace Quillan
