#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

#include "BE/Backend.h"
#include "BE/Media.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "Support/BlobTestUtils.h"
#include "Support/FutureTestUtils.h"
#include "Support/TempDirectory.h"
#include "zelcore/DebugDatabase.h"
#include "zelcore/TextConversions.h"
#include "zelcore/Trace.h"

namespace Quillan {
namespace {

using testsupport::Await;
using testsupport::AwaitFailure;
using testsupport::BlobText;
using testsupport::MakeBlob;
using testsupport::MessageOf;
using testsupport::ResultOf;
using testsupport::Text;
using zelcore::Blob;
using zelcore::InterfaceRef;
using zelcore::async::Future;

Guid const kManagedAnalyzer = *Guid::FromString("0a11ce00-1234-4abc-8def-000000000042");

// A media over a real file, so that it has a content state.
Target MediaTarget(testsupport::TempDirectory const& directory, std::string const& content) {
  auto const path = directory / ("media-" + content + ".wav");
  std::ofstream(path, std::ios::binary) << content;
  return BE::ProjectFactory::CreateMedia(zelcore::text::UTF8ToUTF16(path.string()));
}

// A disk tier that answers as the test says and keeps what it is given.
class ScriptedDisk final : public MF::DataCache {
 public:
  MF::ResultCode immediate = MF::kResultItemPending;
  mutable ItemCallback callback;
  std::vector<std::pair<ImmutableString, ImmutableString>> puts;

  MF::ResultCode GetItem(ImmutableString const&, ImmutableString const&, ItemCallback const& itemCallback,
                         Blob&) const override {
    callback = itemCallback;
    return immediate;
  }
  Future<void> PutItem(ImmutableString const& first, ImmutableString const& second, Blob const& blob,
                       bool bypassMemory) override {
    return PutItemAndNotify(first, second, blob, bypassMemory, nullptr);
  }
  Future<void> RemoveItem(ImmutableString const& first, ImmutableString const& second) override {
    return RemoveItemAndNotify(first, second, nullptr);
  }
  Future<void> Flush() override { return zelcore::async::MakeReadyFuture(); }

 protected:
  Future<void> PutItemAndNotify(ImmutableString const& first, ImmutableString const& second, Blob const&, bool,
                                zelcore::UniqueFunction<void(bool)> stored) override {
    puts.emplace_back(first, second);
    if (stored) stored(true);
    return zelcore::async::MakeReadyFuture();
  }
  Future<void> RemoveItemAndNotify(ImmutableString const&, ImmutableString const&,
                                   zelcore::UniqueFunction<void(bool)> stored) override {
    if (stored) stored(true);
    return zelcore::async::MakeReadyFuture();
  }
};

class ManagedDataStoreAdaptorTest : public testing::Test {
 protected:
  void TearDown() override { zelcore::debug::DebugDatabase::Instance().RemoveEntry(kIgnoreAnalyzerCacheEntry); }

