#include "zelcore/ImmutableString.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

using zelcore::utility::ImmutableString;

TEST(ImmutableStringTest, EqualTextsShareOneCopy) {
  std::string const text = "Quillan::IDataStoreAdaptor";
  auto const a = ImmutableString::Create(text);
  auto const b = ImmutableString::Create(std::string(text));  // a different buffer with the same text
  EXPECT_EQ(a.data(), b.data());
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.view(), text);
  EXPECT_EQ(a.size(), text.size());
  EXPECT_EQ(a.c_str()[a.size()], '\0');

  EXPECT_EQ(ImmutableString(), ImmutableString::Create(""));
  EXPECT_TRUE(ImmutableString().empty());
  EXPECT_EQ(ImmutableString::Create(L"wide \u00e9"), ImmutableString::Create("wide \xc3\xa9"));
  EXPECT_EQ(ImmutableString::_PrivateCreateStatic("lit"), ImmutableString::Create("lit"));

  // Texts that differ only after an embedded NUL are different texts.
  EXPECT_NE(ImmutableString::Create(std::string_view("a\0b", 3)), ImmutableString::Create(std::string_view("a\0c", 3)));
  EXPECT_LT(ImmutableString::Create("abc"), ImmutableString::Create("abd"));
}

TEST(ImmutableStringTest, ManyThreadsInterningWhileTheTableGrows) {
  constexpr int kThreads = 4;
  constexpr int kTexts = 20000;
  std::vector<std::vector<char const*>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      // Each thread walks the texts in its own order, so inserts race with lookups of the same text.
      for (int i = 0; i < kTexts; ++i) {
        int const n = (t % 2 == 0) ? i : kTexts - 1 - i;
        seen[t].push_back(ImmutableString::Create("grow-" + std::to_string(n)).data());
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::unordered_set<char const*> distinct;
  for (int i = 0; i < kTexts; ++i) {
    char const* const expected = ImmutableString::Create("grow-" + std::to_string(i)).data();
    EXPECT_STREQ(expected, ("grow-" + std::to_string(i)).c_str());
    distinct.insert(expected);
    for (int t = 0; t < kThreads; ++t) {
      int const index = (t % 2 == 0) ? i : kTexts - 1 - i;
      ASSERT_EQ(seen[t][index], expected) << "thread " << t << " text " << i;
    }
  }
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kTexts));
}

}  // namespace
