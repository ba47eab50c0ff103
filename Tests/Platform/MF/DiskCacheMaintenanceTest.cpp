#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "MediaCacheTestUtils.h"

namespace MF::testing {
namespace {

using std::chrono::hours;

constexpr std::uint64_t kItemOverhead = 128;
constexpr std::uint64_t kPageBytes = 16384;

std::uint64_t CostOf(std::string const& first, std::string const& second, std::size_t size) {
  return size + first.size() + second.size() + kItemOverhead;
}

std::uint64_t FileLength(std::filesystem::path const& path) {
  std::error_code error;
  auto const size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

std::uint64_t FilesOnDisk(std::filesystem::path const& folder) {
  return FileLength(folder / "MediaCache.db") + FileLength(folder / "MediaCache.db-wal") +
         FileLength(folder / "MediaCache.db-shm");
}

// Puts `count` pattern items of `owner` and waits until they are on disk; returns their total cost.
std::uint64_t PutItems(OpenedDisk const& disk, std::string const& owner, std::uint64_t count) {
  std::uint64_t cost = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    disk.cache->PutItem(ImmutableString::Create(owner), ImmutableString::Create(PatternName(i)),
                        MakePatternBlob(owner, i), false);
    cost += CostOf(owner, PatternName(i), PatternSize(owner, i));
  }
  EXPECT_TRUE(WaitForSuccess(disk.cache->Flush()));
  return cost;
}

// Makes items look last used `age` ago, as another process's clock or an old run would have left them.
void SetLastUse(std::filesystem::path const& folder, std::string const& owner, std::uint64_t index,
                std::chrono::system_clock::duration age) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((folder / "MediaCache.db").c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  auto const when =
      std::chrono::duration_cast<std::chrono::microseconds>((std::chrono::system_clock::now() - age).time_since_epoch())
          .count();
  std::string const sql = "UPDATE entries SET last_use = " + std::to_string(when) + " WHERE first = '" + owner +
                          "' AND second = '" + PatternName(index) + "'";
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_EQ(sqlite3_changes(db), 1);
  sqlite3_close(db);
}

bool Holds(DataCache const& cache, std::string const& owner, std::uint64_t index) {
  return MatchesPattern(LookUp(cache, owner, PatternName(index)).blob, owner, index);
}

TEST(DiskCacheMaintenanceTest, StatisticsCountWhatWasStoredAndTheFilesAsTheyAreOnDisk) {
  TempFolder folder;
  OpenedDisk disk = OpenDisk(NameOf(folder.path()));
  DiskCacheStatistics const empty = disk.directory->GetStatistics();
  EXPECT_EQ(empty.items, 0u);
  EXPECT_EQ(empty.usedBytes, 0u);
  EXPECT_EQ(empty.FileBytes(), FilesOnDisk(folder.path()));
  EXPECT_GT(empty.databaseFileBytes, 0u);

  std::uint64_t const cost = PutItems(disk, "stats", 40);
  DiskCacheStatistics const stats = disk.directory->GetStatistics();
  EXPECT_EQ(stats.items, 40u);
  EXPECT_EQ(stats.usedBytes, cost);
  EXPECT_EQ(stats.usedBytes, disk.directory->GetUsedBytes());
  EXPECT_EQ(stats.databaseFileBytes, FileLength(folder / "MediaCache.db"));
  EXPECT_EQ(stats.logFileBytes, FileLength(folder / "MediaCache.db-wal"));
  EXPECT_EQ(stats.indexFileBytes, FileLength(folder / "MediaCache.db-shm"));
  // The blobs are in there somewhere, in the database or its log.
  EXPECT_GE(stats.FileBytes(), cost - 40 * kItemOverhead);

  // Another cache over the folder (another process, as far as the database can tell) sees the same.
  OpenedDisk other = OpenDisk(NameOf(folder.path()));
  EXPECT_EQ(other.directory->GetStatistics().items, 40u);
  EXPECT_EQ(other.directory->GetStatistics().usedBytes, cost);

  // A closed cache says so instead of reporting an empty folder.
  std::shared_ptr<DiskCacheManager::ManagedDirectory> const orphan = other.directory;
  other.cache.reset();
  try {
    orphan->GetStatistics();
    ADD_FAILURE() << "statistics of a closed cache";
  } catch (zelcore::config::zel_exception const& e) {
    EXPECT_EQ(e.GetResult(), Code(kResultCacheClosed));
  }
}

TEST(DiskCacheMaintenanceTest, ClearRemovesEveryItemAndShrinksTheFiles) {
  TempFolder folder;
  OpenedDisk disk = OpenDisk(NameOf(folder.path()));
  std::uint64_t const cost = PutItems(disk, "clear", 400);  // about 2.4 MB
  std::uint64_t const before = FilesOnDisk(folder.path());
  ASSERT_GT(before, 2'000'000u);

  DiskCacheRemoval const removal = disk.directory->RemoveAllItems();
  EXPECT_EQ(removal.items, 400u);
  EXPECT_EQ(removal.usedBytes, cost);
  EXPECT_EQ(removal.fileBytesBefore, before);
  EXPECT_TRUE(removal.spaceReturned);
  EXPECT_EQ(removal.fileBytesAfter, FilesOnDisk(folder.path()));
  // An empty database: a handful of pages for its tables and indexes, an empty log and its index.
  EXPECT_LE(FileLength(folder / "MediaCache.db"), 8 * kPageBytes);
  EXPECT_EQ(FileLength(folder / "MediaCache.db-wal"), 0u);
  EXPECT_LT(removal.fileBytesAfter, before / 10);

  DiskCacheStatistics const stats = disk.directory->GetStatistics();
  EXPECT_EQ(stats.items, 0u);
  EXPECT_EQ(stats.usedBytes, 0u);
  EXPECT_EQ(LookUp(*disk.cache, "clear", PatternName(7)).code, kResultItemNotFound);

  // The cache goes on working, and a clear of an empty folder removes nothing.
  PutItems(disk, "after", 3);
  EXPECT_TRUE(Holds(*disk.cache, "after", 2));
  OpenedDisk reopened = OpenDisk(NameOf(folder.path()));
  EXPECT_EQ(reopened.directory->GetStatistics().items, 3u);
  EXPECT_EQ(reopened.directory->RemoveAllItems().items, 3u);
  EXPECT_EQ(reopened.directory->RemoveAllItems().items, 0u);
}

TEST(DiskCacheMaintenanceTest, PruneRemovesItemsUnusedForLongerThanTheAgeAndThenTheLeastRecentlyUsedBySize) {
  TempFolder folder;
  OpenedDisk disk = OpenDisk(NameOf(folder.path()));
  PutItems(disk, "prune", 10);
  // Item i was last used 10 - i days ago: item 0 is the least recently used.
  for (std::uint64_t i = 0; i < 10; ++i) SetLastUse(folder.path(), "prune", i, hours(24 * (10 - i)));
  auto const costOf = [](std::uint64_t i) { return CostOf("prune", PatternName(i), PatternSize("prune", i)); };

  // Older than 7.5 days: items 0, 1 and 2 (10, 9 and 8 days).
  DiskCacheRemoval removal = disk.directory->PruneItems({hours(180), std::nullopt});
  EXPECT_EQ(removal.items, 3u);
  EXPECT_EQ(removal.usedBytes, costOf(0) + costOf(1) + costOf(2));
  EXPECT_TRUE(removal.spaceReturned);

  // A read is a use: item 3 (7 days) is read now, so a size limit takes 4 and 5 first.
  EXPECT_TRUE(Holds(*disk.cache, "prune", 3));
  std::uint64_t keep = 0;
  for (std::uint64_t i = 6; i < 10; ++i) keep += costOf(i);
  keep += costOf(3);
  removal = disk.directory->PruneItems({std::nullopt, keep});
  EXPECT_EQ(removal.items, 2u);
  EXPECT_EQ(removal.usedBytes, costOf(4) + costOf(5));
  EXPECT_EQ(disk.directory->GetStatistics().usedBytes, keep);
  for (std::uint64_t i = 0; i < 10; ++i) {
    bool const kept = i == 3 || i >= 6;
    EXPECT_EQ(Holds(*disk.cache, "prune", i), kept) << i;
  }

  // The reads above used 3, 6, 7, 8 and 9 in that order. Both rules, in one transaction: nothing is older than 30
  // days, then down to the last two used.
  removal = disk.directory->PruneItems({hours(24 * 30), costOf(8) + costOf(9)});
  EXPECT_EQ(removal.items, 3u);
  EXPECT_EQ(disk.directory->GetStatistics().items, 2u);
  EXPECT_TRUE(Holds(*disk.cache, "prune", 8) && Holds(*disk.cache, "prune", 9));
  // No rule, and rules that select nothing, remove nothing.
  EXPECT_EQ(disk.directory->PruneItems({}).items, 0u);
  EXPECT_EQ(disk.directory->PruneItems({hours(24 * 365), UINT64_MAX}).items, 0u);
  EXPECT_EQ(disk.directory->GetStatistics().items, 2u);
}

TEST(DiskCacheMaintenanceTest, PruneGivesTheFreedSpaceBackToTheFileSystem) {
  TempFolder folder;
  OpenedDisk disk = OpenDisk(NameOf(folder.path()));
  std::uint64_t const cost = PutItems(disk, "space", 300);
  DiskCacheRemoval const removal = disk.directory->PruneItems({std::nullopt, cost / 10});
  EXPECT_GE(removal.items, 250u);
  EXPECT_TRUE(removal.spaceReturned);
  EXPECT_EQ(FileLength(folder / "MediaCache.db-wal"), 0u);
  // What is left, a page per item at most, and the empty database's own pages.
  EXPECT_LE(FileLength(folder / "MediaCache.db"), cost / 10 + (300 - removal.items + 8) * kPageBytes);
  EXPECT_LT(removal.fileBytesAfter, removal.fileBytesBefore / 3);
}

}  // namespace
}  // namespace MF::testing