  testsupport::TempDirectory directory_;
};

TEST_F(ManagedDataStoreAdaptorTest, ServesSavedResultsFromMemoryAtOnceAndFromDiskLater) {
  Target const media = MediaTarget(directory_, "tone");
  auto const cacheFolder = Text((directory_ / "cache").string());
  {
    auto store = ManagedDataStoreAdaptor::CreateForTesting(cacheFolder, MF::kDefaultMemoryCacheBytes);
    ASSERT_EQ(ResultOf(AwaitFailure(
                  store->SaveDataWithKey(media, kManagedAnalyzer, Text("p=1"), Text("peaks"), MakeBlob("result")))),
              0u);
    // Filed under the data source and the cache key.
    auto const& chain = static_cast<ManagedDataStoreAdaptor&>(*store).GetCacheChainForTesting();
    Blob entry;
    EXPECT_EQ(chain->GetItem(Text(GetContentStateGuid(media).AsUTF8String()),
                             GenerateCacheKey(kManagedAnalyzer, Text("p=1"), Text("peaks")), nullptr, entry),
              MF::kResultItemAvailable);

    Future<Blob> const hit = store->LoadDataWithKey(media, kManagedAnalyzer, Text("p=1"), Text("peaks"));
    EXPECT_TRUE(hit.IsReady());  // answered from memory, without waiting for any callback
    EXPECT_EQ(BlobText(Await(hit)), "result");

    std::exception_ptr const miss =
        AwaitFailure(store->LoadDataWithKey(media, kManagedAnalyzer, Text("p=2"), Text("peaks")));
    EXPECT_EQ(ResultOf(miss), 0xA0330001u);
    EXPECT_EQ(MessageOf(miss), "");
    EXPECT_TRUE(store->IsDataNotFoundInCache(miss));
    ASSERT_TRUE(testsupport::AwaitEnd(chain->Flush()));
  }
  // Another store over the folder has a cold memory cache: the item comes from disk.
  auto store = ManagedDataStoreAdaptor::CreateForTesting(cacheFolder, MF::kDefaultMemoryCacheBytes);
  EXPECT_EQ(BlobText(Await(store->LoadDataWithKey(media, kManagedAnalyzer, Text("p=1"), Text("peaks")))), "result");
  EXPECT_EQ(ResultOf(AwaitFailure(store->LoadDataWithKey(MediaTarget(directory_, "other"), kManagedAnalyzer,
                                                         Text("p=1"), Text("peaks")))),
            0xA0330001u);
}

TEST_F(ManagedDataStoreAdaptorTest, ReadsTheIgnoreSwitchAtEveryLoad) {
  Target const media = MediaTarget(directory_, "switch");
  auto store = ManagedDataStoreAdaptor::CreateForTesting(Text((directory_ / "cache").string()), 1 << 20);
  auto& database = zelcore::debug::DebugDatabase::Instance();
  database.SetEntry(kIgnoreAnalyzerCacheEntry, "true");
  // Saves are not affected.
  ASSERT_FALSE(AwaitFailure(store->SaveDataWithKey(media, kManagedAnalyzer, Text(""), Text("k"), MakeBlob("kept"))));
  std::exception_ptr const ignored = AwaitFailure(store->LoadDataWithKey(media, kManagedAnalyzer, Text(""), Text("k")));
  EXPECT_EQ(ResultOf(ignored), 0xA0330001u);
  EXPECT_EQ(MessageOf(ignored), "");
  EXPECT_TRUE(store->IsDataNotFoundInCache(ignored));

  database.SetEntry(kIgnoreAnalyzerCacheEntry, "false");
  EXPECT_EQ(BlobText(Await(store->LoadDataWithKey(media, kManagedAnalyzer, Text(""), Text("k")))), "kept");
  database.SetEntry(kIgnoreAnalyzerCacheEntry, "true");
  EXPECT_EQ(ResultOf(AwaitFailure(store->LoadDataWithKey(media, kManagedAnalyzer, Text(""), Text("k")))), 0xA0330001u);
}

TEST_F(ManagedDataStoreAdaptorTest, PassesTheCachesFailureCodesOn) {
  Target const media = MediaTarget(directory_, "codes");
  auto disk = std::make_shared<ScriptedDisk>();
  auto store = ManagedDataStoreAdaptor::CreateWithCacheForTesting(
      std::make_shared<MF::DataCacheChain>(MF::CreateDataCacheInMemory(), disk));

  struct Case {
    MF::ResultCode immediate;
    MF::ResultCode delivered;  // through the callback, when the lookup answers later
    bool notFound;
  };
  for (Case const& each : {Case{MF::kResultItemPending, MF::kResultItemNotFound, true},
                           Case{MF::kResultItemPending, MF::kResultStorageFailed, false},
                           Case{MF::kResultCacheClosed, 0, false}, Case{MF::kResultItemNotFound, 0, true}}) {
    disk->immediate = each.immediate;
    disk->callback = nullptr;
    Future<Blob> const load = store->LoadDataWithKey(media, kManagedAnalyzer, Text(""), Text("k"));
    if (each.immediate == MF::kResultItemPending) {
      EXPECT_FALSE(load.IsReady());
      ASSERT_TRUE(disk->callback);
      disk->callback(each.delivered, Text("a"), Text("b"), nullptr);
    }
    MF::ResultCode const expected = each.immediate == MF::kResultItemPending ? each.delivered : each.immediate;
    std::exception_ptr const failure = AwaitFailure(load);
    EXPECT_EQ(ResultOf(failure), static_cast<Result>(expected));
    EXPECT_EQ(MessageOf(failure), "");
    EXPECT_EQ(store->IsDataNotFoundInCache(failure), each.notFound) << std::hex << expected;
  }

  // A delivered item completes the load; the callback keeps no result alive that nobody waits for.
  disk->immediate = MF::kResultItemPending;
  Future<Blob> load = store->LoadDataWithKey(media, kManagedAnalyzer, Text(""), Text("k"));
  disk->callback(MF::kResultItemAvailable, Text("a"), Text("b"), MakeBlob("late"));
  EXPECT_EQ(BlobText(Await(load)), "late");
  zelcore::async::WeakFuture<Blob> const abandoned =
      store->LoadDataWithKey(media, kManagedAnalyzer, Text(""), Text("k"));
  EXPECT_TRUE(abandoned.Expired());
  disk->callback(MF::kResultItemAvailable, Text("a"), Text("b"), MakeBlob("nobody"));
  disk->callback = nullptr;  // it holds the chain, which holds the disk

  auto const failure = [](Result code) { return std::make_exception_ptr(zelcore::config::zel_exception("x", code)); };
  EXPECT_TRUE(store->IsDataNotFoundInCache(failure(0xA00F0003u)));
  EXPECT_FALSE(store->IsDataNotFoundInCache(failure(0xA00F0001u)) ||
               store->IsDataNotFoundInCache(failure(0xA00F0004u)));
  EXPECT_FALSE(store->IsDataNotFoundInCache(std::make_exception_ptr(std::runtime_error("other"))));
}

TEST_F(ManagedDataStoreAdaptorTest, ReportsTargetErrorsAndEmptyKeysThroughTheFuture) {
  auto disk = std::make_shared<ScriptedDisk>();
  auto store = ManagedDataStoreAdaptor::CreateWithCacheForTesting(
      std::make_shared<MF::DataCacheChain>(MF::CreateDataCacheInMemory(), disk));

  BE::ProjectFactory::MediaOptions withoutInfo;
  withoutInfo.withMediaInfo = false;
  Target const bare = BE::ProjectFactory::CreateMedia(u"/nowhere/bare.wav", withoutInfo);
  std::exception_ptr const load = AwaitFailure(store->LoadDataWithKey(bare, kManagedAnalyzer, Text(""), Text("k")));
  EXPECT_EQ(ResultOf(load), 0xA00F0001u);
  EXPECT_EQ(MessageOf(load), "MediaInfo doesn't exist for the given media");
  EXPECT_FALSE(store->IsDataNotFoundInCache(load));
  EXPECT_EQ(ResultOf(AwaitFailure(store->SaveDataWithKey(bare, kManagedAnalyzer, Text(""), Text("k"), MakeBlob("x")))),
            0xA00F0001u);

  // An empty key fails a save when its queued task runs, and puts nothing.
  Target const media = MediaTarget(directory_, "keys");
  Future<void> save = store->SaveDataWithKey(media, kManagedAnalyzer, Text("p"), Text(""), MakeBlob("x"));
  std::exception_ptr const emptyKey = AwaitFailure(save);
  EXPECT_EQ(ResultOf(emptyKey), 0xA00F000Eu);
  EXPECT_EQ(MessageOf(emptyKey), "The cache key may not be null");
  EXPECT_TRUE(disk->puts.empty());
  EXPECT_EQ(ResultOf(AwaitFailure(store->LoadDataWithKey(media, kManagedAnalyzer, Text("p"), Text("")))), 0xA00F000Eu);
}

TEST_F(ManagedDataStoreAdaptorTest, CreateOpensThePreferencesFolderWithItsBoundsAndTracesIt) {
  auto const preferences = BE::GetBackend()->GetPreferences();
  std::wstring const previousFolder = preferences->GetAnalyzerCacheDirectory();
  auto const folder = directory_ / "analyzer cache";
  preferences->SetAnalyzerCacheDirectory(zelcore::text::UTF8ToWstring(folder.string()));
  struct Line {
    std::string category;
    int level;
    std::string message;
  };
  std::mutex mutex;
  std::vector<Line> lines;
  auto const previousSink =
      zelcore::debug::SetTraceSink([&](std::string_view category, int level, std::string_view message) {
        // Only the creations: stores of earlier tests may still trace from their own threads as they close.
        if (!message.starts_with("Created analyzer cache")) return;
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back({std::string(category), level, std::string(message)});
      });

  zelcore::debug::SetTraceLevel("Quillan", 7);
  auto store = ManagedDataStoreAdaptor::Create();
  zelcore::debug::SetTraceLevel("Quillan", 6);
  auto quiet = ManagedDataStoreAdaptor::Create();
  zelcore::debug::SetTraceSink(previousSink);
  zelcore::debug::ResetTraceForTesting();
  preferences->SetAnalyzerCacheDirectory(previousFolder);

  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].category, "Quillan");
  EXPECT_EQ(lines[0].level, 7);
  EXPECT_EQ(lines[0].message, "Created analyzer cache (" + folder.string() + ") with size 5368709120b\r\n");

