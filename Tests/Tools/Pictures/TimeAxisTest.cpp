#include "Pictures/TimeAxis.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace Quillan::Pictures {
namespace {

TEST(TimeAxisTest, FormatsSecondsAndClocks) {
  struct Case {
    double seconds, step;
    bool clock;
    char const* text;
  };
  Case const cases[] = {
      {0, 1, false, "0 s"},        {2.5, 0.5, false, "2.5 s"},
      {0.3, 0.1, false, "0.3 s"},  {0.125, 0.005, false, "0.125 s"},
      {75, 15, true, "1:15"},      {59.999, 1, true, "1:00"},
      {3725, 60, true, "1:02:05"}, {62.5, 0.5, true, "1:02.5"},
      {600, 120, true, "10:00"},
  };
  for (Case const& c : cases) EXPECT_EQ(FormatTime(c.seconds, c.step, c.clock), c.text) << c.seconds;
}

TEST(TimeAxisTest, ChoosesRoundStepsWithinTheRange) {
  struct Case {
    double from, to;
    int pixels;
    double step;
    std::vector<std::string> labels;
  };
  Case const cases[] = {
      {0, 10, 1000, 1, {"0 s", "1 s", "2 s", "3 s", "4 s", "5 s", "6 s", "7 s", "8 s", "9 s", "10 s"}},
      {0, 10, 300, 5, {"0 s", "5 s", "10 s"}},
      {2.05, 2.35, 400, 0.1, {"2.1 s", "2.2 s", "2.3 s"}},
      {0, 300, 900, 30, {"0:00", "0:30", "1:00", "1:30", "2:00", "2:30", "3:00", "3:30", "4:00", "4:30", "5:00"}},
      {0, 7200, 400, 1800, {"0:00", "30:00", "1:00:00", "1:30:00", "2:00:00"}},
  };
  for (Case const& c : cases) {
    TimeAxis const axis = ChooseTimeAxis(c.from, c.to, c.pixels);
    EXPECT_DOUBLE_EQ(axis.stepSeconds, c.step) << c.from << "-" << c.to;
    std::vector<std::string> labels;
    for (TimeTick const& tick : axis.ticks) {
      labels.push_back(tick.label);
      EXPECT_GE(tick.seconds, c.from - 1e-9);
      EXPECT_LE(tick.seconds, c.to + 1e-9);
    }
    EXPECT_EQ(labels, c.labels) << c.from << "-" << c.to;
  }
  EXPECT_THROW(ChooseTimeAxis(5, 5, 100), std::invalid_argument);
  EXPECT_THROW(ChooseTimeAxis(0, 5, 0), std::invalid_argument);
}

}  // namespace
}  // namespace Quillan::Pictures
