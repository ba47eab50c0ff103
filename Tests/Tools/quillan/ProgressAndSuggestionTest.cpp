#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "quillan/DidYouMean.h"
#include "quillan/ProgressDisplay.h"
#include "quillan/TerminalColumns.h"

namespace Quillan::Cli {
namespace {

// However narrow the terminal and long the label, the line fits in one column less than the width (wide characters
// taking two), and the percentage is whole at its end; what room is left goes to the label, the bar, the speed and
// the ETA in turn.
TEST(ProgressBarLineTest, ThePercentageAlwaysFitsAndTheLabelGivesWay) {
  auto const now = std::chrono::steady_clock::now();
  JobProgress job;
  job.label = "loudness /media/\xe9\x9f\xb3\xe6\xa5\xbd/" + std::string(130, 'x') + "/caf\xc3\xa9-final-mix.wav";
  job.fraction = 1.0;
  job.startedAt = now - std::chrono::seconds(10);
  job.mediaSeconds = 40;
  for (std::size_t const width : {200u, 120u, 80u, 60u, 40u, 30u, 20u, 12u, 6u, 4u, 2u}) {
    SCOPED_TRACE(width);
    std::string const line = ProgressDisplay::BarLine(job, width, now);
    EXPECT_LE(Columns(line), width > 1 ? width - 1 : 1) << line;
    if (width > 5) {
      EXPECT_TRUE(line.ends_with("100%") || line.find(" 100% ") != std::string::npos) << line;
    }
    if (width >= 80) {
      EXPECT_NE(line.find("4.0x"), std::string::npos) << line;  // 40 s of media in 10 s
      EXPECT_NE(line.find("[########################]"), std::string::npos) << line;
      EXPECT_NE(line.find("-final-mix.wav"), std::string::npos) << line;  // the end of the name stays
      EXPECT_NE(line.find("..."), std::string::npos) << line;
    }
  }
  // Half done after 30 s: another 30 s to go; the name is short enough to show whole.
  job.label = "digest a.wav";
  job.fraction = 0.5;
  job.startedAt = now - std::chrono::seconds(30);
  EXPECT_EQ(ProgressDisplay::BarLine(job, 80, now), "digest a.wav [############............] 50% 0.7x ETA 0:30");
  job.mediaSeconds.reset();
  job.startedAt = now - std::chrono::hours(2);
  EXPECT_EQ(ProgressDisplay::BarLine(job, 80, now), "digest a.wav [############............] 50% ETA 2:00:00");
}

TEST(DidYouMeanTest, SuggestsOnlyNamesWithinASlipOfTheKeyboard) {
  std::vector<std::string> const commands = {"analyze", "analyse", "analyzers", "sidecar", "cache", "config", "help"};
  struct Case {
    char const* typed;
    char const* suggested;  // nullptr: nothing close enough
  };
  Case const cases[] = {
      {"analyzee", "analyze"}, {"anaylze", "analyze"},  {"sidcar", "sidecar"},
      {"CACHE", "cache"},      {"confg", "config"},     {"hlep", "help"},
      {"x", nullptr},          {"frobnicate", nullptr}, {"analyzer", "analyze"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.typed);
    std::optional<std::string> const match = ClosestMatch(c.typed, commands);
    if (c.suggested == nullptr) {
      EXPECT_FALSE(match) << *match;
    } else {
      EXPECT_EQ(match.value_or("none"), c.suggested);
    }
  }
  EXPECT_EQ(EditDistance("", "abc"), 3u);
  EXPECT_EQ(EditDistance("ca", "ac"), 1u);
  EXPECT_EQ(EditDistance("kitten", "sitting"), 3u);
}

}  // namespace
}  // namespace Quillan::Cli
