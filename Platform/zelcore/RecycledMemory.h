#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "zelcore/Export.h"

namespace zelcore::allocator {

// A byte buffer: either its own storage, or a view into memory of an owner that it keeps alive. Large buffers are
// recycled: when one is freed its storage is kept (up to a process-wide bound) for the next buffer of about the
// same size, so reading and writing big files does not pay for fresh pages from the kernel every time.
// Results travel as std::shared_ptr<const RecycledMemory> ("blobs"). Not thread-safe for writing; a const
// buffer may be read from any thread.
class ZELCORE_EXPORT RecycledMemory {
 public:
  // A new buffer of `size` bytes for the caller to fill; its initial contents are unspecified (filling large read
  // buffers with zeros first costs as much as the read).
  static std::shared_ptr<RecycledMemory> Create(std::size_t size);
  // A view of `size` bytes at `data`, owned by `owner`, which the view keeps alive.
  static std::shared_ptr<RecycledMemory> AttachToExternalBuffer(std::shared_ptr<void const> owner, void const* data,
                                                                std::size_t size);

  RecycledMemory(RecycledMemory const&) = delete;
  RecycledMemory& operator=(RecycledMemory const&) = delete;
  ~RecycledMemory();

  std::uint8_t const* data() const { return data_; }
  // Writable access; only for buffers made by Create.
  std::uint8_t* data() { return data_; }
  std::size_t size() const { return size_; }

 private:
  RecycledMemory(std::uint8_t* data, std::size_t size, std::size_t capacity, std::shared_ptr<void const> owner);

  std::uint8_t* data_;
  std::size_t size_;
  std::size_t capacity_;               // of the owned storage
  std::shared_ptr<void const> owner_;  // null when the buffer owns data_
};

}  // namespace zelcore::allocator

namespace zelcore {
using Blob = std::shared_ptr<allocator::RecycledMemory const>;
}
