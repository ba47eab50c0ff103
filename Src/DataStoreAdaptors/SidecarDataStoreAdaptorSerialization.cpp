#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "SideCar_generated.h"

namespace Quillan {

bool operator<(SideCarAnalyzerItemKey const& a, SideCarAnalyzerItemKey const& b) {
  if (int const byGuid = std::memcmp(a.analyzerId.bytes().data(), b.analyzerId.bytes().data(), 16); byGuid != 0)
    return byGuid < 0;
  // std::string compares as unsigned char, a proper prefix first.
  return a.dataSourceId < b.dataSourceId;
}

namespace SidecarDataStoreAdaptorSerialization {
namespace {

namespace fbs = SideCarFormat;
using zelcore::utility::Guid;

constexpr std::size_t kSizeEstimateBase = 128;
constexpr std::size_t kMinimumBufferSize = 12;
// Upper bounds of what the builder adds around the bytes of a value and of an item (tables, vtables, lengths,
// terminators, padding and the offsets that point at them), so that a container is refused before it is built.
constexpr std::size_t kBoundPerValue = 64;
constexpr std::size_t kBoundPerItem = 128;
static_assert(kMaxSideCarBufferSize < FLATBUFFERS_MAX_BUFFER_SIZE, "the verifier asserts below its maximum");

std::uint64_t ReadLittleEndian(std::uint8_t const* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

void WriteLittleEndian(std::uint64_t value, std::uint8_t* bytes) {
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Stored strings hold the key's bytes as they are: nothing is converted or repaired on the way in or out.
std::string_view StoredBytes(flatbuffers::String const* text) {
  return text == nullptr ? std::string_view() : std::string_view(text->c_str(), text->size());
}

Guid GuidOf(fbs::SideCarAnalyzerItemTable const& table) {
  auto const* guid = table.analyzer_id();
  if (guid == nullptr) return Guid();
  Guid::Bytes bytes;
  WriteLittleEndian(guid->bytes_0_7(), bytes.data());
  WriteLittleEndian(guid->bytes_8_15(), bytes.data() + 8);
  return zelcore::utility::GuidFromBytes(bytes.data());
}

// The container's item order: GUID bytes, then the data source's bytes.
int CompareItemKey(Guid const& aId, std::string_view aSource, Guid const& bId, std::string_view bSource) {
  if (int const byGuid = std::memcmp(aId.bytes().data(), bId.bytes().data(), 16); byGuid != 0) return byGuid;
  return aSource.compare(bSource);
}

bool IsReadableValue(fbs::SideCarValueTable const* value) {
  return value->key() != nullptr && value->data() != nullptr;
}

flatbuffers::Offset<fbs::SideCarAnalyzerItemTable> EncodeItem(flatbuffers::FlatBufferBuilder& builder,
                                                              SideCarAnalyzerItem const& item) {
  if (item.values.empty()) throw std::runtime_error("Side Car Data is empty");
  if (item.analyzerId.IsNull()) throw std::runtime_error("Analyzer is undefined");
  if (item.dataSourceId.empty()) throw std::runtime_error("Data source identifier is empty");

  auto const guidBytes = zelcore::utility::GuidToBytes(item.analyzerId);
  auto const analyzerId =
      fbs::CreateSideCarGuidTable(builder, ReadLittleEndian(guidBytes.data()), ReadLittleEndian(guidBytes.data() + 8));
  // In ascending key order, so that readers can search them.
  std::vector<std::pair<std::string const, zelcore::Blob> const*> sorted;
  sorted.reserve(item.values.size());
  for (auto const& entry : item.values) sorted.push_back(&entry);
  std::sort(sorted.begin(), sorted.end(), [](auto const* a, auto const* b) { return a->first < b->first; });
  std::vector<flatbuffers::Offset<fbs::SideCarValueTable>> values;
  values.reserve(item.values.size());
  for (auto const* entry : sorted) {
    auto const& [key, blob] = *entry;
    auto const keyOffset = builder.CreateString(key.data(), key.size());
    bool const hasData = blob && blob->size() > 0;
    auto const dataOffset = builder.CreateVector(hasData ? blob->data() : nullptr, hasData ? blob->size() : 0);
    values.push_back(fbs::CreateSideCarValueTable(builder, keyOffset, dataOffset));
  }
  auto const valuesOffset = builder.CreateVector(values);
  auto const dataSourceOffset = builder.CreateString(item.dataSourceId.data(), item.dataSourceId.size());
  return fbs::CreateSideCarAnalyzerItemTable(builder, kSideCarFormatVersion, analyzerId, dataSourceOffset,
                                             valuesOffset);
}

// The checks the generic verifier leaves to us: a minimum size and a root offset that points inside the buffer.
bool HasPlausibleRoot(std::uint8_t const* data, std::size_t size) {
  if (size < kMinimumBufferSize) return false;
  std::uint32_t const rootOffset = flatbuffers::ReadScalar<std::uint32_t>(data);
  return rootOffset > 0 && static_cast<std::int32_t>(rootOffset) >= 0 && rootOffset <= size - 1;
}

// The verified root table of `buffer`; throws the decoder's errors.
fbs::SideCarContainerTable const& VerifiedRoot(
    std::shared_ptr<zelcore::allocator::RecycledMemory const> const& buffer) {
  if (!buffer || buffer->data() == nullptr || buffer->size() == 0)
    throw SideCarFormatError("Data store buffer is invalid");
  // FlatBuffers' verifier asserts on buffers beyond its limit; refuse them first.
  if (buffer->size() > kMaxSideCarBufferSize) throw std::runtime_error("Data store buffer is too large for the format");
  flatbuffers::Verifier verifier(buffer->data(), buffer->size(), flatbuffers::Verifier::Options());
  if (!HasPlausibleRoot(buffer->data(), buffer->size()) || !fbs::VerifySideCarContainerTableBuffer(verifier))
    throw SideCarFormatError("Data store buffer has invalid format");
  return *fbs::GetSideCarContainerTable(buffer->data());
}

void CheckVersion(fbs::SideCarAnalyzerItemTable const& table) {
  if (table.version() > kSideCarFormatVersion) throw SideCarVersionError();
}

zelcore::Blob ViewOf(std::shared_ptr<zelcore::allocator::RecycledMemory const> const& buffer,
                     fbs::SideCarValueTable const& value) {
  return zelcore::allocator::RecycledMemory::AttachToExternalBuffer(buffer, value.data()->data(), value.data()->size());
}

SideCarAnalyzerItem DecodeItem(fbs::SideCarAnalyzerItemTable const& table,
                               std::shared_ptr<zelcore::allocator::RecycledMemory const> const& buffer) {
  CheckVersion(table);
  SideCarAnalyzerItem item;
  item.analyzerId = GuidOf(table);
  item.dataSourceId = StoredBytes(table.data_source_id());
  if (auto const* values = table.values()) {
    item.values.reserve(values->size());
    for (auto const* value : *values) {
      // A value without its key or its data cannot be told apart from damage; it is left out.
      if (!IsReadableValue(value)) continue;
      std::string key(StoredBytes(value->key()));
      if (item.values.contains(key)) continue;  // the first of duplicate keys stays
      item.values.emplace(std::move(key), ViewOf(buffer, *value));
    }
  }
  return item;
}

}  // namespace

std::shared_ptr<zelcore::allocator::RecycledMemory> SerializeDataStoreToBinary(
    std::shared_ptr<SideCarSerializationData> const& data) {
  if (!data) throw std::runtime_error("Side Car Data is null");
  if (data->items.empty()) throw std::runtime_error("Side Car Container Data is empty");

  // An upper bound of the encoded size, checked before the builder grows: FlatBuffers aborts past its limit.
  std::size_t bound = kSizeEstimateBase;
  for (auto const& [key, item] : data->items) {
    bound += kBoundPerItem + item.dataSourceId.size();
    for (auto const& [valueKey, blob] : item.values)
      bound += kBoundPerValue + valueKey.size() + (blob ? blob->size() : 0);
  }
  if (bound > kMaxSideCarBufferSize) throw SideCarTooLargeError(bound);
  flatbuffers::FlatBufferBuilder builder(bound);
  std::vector<flatbuffers::Offset<fbs::SideCarAnalyzerItemTable>> items;
  items.reserve(data->items.size());
  for (auto const& [key, item] : data->items) items.push_back(EncodeItem(builder, item));
  builder.Finish(fbs::CreateSideCarContainerTable(builder, builder.CreateVector(items)));

  auto result = zelcore::allocator::RecycledMemory::Create(builder.GetSize());
  std::memcpy(result->data(), builder.GetBufferPointer(), builder.GetSize());
  return result;
}

std::shared_ptr<SideCarSerializationData> DeserializeDataStoreFromBinary(
    std::shared_ptr<zelcore::allocator::RecycledMemory const> const& buffer) {
  auto const* items = VerifiedRoot(buffer).analyzer_items();
  auto result = std::make_shared<SideCarSerializationData>();
  if (items == nullptr) return result;
  for (auto const* table : *items) {
    SideCarAnalyzerItem item = DecodeItem(*table, buffer);
    SideCarAnalyzerItemKey key{item.analyzerId, item.dataSourceId};
    result->items.try_emplace(std::move(key), std::move(item));  // the first of duplicate items stays
  }
  return result;
}

void SetValueForSave(SideCarSerializationData& data, Guid const& analyzerId, std::string const& dataSourceId,
                     std::string const& valueKey, zelcore::Blob const& blob) {
  auto [item, inserted] = data.items.try_emplace({analyzerId, dataSourceId});
  if (inserted) {
    item->second.dataSourceId = dataSourceId;
    item->second.analyzerId = analyzerId;
  }
  item->second.values[valueKey] = blob;
}

SideCarValueLookup FindValueInBinary(std::shared_ptr<zelcore::allocator::RecycledMemory const> const& buffer,
                                     Guid const& analyzerId, std::string_view dataSourceId, std::string_view valueKey,
                                     std::function<bool(std::string_view)> const& anyParameterMatch) {
  using Outcome = SideCarValueLookup::Outcome;
  auto const* items = VerifiedRoot(buffer).analyzer_items();
  if (items == nullptr) return {Outcome::kNoItem, nullptr};

  // The whole file is refused for one newer item, as the decoder does; and whether the items are strictly sorted
  // (no duplicates) decides whether a binary search finds what the decoder keeps.
  bool sorted = true;
  for (flatbuffers::uoffset_t i = 0; i < items->size(); ++i) {
    CheckVersion(*items->Get(i));
    if (i > 0 && sorted) {
      auto const& a = *items->Get(i - 1);
      auto const& b = *items->Get(i);
      sorted =
          CompareItemKey(GuidOf(a), StoredBytes(a.data_source_id()), GuidOf(b), StoredBytes(b.data_source_id())) < 0;
    }
  }
  auto const compareTo = [&](fbs::SideCarAnalyzerItemTable const* table) {
    return CompareItemKey(GuidOf(*table), StoredBytes(table->data_source_id()), analyzerId, dataSourceId);
  };
  fbs::SideCarAnalyzerItemTable const* item = nullptr;
  if (sorted) {
    auto const found =
        std::lower_bound(items->begin(), items->end(), 0, [&](auto const* table, int) { return compareTo(table) < 0; });
    if (found != items->end() && compareTo(*found) == 0) item = *found;
  } else {
    auto const found =
        std::find_if(items->begin(), items->end(), [&](auto const* table) { return compareTo(table) == 0; });
    if (found != items->end()) item = *found;
  }
  if (item == nullptr) return {Outcome::kNoItem, nullptr};

  auto const* values = item->values();
  if (values == nullptr) return {Outcome::kNoValue, nullptr};
  bool valuesSorted = true;
  for (flatbuffers::uoffset_t i = 0; i < values->size() && valuesSorted; ++i) {
    valuesSorted = IsReadableValue(values->Get(i)) &&
                   (i == 0 || StoredBytes(values->Get(i - 1)->key()) < StoredBytes(values->Get(i)->key()));
  }
  if (valuesSorted) {
    auto const found =
        std::lower_bound(values->begin(), values->end(), valueKey,
                         [](auto const* value, std::string_view key) { return StoredBytes(value->key()) < key; });
    if (found != values->end() && StoredBytes(found->key()) == valueKey)
      return {Outcome::kFound, ViewOf(buffer, **found)};
  } else {
    for (auto const* value : *values) {
      if (IsReadableValue(value) && StoredBytes(value->key()) == valueKey)
        return {Outcome::kFound, ViewOf(buffer, *value)};
    }
  }
  if (anyParameterMatch) {
    for (auto const* value : *values) {
      if (IsReadableValue(value) && anyParameterMatch(StoredBytes(value->key())))
        return {Outcome::kFound, ViewOf(buffer, *value)};
    }
  }
  return {Outcome::kNoValue, nullptr};
}

SideCarVersionError::SideCarVersionError() : std::runtime_error("Incompatible version of serialized data store") {}
SideCarVersionError::~SideCarVersionError() = default;

SideCarFormatError::SideCarFormatError(char const* message) : std::runtime_error(message) {}
SideCarFormatError::~SideCarFormatError() = default;

SideCarTooLargeError::SideCarTooLargeError(std::size_t bytes)
    : std::runtime_error("Side Car Data is too large for the format: about " + std::to_string(bytes) +
                         " bytes, at most " + std::to_string(kMaxSideCarBufferSize)) {}
SideCarTooLargeError::~SideCarTooLargeError() = default;

}  // namespace SidecarDataStoreAdaptorSerialization
}  // namespace Quillan
