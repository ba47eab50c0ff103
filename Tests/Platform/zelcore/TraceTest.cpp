#include "zelcore/Trace.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace zelcore::debug;

// Starts every test from an empty configuration with a capturing sink; restores both at the end.
class TraceTest : public testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv(kTraceEnvironmentVariable);
    ResetTraceForTesting();
    SetTraceSink([this](std::string_view category, TraceLevel level, std::string_view message) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(std::string(category), level, std::string(message));
    });
  }
  void TearDown() override {
    SetTraceSink(nullptr);
    ::unsetenv(kTraceEnvironmentVariable);
    ResetTraceForTesting();
  }

  std::mutex mutex_;
  std::vector<std::tuple<std::string, TraceLevel, std::string>> lines_;
};

TEST_F(TraceTest, EnabledByCategoryLevelThenWildcardAndChangeCountMoves) {
  TraceSwitch const traceSwitch("Quillan", 7);
  EXPECT_FALSE(traceSwitch.Enabled());  // nothing configured: all off
  std::uint64_t const before = TraceChangeCount();
  SetTraceLevel("Quillan", 7);
  SetTraceLevel("Muted", kTraceOff);
  EXPECT_GT(TraceChangeCount(), before);
  EXPECT_TRUE(traceSwitch.Enabled());
  SetTraceLevel(kTraceWildcardCategory, 3);
  std::uint64_t const configured = TraceChangeCount();

  struct Case {
    char const* category;
    TraceLevel level;
    TraceFlags flag;
    bool enabled;
  };
  Case const cases[] = {
      {"Quillan", 7, kTraceDefault, true},  {"Quillan", 8, kTraceDefault, false},
      {"quillan", 4, kTraceDefault, false},  // categories are exact; the wildcard's 3 applies
      {"Other", 3, kTraceDefault, true},    {"Other", 1, kTraceNamedCategoryOnly, false},
      {"Muted", 0, kTraceDefault, false},   {"Quillan", 7, kTraceNamedCategoryOnly, true},
  };
  for (Case const& c : cases) EXPECT_EQ(TraceEnabled(c.category, c.level, c.flag), c.enabled) << c.category;
  EXPECT_EQ(TraceChangeCount(), configured);  // asking is no change

  ConfigureTrace("garbage");
  EXPECT_EQ(TraceChangeCount(), configured);  // nothing applied
  ConfigureTrace("Quillan=off");
  EXPECT_FALSE(traceSwitch.Enabled());
}

TEST_F(TraceTest, SinkGetsOnlyEnabledLinesAndDefaultWritesToStderr) {
  SetTraceLevel("Quillan", 7);
  Trace(7, "Quillan", "managed store created");
  Trace(8, "Quillan", "too detailed");
  Trace(0, "Other", "not configured");
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], std::make_tuple(std::string("Quillan"), 7, std::string("managed store created")));

  SetTraceSink(nullptr);
  testing::internal::CaptureStderr();
  Trace(3, zelcore::utility::ImmutableString::Create("Quillan"), "to\nstderr");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Quillan:3] to stderr\n");
}

TEST_F(TraceTest, ConfigurationTextAndEnvironmentSkipGarbage) {
  struct Case {
    char const* text;
    std::size_t errors;
  };
  Case const cases[] = {
      {" A = 1 , B=2 ,", 0},
      {",,", 0},
      {"A=off", 0},
      {"*=5", 0},
      {"A", 1},
      {"=3", 1},
      {"A=", 1},
      {"A=3x", 1},
      {"A=-1", 1},
      {"A=1001", 1},
      {"A=1=2", 1},
      {"\xFF=1", 1},
      {"A\x01=1", 1},
      {"A=99999999999999999999", 1},
  };
  for (Case const& c : cases) EXPECT_EQ(ConfigureTrace(c.text).size(), c.errors) << testing::PrintToString(c.text);

  ::setenv(kTraceEnvironmentVariable, "Quillan=7, *=2, broken", 1);
  testing::internal::CaptureStderr();
  ResetTraceForTesting();
  std::string const reported = testing::internal::GetCapturedStderr();
  EXPECT_NE(reported.find("\"broken\" is not of the form category=level"), std::string::npos) << reported;
  EXPECT_TRUE(TraceEnabled("Quillan", 7));  // items after and before a bad one apply
  EXPECT_TRUE(TraceEnabled("Else", 2));
  EXPECT_FALSE(TraceEnabled("Else", 3));
  ::setenv(kTraceEnvironmentVariable, "Quillan=1", 1);  // read once: a later change is not seen
  SetTraceLevel("Else", 5);                             // the program's settings apply on top
  EXPECT_TRUE(TraceEnabled("Quillan", 7));
  EXPECT_TRUE(TraceEnabled("Else", 5));
}

TEST_F(TraceTest, ConcurrentQueriesAndChanges) {
  std::atomic<bool> stop{false};
  std::atomic<int> enabledSeen{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      TraceSwitch const traceSwitch("Busy", 1);
      while (!stop.load()) {
        if (traceSwitch.Enabled()) ++enabledSeen;
        Trace(1, "Busy", "line");
      }
    });
  }
  for (int i = 0; i < 300; ++i) SetTraceLevel("Busy", i % 2);
  while (enabledSeen.load() == 0) std::this_thread::yield();  // the final level 1 is seen
  stop = true;
  for (auto& reader : readers) reader.join();
  std::lock_guard lock(mutex_);
  EXPECT_FALSE(lines_.empty());
}

}  // namespace
