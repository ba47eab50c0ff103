#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "Foundation/Export.h"
#include "zelcore/Guid.h"
#include "zelcore/RecycledMemory.h"

namespace Quillan {

// Identifies one analyzer's results for one data source within a sidecar file.
struct QUILLAN_EXPORT SideCarAnalyzerItemKey {
  zelcore::utility::Guid analyzerId;
  std::string dataSourceId;  // UTF-8

  // By the GUID's bytes as unsigned bytes, then by the data source's bytes (a proper prefix first).
  friend QUILLAN_EXPORT bool operator<(SideCarAnalyzerItemKey const& a, SideCarAnalyzerItemKey const& b);
  friend bool operator==(SideCarAnalyzerItemKey const&, SideCarAnalyzerItemKey const&) = default;
};

// The results of one analyzer for one data source. The identifiers repeat the item's key; the encoder reads them
// from here.
struct SideCarAnalyzerItem {
  std::unordered_map<std::string, zelcore::Blob> values;  // cache key -> result
  std::string dataSourceId;
  zelcore::utility::Guid analyzerId;
};

// The content of one sidecar file.
struct SideCarSerializationData {
  std::map<SideCarAnalyzerItemKey, SideCarAnalyzerItem> items;
};

// Converts sidecar content to and from its binary form. Stateless; may run on any thread.
namespace SidecarDataStoreAdaptorSerialization {

inline constexpr std::uint32_t kSideCarFormatVersion = 1;

// Encodes `data` into a buffer of exactly the encoded size. Throws std::runtime_error when the container is null
// or empty, or an item has no values, a null analyzer id or an empty data source id; nothing is returned then.
QUILLAN_EXPORT std::shared_ptr<zelcore::allocator::RecycledMemory> SerializeDataStoreToBinary(
    std::shared_ptr<SideCarSerializationData> const& data);

// Verifies and decodes `buffer`. The decoded blobs view `buffer` and keep it alive. Throws std::runtime_error when
// the buffer is missing or empty, fails verification, or holds an item of a newer format version.
QUILLAN_EXPORT std::shared_ptr<SideCarSerializationData> DeserializeDataStoreFromBinary(
    std::shared_ptr<zelcore::allocator::RecycledMemory const> const& buffer);

}  // namespace SidecarDataStoreAdaptorSerialization
}  // namespace Quillan
