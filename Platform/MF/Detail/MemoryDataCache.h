#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>

#include "MF/DataCache.h"
#include "MF/Detail/ItemKey.h"

namespace MF::detail {

// The memory tier: a least-recently-used map bounded in bytes. Every operation answers at once, on the calling
// thread. Thread-safe.
class MemoryDataCache final : public DataCache {
 public:
  // What one item costs beyond its blob and names: the list node, the index slot and the blob's control block.
  static constexpr std::uint64_t kItemOverheadBytes = 128;

  explicit MemoryDataCache(std::uint64_t maxBytes);
  ~MemoryDataCache() override;

  std::uint64_t GetUsedBytes() const;

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
  struct Entry {
    ItemKey key;
    Blob blob;
    std::uint64_t cost;
  };
  using List = std::list<Entry>;

  void Insert(ItemKey const& key, Blob const& blob);
  void EraseLocked(List::iterator entry);

  std::uint64_t const maxBytes_;
  mutable std::mutex mutex_;
  // Most recently used first. Lookups move their entry to the front, so both are mutable.
  mutable List entries_;                                            // guarded by mutex_
  std::unordered_map<ItemKey, List::iterator, ItemKeyHash> index_;  // guarded by mutex_
  std::uint64_t usedBytes_ = 0;                                     // guarded by mutex_
};

}  // namespace MF::detail
