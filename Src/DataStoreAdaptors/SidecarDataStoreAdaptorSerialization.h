#pragma once

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

#include "Foundation/Export.h"
#include "zelcore/Guid.h"
#include "zelcore/RecycledMemory.h"

namespace Quillan {

// Identifies one analyzer's results for one data source within a sidecar file.
struct QUILLAN_EXPORT SideCarAnalyzerItemKey {
  zelcore::utility::Guid analyzerId;
  std::string dataSourceId;  // bytes, kept as they are (normally the UTF-8 text of a GUID)

  // By the GUID's bytes as unsigned bytes, then by the data source's bytes (a proper prefix first).
  friend QUILLAN_EXPORT bool operator<(SideCarAnalyzerItemKey const& a, SideCarAnalyzerItemKey const& b);
  friend bool operator==(SideCarAnalyzerItemKey const&, SideCarAnalyzerItemKey const&) = default;
};

// The results of one analyzer for one data source. The identifiers repeat the item's key; the encoder reads them
// from here.
struct SideCarAnalyzerItem {
  std::unordered_map<std::string, zelcore::Blob> values;  // cache key (bytes) -> result
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
// The largest buffer the format can hold (FlatBuffers offsets are signed 32-bit): a bigger file is refused before it
// is read, and a container that would encode bigger is refused before the buffer grows.
inline constexpr std::size_t kMaxSideCarBufferSize = 0x7FFFFFFE;

// Thrown by the decoders for an item of a newer format version ("Incompatible version of serialized data store"), so
// that a writer can tell a file it must leave alone from a damaged one.
class QUILLAN_EXPORT SideCarVersionError : public std::runtime_error {
 public:
  SideCarVersionError();
  ~SideCarVersionError() override;
};

// Thrown by the decoders for a buffer that is not a sidecar: none or empty ("Data store buffer is invalid"), or one
// that fails verification ("Data store buffer has invalid format"). A writer may replace such a file; it must leave
// alone one it could not read for any other reason.
class QUILLAN_EXPORT SideCarFormatError : public std::runtime_error {
 public:
  explicit SideCarFormatError(char const* message);
  ~SideCarFormatError() override;
};

// Thrown by the encoder when the container would not fit kMaxSideCarBufferSize.
class QUILLAN_EXPORT SideCarTooLargeError : public std::runtime_error {
 public:
  explicit SideCarTooLargeError(std::size_t bytes);
  ~SideCarTooLargeError() override;
};

// Encodes `data` into a buffer of exactly the encoded size; each item's values are written in ascending byte order of
// their keys, so that a reader can search them. Keys and data source ids are written byte for byte. Throws
// std::runtime_error when the container is null or empty, or an item has no values, a null analyzer id or an empty
// data source id, and SideCarTooLargeError when it would not fit the format; nothing is returned then.
QUILLAN_EXPORT std::shared_ptr<zelcore::allocator::RecycledMemory> SerializeDataStoreToBinary(
    std::shared_ptr<SideCarSerializationData> const& data);

// Verifies and decodes `buffer`. The decoded blobs view `buffer` and keep it alive. Throws SideCarFormatError when
// the buffer is missing or empty or fails verification, std::runtime_error when it is larger than
// kMaxSideCarBufferSize, and SideCarVersionError when it holds an item of a newer format version.
QUILLAN_EXPORT std::shared_ptr<SideCarSerializationData> DeserializeDataStoreFromBinary(
    std::shared_ptr<zelcore::allocator::RecycledMemory const> const& buffer);

// What a save does to the decoded content of a sidecar: sets `blob` under `valueKey` in the item of (`analyzerId`,
// `dataSourceId`), creating the item when missing. Every other item stays as it is, one the encoder refuses too (a
// foreign file's item without values, say): what another writer stored is never deleted, so such a save fails.
QUILLAN_EXPORT void SetValueForSave(SideCarSerializationData& data, zelcore::utility::Guid const& analyzerId,
                                    std::string const& dataSourceId, std::string const& valueKey,
                                    zelcore::Blob const& blob);

// What FindValueInBinary found.
struct SideCarValueLookup {
  enum class Outcome { kFound, kNoItem, kNoValue };
  Outcome outcome = Outcome::kNoItem;
  zelcore::Blob blob;  // views `buffer`; set when found
};

// Looks up one value without decoding the rest: verifies `buffer` as DeserializeDataStoreFromBinary does (with the
// same errors), then finds the item by binary search when the file's items are in strictly ascending key order (as
// this encoder writes them) and by a scan otherwise, and the value likewise. The answer is the one the decoded
// container would give: the first of duplicate items and keys counts. When no value has `valueKey` and
// `anyParameterMatch` is set, the first value (in file order) whose key it accepts is taken.
QUILLAN_EXPORT SideCarValueLookup
FindValueInBinary(std::shared_ptr<zelcore::allocator::RecycledMemory const> const& buffer,
                  zelcore::utility::Guid const& analyzerId, std::string_view dataSourceId, std::string_view valueKey,
                  std::function<bool(std::string_view)> const& anyParameterMatch = nullptr);

}  // namespace SidecarDataStoreAdaptorSerialization
}  // namespace Quillan
