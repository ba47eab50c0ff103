// The managed store and `quillan cache` on a small, real volume (a tmpfs the test mounts) that another file fills to
// the last byte: saves say why they were refused, stored results stay readable, and the tool's clear and prune give
// the space back.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"
#include "Platform/MF/Helper/SmallVolume.h"
#include "Support/BlobTestUtils.h"
#include "Support/FutureTestUtils.h"
#include "Support/TempDirectory.h"
#include "ToolProcess.h"
#include "zelcore/TextConversions.h"

namespace Quillan {
namespace {

using Cli::RunTool;
using Cli::ToolRun;
using testsupport::Await;
using testsupport::AwaitFailure;
using testsupport::MessageOf;
using testsupport::ResultOf;
using zelcore::Blob;
using zelcore::InterfaceRef;

Guid const kAnalyzer = *Guid::FromString("0a11ce00-1234-4abc-8def-0000000000f1");
constexpr std::size_t kResultBytes = 300'000;

ImmutableString Text(std::string const& text) { return ImmutableString::Create(text); }

Blob ResultFor(int index, std::size_t bytes = kResultBytes) {
  auto blob = zelcore::allocator::RecycledMemory::Create(bytes);
  for (std::size_t i = 0; i < bytes; ++i) blob->data()[i] = static_cast<std::uint8_t>(i * 7 + index);
  return blob;
}

bool SameBytes(Blob const& a, Blob const& b) {
  return a && b && a->size() == b->size() && std::memcmp(a->data(), b->data(), a->size()) == 0;
}

class ManagedCacheFullVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!volume_.Mounted()) GTEST_SKIP() << volume_.Why();
    // The tool's managed folder is AnalyzerCache in the cache folder.
    ::setenv("QUILLAN_CACHE_DIR", volume_.path().c_str(), 1);
    ::setenv("QUILLAN_CONFIG_DIR", (directory_ / "config").c_str(), 1);
  }
  void TearDown() override {
    ::setenv("QUILLAN_CONFIG_DIR", QUILLAN_TEST_HOME "/config", 1);
    ::setenv("QUILLAN_CACHE_DIR", QUILLAN_TEST_HOME "/cache", 1);
  }

  Target Media(int index) {
    auto const path = directory_ / ("media-" + std::to_string(index) + ".wav");
    std::ofstream(path, std::ios::binary) << "content " << index;
    return BE::ProjectFactory::CreateMedia(zelcore::text::UTF8ToUTF16(path.string()));
  }

  // A store of the managed folder with (nearly) no memory tier, so that loads read the disk.
  InterfaceRef<IDataStoreAdaptor> OpenStore() {
    return ManagedDataStoreAdaptor::CreateForTesting(Text((volume_.path() / "AnalyzerCache").string()), 1);
  }

  static void Flush(InterfaceRef<IDataStoreAdaptor> const& store) {
    ASSERT_TRUE(
        testsupport::AwaitEnd(static_cast<ManagedDataStoreAdaptor&>(*store).GetCacheChainForTesting()->Flush()));
  }

  // Drops the store and waits until its disk cache has closed the database, which may happen on the cache's own
  // thread and empties the database's log.
  static void Close(InterfaceRef<IDataStoreAdaptor>& store) {
    std::weak_ptr<MF::DiskCacheManager::ManagedDirectory> const directory =
        static_cast<ManagedDataStoreAdaptor&>(*store).GetManagedDirectoryForTesting();
    store = nullptr;
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!directory.expired() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(directory.expired());
  }

  void SaveResults(InterfaceRef<IDataStoreAdaptor> const& store) {
    for (int i = 0; i < 3; ++i)
      Await(store->SaveDataWithKey(Media(i), kAnalyzer, Text("p"), Text("result"), ResultFor(i)));
    Flush(store);
  }

  testsupport::TempDirectory directory_;
  testsupport::SmallVolume volume_{directory_ / "volume", 8 << 20};
};

