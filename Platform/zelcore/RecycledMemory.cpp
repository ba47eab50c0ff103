#include "zelcore/RecycledMemory.h"

#include <bit>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zelcore::allocator {
namespace {

// Buffers below this size come straight from the heap, which recycles small blocks well on its own.
constexpr std::size_t kSmallestRecycled = std::size_t{64} << 10;
// The most storage kept for reuse at any time.
constexpr std::size_t kMaxKeptBytes = std::size_t{256} << 20;

// Sizes are rounded up to a quarter of their power of two, so a buffer is at most 25% larger than asked and
// buffers of similar sizes share a class.
std::size_t CapacityFor(std::size_t size) {
  if (size < kSmallestRecycled) return size;
  std::size_t const step = std::bit_floor(size) / 4;
  return (size + step - 1) / step * step;
}

class Recycler {
 public:
  std::uint8_t* Take(std::size_t capacity) {
    if (capacity >= kSmallestRecycled) {
      std::lock_guard lock(mutex_);
      auto found = kept_.find(capacity);
      if (found != kept_.end() && !found->second.empty()) {
        std::uint8_t* storage = found->second.back();
        found->second.pop_back();
        keptBytes_ -= capacity;
        return storage;
      }
    }
    return new std::uint8_t[capacity == 0 ? 1 : capacity];
  }

  void Give(std::uint8_t* storage, std::size_t capacity) {
    if (capacity >= kSmallestRecycled) {
      std::lock_guard lock(mutex_);
      if (keptBytes_ + capacity <= kMaxKeptBytes) {
        kept_[capacity].push_back(storage);
        keptBytes_ += capacity;
        return;
      }
    }
    delete[] storage;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::size_t, std::vector<std::uint8_t*>> kept_;  // guarded by mutex_
  std::size_t keptBytes_ = 0;                                         // guarded by mutex_
};

// Never destroyed: blobs may be freed while other statics are torn down.
Recycler& GetRecycler() {
  static Recycler* recycler = new Recycler;
  return *recycler;
}

}  // namespace

RecycledMemory::RecycledMemory(std::uint8_t* data, std::size_t size, std::size_t capacity,
                               std::shared_ptr<void const> owner)
    : data_(data), size_(size), capacity_(capacity), owner_(std::move(owner)) {}

RecycledMemory::~RecycledMemory() {
  if (!owner_) GetRecycler().Give(data_, capacity_);
}

std::shared_ptr<RecycledMemory> RecycledMemory::Create(std::size_t size) {
  std::size_t const capacity = CapacityFor(size);
  // Storage is never null, even for size 0, so data() can always be passed on.
  return std::shared_ptr<RecycledMemory>(new RecycledMemory(GetRecycler().Take(capacity), size, capacity, nullptr));
}

std::shared_ptr<RecycledMemory> RecycledMemory::AttachToExternalBuffer(std::shared_ptr<void const> owner,
                                                                       void const* data, std::size_t size) {
  // An attached view never writes: the non-const data() is only meaningful for buffers made by Create.
  auto* bytes = const_cast<std::uint8_t*>(static_cast<std::uint8_t const*>(data));
  if (!owner) owner = std::make_shared<int>(0);  // a view must never free memory it does not own
  return std::shared_ptr<RecycledMemory>(new RecycledMemory(bytes, size, 0, std::move(owner)));
}

}  // namespace zelcore::allocator
