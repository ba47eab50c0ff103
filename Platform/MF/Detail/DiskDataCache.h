#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "MF/DataCache.h"
#include "MF/Detail/CacheDatabase.h"
#include "MF/Detail/ItemKey.h"
#include "MF/Detail/WriteQueue.h"
#include "MF/DiskCacheManager.h"
#include "zelcore/Executor.h"

namespace MF::detail {

// The disk tier: one SQLite database in write-ahead-log mode inside a managed folder (CacheDatabase), written
// through a queue (WriteQueue).
//
// Guarantees:
// - Every change is a transaction, so a process killed at any moment leaves a database that opens and holds
//   exactly the committed items. Other processes may use the folder at the same time; they wait for each other's
//   writes (busy timeout) and see them within kReadSnapshotMilliseconds.
// - Puts are queued and written in batches, one transaction per batch, on the cache's own serial I/O executor,
//   which also runs every read. So a read queued after a put sees it. See WriteQueue for how a batch is written.
// - Nothing but writes deletes items: reads only record their last use, and a small volume only refuses new items.
// - Rows are not trusted: a row whose blob does not have the recorded size is a miss, and is deleted later.
// - Reads in quick succession share one read snapshot for at most kReadSnapshotMilliseconds. Writes of this cache
//   end it first and are always seen; another process's write may take that long to show. Within it, one
//   incremental-blob handle moves from row to row and reads each blob straight into its buffer.
// - A full volume never wedges the cache: opening and reading write nothing when nothing needs changing, last uses
//   are dropped when they cannot be written, and a clear or prune that SQLite cannot carry out deletes the database's
//   files instead. Every cache holds a shared lock on the folder's lock file while it has the database open, and the
//   files are deleted only under the exclusive lock, so no other process has them open.
//
// Thread-safe. The database is used under dbMutex_, nearly always from the I/O executor.
class DiskDataCache final : public DataCache, public std::enable_shared_from_this<DiskDataCache> {
 public:
  static constexpr std::int64_t kReadSnapshotMilliseconds = 10;

  struct Options {
    bool trackLastUse = true;
    bool clearExistingItems = false;
  };

  // Opens (creating when missing) the database in the folder `path`, and gives the folder's manager to
  // `outDirectory`. Throws zel_exception kResultBadDirectory or kResultStorageFailed.
  static std::shared_ptr<DiskDataCache> Create(ImmutableString const& path, bool createDirectory, Options options,
                                               std::shared_ptr<DiskCacheManager::ManagedDirectory>& outDirectory);

  ~DiskDataCache() override;

  // Read the database now, on the calling thread. 0 when it cannot be read.
  std::uint64_t QueryUsedBytes() const;
  std::uint64_t QueryItemCount() const;
  // The largest blob the database takes in one value.
  std::uint64_t MaxBlobBytes() const;
  // What writing an item of `blobBytes` with names of `nameBytes` takes of the volume at most, before a checkpoint
  // empties the log; see CacheDatabase::ItemDiskCost.
  std::uint64_t DiskCostOf(std::uint64_t blobBytes, std::uint64_t nameBytes) const;
  // Why an item of `blobBytes` would not be stored now (too large for the database or the bound, or the volume
  // lacks the room); null when it would be. See ManagedDirectory::CheckItemFits.
  std::exception_ptr CheckItemFits(std::uint64_t blobBytes) const;
  // Deletes the database's files in `directory`; see CacheDatabase::DeleteFiles.
  static void DeleteDatabaseFiles(std::filesystem::path const& directory, std::chrono::milliseconds lockWait);
  // See ManagedDirectory::GetStatistics.
  DiskCacheStatistics QueryStatistics() const;
  // Removes every item (no rules) or those `rules` select, and compacts the database; see
  // ManagedDirectory::RemoveAllItems and PruneItems.
  DiskCacheRemoval RemoveItems(std::optional<DiskCachePruneRules> const& rules, std::chrono::milliseconds lockWait);

  // DataCache:
  ResultCode GetItem(ImmutableString const& first, ImmutableString const& second, ItemCallback const& callback,
                     Blob& out) const override;
  zelcore::async::Future<void> PutItem(ImmutableString const& first, ImmutableString const& second, Blob const& blob,
                                       bool bypassMemory) override;
  zelcore::async::Future<void> RemoveItem(ImmutableString const& first, ImmutableString const& second) override;
  zelcore::async::Future<void> Flush() override;

 protected:
  zelcore::async::Future<void> PutItemAndNotify(ImmutableString const& first, ImmutableString const& second,
                                                Blob const& blob, bool bypassMemory,
                                                zelcore::UniqueFunction<void(bool)> stored) override;
  zelcore::async::Future<void> RemoveItemAndNotify(ImmutableString const& first, ImmutableString const& second,
                                                   zelcore::UniqueFunction<void(bool)> stored) override;

 private:
  DiskDataCache(std::filesystem::path const& directory, Options options,
                std::shared_ptr<DiskCacheManager::ManagedDirectory> managedDirectory);

  // The folder's totals; zero when the database cannot be read.
  Usage QueryUsage() const;
  zelcore::async::Future<void> Enqueue(WriteQueue::Write write);
  // On the I/O executor.
  void RunWrites();
  void FlushTouches();
  void ReadItem(ItemKey const& key, ItemCallback const& callback) const;
  // With dbMutex_ held.
  void BeginReadSnapshotLocked() const;
  void ScheduleTouchFlushLocked() const;

  Options const options_;
  std::shared_ptr<DiskCacheManager::ManagedDirectory> const managedDirectory_;
  // Below the pre-termination executor, so the application's shutdown waits for queued writes to commit.
  std::shared_ptr<zelcore::async::AsyncThreadedSubExecutor> const io_;

  // The queued puts and removals have a mutex of their own; its last uses and repairs are guarded by dbMutex_.
  mutable WriteQueue writes_;
  mutable std::mutex dbMutex_;
  // Guarded by dbMutex_, but for its geometry (MaxBlobBytes, the disk costs), which may be read at any time.
  mutable CacheDatabase database_;
};

}  // namespace MF::detail
