#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "SideCar_generated.h"
#include "Support/BlobTestUtils.h"

namespace Quillan {
namespace {

namespace fbs = SideCarFormat;
using namespace SidecarDataStoreAdaptorSerialization;
using testsupport::BlobText;
using testsupport::MakeBlob;
using zelcore::Blob;
using zelcore::allocator::RecycledMemory;
using zelcore::utility::Guid;

Blob FromBuilder(flatbuffers::FlatBufferBuilder const& builder) {
  auto blob = RecycledMemory::Create(builder.GetSize());
  std::memcpy(blob->data(), builder.GetBufferPointer(), builder.GetSize());
  return blob;
}

void AddItem(SideCarSerializationData& data, Guid analyzer, std::string source,
             std::unordered_map<std::string, Blob> values) {
  data.items[{analyzer, source}] = SideCarAnalyzerItem{std::move(values), source, analyzer};
}

std::string ErrorOf(std::function<void()> const& f) {
  try {
    f();
  } catch (std::runtime_error const& e) {
    return e.what();
  }
  return "";
}

Guid const kSerializedAnalyzer = *Guid::FromString("00000000-0000-0000-8899-aabbccddeeff");  // first eight bytes zero

TEST(SidecarSerializationTest, RoundTripKeepsEveryItemAndValue) {
  auto data = std::make_shared<SideCarSerializationData>();
  Guid const other = Guid::CreateUnique();
  AddItem(*data, kSerializedAnalyzer, "state-a", {{"k1", MakeBlob("first")}, {"k2", MakeBlob("")}, {"k3", nullptr}});
  AddItem(*data, other, "state-a", {{"k1", MakeBlob(std::string("\0\1\2", 3))}});
  // Keys and data source ids are bytes: invalid UTF-8 is not repaired, so keys never alias.
  std::string const byteKeys[] = {"k\xe2\x82\xac", "\xff", "\xc3\x28", "\xef\xbf\xbd", std::string("a\0b", 3)};
  std::unordered_map<std::string, Blob> byteValues;
  for (std::string const& key : byteKeys) byteValues[key] = MakeBlob(key);
  AddItem(*data, kSerializedAnalyzer, "state-b\xc3\xa9\xfe", byteValues);

  auto const buffer = SerializeDataStoreToBinary(data);
  // No identifier, no size prefix: the buffer starts with the root offset.
  EXPECT_EQ(flatbuffers::ReadScalar<std::uint32_t>(buffer->data()),
            static_cast<std::uint32_t>(
                reinterpret_cast<std::uint8_t const*>(fbs::GetSideCarContainerTable(buffer->data())) - buffer->data()));
  auto const* root = fbs::GetSideCarContainerTable(buffer->data());
  ASSERT_EQ(root->analyzer_items()->size(), 3u);
  EXPECT_EQ(root->analyzer_items()->Get(0)->version(), kSideCarFormatVersion);
  // The zero half of the GUID is left out, as a default.
  auto const* guidTable = reinterpret_cast<flatbuffers::Table const*>(root->analyzer_items()->Get(0)->analyzer_id());
  EXPECT_FALSE(guidTable->CheckField(fbs::SideCarGuidTable::VT_BYTES_0_7));
  EXPECT_TRUE(guidTable->CheckField(fbs::SideCarGuidTable::VT_BYTES_8_15));

  std::weak_ptr<RecycledMemory const> weakBuffer = buffer;
  auto decoded = DeserializeDataStoreFromBinary(buffer);
  ASSERT_EQ(decoded->items.size(), 3u);
  auto const& first = decoded->items.at({kSerializedAnalyzer, "state-a"});
  EXPECT_EQ(first.analyzerId, kSerializedAnalyzer);
  EXPECT_EQ(first.dataSourceId, "state-a");
  EXPECT_EQ(BlobText(first.values.at("k1")), "first");
  EXPECT_EQ(first.values.at("k2")->size(), 0u);
  EXPECT_EQ(first.values.at("k3")->size(), 0u);
  EXPECT_EQ(BlobText(decoded->items.at({other, "state-a"}).values.at("k1")), std::string("\0\1\2", 3));
  auto const& bytes = decoded->items.at({kSerializedAnalyzer, "state-b\xc3\xa9\xfe"});
  ASSERT_EQ(bytes.values.size(), std::size(byteKeys));
  for (std::string const& key : byteKeys) EXPECT_EQ(BlobText(bytes.values.at(key)), key);

  // Decoded values view the input buffer and keep it alive on their own.
  Blob const kept = first.values.at("k1");
  EXPECT_GE(kept->data(), buffer->data());
  EXPECT_LT(kept->data(), buffer->data() + buffer->size());
  decoded.reset();
  EXPECT_FALSE(weakBuffer.expired());
  EXPECT_EQ(BlobText(kept), "first");
}

TEST(SidecarSerializationTest, KeysOrderByUnsignedGuidBytesThenDataSource) {
  Guid const low = *Guid::FromString("7f000000-0000-0000-0000-000000000000");
  Guid const high = *Guid::FromString("80000000-0000-0000-0000-000000000000");
  EXPECT_TRUE((SideCarAnalyzerItemKey{low, "z"} < SideCarAnalyzerItemKey{high, "a"}));
  EXPECT_TRUE((SideCarAnalyzerItemKey{low, "ab"} < SideCarAnalyzerItemKey{low, "abc"}));
  EXPECT_TRUE((SideCarAnalyzerItemKey{low, "a"} < SideCarAnalyzerItemKey{low, "\xc3"}));
  EXPECT_FALSE((SideCarAnalyzerItemKey{low, "a"} < SideCarAnalyzerItemKey{low, "a"}));
}

TEST(SidecarSerializationTest, RefusesToEncodeWhatCannotBeRead) {
  struct Case {
    char const* name;
    std::function<void(SideCarSerializationData&)> fill;
    char const* error;
  };
  std::vector<Case> const cases = {
      {"no items", [](auto&) {}, "Side Car Container Data is empty"},
      {"item without values", [](auto& d) { AddItem(d, kSerializedAnalyzer, "s", {}); }, "Side Car Data is empty"},
      {"null analyzer",
       [](auto& d) {
         AddItem(d, Guid(), "s", {{"k", MakeBlob("v")}});
       },
       "Analyzer is undefined"},
      {"empty data source",
       [](auto& d) {
         AddItem(d, kSerializedAnalyzer, "", {{"k", MakeBlob("v")}});
       },
       "Data source identifier is empty"},
      // Values are checked before the identifiers.
      {"null analyzer without values", [](auto& d) { AddItem(d, Guid(), "", {}); }, "Side Car Data is empty"},
  };
  for (auto const& c : cases) {
    auto data = std::make_shared<SideCarSerializationData>();
    c.fill(*data);
    EXPECT_EQ(ErrorOf([&] { SerializeDataStoreToBinary(data); }), c.error) << c.name;
  }
  EXPECT_EQ(ErrorOf([] { SerializeDataStoreToBinary(nullptr); }), "Side Car Data is null");
}

TEST(SidecarSerializationTest, RejectsDamagedBuffersWithoutReadingOutside) {
  auto data = std::make_shared<SideCarSerializationData>();
  AddItem(*data, Guid::CreateUnique(), "state", {{"key", MakeBlob(std::string(100, 'v'))}});
  auto const good = SerializeDataStoreToBinary(data);

  EXPECT_EQ(ErrorOf([] { DeserializeDataStoreFromBinary(nullptr); }), "Data store buffer is invalid");
  EXPECT_EQ(ErrorOf([] { DeserializeDataStoreFromBinary(RecycledMemory::Create(0)); }), "Data store buffer is invalid");
  EXPECT_EQ(ErrorOf([] { DeserializeDataStoreFromBinary(RecycledMemory::Create(11)); }),
            "Data store buffer has invalid format");

  // Every truncation, and a root offset pointing anywhere, must fail cleanly. Copies are exact-size heap blocks so
  // the sanitizers see any read past the end.
  for (std::size_t size = 1; size < good->size(); ++size) {
    auto truncated = RecycledMemory::Create(size);
    std::memcpy(truncated->data(), good->data(), size);
    EXPECT_EQ(ErrorOf([&] { DeserializeDataStoreFromBinary(truncated); }), "Data store buffer has invalid format")
        << size;
  }
  for (std::uint32_t offset : {0u, 0x80000000u, static_cast<std::uint32_t>(good->size()), 0xFFFFFFFFu}) {
    auto damaged = RecycledMemory::Create(good->size());
    std::memcpy(damaged->data(), good->data(), good->size());
    flatbuffers::WriteScalar(damaged->data(), offset);
    EXPECT_EQ(ErrorOf([&] { DeserializeDataStoreFromBinary(damaged); }), "Data store buffer has invalid format")
        << offset;
  }
  // Flipping single bytes either decodes or fails with a clear error; it never crashes.
  for (std::size_t i = 0; i < good->size(); ++i) {
    auto flipped = RecycledMemory::Create(good->size());
    std::memcpy(flipped->data(), good->data(), good->size());
    flipped->data()[i] ^= 0xFF;
    try {
      DeserializeDataStoreFromBinary(flipped);
    } catch (std::runtime_error const&) {
    }
  }
}

TEST(SidecarSerializationTest, ReadsForeignBuffersByTheFormatsRules) {
  // Builds a container of items (version, with/without values) as another writer might.
  struct ForeignValue {
    std::string key;
    std::string data;
  };
  struct ForeignItem {
    std::uint32_t version;
    std::uint64_t high;
    std::string source;
    std::vector<ForeignValue> values;
  };
  auto encode = [](std::vector<ForeignItem> const& items) {
    flatbuffers::FlatBufferBuilder builder;
    std::vector<flatbuffers::Offset<fbs::SideCarAnalyzerItemTable>> offsets;
    for (auto const& item : items) {
      std::vector<flatbuffers::Offset<fbs::SideCarValueTable>> values;
      for (auto const& value : item.values) {
        auto const key = builder.CreateString(value.key);
        auto const bytes =
            builder.CreateVector(reinterpret_cast<std::uint8_t const*>(value.data.data()), value.data.size());
        values.push_back(fbs::CreateSideCarValueTable(builder, key, bytes));
      }
      auto const guid = fbs::CreateSideCarGuidTable(builder, 0, item.high);
      offsets.push_back(fbs::CreateSideCarAnalyzerItemTable(
          builder, item.version, guid, builder.CreateString(item.source), builder.CreateVector(values)));
    }
    builder.Finish(fbs::CreateSideCarContainerTable(builder, builder.CreateVector(offsets)));
    return FromBuilder(builder);
  };

  // Versions 0 and 1 read; duplicates keep the first item and the first value.
  auto const decoded = DeserializeDataStoreFromBinary(encode({
      {0, 1, "s", {{"k", "first"}, {"k", "second"}}},
      {1, 1, "s", {{"k", "other item"}}},
      {1, 2, "", {}},
  }));
  ASSERT_EQ(decoded->items.size(), 2u);
  Guid::Bytes bytes{};
  bytes[8] = 1;
  auto const& item = decoded->items.at({Guid(bytes), "s"});
  ASSERT_EQ(item.values.size(), 1u);
  EXPECT_EQ(BlobText(item.values.at("k")), "first");

  // What a foreign writer may hold decodes, but is refused when written back.
  EXPECT_EQ(ErrorOf([&] { SerializeDataStoreToBinary(decoded); }), "Side Car Data is empty");

  EXPECT_EQ(ErrorOf([&] {
              DeserializeDataStoreFromBinary(encode({{1, 1, "s", {}}, {2, 1, "t", {}}}));
            }),
            "Incompatible version of serialized data store");
  EXPECT_THROW(FindValueInBinary(encode({{1, 1, "s", {{"k", "v"}}}, {2, 1, "t", {}}}), Guid(bytes), "s", "k"),
               SideCarVersionError);

  // The one-value lookup answers as the decoded container does, for files in our order and for foreign ones out of
  // order, with duplicates, partial values and bytes that are not UTF-8.
  std::vector<Blob> const buffers = {
      encode({{1, 3, "b", {{"z", "1"}, {"a", "2"}, {"a", "3"}}},
              {1, 1, "s", {{"k", "first"}, {"\xff", "ff"}}},
              {1, 3, "b", {{"a", "dup item"}}},
              {0, 2, "\xc3\x28", {{"\xef\xbf\xbd", "fffd"}}}}),
      SerializeDataStoreToBinary(DeserializeDataStoreFromBinary(encode({{1, 3, "b", {{"z", "1"}, {"a", "2"}}},
                                                                        {1, 1, "s", {{"k", "first"}, {"\xff", "ff"}}},
                                                                        {0, 2, "\xc3\x28", {{"\xef\xbf\xbd", "x"}}}}))),
  };
  for (Blob const& buffer : buffers) {
    auto const container = DeserializeDataStoreFromBinary(buffer);
    std::size_t hits = 0;
    for (std::uint64_t high : {1, 2, 3, 4}) {
      Guid::Bytes id{};
      id[8] = static_cast<std::uint8_t>(high);  // as encode() writes it: bytes 8..15 little-endian
      for (std::string source : {"b", "s", "\xc3\x28", "\xef\xbf\xbd", ""}) {
        auto const item = container->items.find({Guid(id), source});
        for (std::string key : {"a", "z", "k", "\xff", "\xef\xbf\xbd", "?"}) {
          auto const found = FindValueInBinary(buffer, Guid(id), source, key);
          if (item == container->items.end()) {
            EXPECT_EQ(found.outcome, SideCarValueLookup::Outcome::kNoItem) << high << source << key;
          } else if (!item->second.values.contains(key)) {
            EXPECT_EQ(found.outcome, SideCarValueLookup::Outcome::kNoValue) << high << source << key;
          } else {
            ASSERT_EQ(found.outcome, SideCarValueLookup::Outcome::kFound) << high << source << key;
            EXPECT_EQ(BlobText(found.blob), BlobText(item->second.values.at(key))) << high << source << key;
            ++hits;
          }
        }
      }
    }
    EXPECT_GE(hits, 5u);
  }
  EXPECT_TRUE(DeserializeDataStoreFromBinary(encode({}))->items.empty());

  // A root without items, and values without key or data, are read as absent.
  flatbuffers::FlatBufferBuilder builder;
  builder.Finish(fbs::CreateSideCarContainerTable(builder));
  EXPECT_TRUE(DeserializeDataStoreFromBinary(FromBuilder(builder))->items.empty());

  flatbuffers::FlatBufferBuilder partial;
  std::vector<flatbuffers::Offset<fbs::SideCarValueTable>> values = {
      fbs::CreateSideCarValueTable(partial, partial.CreateString("no data")),
      fbs::CreateSideCarValueTable(partial, 0, partial.CreateVector(std::vector<std::uint8_t>{1})),
      fbs::CreateSideCarValueTable(partial, partial.CreateString("whole"),
                                   partial.CreateVector(std::vector<std::uint8_t>{2})),
  };
  auto const itemOffset =
      fbs::CreateSideCarAnalyzerItemTable(partial, 1, 0, partial.CreateString("s"), partial.CreateVector(values));
  partial.Finish(fbs::CreateSideCarContainerTable(partial, partial.CreateVector(&itemOffset, 1)));
  auto const withPartialValues = DeserializeDataStoreFromBinary(FromBuilder(partial));
  auto const& partialItem = withPartialValues->items.at({Guid(), "s"});
  ASSERT_EQ(partialItem.values.size(), 1u);
  EXPECT_EQ(partialItem.values.at("whole")->data()[0], 2);
}

// The format's 2 GiB limit is checked before a buffer is verified or a builder grows: FlatBuffers would abort.
TEST(SidecarSerializationTest, RefusesWhatPassesTheFormatsLimitBeforeTouchingIt) {
  auto const small = MakeBlob("x");
  // Views that claim more bytes than they hold: only their size may be read.
  auto const huge = RecycledMemory::AttachToExternalBuffer(small, small->data(), kMaxSideCarBufferSize + 1);
  EXPECT_EQ(ErrorOf([&] { DeserializeDataStoreFromBinary(huge); }), "Data store buffer is too large for the format");
  EXPECT_THROW(FindValueInBinary(huge, kSerializedAnalyzer, "s", "k"), std::runtime_error);

  auto data = std::make_shared<SideCarSerializationData>();
  AddItem(*data, kSerializedAnalyzer, "s",
          {{"big", RecycledMemory::AttachToExternalBuffer(small, small->data(), 1u << 30)},
           {"bigger", RecycledMemory::AttachToExternalBuffer(small, small->data(), 1u << 30)}});
  EXPECT_THROW(SerializeDataStoreToBinary(data), SideCarTooLargeError);
  AddItem(*data, kSerializedAnalyzer, "s", {{"fits", small}});
  EXPECT_EQ(
      BlobText(
          DeserializeDataStoreFromBinary(SerializeDataStoreToBinary(data))->items.begin()->second.values.at("fits")),
      "x");
}

}  // namespace
}  // namespace Quillan
