// Feeds arbitrary bytes to the sidecar readers and to a save's path through them: the one-value lookup must answer
// as the full decoder does; a save into what decodes must keep every item and add its own, or be refused;
// whatever decodes must encode again (or be refused with a clear error), and a re-encoded buffer must decode to the
// same content.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"

namespace {

using namespace Quillan;
using namespace Quillan::SidecarDataStoreAdaptorSerialization;

bool SameBlob(zelcore::Blob const& a, zelcore::Blob const& b) {
  return a && b && a->size() == b->size() && (a->size() == 0 || std::memcmp(a->data(), b->data(), a->size()) == 0);
}

// Every value of `a` is in `b` with the same bytes.
bool Contains(SideCarSerializationData const& b, SideCarSerializationData const& a) {
  for (auto const& [key, item] : a.items) {
    auto const other = b.items.find(key);
    if (other == b.items.end()) return false;
    for (auto const& [valueKey, blob] : item.values) {
      auto const value = other->second.values.find(valueKey);
      if (value == other->second.values.end() || !SameBlob(value->second, blob)) return false;
    }
  }
  return true;
}

bool SameContent(SideCarSerializationData const& a, SideCarSerializationData const& b) {
  if (a.items.size() != b.items.size()) return false;
  for (auto const& [key, item] : a.items) {
    auto const other = b.items.find(key);
    if (other == b.items.end() || other->second.values.size() != item.values.size()) return false;
  }
  return Contains(a, b) && Contains(b, a);
}

// The lookup of one value must agree with the decoded container.
void CheckLookup(zelcore::Blob const& buffer, SideCarSerializationData const& decoded) {
  for (auto const& [key, item] : decoded.items) {
    for (auto const& [valueKey, blob] : item.values) {
      auto const found = FindValueInBinary(buffer, key.analyzerId, key.dataSourceId, valueKey);
      if (found.outcome != SideCarValueLookup::Outcome::kFound || !SameBlob(found.blob, blob)) std::abort();
    }
    auto const missing = FindValueInBinary(buffer, key.analyzerId, key.dataSourceId, "\xff no such key");
    if (missing.outcome == SideCarValueLookup::Outcome::kNoItem) std::abort();
    if (missing.outcome == SideCarValueLookup::Outcome::kFound && !item.values.contains("\xff no such key"))
      std::abort();
  }
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
    // The lookup must refuse it too.
    try {
      FindValueInBinary(buffer, zelcore::utility::Guid(), "", "k");
    } catch (std::runtime_error const&) {
      return 0;
    }
    std::abort();
  }
  CheckLookup(buffer, *decoded);

  std::shared_ptr<zelcore::allocator::RecycledMemory> encoded;
  try {
    encoded = SerializeDataStoreToBinary(decoded);
  } catch (std::runtime_error const&) {
    // Foreign content we refuse to write as it is (empty items, null analyzer, ...), or no item at all.
  }
  if (encoded && !SameContent(*decoded, *DeserializeDataStoreFromBinary(encoded))) std::abort();

  // A save into this content: every item stays, the new value is added, and all of it reads back. Content the
  // encoder refuses is refused with the new value too, never written without what it cannot hold.
  auto saved = std::make_shared<SideCarSerializationData>(*decoded);
  zelcore::utility::Guid::Bytes id{};
  id[0] = 0x5a;
  auto const value = zelcore::allocator::RecycledMemory::Create(3);
  std::memcpy(value->data(), "new", 3);
  SetValueForSave(*saved, zelcore::utility::Guid(id), "source", "key", value);
  if (!Contains(*saved, *decoded)) std::abort();
  std::shared_ptr<zelcore::allocator::RecycledMemory> written;
  try {
    written = SerializeDataStoreToBinary(saved);
  } catch (std::runtime_error const&) {
    if (encoded) std::abort();  // the new value alone cannot make encodable content unencodable
    return 0;
  }
  auto const reread = DeserializeDataStoreFromBinary(written);
  if (!SameContent(*saved, *reread)) std::abort();
  CheckLookup(written, *reread);
  if (!SameBlob(FindValueInBinary(written, zelcore::utility::Guid(id), "source", "key").blob, value)) std::abort();
  return 0;
}
