#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "MF/DataCache.h"
#include "MF/Detail/ItemKey.h"
#include "MF/DiskCacheManager.h"
#include "zelcore/Executor.h"

struct sqlite3_blob;

namespace MF::detail {

class SqliteConnection;

// The disk tier: one SQLite database in write-ahead-log mode inside a managed folder.
//
// Guarantees:
// - Every change is a transaction, so a process killed at any moment leaves a database that opens and holds
//   exactly the committed items. Other processes may use the folder at the same time; they wait for each other's
//   writes (busy timeout) and see them within kReadSnapshotMilliseconds.
// - Puts are queued and written in batches, one transaction per batch, on the cache's own serial I/O executor,
//   which also runs every read. So a read queued after a put sees it.
// - Every item of a batch stands alone: one that is too large for the database, the folder's bound or the volume's
//   free space is refused with its own error, and the rest of the batch is stored. The volume is charged what a
//   write really takes there: the log's copy of the pages and the database's, until a checkpoint empties the log.
//   Large batches are followed by a checkpoint that truncates the log, so the second copy does not linger. After the
//   batch the folder is brought under its bound by deleting the items used least recently. Nothing else deletes items:
//   reads only record their last use, and a small volume only refuses new items.
// - Rows are not trusted: a row whose blob does not have the recorded size is a miss, and is deleted later.
// - Reads in quick succession share one read transaction, for at most kReadSnapshotMilliseconds, which saves SQLite
//   the locking of a transaction per read. Writes of this cache end it first and are always seen; another process's
//   write may take that long to show. Within it, one incremental-blob handle moves from row to row and reads each
//   blob straight into its buffer.
// - A full volume never wedges the cache: opening and reading write nothing when nothing needs changing, last uses
//   are dropped when they cannot be written, and a clear or prune that SQLite cannot carry out deletes the database's
//   files instead. Every cache holds a shared lock on the folder's lock file while it has the database open, and the
//   files are deleted only under the exclusive lock, so no other process has them open.
//
// Thread-safe. The connection is used under dbMutex_, nearly always from the I/O executor.
class DiskDataCache final : public DataCache, public std::enable_shared_from_this<DiskDataCache> {
 public:
  static constexpr char kDatabaseFileName[] = "MediaCache.db";
  static constexpr char kLockFileName[] = "MediaCache.lock";
  // What one item costs beyond its blob and names: two table rows and an index entry, roughly.
  static constexpr std::uint64_t kItemOverheadBytes = 128;

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
  // empties the log: its pages in the log (with the log's frame headers) and again in the database, and the pages
  // of the table and index rows the write changes.
  std::uint64_t DiskCostOf(std::uint64_t blobBytes, std::uint64_t nameBytes) const;
  // Why an item of `blobBytes` would not be stored now (too large for the database or the bound, or the volume
  // lacks the room); null when it would be. See ManagedDirectory::CheckItemFits.
  std::exception_ptr CheckItemFits(std::uint64_t blobBytes) const;
  // Deletes the database's files in `directory` under the exclusive lock of its lock file, waiting up to `lockWait`
  // for other caches to let go of it. Throws zel_exception kResultCacheBusy when they do not.
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
  struct Statements;
  class WriteTransaction;
  // A queued put, or a removal when `blob` is null.
  struct Write {
    ItemKey key;
    Blob blob;
    zelcore::async::Promise<void> promise;
    zelcore::UniqueFunction<void(bool)> stored;
  };
  // Signed: totals read from a file that someone has tampered with may be anything.
  struct Usage {
    std::int64_t bytes = 0;
    std::int64_t items = 0;
  };

  DiskDataCache(std::filesystem::path const& directory, Options options,
                std::shared_ptr<DiskCacheManager::ManagedDirectory> managedDirectory);

