#include "MF/Detail/MemoryDataCache.h"

#include <exception>
#include <utility>

#include "zelcore/ZelException.h"

namespace MF::detail {

using zelcore::async::Future;

namespace {

std::exception_ptr NullBlobError() {
  return std::make_exception_ptr(zelcore::config::zel_exception(
      "A media cache item needs a blob", static_cast<zelcore::config::Result>(kResultInvalidArgument)));
}

}  // namespace

MemoryDataCache::MemoryDataCache(std::uint64_t maxBytes) : maxBytes_(maxBytes) {}

MemoryDataCache::~MemoryDataCache() = default;

std::uint64_t MemoryDataCache::GetUsedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return usedBytes_;
}

ResultCode MemoryDataCache::GetItem(ImmutableString const& first, ImmutableString const& second,
                                    ItemCallback const& /*callback*/, Blob& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto const found = index_.find(ItemKey{first, second});
  if (found == index_.end()) return kResultItemNotFound;
  entries_.splice(entries_.begin(), entries_, found->second);
  out = found->second->blob;
  return kResultItemAvailable;
}

Future<void> MemoryDataCache::PutItem(ImmutableString const& first, ImmutableString const& second, Blob const& blob,
                                      bool bypassMemory) {
  return PutItemAndNotify(first, second, blob, bypassMemory, nullptr);
}

Future<void> MemoryDataCache::PutItemAndNotify(ImmutableString const& first, ImmutableString const& second,
                                               Blob const& blob, bool /*bypassMemory*/,
                                               zelcore::UniqueFunction<void(bool)> stored) {
  if (!blob) {
    if (stored) stored(false);
    return zelcore::async::MakeExceptionalFuture<void>(NullBlobError());
  }
  Insert(ItemKey{first, second}, blob);
  if (stored) stored(true);
  return zelcore::async::MakeReadyFuture();
}

Future<void> MemoryDataCache::RemoveItem(ImmutableString const& first, ImmutableString const& second) {
  return RemoveItemAndNotify(first, second, nullptr);
}

Future<void> MemoryDataCache::RemoveItemAndNotify(ImmutableString const& first, ImmutableString const& second,
                                                  zelcore::UniqueFunction<void(bool)> stored) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto const found = index_.find(ItemKey{first, second});
    if (found != index_.end()) EraseLocked(found->second);
  }
  if (stored) stored(true);
  return zelcore::async::MakeReadyFuture();
}

Future<void> MemoryDataCache::Flush() { return zelcore::async::MakeReadyFuture(); }

void MemoryDataCache::Insert(ItemKey const& key, Blob const& blob) {
  std::uint64_t const cost = blob->size() + key.first.size() + key.second.size() + kItemOverheadBytes;
  std::lock_guard<std::mutex> lock(mutex_);
  auto const found = index_.find(key);
  if (found != index_.end()) EraseLocked(found->second);
  // An item that alone exceeds the bound would only flush everything else out.
  if (cost > maxBytes_) return;
  while (usedBytes_ + cost > maxBytes_) EraseLocked(std::prev(entries_.end()));
  entries_.push_front(Entry{key, blob, cost});
  index_.emplace(key, entries_.begin());
  usedBytes_ += cost;
}

void MemoryDataCache::EraseLocked(List::iterator entry) {
  usedBytes_ -= entry->cost;
  index_.erase(entry->key);
  entries_.erase(entry);
}

}  // namespace MF::detail