  auto& managed = static_cast<ManagedDataStoreAdaptor&>(*store);
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  auto const directory = managed.GetManagedDirectoryForTesting();
  EXPECT_EQ(directory->GetPath(), Text(folder.string()));
  EXPECT_EQ(directory->GetMaxUsedBytes(), 5368709120u);
  // 5 GiB, or a twentieth of a smaller volume, so that a small volume can still be used.
  EXPECT_EQ(directory->GetManagedVolume()->GetFreeSpaceBytes(),
            ManagedDataStoreAdaptor::FreeSpaceTargetFor(directory->GetManagedVolume()->GetTotalBytes()));
  EXPECT_EQ(ManagedDataStoreAdaptor::FreeSpaceTargetFor(std::uint64_t{1} << 40), 5368709120u);
  EXPECT_EQ(ManagedDataStoreAdaptor::FreeSpaceTargetFor(64 << 20), (64u << 20) / 20);
  EXPECT_EQ(managed.GetUnavailableReason(), "");
  EXPECT_EQ(directory->GetManagedVolume()->GetFreeSpacePercentage(), std::nullopt);
}

TEST_F(ManagedDataStoreAdaptorTest, AnUnusableFolderFindsNothingAndRefusesSavesWithItsReason) {
  auto const preferences = BE::GetBackend()->GetPreferences();
  std::wstring const previousFolder = preferences->GetAnalyzerCacheDirectory();
  std::ofstream(directory_ / "taken") << "a file where the folder should be";
  preferences->SetAnalyzerCacheDirectory(zelcore::text::UTF8ToWstring((directory_ / "taken").string()));
  auto store = ManagedDataStoreAdaptor::Create();
  preferences->SetAnalyzerCacheDirectory(previousFolder);

  std::string const reason = static_cast<ManagedDataStoreAdaptor&>(*store).GetUnavailableReason();
  EXPECT_NE(reason.find("taken"), std::string::npos) << reason;
  Target const media = MediaTarget(directory_, "degraded");
  std::exception_ptr const miss = AwaitFailure(store->LoadDataWithKey(media, kManagedAnalyzer, Text(""), Text("k")));
  EXPECT_TRUE(store->IsDataNotFoundInCache(miss));
  std::exception_ptr const refused =
      AwaitFailure(store->SaveDataWithKey(media, kManagedAnalyzer, Text(""), Text("k"), MakeBlob("x")));
  EXPECT_EQ(MessageOf(refused), reason);
  EXPECT_TRUE(std::filesystem::is_regular_file(directory_ / "taken"));
}