  // With dbMutex_ held.
  void OpenDatabaseLocked();
  void SetUpDatabaseLocked();
  void MoveDatabaseAside();
  void CloseDatabaseLocked();
  // Opens the database again after a failed reopen; throws StorageError when it still cannot be opened.
  void RequireDatabaseLocked() const;
  // Empties the log into the database and truncates it, waiting at most briefly for other processes' readers.
  // False when it could not finish now.
  bool TruncateLogLocked() const;
  // Deletes the database's files (the clear or prune that SQLite could not do) and opens a new, empty database.
  // Throws kResultCacheBusy, with the database opened again, when another cache holds the folder.
  void ReplaceDatabaseLocked(std::chrono::milliseconds lockWait);

  zelcore::async::Future<void> Enqueue(Write write);
  // On the I/O executor.
  void RunWrites();
  // Writes the last uses that reads recorded.
  void FlushTouches();
  void ReadItem(ItemKey const& key, ItemCallback const& callback) const;
  // Why an item of `blobBytes`, costing `cost` against the bound and `diskCost` bytes of the volume, cannot be
  // stored when `room` more bytes of the volume may be used; null when it can.
  // The item's share of DiskCostOf, and the share of the transaction that writes it.
  std::uint64_t ItemDiskCost(std::uint64_t blobBytes, std::uint64_t nameBytes) const;
  std::uint64_t TransactionDiskCost() const;
  std::exception_ptr RefusalOf(std::uint64_t blobBytes, std::uint64_t cost, std::optional<std::uint64_t> maxUsed,
                               std::uint64_t diskCost, std::uint64_t room) const;

  // With dbMutex_ held.
  // The blob of row `id`, which the entry says has `size` bytes; null when the row does not hold that.
  Blob ReadBlobLocked(std::int64_t id, std::int64_t size) const;
  void BeginReadSnapshotLocked() const;
  void EndReadSnapshotLocked() const;
  void ScheduleTouchFlushLocked() const;
  void ApplyTouchesLocked(WriteTransaction& transaction);
  void ApplyRepairsLocked(WriteTransaction& transaction);
  void CompactLocked(bool force);
  // The lengths of the database's three files.
  void StatFilesLocked(DiskCacheStatistics& statistics) const;

  std::filesystem::path const directory_;
  std::string const databasePath_;
  Options const options_;
  std::shared_ptr<DiskCacheManager::ManagedDirectory> const managedDirectory_;
  // Below the pre-termination executor, so the application's shutdown waits for queued writes to commit.
  std::shared_ptr<zelcore::async::AsyncThreadedSubExecutor> const io_;

  // The folder's lock file, held shared while the database is open; -1 when it could not be opened.
  int lockFd_ = -1;

  std::mutex queueMutex_;
  std::vector<Write> queue_;      // guarded by queueMutex_
  bool writesScheduled_ = false;  // guarded by queueMutex_

  mutable std::mutex dbMutex_;
  // Null after a reopen failed; the next use tries again.
  mutable std::unique_ptr<SqliteConnection> db_;  // guarded by dbMutex_
  // Set at every opening; the same for every database this cache creates.
  mutable std::atomic<std::uint64_t> maxBlobBytes_{0};
  mutable std::atomic<std::uint64_t> pageBytes_{16384};
  mutable std::unique_ptr<Statements> statements_;  // guarded by dbMutex_
  // Last uses seen by reads and rows found broken, written with the next transaction.
  mutable std::unordered_map<std::int64_t, std::int64_t> touches_;  // guarded by dbMutex_
  // Removed by the next write: a cache that is only read deletes nothing.
  mutable std::vector<std::int64_t> brokenRows_;                     // guarded by dbMutex_
  mutable bool touchFlushScheduled_ = false;                         // guarded by dbMutex_
  mutable bool readSnapshotOpen_ = false;                            // guarded by dbMutex_
  mutable std::uint64_t readSnapshotGeneration_ = 0;                 // guarded by dbMutex_
  mutable std::chrono::steady_clock::time_point readSnapshotStart_;  // guarded by dbMutex_
  // Reads blobs straight into their buffers; moved from row to row within a read snapshot.
  mutable sqlite3_blob* blobReader_ = nullptr;  // guarded by dbMutex_
};

}  // namespace MF::detail
