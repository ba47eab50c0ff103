#include "zelcore/RecycledMemory.h"

#include <utility>

namespace zelcore::allocator {

RecycledMemory::RecycledMemory(std::uint8_t* data, std::size_t size, std::shared_ptr<void const> owner)
    : data_(data), size_(size), owner_(std::move(owner)) {}

RecycledMemory::~RecycledMemory() {
  if (!owner_) delete[] data_;
}

std::shared_ptr<RecycledMemory> RecycledMemory::Create(std::size_t size) {
  // new[] of size 0 still yields a unique non-null pointer, so data() is never null.
  return std::shared_ptr<RecycledMemory>(new RecycledMemory(new std::uint8_t[size], size, nullptr));
}

std::shared_ptr<RecycledMemory> RecycledMemory::AttachToExternalBuffer(std::shared_ptr<void const> owner,
                                                                       void const* data, std::size_t size) {
  // An attached view never writes: the non-const data() is only meaningful for buffers made by Create.
  auto* bytes = const_cast<std::uint8_t*>(static_cast<std::uint8_t const*>(data));
  if (!owner) owner = std::make_shared<int>(0);  // a view must never delete memory it does not own
  return std::shared_ptr<RecycledMemory>(new RecycledMemory(bytes, size, std::move(owner)));
}

}  // namespace zelcore::allocator
