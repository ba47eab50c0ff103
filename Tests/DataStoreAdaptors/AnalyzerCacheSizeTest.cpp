#include "DataStoreAdaptors/AnalyzerCacheSize.h"

#include <gtest/gtest.h>

#include <fstream>

#include "BE/Backend.h"
#include "BE/ProjectFactory.h"
#include "BE/SettingsFileException.h"
#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"
#include "Host/AnalyzerCacheLocation.h"
#include "Support/BlobTestUtils.h"
#include "Support/FutureTestUtils.h"
#include "Support/TempDirectory.h"
#include "zelcore/TextConversions.h"

namespace Quillan {
namespace {

using testsupport::Await;
using zelcore::InterfaceRef;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
Guid const kSizedAnalyzer = *Guid::FromString("0a11ce00-1234-4abc-8def-0000000000b0");

// Points the backend's settings and the analyzer cache folder into the test's own folder, and back when it ends.
class AnalyzerCacheSizeTest : public testing::Test {
 protected:
  AnalyzerCacheSizeTest() {
    properties->SetFilePath(settingsFile);
    preferences->SetAnalyzerCacheDirectory(zelcore::text::UTF8ToWstring(cacheFolder.string()));
    std::ofstream(directory / "media.wav", std::ios::binary) << "media";
  }
  ~AnalyzerCacheSizeTest() override {
    properties->SetFilePath(previousFile);
    preferences->SetAnalyzerCacheDirectory(previousFolder);
  }

  static ManagedDataStoreAdaptor& Managed(InterfaceRef<IDataStoreAdaptor> const& store) {
    return static_cast<ManagedDataStoreAdaptor&>(*store);
  }

  // Saves `count` results of 64 KiB under keys first..first+count-1 and waits until they are on disk.
  void SaveResults(InterfaceRef<IDataStoreAdaptor> const& store, int first, int count) {
    for (int i = first; i < first + count; ++i) {
      auto blob = zelcore::allocator::RecycledMemory::Create(64 * 1024);
      std::fill(blob->data(), blob->data() + blob->size(), static_cast<std::uint8_t>(i));
      Await(store->SaveDataWithKey(media, kSizedAnalyzer, ImmutableString::Create(""), Key(i), blob));
    }
    ASSERT_TRUE(testsupport::AwaitEnd(Managed(store).GetCacheChainForTesting()->Flush()));
  }

  static ImmutableString Key(int i) { return ImmutableString::Create("result-" + std::to_string(i)); }

  // Whether a store with a cold memory cache and no bound of its own finds result `i` on disk.
  bool OnDisk(int i) const {
    auto store = ManagedDataStoreAdaptor::CreateForTesting(ImmutableString::Create(cacheFolder.string()), 1 << 20);
    return !testsupport::AwaitFailure(
        store->LoadDataWithKey(media, kSizedAnalyzer, ImmutableString::Create(""), Key(i)));
  }

