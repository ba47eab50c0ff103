#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "MF/DataCache.h"
#include "MF/Detail/CacheDatabase.h"
#include "MF/Detail/ItemKey.h"
#include "zelsqlite/Transaction.h"

namespace MF::detail {

// A last use: microseconds since the epoch, strictly increasing within the process, so that two uses never tie.
std::int64_t NextUseTime();

// The changes of items in one write transaction, which holds the database's write lock throughout. It keeps the
// folder's totals as rows come and go and writes them with the commit. Rolled back unless committed. Not
// thread-safe: the cache's database mutex is held while it lives.
class ItemWriter {
 public:
  // An item's row and its cost.
  using Entry = std::pair<std::int64_t, std::int64_t>;

  // Begins the transaction on the open `database`. Throws StorageError.
  explicit ItemWriter(CacheDatabase& database);

  Usage const& usage() const { return usage_; }

  // The item filed under `key`.
  std::optional<Entry> Find(ItemKey const& key);
  // Files `blob` under `key`, replacing `earlier` (what Find gave). A failure undoes this item alone and throws;
  // the transaction stays open for the others unless SQLite gave it up (IsOpen tells).
  void Put(ItemKey const& key, Blob const& blob, std::optional<Entry> const& earlier, std::int64_t cost,
           std::int64_t lastUse);
  void RemoveByName(ItemKey const& key);
  void RemoveById(std::int64_t id);
  // Refreshes the last use of `id`, unless it was used later already (by another process, say).
  void Touch(std::int64_t id, std::int64_t lastUse);
  // Removes the least recently used items until the items use at most `targetBytes`.
  void EvictDownTo(std::uint64_t targetBytes);
  // Removes the items last used before `cutoff` (see NextUseTime), oldest first.
  void RemoveUnusedSince(std::int64_t cutoff);
  void RemoveAll();

  bool IsOpen() const { return transaction_.IsOpen(); }
  void Commit();
  void Rollback() { transaction_.Rollback(); }

 private:
  void PutRows(ItemKey const& key, Blob const& blob, std::optional<Entry> const& earlier, std::int64_t cost,
               std::int64_t lastUse);
  void Remove(Entry const& entry);

  zelsqlite::Connection& db_;
  CacheStatements& statements_;
  zelsqlite::Transaction transaction_;
  Usage usage_;
};

}  // namespace MF::detail
