#include "MF/DataCacheChain.h"

#include <cstdint>
#include <exception>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "MF/Detail/ItemKey.h"
#include "zelcore/ZelException.h"

namespace MF {

using detail::ItemKey;
using detail::ItemKeyHash;
using zelcore::async::Future;

// What the chain shares with the callbacks it hands out.
struct DataCacheChain::State {
  // A put or removal on its way to the disk cache. Later writes of the same item replace it; `sequence` tells the
  // store notification of an earlier write not to drop a later one.
  struct InFlight {
    std::uint64_t sequence;
    Blob blob;  // null for a removal
  };

  std::shared_ptr<DataCache> const memory;
  std::shared_ptr<DataCache> const disk;

  // Lock order: mutex, then the memory cache's own lock.
  std::mutex mutex;
  std::unordered_map<ItemKey, InFlight, ItemKeyHash> inFlight;  // guarded by mutex
  std::uint64_t nextSequence = 0;                               // guarded by mutex

  State(std::shared_ptr<DataCache> memory, std::shared_ptr<DataCache> disk)
      : memory(std::move(memory)), disk(std::move(disk)) {}

  std::uint64_t BeginWrite(ItemKey const& key, Blob const& blob) {
    std::lock_guard<std::mutex> lock(mutex);
    std::uint64_t const sequence = ++nextSequence;
    inFlight.insert_or_assign(key, InFlight{sequence, blob});
    return sequence;
  }

  // On the disk cache's thread, once the write `sequence` of `key` is stored or has failed.
  void EndWrite(ItemKey const& key, std::uint64_t sequence, Blob const& blob, bool bypassMemory, bool stored) {
    std::lock_guard<std::mutex> lock(mutex);
    if (stored) {
      // The memory copy, if any, is older than what the disk now holds.
      if (blob && !bypassMemory) {
        memory->PutItem(key.first, key.second, blob, false);
      } else {
        memory->RemoveItem(key.first, key.second);
      }
    }
    auto const found = inFlight.find(key);
    if (found != inFlight.end() && found->second.sequence == sequence) inFlight.erase(found);
  }

  // On the disk cache's thread, after a lookup found `blob` on disk.
  void Promote(ItemKey const& key, Blob const& blob) {
    std::lock_guard<std::mutex> lock(mutex);
    // A write under way is newer than what was read, and puts itself into memory when it is stored.
    if (inFlight.find(key) == inFlight.end()) memory->PutItem(key.first, key.second, blob, false);
  }
};

DataCacheChain::DataCacheChain(std::shared_ptr<DataCache> memory, std::shared_ptr<DataCache> disk) {
  if (!memory || !disk) {
    throw zelcore::config::zel_exception("A media cache chain needs a memory cache and a disk cache",
                                         static_cast<zelcore::config::Result>(kResultInvalidArgument));
  }
  state_ = std::make_shared<State>(std::move(memory), std::move(disk));
}

DataCacheChain::~DataCacheChain() = default;

ResultCode DataCacheChain::GetItem(ImmutableString const& first, ImmutableString const& second,
                                   ItemCallback const& callback, Blob& out) const {
  ItemKey const key{first, second};
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto const found = state_->inFlight.find(key);
    if (found != state_->inFlight.end()) {
      if (!found->second.blob) return kResultItemNotFound;
      out = found->second.blob;
      return kResultItemAvailable;
    }
  }
  if (state_->memory->GetItem(first, second, nullptr, out) == kResultItemAvailable) return kResultItemAvailable;

  ResultCode const result = state_->disk->GetItem(
      first, second,
      [state = state_, callback](ResultCode code, ImmutableString const& f, ImmutableString const& s,
                                 Blob const& blob) {
        if (code == kResultItemAvailable && blob) state->Promote(ItemKey{f, s}, blob);
        if (callback) callback(code, f, s, blob);
      },
      out);
  if (result == kResultItemAvailable && out) state_->Promote(key, out);
  return result;
}

Future<void> DataCacheChain::PutItem(ImmutableString const& first, ImmutableString const& second, Blob const& blob,
                                     bool bypassMemory) {
  return PutItemAndNotify(first, second, blob, bypassMemory, nullptr);
}

Future<void> DataCacheChain::PutItemAndNotify(ImmutableString const& first, ImmutableString const& second,
                                              Blob const& blob, bool bypassMemory,
                                              zelcore::UniqueFunction<void(bool)> stored) {
  if (!blob) return state_->disk->PutItemAndNotify(first, second, blob, bypassMemory, std::move(stored));
  ItemKey const key{first, second};
  std::uint64_t const sequence = state_->BeginWrite(key, blob);
  return state_->disk->PutItemAndNotify(
      first, second, blob, bypassMemory,
      [state = state_, key, sequence, blob, bypassMemory, stored = std::move(stored)](bool ok) mutable {
        state->EndWrite(key, sequence, blob, bypassMemory, ok);
        if (stored) stored(ok);
      });
}

Future<void> DataCacheChain::RemoveItem(ImmutableString const& first, ImmutableString const& second) {
  return RemoveItemAndNotify(first, second, nullptr);
}

Future<void> DataCacheChain::RemoveItemAndNotify(ImmutableString const& first, ImmutableString const& second,
                                                 zelcore::UniqueFunction<void(bool)> stored) {
  ItemKey const key{first, second};
  std::uint64_t const sequence = state_->BeginWrite(key, nullptr);
  // The memory copy goes once the disk cache has removed the item.
  return state_->disk->RemoveItemAndNotify(
      first, second, [state = state_, key, sequence, stored = std::move(stored)](bool ok) mutable {
        state->EndWrite(key, sequence, nullptr, true, ok);
        if (stored) stored(ok);
      });
}

Future<void> DataCacheChain::Flush() { return state_->disk->Flush(); }

}  // namespace MF
