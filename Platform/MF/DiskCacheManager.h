#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MF/DataCache.h"
#include "MF/Export.h"
#include "zelcore/ImmutableString.h"

namespace MF {

namespace detail {
class DiskDataCache;
}  // namespace detail

// What a cache folder holds, read at one moment.
struct DiskCacheStatistics {
  std::uint64_t items = 0;
  // What the items use as the folder's bound counts it: their blobs and names plus a fixed allowance per item.
  std::uint64_t usedBytes = 0;
  // The lengths of the database's files as they are on disk now: the database itself, its write-ahead log and the
  // log's shared-memory index (0 for a file that is not there).
  std::uint64_t databaseFileBytes = 0;
  std::uint64_t logFileBytes = 0;
  std::uint64_t indexFileBytes = 0;

  std::uint64_t FileBytes() const { return databaseFileBytes + logFileBytes + indexFileBytes; }
};

// Which items a prune removes: first every item not used for longer than `unusedFor`, then the least recently used
// ones until the rest use at most `maxUsedBytes` (DiskCacheStatistics::usedBytes). An empty rule does not apply.
struct DiskCachePruneRules {
  std::optional<std::chrono::seconds> unusedFor;
  std::optional<std::uint64_t> maxUsedBytes;
};

// What a clear or prune removed, and the database's files before and after it.
struct DiskCacheRemoval {
  std::uint64_t items = 0;
  std::uint64_t usedBytes = 0;
  std::uint64_t fileBytesBefore = 0;
  std::uint64_t fileBytesAfter = 0;
  // False when the freed space could not all be given back yet, because another process was reading the database:
  // it stays free inside the file, is reused by later writes, and goes back to the file system at a later
  // compaction.
  bool spaceReturned = false;
  // True when SQLite could not change the database (the volume was full) and its files were deleted instead: every
  // item went, not only those the rules selected.
  bool filesDeleted = false;
};

// Size management of cache folders on disk: each folder has a bound on what it holds, and each volume a rule for
// how much space the caches on it must leave free. Both act when items are written: a write that takes the folder
// over its bound evicts the folder's least recently used items, and a write that would leave less free space than
// the volume's rule asks for is refused. Nothing is ever deleted because the volume is small, and a cache that is
// only read deletes nothing. All methods may be called from any thread.
class MF_EXPORT DiskCacheManager {
 public:
  class ManagedDirectory;

  // The free-space rule of one volume (file system), shared by every managed folder on it.
  class MF_EXPORT ManagedVolume {
   public:
    struct PassKey {
     private:
      friend class DiskCacheManager;
      PassKey() = default;
    };
    ManagedVolume(PassKey, std::string path);
    ManagedVolume(ManagedVolume const&) = delete;
    ManagedVolume& operator=(ManagedVolume const&) = delete;

    // Keep this share of the volume's size free; empty: no rule by share. Throws zel_exception
    // kResultInvalidArgument, changing nothing, unless 0 <= percentage <= 100.
    void SetFreeSpacePercentage(std::optional<float> percentage);
    std::optional<float> GetFreeSpacePercentage() const;
    // Keep this many bytes of the volume free; empty: no rule by bytes.
    void SetFreeSpaceBytes(std::optional<std::uint64_t> bytes);
    std::optional<std::uint64_t> GetFreeSpaceBytes() const;

    // What the two rules ask to keep free now: the larger of the two, 0 without rules.
    std::uint64_t GetRequiredFreeBytes() const;
    // What the file system reports as free for unprivileged use, and its size (statvfs); 0 when it cannot say.
    std::uint64_t GetAvailableBytes() const;
    std::uint64_t GetTotalBytes() const;
    // What new writes may take now: the available bytes beyond the required free bytes (all of them without rules;
    // unlimited when the volume cannot say what it has).
    std::uint64_t GetWritableBytes() const;

   private:
    friend class ManagedDirectory;

    void AddDirectory(std::weak_ptr<ManagedDirectory> directory);
    std::string StatPath() const;

    std::string const path_;  // the folder that first named the volume
    mutable std::mutex mutex_;
    std::optional<float> freeSpacePercentage_;                  // guarded by mutex_
    std::optional<std::uint64_t> freeSpaceBytes_;               // guarded by mutex_
    std::vector<std::weak_ptr<ManagedDirectory>> directories_;  // guarded by mutex_
  };

  // One cache folder, managed by the disk cache that lives in it.
  class MF_EXPORT ManagedDirectory : public std::enable_shared_from_this<ManagedDirectory> {
   public:
    struct PassKey {
     private:
      friend class detail::DiskDataCache;
      PassKey() = default;
    };
    ManagedDirectory(PassKey, ImmutableString path, std::shared_ptr<ManagedVolume> volume);
    ManagedDirectory(ManagedDirectory const&) = delete;
    ManagedDirectory& operator=(ManagedDirectory const&) = delete;

    ImmutableString GetPath() const { return path_; }

    // Keeps the folder's used bytes at or under `maxBytes` by evicting least recently used items whenever items are
    // written. Empty: no bound.
    void SetMaxUsedBytes(std::optional<std::uint64_t> maxBytes);
    std::optional<std::uint64_t> GetMaxUsedBytes() const;

