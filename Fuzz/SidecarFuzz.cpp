// Feeds arbitrary bytes to the sidecar decoder; whatever decodes must encode again (or be refused with a clear
// error), and a re-encoded buffer must decode to the same content.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"

namespace {

using namespace Quillan;
using namespace Quillan::SidecarDataStoreAdaptorSerialization;

bool SameContent(SideCarSerializationData const& a, SideCarSerializationData const& b) {
  if (a.items.size() != b.items.size()) return false;
  for (auto const& [key, item] : a.items) {
    auto const other = b.items.find(key);
    if (other == b.items.end() || other->second.values.size() != item.values.size()) return false;
    for (auto const& [valueKey, blob] : item.values) {
      auto const value = other->second.values.find(valueKey);
      if (value == other->second.values.end() || value->second->size() != blob->size()) return false;
      if (blob->size() != 0 && std::memcmp(value->second->data(), blob->data(), blob->size()) != 0) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  // An exact-size copy, so the sanitizer sees any read past the end.
  auto buffer = zelcore::allocator::RecycledMemory::Create(size);
  if (size != 0) std::memcpy(buffer->data(), data, size);
  std::shared_ptr<SideCarSerializationData> decoded;
  try {
    decoded = DeserializeDataStoreFromBinary(buffer);
  } catch (std::runtime_error const&) {
    return 0;
  }
  std::shared_ptr<zelcore::allocator::RecycledMemory> encoded;
  try {
    encoded = SerializeDataStoreToBinary(decoded);
  } catch (std::runtime_error const&) {
    return 0;  // foreign content we refuse to write (empty items, null analyzer, ...)
  }
  auto const again = DeserializeDataStoreFromBinary(encoded);
  if (!SameContent(*decoded, *again)) std::abort();
  return 0;
}
