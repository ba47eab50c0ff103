#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <fstream>
#include <limits>

#include "MediaCacheTestUtils.h"

namespace MF::testing {
namespace {

constexpr std::size_t kItemSize = 1000;
constexpr char kDatabase[] = "MediaCache.db";

using zelcore::async::Future;

// Names of one length, so that every sized item costs the same.
std::string SizedName(std::uint64_t index) {
  std::string digits = std::to_string(index);
  return "n" + std::string(4 - digits.size(), '0') + digits;
}

Future<void> PutSized(DataCache& cache, std::uint64_t index) {
  auto blob = zelcore::allocator::RecycledMemory::Create(kItemSize);
  blob->data()[0] = static_cast<std::uint8_t>(index);
  return cache.PutItem(NameOf("src"), NameOf(SizedName(index)), blob, false);
}

bool Has(DataCache const& cache, std::uint64_t index) {
  return LookUp(cache, "src", SizedName(index)).code == kResultItemAvailable;
}

void Sql(std::filesystem::path const& database, char const* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);  // a cache that has just been released may still be closing
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

TEST(DiskDataCacheTest, EvictsLeastRecentlyUsedItemsToStayUnderItsBound) {
  TempFolder folder;
  OpenedDisk disk = OpenDisk(NameOf(folder.path()));
  std::uint64_t const itemCost = kItemSize + 3 + SizedName(0).size() + 128;
  std::uint64_t const bound = 40 * itemCost;
  disk.directory->SetMaxUsedBytes(bound);

  for (std::uint64_t i = 0; i < 30; ++i) PutSized(*disk.cache, i);
  ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
  EXPECT_EQ(disk.directory->GetItemCount(), 30u);
  for (std::uint64_t i = 0; i < 5; ++i) ASSERT_TRUE(Has(*disk.cache, i));  // used again: now the newest

  for (std::uint64_t i = 30; i < 50; ++i) PutSized(*disk.cache, i);
  ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
  EXPECT_LE(disk.directory->GetUsedBytes(), bound);
  EXPECT_EQ(disk.directory->GetItemCount(), 40u);
  for (std::uint64_t i = 0; i < 5; ++i) EXPECT_TRUE(Has(*disk.cache, i)) << i;
  for (std::uint64_t i = 5; i < 15; ++i) EXPECT_FALSE(Has(*disk.cache, i)) << i;  // the oldest used
  for (std::uint64_t i = 15; i < 50; ++i) EXPECT_TRUE(Has(*disk.cache, i)) << i;

  // Many more puts, in batches of all sizes: the bound holds after each.
  for (std::uint64_t i = 50; i < 400; ++i) {
    PutSized(*disk.cache, i);
    if (i % 37 == 0) {
      ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
      EXPECT_LE(disk.directory->GetUsedBytes(), bound);
    }
  }
  ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
  EXPECT_LE(disk.directory->GetUsedBytes(), bound);
  EXPECT_TRUE(Has(*disk.cache, 399));

  // A lower bound applies with the next write, never to a cache that is only read; an item that alone exceeds it
  // is refused and evicts nothing.
  disk.directory->SetMaxUsedBytes(10 * itemCost);
  ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
  EXPECT_TRUE(Has(*disk.cache, 398));
  ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
  EXPECT_GT(disk.directory->GetItemCount(), 10u);
  PutSized(*disk.cache, 400);
  ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
  EXPECT_EQ(disk.directory->GetItemCount(), 10u);
  EXPECT_TRUE(Has(*disk.cache, 400));
  auto huge = zelcore::allocator::RecycledMemory::Create(11 * itemCost);
  EXPECT_EQ(ResultOf(disk.cache->PutItem(NameOf("src"), NameOf("huge"), huge, false)), Code(kResultItemTooLarge));
  EXPECT_EQ(disk.directory->GetItemCount(), 10u);
  EXPECT_EQ(disk.directory->GetMaxUsedBytes(), 10 * itemCost);
}

TEST(DiskDataCacheTest, WithoutTrackingLastUseOldestWritesGoFirst) {
  TempFolder folder;
  OpenedDisk disk = OpenDisk(NameOf(folder.path()), false);
  std::uint64_t const itemCost = kItemSize + 3 + SizedName(0).size() + 128;
  disk.directory->SetMaxUsedBytes(4 * itemCost);
  for (std::uint64_t i = 10; i < 14; ++i) PutSized(*disk.cache, i);
  ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
  ASSERT_TRUE(Has(*disk.cache, 10));
  PutSized(*disk.cache, 14);
  ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
  EXPECT_FALSE(Has(*disk.cache, 10));
  EXPECT_TRUE(Has(*disk.cache, 11));
}

TEST(DiskDataCacheTest, TheVolumeRuleRefusesNewItemsAndNeverDeletesHeldOnes) {
  TempFolder folder;
  OpenedDisk disk = OpenDisk(NameOf(folder.path()));
  auto volume = disk.directory->GetManagedVolume();
  ASSERT_GT(volume->GetTotalBytes(), 0u);
  ASSERT_GT(volume->GetAvailableBytes(), 0u);
  auto const fill = [&](std::uint64_t from) {
    std::vector<Future<void>> puts;
    for (std::uint64_t i = from; i < from + 5; ++i) puts.push_back(PutSized(*disk.cache, i));
    EXPECT_TRUE(WaitForSuccess(disk.cache->Flush()));
    return puts;
  };

  // A rule the volume meets changes nothing.
  volume->SetFreeSpaceBytes(1);
  volume->SetFreeSpacePercentage(std::nullopt);
  fill(0);
  EXPECT_EQ(disk.directory->GetItemCount(), 5u);

  // Rules no volume can meet, by bytes or by share, refuse new items and keep what is held, through reads too.
  for (int rule = 0; rule < 2; ++rule) {
    SCOPED_TRACE(rule == 0 ? "bytes" : "share");
    if (rule == 0) {
      volume->SetFreeSpaceBytes(volume->GetTotalBytes());
    } else {
      volume->SetFreeSpaceBytes(std::nullopt);
      volume->SetFreeSpacePercentage(100.0f);
      EXPECT_EQ(volume->GetRequiredFreeBytes(), volume->GetTotalBytes());
    }
    EXPECT_EQ(volume->GetWritableBytes(), 0u);
    for (Future<void> const& put : fill(10)) EXPECT_EQ(ResultOf(put), Code(kResultVolumeFull));
    for (std::uint64_t i = 0; i < 5; ++i) EXPECT_TRUE(Has(*disk.cache, i)) << i;
    ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
    EXPECT_EQ(disk.directory->GetItemCount(), 5u);
  }

  volume->SetFreeSpacePercentage(std::nullopt);
  for (Future<void> const& put : fill(10)) EXPECT_TRUE(WaitForSuccess(put));
  EXPECT_EQ(disk.directory->GetItemCount(), 10u);

  for (float bad : {-1.0f, 100.5f, std::numeric_limits<float>::quiet_NaN()}) {
    EXPECT_THROW(volume->SetFreeSpacePercentage(bad), zelcore::config::zel_exception) << bad;
  }
  EXPECT_EQ(volume->GetRequiredFreeBytes(), 0u);
}

TEST(DiskDataCacheTest, AnItemTooLargeForTheDatabaseIsRefusedAloneInItsBatch) {
  TempFolder folder;
  OpenedDisk disk = OpenDisk(NameOf(folder.path()));
  std::uint64_t const largest = disk.directory->GetMaxItemBytes();
  ASSERT_GT(largest, 100'000'000u);
  ASSERT_LT(largest, 1'500'000'000u);
  // Never written to, so the pages of its 1.5 GB are never touched.
  auto const huge = zelcore::allocator::RecycledMemory::Create(1'500'000'000);
  std::vector<Future<void>> puts;
  for (std::uint64_t i = 0; i < 9; ++i) {
    puts.push_back(i == 4 ? disk.cache->PutItem(NameOf("src"), NameOf("huge"), huge, false) : PutSized(*disk.cache, i));
  }
  for (std::uint64_t i = 0; i < 9; ++i) {
    if (i == 4) {
      EXPECT_EQ(ResultOf(puts[i]), Code(kResultItemTooLarge));
    } else {
      EXPECT_TRUE(WaitForSuccess(puts[i])) << i;
      EXPECT_TRUE(Has(*disk.cache, i)) << i;
    }
  }
  EXPECT_EQ(disk.directory->GetItemCount(), 8u);
  EXPECT_EQ(LookUp(*disk.cache, "src", "huge").code, kResultItemNotFound);
}

TEST(DiskDataCacheTest, KeepsCommittedItemsAcrossReopeningAndDistrustsBrokenRows) {
  TempFolder folder;
  {
    OpenedDisk disk = OpenDisk(NameOf(folder.path()));
    for (std::uint64_t i = 0; i < 6; ++i)
      disk.cache->PutItem(NameOf("src"), NameOf(PatternName(i)), MakePatternBlob("p", i), false);
    ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
  }
  // Rows changed behind the cache's back: a size that lies, a blob gone, totals that lie.
  Sql(folder.path() / kDatabase,
      "UPDATE entries SET size = size + 1 WHERE second = 'item-1';"
      "DELETE FROM blobs WHERE id = (SELECT id FROM entries WHERE second = 'item-2');"
      "UPDATE entries SET size = -5 WHERE second = 'item-3';"
      "UPDATE stats SET used = -1000, items = 99;");

  OpenedDisk disk = OpenDisk(NameOf(folder.path()));
  EXPECT_EQ(disk.directory->GetItemCount(), 6u);  // recounted on opening
  for (std::uint64_t i = 0; i < 6; ++i) {
    LookUpResult const found = LookUp(*disk.cache, "src", PatternName(i));
    bool const broken = i >= 1 && i <= 3;
    EXPECT_EQ(found.code, broken ? kResultItemNotFound : kResultItemAvailable) << i;
    if (!broken) {
      EXPECT_TRUE(MatchesPattern(found.blob, "p", i)) << i;
    }
  }
  ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
  EXPECT_EQ(disk.directory->GetItemCount(), 6u);  // reading deletes nothing
  disk.cache->PutItem(NameOf("src"), NameOf(PatternName(9)), MakePatternBlob("p", 9), false);
  ASSERT_TRUE(WaitForSuccess(disk.cache->Flush()));
  EXPECT_EQ(disk.directory->GetItemCount(), 4u);  // the next write drops the broken rows

  // Starting empty on request.
  disk = {};
  OpenedDisk cleared = OpenDisk(NameOf(folder.path()), true, true);
  EXPECT_EQ(cleared.directory->GetItemCount(), 0u);
  EXPECT_EQ(cleared.directory->GetUsedBytes(), 0u);
}

TEST(DiskDataCacheTest, MovesAForeignDatabaseAsideAndRefusesBadFolders) {
  struct Case {
    char const* name;
    std::string contents;
  };
  for (Case const& each : {Case{"garbage", std::string(5000, 'x')},
                           Case{"truncated header", std::string("SQLite format 3\0", 16) + std::string(200, '\1')}}) {
    TempFolder folder;
    { std::ofstream(folder.path() / kDatabase, std::ios::binary) << each.contents; }
    OpenedDisk disk = OpenDisk(NameOf(folder.path()));
    ASSERT_TRUE(WaitForSuccess(disk.cache->PutItem(NameOf("src"), NameOf("a"), MakePatternBlob("a", 1), false)))
        << each.name;
    EXPECT_TRUE(MatchesPattern(LookUp(*disk.cache, "src", "a").blob, "a", 1)) << each.name;
    std::ifstream kept(folder.path() / (std::string(kDatabase) + ".unusable"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), each.contents) << each.name;
  }

  // Somebody else's database is not ours to change.
  TempFolder folder;
  Sql(folder.path() / kDatabase, "CREATE TABLE notes(text); INSERT INTO notes VALUES('keep me');");
  OpenDisk(NameOf(folder.path()));
  EXPECT_TRUE(std::filesystem::exists(folder.path() / (std::string(kDatabase) + ".unusable")));

  // Folders that cannot hold a cache.
  std::ofstream(folder.path() / "file") << "x";
  struct BadFolder {
    std::string path;
    bool create;
  };
  for (BadFolder const& bad : {BadFolder{"", true}, BadFolder{(folder.path() / "file").string(), true},
                               BadFolder{(folder.path() / "missing").string(), false},
                               BadFolder{(folder.path() / "file" / "below").string(), true}}) {
    std::shared_ptr<DiskCacheManager::ManagedDirectory> directory;
    try {
      CreateDataCacheInFilesystemAndManageDirectory(NameOf(bad.path), directory, bad.create, true, false);
      ADD_FAILURE() << "no error for \"" << bad.path << "\"";
    } catch (zelcore::config::zel_exception const& e) {
      EXPECT_EQ(e.GetResult(), Code(kResultBadDirectory)) << bad.path;
      EXPECT_NE(std::string(e.what()).find(bad.path), std::string::npos) << e.what();
    }
    EXPECT_EQ(directory, nullptr);
  }
  OpenedDisk created = OpenDisk(ImmutableString::Create((folder.path() / "new" / "deeper").string()));
  EXPECT_TRUE(std::filesystem::is_directory(folder.path() / "new" / "deeper"));
}

}  // namespace
}  // namespace MF::testing
