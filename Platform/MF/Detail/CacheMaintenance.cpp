#include "MF/Detail/CacheMaintenance.h"

#include <algorithm>
#include <cstdint>

#include "MF/Detail/ItemWriter.h"

namespace MF::detail {
namespace {

std::uint64_t AtLeastZero(std::int64_t value) { return static_cast<std::uint64_t>(std::max<std::int64_t>(value, 0)); }

}  // namespace

DiskCacheStatistics ReadStatistics(CacheDatabase& database) {
  database.Require();
  database.EndReadSnapshot();
  Usage const usage = database.ReadUsage();
  DiskCacheStatistics statistics;
  statistics.items = AtLeastZero(usage.items);
  statistics.usedBytes = AtLeastZero(usage.bytes);
  database.StatFiles(statistics);
  return statistics;
}

DiskCacheRemoval RemoveItemsFrom(CacheDatabase& database, WriteQueue& pending,
                                 std::optional<DiskCachePruneRules> const& rules, std::chrono::milliseconds lockWait) {
  auto const deadline = std::chrono::steady_clock::now() + lockWait;
  auto const remainingWait = [&] {
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()),
                    std::chrono::milliseconds(0));
  };
  DiskCacheRemoval removal;
  {
    DiskCacheStatistics before;
    database.StatFiles(before);
    removal.fileBytesBefore = before.FileBytes();
  }
  // What SQLite cannot do on a full volume, deleting the files does: every item goes, the selected ones with them.
  auto const replace = [&](Usage const& held) {
    pending.DropTouchesAndRepairs();
    database.Replace(remainingWait());
    removal.items = AtLeastZero(held.items);
    removal.usedBytes = AtLeastZero(held.bytes);
    removal.filesDeleted = true;
    removal.spaceReturned = true;
    DiskCacheStatistics after;
    database.StatFiles(after);
    removal.fileBytesAfter = after.FileBytes();
    return removal;
  };
  try {
    database.Require();
  } catch (zelsqlite::StorageError const& e) {
    if (!e.CannotWrite()) throw;
    return replace(Usage{});
  }
  database.EndReadSnapshot();
  // Only this call waits as the caller says; the cache's own writes keep their timeout.
  database.connection().SetBusyTimeout(lockWait);
  struct RestoreTimeout {
    CacheDatabase& database;
    ~RestoreTimeout() {
      if (database.IsOpen()) database.connection().SetBusyTimeout(CacheDatabase::kBusyTimeout);
    }
  } const restore{database};

  // Last uses are microseconds since the epoch.
  std::int64_t const cutoff =
      rules && rules->unusedFor
          ? NextUseTime() - std::clamp<std::int64_t>(rules->unusedFor->count(), 0, INT64_MAX / 1000000) * 1000000
          : 0;
  try {
    ItemWriter writer(database);
    Usage const start = writer.usage();
    try {
      if (!rules) {
        pending.DropTouchesAndRepairs();
        writer.RemoveAll();
      } else {
        pending.ApplyTouches(writer);
        pending.ApplyRepairs(writer);
        if (rules->unusedFor) writer.RemoveUnusedSince(cutoff);
        if (rules->maxUsedBytes) writer.EvictDownTo(*rules->maxUsedBytes);
      }
      removal.items = AtLeastZero(start.items - writer.usage().items);
      removal.usedBytes = AtLeastZero(start.bytes - writer.usage().bytes);
      writer.Commit();
    } catch (zelsqlite::StorageError const& e) {
      if (!e.CannotWrite()) throw;
      writer.Rollback();
      return replace(start);
    }
  } catch (zelsqlite::StorageError const& e) {
    if (!e.IsBusy()) throw;
    throw CacheDatabase::HeldByAnotherProcess(database.path(), lockWait);
  }

  // The items are gone for good; giving their space back may wait for other processes' readers and is retried by
  // later compactions when it cannot finish now. The incremental vacuum comes first even for a clear: it needs
  // a few pages of the volume where a VACUUM needs a copy of what is left.
  removal.spaceReturned = true;
  bool full = false;
  for (char const* step : {"PRAGMA incremental_vacuum", rules ? nullptr : "VACUUM"}) {
    if (step == nullptr) continue;
    try {
      database.connection().Execute(step);
    } catch (zelsqlite::StorageError const& e) {
      removal.spaceReturned = false;
      full = full || e.CannotWrite();
    }
  }
  try {
    // False when readers kept the checkpoint from finishing.
    if (!database.connection().TruncateLog()) removal.spaceReturned = false;
  } catch (zelsqlite::StorageError const& e) {
    removal.spaceReturned = false;
    full = full || e.CannotWrite();
  }
  // A clear leaves nothing in the files that the volume could not take back otherwise.
  if (!rules && full) {
    try {
      pending.DropTouchesAndRepairs();
      database.Replace(remainingWait());
      removal.filesDeleted = true;
      removal.spaceReturned = true;
    } catch (zelcore::config::zel_exception const&) {
      // Another process holds the folder; the free pages are reused by later writes.
    }
  }
  DiskCacheStatistics after;
  database.StatFiles(after);
  removal.fileBytesAfter = after.FileBytes();
  return removal;
}

}  // namespace MF::detail
