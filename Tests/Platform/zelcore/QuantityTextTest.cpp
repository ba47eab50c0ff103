#include "zelcore/QuantityText.h"

#include <gtest/gtest.h>

#include <functional>

#include "zelcore/ZelException.h"

namespace zelcore::text {
namespace {

std::string ErrorOf(std::function<void()> const& parse) {
  try {
    parse();
  } catch (zelcore::config::zel_exception const& e) {
    EXPECT_EQ(e.GetResult(), zelcore::config::kResultInvalidArgument);
    return e.what();
  }
  return "(no error)";
}

TEST(QuantityTextTest, ParsesSizesInBinaryAndDecimalUnits) {
  struct Case {
    char const* text;
    std::uint64_t bytes;
  };
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
  for (Case const& each : {Case{"0", 0},
                           Case{"512", 512},
                           Case{"512B", 512},
                           Case{"1K", 1024},
                           Case{"1k", 1024},
                           Case{"1KiB", 1024},
                           Case{"1KB", 1000},
                           Case{"500M", 500ull << 20},
                           Case{"500MB", 500'000'000},
                           Case{"1G", kGiB},
                           Case{"2GiB", 2 * kGiB},
                           Case{"2 GiB", 2 * kGiB},
                           Case{"2gib", 2 * kGiB},
                           Case{"1GB", 1'000'000'000},
                           Case{"1.5K", 1536},
                           Case{"0.5G", kGiB / 2},
                           Case{"1.0000000000000000000001K", 1024},
                           Case{"3T", 3ull << 40},
                           Case{"9223372036854775807", 9223372036854775807ull},
                           Case{"8388607.999T", 9223372035755264180ull}}) {
    EXPECT_EQ(ParseByteSize(each.text), each.bytes) << each.text;
  }
}

TEST(QuantityTextTest, RejectsSizesThatAreNotSizesAndSaysWhy) {
  struct Case {
    char const* text;
    char const* why;
  };
  for (Case const& each :
       {Case{"", "empty"}, Case{"G", "must start with a number"}, Case{"-1G", "must start"}, Case{"+1G", "must start"},
        Case{" 1G", "must start"}, Case{"1X", "unknown unit \"X\""}, Case{"1GiBs", "unknown unit"},
        Case{"1  G", "unknown unit"}, Case{"1.G", "digit must follow"}, Case{"1e9", "unknown unit"},
        Case{"8E", "unknown unit"}, Case{"9223372036854775808", "too large"}, Case{"8388608T", "larger than 8 EiB"},
        Case{"99999999999999999999", "too large"}}) {
    std::string const message = ErrorOf([&] { ParseByteSize(each.text); });
    EXPECT_NE(message.find(each.why), std::string::npos) << each.text << ": " << message;
    EXPECT_NE(message.find("\"" + std::string(each.text) + "\""), std::string::npos) << message;
  }
}

TEST(QuantityTextTest, ParsesLengthsOfTimeAndRejectsThoseWithoutUnits) {
  using std::chrono::seconds;
  struct Case {
    char const* text;
    seconds length;
  };
  for (Case const& each : {Case{"45s", seconds(45)}, Case{"90m", seconds(5400)}, Case{"12h", seconds(43200)},
                           Case{"30d", seconds(2592000)}, Case{"2w", seconds(1209600)}, Case{"1d12h", seconds(129600)},
                           Case{"0s", seconds(0)}, Case{"30D", seconds(2592000)}}) {
    EXPECT_EQ(ParseDuration(each.text), each.length) << each.text;
  }
  struct Bad {
    char const* text;
    char const* why;
  };
  for (Bad const& each :
       {Bad{"", "empty"}, Bad{"30", "needs a unit"}, Bad{"1d12", "needs a unit"}, Bad{"d", "expected a number"},
        Bad{"-3d", "expected a number"}, Bad{"3y", "unknown unit \"y\""}, Bad{"3 d", "unknown unit \" \""},
        Bad{"1.5d", "unknown unit \".\""}, Bad{"99999999999999999999s", "too large"},
        Bad{"9223372036854775807w", "too long"}}) {
    std::string const message = ErrorOf([&] { ParseDuration(each.text); });
    EXPECT_NE(message.find(each.why), std::string::npos) << each.text << ": " << message;
  }
}

TEST(QuantityTextTest, FormatsSizesRoundedDown) {
  EXPECT_EQ(FormatByteSize(0), "0 B");
  EXPECT_EQ(FormatByteSize(1023), "1023 B");
  EXPECT_EQ(FormatByteSize(1024), "1.0 KiB");
  EXPECT_EQ(FormatByteSize(1536), "1.5 KiB");
  EXPECT_EQ(FormatByteSize(114688), "112.0 KiB");
  EXPECT_EQ(FormatByteSize((std::uint64_t{5} << 30) - 1), "4.9 GiB");
  EXPECT_EQ(FormatByteSize(std::uint64_t{5} << 30), "5.0 GiB");
  EXPECT_EQ(FormatByteSize(UINT64_MAX), "15.9 EiB");
  // What the parser reads back.
  EXPECT_EQ(ParseByteSize(FormatByteSize(std::uint64_t{3} << 40)), std::uint64_t{3} << 40);
}

}  // namespace
}  // namespace zelcore::text
