#pragma once

#include <chrono>
#include <optional>

#include "MF/Detail/CacheDatabase.h"
#include "MF/Detail/WriteQueue.h"
#include "MF/DiskCacheManager.h"

// Statistics, clears and prunes of a cache folder's database. Each runs with the cache's database mutex held.
namespace MF::detail {

// See ManagedDirectory::GetStatistics. Throws StorageError when the database cannot be read.
DiskCacheStatistics ReadStatistics(CacheDatabase& database);

// Removes every item (no rules) or those `rules` select, with the last uses and repairs `pending` holds for them,
// and gives the space back to the file system; see ManagedDirectory::RemoveAllItems and PruneItems. What SQLite
// cannot do on a full volume, deleting the database's files does.
DiskCacheRemoval RemoveItemsFrom(CacheDatabase& database, WriteQueue& pending,
                                 std::optional<DiskCachePruneRules> const& rules, std::chrono::milliseconds lockWait);

}  // namespace MF::detail
