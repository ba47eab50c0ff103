#include "MF/Detail/WriteQueue.h"

#include <sqlite3.h>

#include <string>

#include "zelcore/ZelException.h"

namespace MF::detail {
namespace {

// A batch that wrote this much is followed by a checkpoint that truncates the log, so that the log's copy of the
// pages does not stay on the volume beside the database's; smaller logs are kept for reuse, up to journal_size_limit.
constexpr std::uint64_t kLargeWriteBytes = 1 << 20;
constexpr std::uint64_t kLogKeepBytes = 4 << 20;

std::uint64_t CostOf(ItemKey const& key, std::size_t blobSize) {
  return blobSize + key.first.size() + key.second.size() + CacheDatabase::kItemOverheadBytes;
}

}  // namespace

std::exception_ptr CacheError(std::string const& message, ResultCode code) {
  return std::make_exception_ptr(zelcore::config::zel_exception(message, static_cast<zelcore::config::Result>(code)));
}

std::exception_ptr WriteQueue::RefusalOf(CacheDatabase const& database, std::uint64_t blobBytes, std::uint64_t cost,
                                         std::optional<std::uint64_t> maxUsed, std::uint64_t diskCost,
                                         std::uint64_t room) {
  std::string const item = "An item of " + std::to_string(blobBytes) + " bytes was not stored: ";
  std::uint64_t const maxBlobBytes = database.MaxBlobBytes();
  if (blobBytes > maxBlobBytes) {
    return CacheError(item + "it is larger than the media cache can store (" + std::to_string(maxBlobBytes) + " bytes)",
                      kResultItemTooLarge);
  }
  if (maxUsed && cost > *maxUsed) {
    return CacheError(item + "it is larger than the cache bound (" + std::to_string(*maxUsed) + " bytes)",
                      kResultItemTooLarge);
  }
  if (diskCost > room) {
    return CacheError(item + "the volume is full (writing it takes up to " + std::to_string(diskCost) +
                          " bytes there, as the database's log holds a second copy until it is emptied, and " +
                          std::to_string(room) + " bytes may be used beyond the free space the cache keeps)",
                      kResultVolumeFull);
  }
  return nullptr;
}

bool WriteQueue::Push(Write write) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(write));
  return !std::exchange(drainScheduled_, true);
}

std::vector<WriteQueue::Write> WriteQueue::TakeAll() {
  std::vector<Write> taken;
  std::lock_guard<std::mutex> lock(mutex_);
  taken.swap(queue_);
  drainScheduled_ = false;
  return taken;
}

std::vector<std::exception_ptr> WriteQueue::WriteBatch(std::vector<Write> const& batch, CacheDatabase& database,
                                                       std::optional<std::uint64_t> maxUsed, std::uint64_t room) {
  std::vector<std::exception_ptr> failures(batch.size());
  std::uint64_t const transactionCost = database.TransactionDiskCost();
  room = room > transactionCost ? room - transactionCost : 0;
  std::uint64_t written = 0;
  try {
    database.Require();
    database.EndReadSnapshot();
    ItemWriter writer(database);
    std::int64_t const now = NextUseTime();
    for (std::size_t i = 0; i < batch.size(); ++i) {
      Write const& write = batch[i];
      if (!write.blob) {
        writer.RemoveByName(write.key);
        continue;
      }
      std::uint64_t const cost = CostOf(write.key, write.blob->size());
      // Replacing an item frees its old pages only once the log is emptied; until then both are on the volume.
      std::uint64_t const diskCost =
          database.ItemDiskCost(write.blob->size(), write.key.first.size() + write.key.second.size());
      failures[i] = RefusalOf(database, write.blob->size(), cost, maxUsed, diskCost, room);
      if (failures[i]) continue;
      auto const earlier = writer.Find(write.key);
      try {
        writer.Put(write.key, write.blob, earlier, static_cast<std::int64_t>(cost), now);
        room -= diskCost;
        written += write.blob->size();
      } catch (zelsqlite::StorageError const&) {
        if (!writer.IsOpen()) throw;
        failures[i] = std::current_exception();
      }
    }
    ApplyTouches(writer);
    ApplyRepairs(writer);
    if (maxUsed) writer.EvictDownTo(*maxUsed);
    writer.Commit();
  } catch (zelsqlite::StorageError const& e) {
    std::exception_ptr const failure =
        e.SqliteCode() == SQLITE_FULL ? CacheError("The media cache could not store its items: the volume is full (" +
                                                       std::string(e.what()) + ")",
                                                   kResultVolumeFull)
                                      : std::current_exception();
    for (std::exception_ptr& each : failures) {
      if (!each) each = failure;
    }
  }
  if (database.IsOpen()) {
    database.Compact(false);
    DiskCacheStatistics files;
    database.StatFiles(files);
    if (written >= kLargeWriteBytes || files.logFileBytes > kLogKeepBytes) database.TruncateLog();
  }
  return failures;
}

void WriteQueue::FlushTouches(CacheDatabase& database) {
  // The flush that was due is this one, whatever becomes of it: a touch after a failed one schedules the next.
  touchFlushScheduled_ = false;
  database.EndReadSnapshot();
  if (touches_.empty() || !database.IsOpen()) return;
  try {
    ItemWriter writer(database);
    ApplyTouches(writer);
    writer.Commit();
  } catch (zelsqlite::StorageError const&) {
    // Last uses are a hint for eviction, and are dropped when they cannot be written (a full volume, say): a read
    // never fails for them.
    touches_.clear();
  }
}

void WriteQueue::ApplyTouches(ItemWriter& writer) {
  touchFlushScheduled_ = false;
  for (auto const& [id, lastUse] : touches_) writer.Touch(id, lastUse);
  touches_.clear();
}

void WriteQueue::ApplyRepairs(ItemWriter& writer) {
  for (std::int64_t const id : brokenRows_) writer.RemoveById(id);
  brokenRows_.clear();
}

void WriteQueue::DropTouchesAndRepairs() {
  touches_.clear();
  brokenRows_.clear();
}

}  // namespace MF::detail
