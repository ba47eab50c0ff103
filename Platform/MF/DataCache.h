#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "Foundation/Future.h"
#include "MF/Export.h"
#include "zelcore/ImmutableString.h"
#include "zelcore/RecycledMemory.h"
#include "zelcore/UniqueFunction.h"

namespace MF {

class DataCacheChain;

using zelcore::Blob;
using zelcore::utility::ImmutableString;

// Result codes of the media cache. Negative codes are failures.
using ResultCode = std::int32_t;
// GetItem: the item is at hand and in the out argument.
inline constexpr ResultCode kResultItemAvailable = 0x20330001;
// GetItem: the item, or a failure, will arrive through the callback.
inline constexpr ResultCode kResultItemPending = 0x20330002;
// The cache holds no item under the two names.
inline constexpr ResultCode kResultItemNotFound = static_cast<ResultCode>(0xA0330001);
// The database could not be read or written (also a busy folder once the busy timeout has passed).
inline constexpr ResultCode kResultStorageFailed = static_cast<ResultCode>(0xA0330002);
// The cache's I/O executor no longer takes work.
inline constexpr ResultCode kResultCacheClosed = static_cast<ResultCode>(0xA0330003);
// The item alone is larger than the folder may hold; nothing was evicted for it.
inline constexpr ResultCode kResultItemTooLarge = static_cast<ResultCode>(0xA0330004);
// A cache folder that cannot be used (not a directory, cannot be created).
inline constexpr ResultCode kResultBadDirectory = static_cast<ResultCode>(0xA0330005);
// A setting out of its range.
inline constexpr ResultCode kResultInvalidArgument = static_cast<ResultCode>(0xA0330006);
// A write would leave less free space on the volume than its rule asks for.
inline constexpr ResultCode kResultVolumeFull = static_cast<ResultCode>(0xA0330007);
// A clear or prune could not take the database from another process in time; it removed nothing.
inline constexpr ResultCode kResultCacheBusy = static_cast<ResultCode>(0xA0330008);

// A cache of blobs filed under two names (for example a data source and a key within it).
//
// Every operation may be called from any thread. Failures of puts are exceptions carried by the future, as
// zelcore::config::zel_exception with one of the codes above.
class MF_EXPORT DataCache {
 public:
  // Receives a looked-up item: kResultItemAvailable and the blob, or a failure code and a null blob.
  using ItemCallback = std::function<void(ResultCode result, ImmutableString const& first,
                                          ImmutableString const& second, Blob const& blob)>;

  DataCache() = default;
  DataCache(DataCache const&) = delete;
  DataCache& operator=(DataCache const&) = delete;
  virtual ~DataCache();

  // Looks up the item filed under `first` and `second`. Returns kResultItemAvailable with the item in `out` when
  // it is at hand; kResultItemPending when `callback` will be called, once, from the cache's own I/O executor;
  // any other code is a failure (kResultItemNotFound for a miss) and the callback is not called.
  virtual ResultCode GetItem(ImmutableString const& first, ImmutableString const& second, ItemCallback const& callback,
                             Blob& out) const = 0;

  // Files `blob` under `first` and `second`, replacing an earlier item. The work is done off the calling thread
  // where the cache has storage of its own; the future ends when the item is stored (for a disk cache: committed
  // to the database). A later GetItem of the same names sees the new item. `bypassMemory` keeps the item out of
  // memory tiers (bulk writes that should not displace what is in use); a memory cache ignores it.
  virtual zelcore::async::Future<void> PutItem(ImmutableString const& first, ImmutableString const& second,
                                               Blob const& blob, bool bypassMemory) = 0;

  // Removes the item filed under `first` and `second`, if any; the future ends when it is gone from this cache.
  virtual zelcore::async::Future<void> RemoveItem(ImmutableString const& first, ImmutableString const& second) = 0;

  // Ends when every put and removal made before it has been stored, or has failed.
  virtual zelcore::async::Future<void> Flush() = 0;

 protected:
  friend class DataCacheChain;

  // PutItem that also calls `stored(ok)` once the put has been stored (true) or has failed (false), before its
  // future ends, on the thread that stores it.
  virtual zelcore::async::Future<void> PutItemAndNotify(ImmutableString const& first, ImmutableString const& second,
                                                        Blob const& blob, bool bypassMemory,
                                                        zelcore::UniqueFunction<void(bool)> stored) = 0;
  // RemoveItem that calls `stored(ok)` in the same way.
  virtual zelcore::async::Future<void> RemoveItemAndNotify(ImmutableString const& first, ImmutableString const& second,
                                                           zelcore::UniqueFunction<void(bool)> stored) = 0;
};

// Default bound of a memory cache: what it holds in blobs, names and bookkeeping.
inline constexpr std::uint64_t kDefaultMemoryCacheBytes = 64ull << 20;

// A thread-safe memory cache that keeps at most `maxBytes` and drops the least recently used items beyond that.
// Lookups answer at once; an item larger than the bound is not kept.
MF_EXPORT std::shared_ptr<DataCache> CreateDataCacheInMemory();
MF_EXPORT std::shared_ptr<DataCache> CreateDataCacheInMemory(std::uint64_t maxBytes);

}  // namespace MF