  testsupport::TempDirectory directory;
  std::filesystem::path const settingsFile = directory / "properties";
  std::filesystem::path const cacheFolder = directory / "AnalyzerCache";
  InterfaceRef<BE::IProperties> const properties = InterfaceRef<BE::IProperties>::Query(BE::GetBackend());
  std::filesystem::path const previousFile = properties->GetFilePath();
  InterfaceRef<BE::IPreferences> const preferences = BE::GetBackend()->GetPreferences();
  std::wstring const previousFolder = preferences->GetAnalyzerCacheDirectory();
  Target const media = BE::ProjectFactory::CreateMedia(zelcore::text::UTF8ToUTF16((directory / "media.wav").string()));
};

TEST_F(AnalyzerCacheSizeTest, TheBoundPersistsAndBoundsAFreshStore) {
  EXPECT_EQ(GetAnalyzerCacheMaxBytes(), ManagedDataStoreAdaptor::kMaxUsedBytes);
  {
    auto store = ManagedDataStoreAdaptor::Create();
    ManagedDataStoreAdaptor::CacheStatistics const stats = Managed(store).GetCacheStatistics();
    EXPECT_EQ(stats.maxUsedBytes, ManagedDataStoreAdaptor::kMaxUsedBytes);
    EXPECT_EQ(stats.freeSpaceTargetBytes, ManagedDataStoreAdaptor::FreeSpaceTargetFor(stats.volumeTotalBytes));
    EXPECT_GT(stats.volumeAvailableBytes, 0u);
    EXPECT_EQ(stats.disk.items, 0u);
  }

  ASSERT_TRUE(SetAnalyzerCacheMaxBytes(2 * kMiB));
  // In the settings file, as a fresh reader of it (another process) sees it.
  BE::SerializeableValue<std::int64_t> stored;
  ASSERT_TRUE(BE::CreateProperties(settingsFile)->ReadValue(kPrefsAnalyzerCacheMaxBytes, stored));
  EXPECT_EQ(stored.GetValue(), static_cast<std::int64_t>(2 * kMiB));

  auto store = ManagedDataStoreAdaptor::Create();
  EXPECT_EQ(Managed(store).GetCacheStatistics().maxUsedBytes, 2 * kMiB);
  SaveResults(store, 0, 48);  // 3 MiB
  ManagedDataStoreAdaptor::CacheStatistics const stats = Managed(store).GetCacheStatistics();
  EXPECT_LE(stats.disk.usedBytes, 2 * kMiB);
  EXPECT_GE(stats.disk.items, 28u);
  EXPECT_LT(stats.disk.items, 32u);
  // The first saved went first.
  EXPECT_FALSE(OnDisk(0));
  EXPECT_TRUE(OnDisk(47));
}

TEST_F(AnalyzerCacheSizeTest, ALoweredBoundEvictsAtTheNextSaveAndNeverAtReads) {
  auto store = ManagedDataStoreAdaptor::Create();
  SaveResults(store, 0, 40);
  EXPECT_EQ(Managed(store).GetCacheStatistics().disk.items, 40u);

  ASSERT_TRUE(SetAnalyzerCacheMaxBytes(kMiB));
  // Reads of every result, in the memory cache and on disk, delete nothing.
  for (int i = 0; i < 40; ++i) {
    EXPECT_FALSE(
        testsupport::AwaitFailure(store->LoadDataWithKey(media, kSizedAnalyzer, ImmutableString::Create(""), Key(i))));
    EXPECT_TRUE(OnDisk(i)) << i;
  }
  ASSERT_TRUE(testsupport::AwaitEnd(Managed(store).GetCacheChainForTesting()->Flush()));
  EXPECT_EQ(Managed(store).GetCacheStatistics().disk.items, 40u);

  SaveResults(store, 40, 1);
  ManagedDataStoreAdaptor::CacheStatistics const stats = Managed(store).GetCacheStatistics();
  EXPECT_EQ(stats.maxUsedBytes, kMiB);
  EXPECT_LE(stats.disk.usedBytes, kMiB);
  EXPECT_TRUE(OnDisk(40));

  // Clear and prune through the store.
  MF::DiskCacheRemoval const pruned = Managed(store).PruneCache({std::nullopt, kMiB / 2});
  EXPECT_GT(pruned.items, 0u);
  EXPECT_LE(Managed(store).GetCacheStatistics().disk.usedBytes, kMiB / 2);
  MF::DiskCacheRemoval const cleared = Managed(store).ClearCache();
  EXPECT_EQ(cleared.items + pruned.items, stats.disk.items);
  EXPECT_EQ(Managed(store).GetCacheStatistics().disk.items, 0u);
  EXPECT_FALSE(OnDisk(40));
}

TEST_F(AnalyzerCacheSizeTest, RefusesBadBoundsAndFallsBackToTheDefaultOnBadStoredValues) {
  for (std::uint64_t const bad : {std::uint64_t{0}, kMinAnalyzerCacheMaxBytes - 1, std::uint64_t{1} << 63}) {
    try {
      SetAnalyzerCacheMaxBytes(bad);
      ADD_FAILURE() << bad;
    } catch (zelcore::config::zel_exception const& e) {
      EXPECT_EQ(e.GetResult(), zelcore::config::kResultInvalidArgument);
      EXPECT_NE(std::string(e.what()).find("at least 1.0 MiB"), std::string::npos) << e.what();
    }
  }
  BE::SerializeableValue<std::int64_t> stored;
  EXPECT_FALSE(properties->ReadValue(kPrefsAnalyzerCacheMaxBytes, stored));

  // A value below the smallest bound, written by hand or by an older program.
  properties->WriteValue(kPrefsAnalyzerCacheMaxBytes, BE::SerializeableValue<std::int64_t>(-5), true);
  EXPECT_EQ(GetAnalyzerCacheMaxBytes(), ManagedDataStoreAdaptor::kMaxUsedBytes);
  // A store says why it keeps the default, so that whoever runs it can tell the user.
  EXPECT_NE(Managed(ManagedDataStoreAdaptor::Create()).GetBoundSettingProblem().find("-5 is below the smallest bound"),
            std::string::npos);

  // A read-only setting stores nothing.
  ASSERT_TRUE(SetAnalyzerCacheMaxBytes(3 * kMiB));
  properties->SetReadOnly(kPrefsAnalyzerCacheMaxBytes, true);
  EXPECT_FALSE(SetAnalyzerCacheMaxBytes(4 * kMiB));
  EXPECT_EQ(GetAnalyzerCacheMaxBytes(), 3 * kMiB);
  properties->SetReadOnly(kPrefsAnalyzerCacheMaxBytes, false);

  // A value of another type is an error naming the file and the key to the reader, and a store keeps the default
  // bound.
  properties->WriteValue(kPrefsAnalyzerCacheMaxBytes, BE::SerializeableValue<int>(7), true);
  EXPECT_THROW(GetAnalyzerCacheMaxBytes(), BE::exSettingsFile);
  auto store = ManagedDataStoreAdaptor::Create();
  EXPECT_EQ(Managed(store).GetCacheStatistics().maxUsedBytes, ManagedDataStoreAdaptor::kMaxUsedBytes);
  std::string const problem = Managed(store).GetBoundSettingProblem();
  for (std::string const& part : {settingsFile.string(), std::string("key \"AnalyzerCacheMaxBytes\""),
                                  std::string("keeps the default bound of 5.0 GiB")}) {
    EXPECT_NE(problem.find(part), std::string::npos) << problem;
  }
  // A usable bound again: nothing to say.
  ASSERT_TRUE(SetAnalyzerCacheMaxBytes(3 * kMiB));
  EXPECT_EQ(Managed(ManagedDataStoreAdaptor::Create()).GetBoundSettingProblem(), "");

  // The text form: decimal with an optional sign, nothing else.
  struct Case {
    char const* text;
    bool valid;
    std::int64_t value;
  };
  for (Case const& each :
       {Case{"5368709120", true, 5368709120}, Case{"+12", true, 12}, Case{"-12", true, -12},
        Case{"9223372036854775807", true, INT64_MAX}, Case{"9223372036854775808", false, 0}, Case{"", false, 0},
        Case{"+", false, 0}, Case{"+-1", false, 0}, Case{"1G", false, 0}, Case{" 1", false, 0}}) {
    BE::SerializeableValue<std::int64_t> value(99);
    EXPECT_EQ(value.SetFromText(each.text), each.valid) << each.text;
    EXPECT_EQ(value.GetValue(), each.valid ? each.value : 99) << each.text;
    if (each.valid) {
      EXPECT_EQ(value.ToText(), std::to_string(each.value));
    }
  }
}

}  // namespace
}  // namespace Quillan
