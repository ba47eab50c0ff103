// The disk tier on a small, real volume (a tmpfs the test mounts): what a write costs the volume, and a volume that
// another file has filled to the last byte.
#include <gtest/gtest.h>

#include "MediaCacheTestUtils.h"
#include "Platform/MF/Helper/SmallVolume.h"

namespace MF::testing {
namespace {

using testsupport::SmallVolume;
using zelcore::async::Future;

constexpr std::uint64_t kVolumeBytes = 8 << 20;

std::string MessageOf(zelcore::async::UntypedFuture const& future) {
  zelcore::async::WaitForUntypedUntil(future, std::chrono::steady_clock::now() + kWaitLimit, true);
  return zelcore::config::ExtractMessageFromException(future.GetException());
}

Future<void> Put(DataCache& cache, std::string const& owner, std::uint64_t index) {
  return cache.PutItem(ImmutableString::Create(owner), ImmutableString::Create(PatternName(index)),
                       MakePatternBlob(owner, index), false);
}

Future<void> PutZeros(DataCache& cache, std::string const& name, std::size_t bytes) {
  auto blob = zelcore::allocator::RecycledMemory::Create(bytes);
  std::memset(blob->data(), 0x5a, bytes);
  return cache.PutItem(ImmutableString::Create("src"), ImmutableString::Create(name), blob, false);
}

// The volume holds only what the volume has: no free-space rule of the cache's own.
void WithoutRule(OpenedDisk const& disk) {
  disk.directory->GetManagedVolume()->SetFreeSpacePercentage(std::nullopt);
  disk.directory->GetManagedVolume()->SetFreeSpaceBytes(std::nullopt);
}

// Until its log is emptied the volume holds a written item twice, once in the log and once in the database. With
// room for one copy and not two it is refused as the volume being full, before anything is written; with room for
// both it is stored, and the log is emptied after it, so that the volume keeps one copy.
TEST(DiskCacheFullVolumeTest, AWriteIsChargedItsCopiesInTheLogAndTheDatabase) {
  TempFolder folder;
  SmallVolume volume(folder / "volume", kVolumeBytes);
  if (!volume.Mounted()) GTEST_SKIP() << volume.Why();
  OpenedDisk disk = OpenDisk(NameOf(volume.path() / "cache"));
  WithoutRule(disk);
  constexpr std::size_t kItem = 2 << 20;

  ASSERT_TRUE(volume.Fill("filler", kItem * 3 / 2));
  Future<void> const refused = PutZeros(*disk.cache, "big", kItem);
  EXPECT_EQ(ResultOf(refused), Code(kResultVolumeFull));
  EXPECT_NE(MessageOf(refused).find("the volume is full"), std::string::npos) << MessageOf(refused);
  std::exception_ptr const asked = disk.directory->CheckItemFits(kItem);
  EXPECT_EQ(zelcore::config::ExtractResultFromException(asked), Code(kResultVolumeFull));
  EXPECT_EQ(disk.directory->GetItemCount(), 0u);
  EXPECT_GE(volume.Available(), kItem);

  volume.Remove("filler");
  ASSERT_TRUE(volume.Fill("filler", kItem * 5 / 2));
  EXPECT_EQ(disk.directory->CheckItemFits(kItem), nullptr);
  ASSERT_TRUE(WaitForSuccess(PutZeros(*disk.cache, "big", kItem)));
  EXPECT_EQ(LookUp(*disk.cache, "src", "big").blob->size(), kItem);
  DiskCacheStatistics const files = disk.directory->GetStatistics();
  EXPECT_EQ(files.logFileBytes, 0u);
  EXPECT_LT(files.databaseFileBytes, kItem + (256 << 10));
  EXPECT_GT(volume.Available(), kItem * 5 / 2 - kItem - (256 << 10));
}

// A volume filled to the last byte by another file: a new item is refused for it, the items held stay readable
// (reads write nothing, and their last uses are dropped when they cannot be written), a cache opened now reads them
// too, and a prune, which SQLite cannot carry out, deletes the files instead once no other cache has them open.
TEST(DiskCacheFullVolumeTest, OnAFullVolumeItemsStayReadableAndAPruneFreesTheSpace) {
  TempFolder folder;
  SmallVolume volume(folder / "volume", kVolumeBytes);
  if (!volume.Mounted()) GTEST_SKIP() << volume.Why();
  auto const cacheFolder = NameOf(volume.path() / "cache");
  OpenedDisk disk = OpenDisk(cacheFolder);
  WithoutRule(disk);
  for (std::uint64_t i = 0; i < 40; ++i) Put(*disk.cache, "held", i);
  ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
  ASSERT_TRUE(volume.Fill("filler"));
  ASSERT_EQ(volume.Available(), 0u);

  Future<void> const refused = Put(*disk.cache, "new", 0);
  EXPECT_EQ(ResultOf(refused), Code(kResultVolumeFull));
  EXPECT_NE(MessageOf(refused).find("the volume is full"), std::string::npos) << MessageOf(refused);
  auto const intact = [](DataCache const& cache) {
    std::uint64_t good = 0;
    for (std::uint64_t i = 0; i < 40; ++i)
      good += MatchesPattern(LookUp(cache, "held", PatternName(i)).blob, "held", i);
    return good;
  };
  EXPECT_EQ(intact(*disk.cache), 40u);
  // Writes the last uses those reads recorded, which the volume refuses.
  EXPECT_TRUE(WaitForSuccess(disk.cache->Flush()));
  EXPECT_EQ(intact(*disk.cache), 40u);
  {
    OpenedDisk const second = OpenDisk(cacheFolder);
    EXPECT_EQ(intact(*second.cache), 40u);
    EXPECT_EQ(second.directory->GetStatistics().items, 40u);
    // While it has the folder open, the files are not deleted under it.
    EXPECT_THROW(
        try {
          disk.directory->PruneItems({std::nullopt, 0}, std::chrono::milliseconds(100));
        } catch (zelcore::config::zel_exception const& e) {
          EXPECT_EQ(e.GetResult(), Code(kResultCacheBusy));
          throw;
        },
        zelcore::config::zel_exception);
    EXPECT_EQ(intact(*second.cache), 40u);
  }

  DiskCacheRemoval const removal = disk.directory->PruneItems({std::nullopt, 1});
  EXPECT_TRUE(removal.filesDeleted);
  EXPECT_EQ(removal.items, 40u);
  EXPECT_GT(volume.Available(), 200'000u);
  EXPECT_LT(removal.fileBytesAfter, removal.fileBytesBefore);
  // The cache goes on in a new database.
  ASSERT_TRUE(WaitForSuccess(Put(*disk.cache, "new", 0)));
  EXPECT_TRUE(MatchesPattern(LookUp(*disk.cache, "new", PatternName(0)).blob, "new", 0));
  EXPECT_EQ(disk.directory->GetStatistics().items, 1u);
}

}  // namespace
}  // namespace MF::testing