    // The volume that holds the folder.
    std::shared_ptr<ManagedVolume> GetManagedVolume() const { return volume_; }

    // What the folder's items use: their blobs and names plus a fixed allowance per item for the database's own
    // bookkeeping. Reads the database, so it sees the writes of other processes. 0 once the cache is gone.
    std::uint64_t GetUsedBytes() const;
    std::uint64_t GetItemCount() const;
    // The largest blob one item may hold: what the database takes in one value, and at most the bound. 0 once the
    // cache is gone.
    std::uint64_t GetMaxItemBytes() const;

    // Why an item of `blobBytes` would not be stored if it were put now: it is larger than the database takes or the
    // bound allows (kResultItemTooLarge), or writing it would leave less free space on the volume than its rule
    // asks for (kResultVolumeFull). A write costs the volume about twice the item until the database's log is
    // emptied, and that is what is counted. Null when it would be stored, or once the cache is gone.
    std::exception_ptr CheckItemFits(std::uint64_t blobBytes) const;

    // How long a clear or prune waits for another process that is writing to the folder.
    static constexpr std::chrono::milliseconds kDefaultLockWait{10000};

    // Items, used bytes and the database's file sizes, read now on the calling thread (the items and bytes in one
    // read transaction, so they agree). Throws zel_exception kResultCacheClosed once the cache is gone,
    // kResultStorageFailed when the database cannot be read.
    DiskCacheStatistics GetStatistics() const;
    // Removes every item in one transaction, then rebuilds the database (VACUUM) and empties its write-ahead log, so
    // that the files shrink to an empty database. Waits up to `lockWait` for other processes' writes; when they
    // hold the database longer, throws zel_exception kResultCacheBusy and removes nothing. Items that other processes
    // are writing at the time are not seen (their transactions are not committed) and stay when they commit; so do
    // writes of this process still queued. Runs on the calling thread; this cache's own reads and writes wait for
    // it. Also throws kResultCacheClosed and kResultStorageFailed.
    // When SQLite cannot change the database (a full volume), the database's files are deleted instead and a new
    // database started (filesDeleted), once no other cache, in this process or another, has the folder open; while
    // one has, throws kResultCacheBusy after `lockWait`.
    DiskCacheRemoval RemoveAllItems(std::chrono::milliseconds lockWait = kDefaultLockWait);
    // Removes the items that `rules` select, least recently used first, in one transaction, then gives the freed
    // pages back to the file system. Last uses that this process's reads recorded count. Waits and throws as
    // RemoveAllItems; with no rule it removes nothing. On a volume so full that SQLite cannot remove them, the
    // database's files are deleted as RemoveAllItems does: every item goes.
    DiskCacheRemoval PruneItems(DiskCachePruneRules const& rules,
                                std::chrono::milliseconds lockWait = kDefaultLockWait);

   private:
    friend class ManagedVolume;
    friend class detail::DiskDataCache;

    void Attach(std::weak_ptr<detail::DiskDataCache> cache);
    // The cache, or kResultCacheClosed.
    std::shared_ptr<detail::DiskDataCache> LockCache() const;

    ImmutableString const path_;
    std::shared_ptr<ManagedVolume> const volume_;
    mutable std::mutex mutex_;
    std::optional<std::uint64_t> maxUsedBytes_;   // guarded by mutex_
    std::weak_ptr<detail::DiskDataCache> cache_;  // guarded by mutex_
  };

  // The volume that holds `path` (an existing folder); one object per volume while anybody holds it.
  static std::shared_ptr<ManagedVolume> GetManagedVolume(ImmutableString const& path);

  // Deletes the database files of the cache folder `path` without opening them: for a folder whose database cannot
  // be opened at all. Waits up to `lockWait` until no cache has the folder open; throws zel_exception
  // kResultCacheBusy when one keeps it.
  static void DeleteCacheFiles(ImmutableString const& path,
                               std::chrono::milliseconds lockWait = ManagedDirectory::kDefaultLockWait);
};

// A disk cache in the folder `path`: one SQLite database (write-ahead log) holding every item with its size and last
// use. Writes are atomic: a process killed at any point leaves a database that opens and serves every committed
// item. Several caches, in this process or others, may share a folder; the writes of one show in the others' reads
// within a few milliseconds. `outDirectory` receives the folder's manager.
//   createDirectory:    create the folder (and its parents) when missing; otherwise a missing folder is an error.
//   trackLastUse:       reads refresh an item's last use, so eviction drops the least recently used items; when
//                       false, the least recently written go first.
//   clearExistingItems: start empty, dropping what earlier runs left in the folder.
// Throws zel_exception kResultBadDirectory for an unusable folder, kResultStorageFailed when the database cannot
// be opened. A folder's database that is not a database is moved aside (kept, renamed) and a new one started.
MF_EXPORT std::shared_ptr<DataCache> CreateDataCacheInFilesystemAndManageDirectory(
    ImmutableString const& path, std::shared_ptr<DiskCacheManager::ManagedDirectory>& outDirectory,
    bool createDirectory, bool trackLastUse, bool clearExistingItems);

}  // namespace MF
