#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "SideCar_generated.h"
#include "zelcore/TextConversions.h"

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
constexpr std::size_t kSizeEstimatePerItem = 128;
constexpr std::size_t kMinimumBufferSize = 12;

std::uint64_t ReadLittleEndian(std::uint8_t const* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

void WriteLittleEndian(std::uint64_t value, std::uint8_t* bytes) {
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::string FromStoredString(flatbuffers::String const* text) {
  return text == nullptr ? std::string() : zelcore::text::Std8ToUTF8String(text->string_view());
}

flatbuffers::Offset<fbs::SideCarAnalyzerItemTable> EncodeItem(flatbuffers::FlatBufferBuilder& builder,
                                                              SideCarAnalyzerItem const& item) {
  if (item.values.empty()) throw std::runtime_error("Side Car Data is empty");
  if (item.analyzerId.IsNull()) throw std::runtime_error("Analyzer is undefined");
  if (item.dataSourceId.empty()) throw std::runtime_error("Data source identifier is empty");

  auto const guidBytes = zelcore::utility::GuidToBytes(item.analyzerId);
  auto const analyzerId =
      fbs::CreateSideCarGuidTable(builder, ReadLittleEndian(guidBytes.data()), ReadLittleEndian(guidBytes.data() + 8));
  std::vector<flatbuffers::Offset<fbs::SideCarValueTable>> values;
  values.reserve(item.values.size());
  for (auto const& [key, blob] : item.values) {
    auto const keyOffset = builder.CreateString(zelcore::text::UTF8ToStd8String(key));
    bool const hasData = blob && blob->size() > 0;
    auto const dataOffset = builder.CreateVector(hasData ? blob->data() : nullptr, hasData ? blob->size() : 0);
    values.push_back(fbs::CreateSideCarValueTable(builder, keyOffset, dataOffset));
  }
  auto const valuesOffset = builder.CreateVector(values);
  auto const dataSourceOffset = builder.CreateString(zelcore::text::UTF8ToStd8String(item.dataSourceId));
  return fbs::CreateSideCarAnalyzerItemTable(builder, kSideCarFormatVersion, analyzerId, dataSourceOffset,
                                             valuesOffset);
}

// The checks the generic verifier leaves to us: a minimum size and a root offset that points inside the buffer.
bool HasPlausibleRoot(std::uint8_t const* data, std::size_t size) {
  if (size < kMinimumBufferSize) return false;
  std::uint32_t const rootOffset = flatbuffers::ReadScalar<std::uint32_t>(data);
  return rootOffset > 0 && static_cast<std::int32_t>(rootOffset) >= 0 && rootOffset <= size - 1;
}

SideCarAnalyzerItem DecodeItem(fbs::SideCarAnalyzerItemTable const& table,
                               std::shared_ptr<zelcore::allocator::RecycledMemory const> const& buffer) {
  if (table.version() > kSideCarFormatVersion)
    throw std::runtime_error("Incompatible version of serialized data store");
  SideCarAnalyzerItem item;
  if (auto const* guid = table.analyzer_id()) {
    Guid::Bytes bytes;
    WriteLittleEndian(guid->bytes_0_7(), bytes.data());
    WriteLittleEndian(guid->bytes_8_15(), bytes.data() + 8);
    item.analyzerId = zelcore::utility::GuidFromBytes(bytes.data());
  }
  item.dataSourceId = FromStoredString(table.data_source_id());
  if (auto const* values = table.values()) {
    item.values.reserve(values->size());
    for (auto const* value : *values) {
      // A value without its key or its data cannot be told apart from damage; it is left out.
      if (value->key() == nullptr || value->data() == nullptr) continue;
      std::string key = FromStoredString(value->key());
      if (item.values.contains(key)) continue;  // the first of duplicate keys stays
      item.values.emplace(std::move(key), zelcore::allocator::RecycledMemory::AttachToExternalBuffer(
                                              buffer, value->data()->data(), value->data()->size()));
    }
  }
  return item;
}

}  // namespace

std::shared_ptr<zelcore::allocator::RecycledMemory> SerializeDataStoreToBinary(
    std::shared_ptr<SideCarSerializationData> const& data) {
  if (!data) throw std::runtime_error("Side Car Data is null");
  if (data->items.empty()) throw std::runtime_error("Side Car Container Data is empty");

  std::size_t estimate = kSizeEstimateBase;
  for (auto const& [key, item] : data->items) {
    estimate += kSizeEstimatePerItem;
    for (auto const& [valueKey, blob] : item.values) estimate += blob ? blob->size() : 0;
  }
  flatbuffers::FlatBufferBuilder builder(estimate);
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
  if (!buffer || buffer->data() == nullptr || buffer->size() == 0)
    throw std::runtime_error("Data store buffer is invalid");
  flatbuffers::Verifier verifier(buffer->data(), buffer->size(), flatbuffers::Verifier::Options());
  if (!HasPlausibleRoot(buffer->data(), buffer->size()) || !fbs::VerifySideCarContainerTableBuffer(verifier))
    throw std::runtime_error("Data store buffer has invalid format");

  auto result = std::make_shared<SideCarSerializationData>();
  auto const* items = fbs::GetSideCarContainerTable(buffer->data())->analyzer_items();
  if (items == nullptr) return result;
  for (auto const* table : *items) {
    SideCarAnalyzerItem item = DecodeItem(*table, buffer);
    SideCarAnalyzerItemKey key{item.analyzerId, item.dataSourceId};
    result->items.try_emplace(std::move(key), std::move(item));  // the first of duplicate items stays
  }
  return result;
}

}  // namespace SidecarDataStoreAdaptorSerialization
}  // namespace Quillan