// A result larger than the cache bound, and one for which the volume has no room: each save fails with its reason,
// and what the cache held stays readable, in this process and through the tool. The tool's clear then frees the
// volume, which SQLite could not change.
TEST_F(ManagedCacheFullVolumeTest, SavesSayWhyTheyWereRefusedAndTheToolsClearFreesTheSpace) {
  {
    auto store = OpenStore();
    SaveResults(store);
    auto& managed = static_cast<ManagedDataStoreAdaptor&>(*store);
    std::vector<std::string> told;  // what the store tells its observer; the refusals below run on this thread
    managed.SetRefusalObserver([&](std::string const& reason) { told.push_back(reason); });
    managed.GetManagedDirectoryForTesting()->SetMaxUsedBytes(100'000);
    std::exception_ptr const tooLarge =
        AwaitFailure(store->SaveDataWithKey(Media(3), kAnalyzer, Text("p"), Text("result"), ResultFor(3)));
    EXPECT_EQ(ResultOf(tooLarge), static_cast<zelcore::config::Result>(MF::kResultItemTooLarge));
    EXPECT_NE(MessageOf(tooLarge).find("larger than the cache bound"), std::string::npos) << MessageOf(tooLarge);
    managed.GetManagedDirectoryForTesting()->SetMaxUsedBytes(ManagedDataStoreAdaptor::kMaxUsedBytes);

    ASSERT_TRUE(volume_.Fill("filler"));
    std::exception_ptr const full =
        AwaitFailure(store->SaveDataWithKey(Media(3), kAnalyzer, Text("p"), Text("result"), ResultFor(3, 1000)));
    EXPECT_EQ(ResultOf(full), static_cast<zelcore::config::Result>(MF::kResultVolumeFull));
    EXPECT_NE(MessageOf(full).find("the volume is full"), std::string::npos) << MessageOf(full);
    EXPECT_EQ(told, (std::vector<std::string>{MessageOf(tooLarge), MessageOf(full)}));
    managed.SetRefusalObserver(nullptr);
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(
          SameBytes(Await(store->LoadDataWithKey(Media(i), kAnalyzer, Text("p"), Text("result"))), ResultFor(i)))
          << i;
    }
    Close(store);
  }
  // Opened afresh on the full volume.
  {
    auto store = OpenStore();
    EXPECT_TRUE(SameBytes(Await(store->LoadDataWithKey(Media(1), kAnalyzer, Text("p"), Text("result"))), ResultFor(1)));
    Close(store);
  }
  ToolRun const stats = RunTool({"cache", "stats", "--json"});
  EXPECT_EQ(stats.exitCode, 0) << stats.err;
  EXPECT_NE(stats.out.find("\"items\":3,"), std::string::npos) << stats.out;

  ToolRun const clear = RunTool({"cache", "clear", "--json"});
  EXPECT_EQ(clear.exitCode, 0) << clear.err;
  EXPECT_NE(clear.out.find("\"removedItems\":3,"), std::string::npos) << clear.out;
  EXPECT_GT(volume_.Available(), 2 * kResultBytes);
  // And the cache takes results again, once the volume has room for them.
  volume_.Remove("filler");
  auto store = OpenStore();
  Await(store->SaveDataWithKey(Media(4), kAnalyzer, Text("p"), Text("result"), ResultFor(4)));
  Flush(store);
  EXPECT_TRUE(SameBytes(Await(store->LoadDataWithKey(Media(4), kAnalyzer, Text("p"), Text("result"))), ResultFor(4)));
}

// A prune through the tool on a volume filled to the last byte: SQLite cannot remove the selected results, so the
// files go, and the tool says that every result went.
TEST_F(ManagedCacheFullVolumeTest, TheToolsPruneFreesAFullVolume) {
  {
    auto store = OpenStore();
    SaveResults(store);
    Close(store);
  }
  ASSERT_TRUE(volume_.Fill("filler"));
  ToolRun const prune = RunTool({"cache", "prune", "--to-size", "1K", "--json"});
  EXPECT_EQ(prune.exitCode, 0) << prune.err;
  EXPECT_NE(prune.out.find("\"removedItems\":3,"), std::string::npos) << prune.out;
  EXPECT_NE(prune.err.find("every result went"), std::string::npos) << prune.err;
  EXPECT_GT(volume_.Available(), 2 * kResultBytes);
  ToolRun const stats = RunTool({"cache", "stats", "--json"});
  EXPECT_EQ(stats.exitCode, 0) << stats.err;
  EXPECT_NE(stats.out.find("\"items\":0,"), std::string::npos) << stats.out;
}

}  // namespace
}  // namespace Quillan
