#include "zelcore/TextConversions.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace zelcore::text;

TEST(TextConversionsTest, InvalidUTF8BecomesOneReplacementPerMaximalSubpart) {
  struct Case {
    std::string input;
    std::u16string utf16;
  };
  Case const cases[] = {
      {"plain ASCII", u"plain ASCII"},
      {"\xC3\xA9t\xC3\xA9", u"\u00E9t\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80!", u"\U0001F600!"},              // non-BMP becomes a surrogate pair
      {"\xEF\xBF\xBD", u"\uFFFD"},                        // a real U+FFFD stays
      {"a\x80z", u"a\uFFFDz"},                            // stray continuation byte
      {"\xC0\x80", u"\uFFFD\uFFFD"},                      // overlong NUL: C0 can never start a sequence
      {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte form
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"\xE2\x82", u"\uFFFD"},                            // truncated at the end: one replacement
      {"\xE2\x82x", u"\uFFFDx"},                          // truncated before ASCII, which survives
      {"\xF0\x9F\x98", u"\uFFFD"},
      {"\xFF\xFE", u"\uFFFD\uFFFD"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    EXPECT_EQ(UTF8ToUTF16(c.input), c.utf16);
    std::string const repaired = UTF16ToUTF8(c.utf16);
    EXPECT_EQ(IsValidUTF8(c.input), repaired == c.input);
    EXPECT_TRUE(IsValidUTF8(repaired));
    EXPECT_EQ(Std8ToUTF8String(c.input), repaired);
    EXPECT_EQ(UTF8ToStd8String(c.input), repaired);
    EXPECT_EQ(WstringToUTF8(UTF8ToWstring(c.input)), repaired);
    EXPECT_EQ(UTF16ToUTF8(WcharToUTF16(UTF16ToWstring(c.utf16))), repaired);
  }
}

TEST(TextConversionsTest, UnpairedSurrogatesAndOutOfRangeWideCharactersBecomeReplacements) {
  struct Case {
    std::u16string input;
    std::string utf8;
  };
  Case const cases[] = {
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {{0xD83D}, "\xEF\xBF\xBD"},                                  // high surrogate at the end
      {{0xDE00, u'x'}, "\xEF\xBF\xBDx"},                           // lone low surrogate
      {{0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},              // a pair in the wrong order
      {{0xD83D, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},  // the second high one still pairs
  };
  for (Case const& c : cases) {
    EXPECT_EQ(UTF16ToUTF8(c.input), c.utf8);
    EXPECT_EQ(IsValidUTF16(c.input), UTF8ToUTF16(c.utf8) == c.input);
    EXPECT_EQ(WstringToUTF8(UTF16ToWstring(c.input)), c.utf8);
  }

  std::wstring const wide = {L'a', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000),
                             static_cast<wchar_t>(-1), static_cast<wchar_t>(0x10FFFF)};
  EXPECT_EQ(WcharToUTF16(wide), (std::u16string{u'a', 0xFFFD, 0xFFFD, 0xFFFD, 0xDBFF, 0xDFFF}));
  EXPECT_EQ(UTF16ToWstring(WcharToUTF16(L"wide \u00E9 \U0010FFFF")), L"wide \u00E9 \U0010FFFF");
  EXPECT_EQ(UTF8ToWstring("\xF0\x9F\x98\x80"), L"\U0001F600");
}

TEST(TextConversionsTest, PathBytesSurviveUTF16WhateverTheirEncoding) {
  struct Case {
    std::string bytes;
    std::u16string utf16;
  };
  Case const cases[] = {
      {"plain.wav", u"plain.wav"},
      {"\xD0\xB7\xD0\xB2\xD1\x83\xD0\xBA.wav", u"\u0437\u0432\u0443\u043A.wav"},  // Cyrillic
      {"\xF0\x9F\x8E\xB5.wav", u"\U0001F3B5.wav"},                                // emoji
      {"caf\xE9.wav", {u'c', u'a', u'f', 0xDCE9, u'.', u'w', u'a', u'v'}},        // Latin-1 byte
      {"\xC3\x28", {0xDCC3, u'('}},                                               // broken sequence
      {"\xED\xB2\x80", {0xDCED, 0xDCB2, 0xDC80}},  // an encoded surrogate is three bytes, not a code point
      {"\xEF\xBF\xBD", u"\uFFFD"},                 // a real U+FFFD stays itself
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(PathBytesToUTF16(c.bytes), c.utf16);
    EXPECT_EQ(UTF16ToPathBytes(c.utf16), c.bytes);
  }
  // Names that differ only in bytes that are not UTF-8 stay apart; U+FFFD is a name of its own.
  EXPECT_NE(PathBytesToUTF16("\xFF"), PathBytesToUTF16("\xFE"));
  EXPECT_NE(PathBytesToUTF16("\xFF"), PathBytesToUTF16("\xEF\xBF\xBD"));
  // Lone surrogates that are no escape cannot name bytes: they become U+FFFD.
  EXPECT_EQ(UTF16ToPathBytes(std::u16string{0xD800, u'x', 0xDC41}), "\xEF\xBF\xBDx\xEF\xBF\xBD");
}

}  // namespace
