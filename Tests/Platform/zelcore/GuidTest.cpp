#include "zelcore/Guid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using zelcore::utility::Guid;

TEST(GuidTest, TextFormAndByteOrder) {
  auto const guid = Guid::FromString("00112233-4455-6677-8899-aabbccddeeff");
  ASSERT_TRUE(guid.has_value());
  auto const bytes = zelcore::utility::GuidToBytes(*guid);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(bytes[i], i * 0x11) << i;
  EXPECT_EQ(guid->AsUTF8String(), "00112233-4455-6677-8899-aabbccddeeff");
  EXPECT_EQ(zelcore::utility::GuidFromBytes(bytes.data()), *guid);

  EXPECT_TRUE(Guid().IsNull());
  EXPECT_EQ(Guid().AsUTF8String(), "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(Guid::FromString("{00112233-4455-6677-8899-AABBCCDDEEFF}"), guid);
}

TEST(GuidTest, RejectsMalformedText) {
  for (char const* text : {"", "00112233-4455-6677-8899-aabbccddeef", "00112233-4455-6677-8899-aabbccddeeff0",
                           "0011223304455-6677-8899-aabbccddeeff", "00112233-4455-6677-8899-aabbccddeefg",
                           "{00112233-4455-6677-8899-aabbccddeeff", "00112233-4455-6677-8899-aabbccdd-eff"}) {
    EXPECT_FALSE(Guid::FromString(text).has_value()) << text;
  }
}

TEST(GuidTest, UniqueGuidsAreRandomVersion4) {
  std::set<Guid> seen;
  for (int i = 0; i < 1000; ++i) {
    Guid const guid = Guid::CreateUnique();
    EXPECT_EQ(guid.bytes()[6] >> 4, 4);
    EXPECT_EQ(guid.bytes()[8] & 0xC0, 0x80);
    EXPECT_TRUE(seen.insert(guid).second);
  }
}

TEST(GuidTest, NameBasedGuidsAreVersion5Sha1) {
  // The DNS namespace and a published version-5 value for "python.org" in it.
  Guid const dns = *Guid::FromString("6ba7b810-9dad-11d1-80b4-00c04fd430c8");
  std::string const name = "python.org";
  std::span<std::uint8_t const> bytes(reinterpret_cast<std::uint8_t const*>(name.data()), name.size());
  EXPECT_EQ(Guid::CreateFromName(dns, bytes).AsUTF8String(), "886313e1-3b8a-5372-9b90-0c9aee199e5d");
  EXPECT_NE(Guid::CreateFromName(Guid(), bytes), Guid::CreateFromName(dns, bytes));

  // Longer than one SHA-1 block, to cover the padding across blocks.
  std::string const longName(200, 'x');
  std::span<std::uint8_t const> longBytes(reinterpret_cast<std::uint8_t const*>(longName.data()), longName.size());
  EXPECT_EQ(Guid::CreateFromName(dns, longBytes), Guid::CreateFromName(dns, longBytes));
  EXPECT_NE(Guid::CreateFromName(dns, longBytes), Guid::CreateFromName(dns, longBytes.first(199)));
}

}  // namespace
