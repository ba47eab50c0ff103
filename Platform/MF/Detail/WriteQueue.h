#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Foundation/Future.h"
#include "MF/DataCache.h"
#include "MF/Detail/CacheDatabase.h"
#include "MF/Detail/ItemKey.h"
#include "MF/Detail/ItemWriter.h"
#include "zelcore/UniqueFunction.h"

namespace MF::detail {

// The error a refused or failed cache operation ends with.
std::exception_ptr CacheError(std::string const& message, ResultCode code);

// What the cache has yet to write: queued puts and removals, and the last uses and broken rows that reads found.
//
// - Puts and removals are written in batches, one transaction per batch, with the last uses and repairs pending.
// - Every item of a batch stands alone: one that is too large for the database, the folder's bound or the volume's
//   free space is refused with its own error, and the rest of the batch is stored. The volume is charged what a
//   write really takes there: the log's copy of the pages and the database's, until a checkpoint empties the log.
//   Large batches are followed by a checkpoint that truncates the log, so the second copy does not linger. After the
//   batch the folder is brought under its bound by deleting the items used least recently.
// - Last uses are a hint for eviction: they are dropped when they cannot be written. Broken rows are removed by the
//   next write, so that a cache that is only read deletes nothing.
//
// Push and TakeAll may be called from any thread; every other method only with the cache's database mutex held.
class WriteQueue {
 public:
  // A queued put, or a removal when `blob` is null.
  struct Write {
    ItemKey key;
    Blob blob;
    zelcore::async::Promise<void> promise;
    zelcore::UniqueFunction<void(bool)> stored;
  };

  // Why an item of `blobBytes`, costing `cost` against the bound and `diskCost` bytes of the volume, cannot be
  // stored in `database` when `room` more bytes of the volume may be used; null when it can.
  static std::exception_ptr RefusalOf(CacheDatabase const& database, std::uint64_t blobBytes, std::uint64_t cost,
                                      std::optional<std::uint64_t> maxUsed, std::uint64_t diskCost, std::uint64_t room);

  // Queues `write`. True when no drain is pending, and the caller must schedule one that calls TakeAll.
  bool Push(Write write);
  // Takes every queued write; the next Push asks for a drain again.
  std::vector<Write> TakeAll();

  // Writes `batch` in one transaction with the pending last uses and repairs, evicts down to `maxUsed`, and
  // returns each write's failure (null where it was stored). `room`: what the volume may take.
  std::vector<std::exception_ptr> WriteBatch(std::vector<Write> const& batch, CacheDatabase& database,
                                             std::optional<std::uint64_t> maxUsed, std::uint64_t room);
  // Writes the pending last uses alone.
  void FlushTouches(CacheDatabase& database);

  void RecordUse(std::int64_t id, std::int64_t lastUse) { touches_[id] = lastUse; }
  void RecordBroken(std::int64_t id) { brokenRows_.push_back(id); }
  bool HasTouches() const { return !touches_.empty(); }
  // True when the caller is to schedule a flush of the last uses: none is scheduled since they were last written.
  bool ClaimTouchFlush() { return !std::exchange(touchFlushScheduled_, true); }
  // The flush that ClaimTouchFlush asked for could not be scheduled.
  void TouchFlushNotScheduled() { touchFlushScheduled_ = false; }
  void ApplyTouches(ItemWriter& writer);
  void ApplyRepairs(ItemWriter& writer);
  // Forgets the pending last uses and repairs, for a clear.
  void DropTouchesAndRepairs();

 private:
  std::mutex mutex_;
  std::vector<Write> queue_;     // guarded by mutex_
  bool drainScheduled_ = false;  // guarded by mutex_

  // Guarded by the cache's database mutex.
  std::unordered_map<std::int64_t, std::int64_t> touches_;
  std::vector<std::int64_t> brokenRows_;
  bool touchFlushScheduled_ = false;
};

}  // namespace MF::detail
