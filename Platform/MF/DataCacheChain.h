#pragma once

#include <memory>

#include "MF/DataCache.h"
#include "MF/Export.h"

namespace MF {

// A memory cache in front of a disk cache, seen as one cache.
//
// GetItem answers kResultItemAvailable at once when the item is in memory (or is being written). Otherwise it
// answers kResultItemPending and the disk cache delivers the item through the callback from its I/O executor,
// after putting it into memory, or delivers kResultItemNotFound (or another failure).
// PutItem writes through both caches off the calling thread, in batches on the disk cache's I/O executor; until
// the item is stored, lookups of it are answered from the put itself, so a lookup never sees an older item.
//
// Thread-safe. Callbacks that the chain hands to its caches keep only what they need alive, never the chain.
class MF_EXPORT DataCacheChain final : public DataCache {
 public:
  // `memory` must answer its lookups at once (a memory cache); `disk` may answer later. Throws zel_exception
  // kResultInvalidArgument when either is null.
  DataCacheChain(std::shared_ptr<DataCache> memory, std::shared_ptr<DataCache> disk);
  ~DataCacheChain() override;

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
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace MF