TEST_F(ManagedDataStoreAdaptorTest, KeepsParametersAndKeysByteForByteAndRefusesResultsTooLargeToStore) {
  Target const media = MediaTarget(directory_, "bytes");
  auto const cacheFolder = Text((directory_ / "cache").string());
  // Bytes that are not UTF-8, and the character that a repair of them would give.
  std::string const parameters[] = {"\xff", "\xef\xbf\xbd", "\xc3\x28", std::string("a\0b", 3)};
  {
    auto store = ManagedDataStoreAdaptor::CreateForTesting(cacheFolder, MF::kDefaultMemoryCacheBytes);
    for (std::string const& parameter : parameters) {
      Await(store->SaveDataWithKey(media, kManagedAnalyzer, Text(parameter), Text("key\xfe"),
                                   MakeBlob("for " + parameter)));
    }
    auto const& managed = static_cast<ManagedDataStoreAdaptor&>(*store);
    std::uint64_t const largest = managed.GetManagedDirectoryForTesting()->GetMaxItemBytes();
    auto const huge = zelcore::allocator::RecycledMemory::Create(largest + 1);
    std::exception_ptr const refused =
        AwaitFailure(store->SaveDataWithKey(media, kManagedAnalyzer, Text(""), Text("huge"), huge));
    EXPECT_EQ(ResultOf(refused), static_cast<zelcore::config::Result>(MF::kResultItemTooLarge));
    EXPECT_NE(MessageOf(refused).find("larger than the media cache can store"), std::string::npos);
    ASSERT_TRUE(testsupport::AwaitEnd(managed.GetCacheChainForTesting()->Flush()));
  }
  // From disk, in a store with a cold memory cache.
  auto store = ManagedDataStoreAdaptor::CreateForTesting(cacheFolder, MF::kDefaultMemoryCacheBytes);
  for (std::string const& parameter : parameters) {
    EXPECT_EQ(BlobText(Await(store->LoadDataWithKey(media, kManagedAnalyzer, Text(parameter), Text("key\xfe")))),
              "for " + parameter);
  }
  EXPECT_TRUE(store->IsDataNotFoundInCache(
      AwaitFailure(store->LoadDataWithKey(media, kManagedAnalyzer, Text("\xfe"), Text("key\xfe")))));
}

}  // namespace
}  // namespace Quillan
