#include "zelcore/Logging.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "zelcore/ZelException.h"

namespace {

using zelcore::config::zel_exception;
using namespace zelcore::logging;

template <class E>
void LogThrown(E error, char const* function) {
  try {
    throw error;
  } catch (...) {
    LogException(std::current_exception(), function);
  }
}

TEST(LoggingTest, SinkGetsEachExceptionAndTheDefaultWritesOneStderrLine) {
  std::vector<LoggedException> logged;
  EXPECT_FALSE(SetLogSink([&](LoggedException const& e) { logged.push_back(e); }));  // the default is empty
  LogThrown(zel_exception("disk full", 0xA00F0005), "SaveDataWithKey");
  LogThrown(std::runtime_error("plain"), "Other");
  LogThrown(42, nullptr);
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_EQ(logged[0].function, "SaveDataWithKey");
  EXPECT_EQ(logged[0].message, "disk full");
  EXPECT_EQ(logged[0].result, 0xA00F0005u);
  EXPECT_EQ(logged[1].result, zelcore::config::kResultUnexpected);
  EXPECT_EQ(logged[2].message, "unknown exception");

  SetLogSink([](LoggedException const&) { throw std::runtime_error("sink broke"); });
  testing::internal::CaptureStderr();
  LogThrown(zel_exception("kept despite the sink", 7), "Caller");  // falls back to stderr, never throws
  EXPECT_NE(testing::internal::GetCapturedStderr().find("kept despite the sink"), std::string::npos);

  EXPECT_TRUE(SetLogSink(nullptr));
  testing::internal::CaptureStderr();
  LogThrown(zel_exception("two\nlines", 0xA00F0001), "Loader");
  std::string const line = testing::internal::GetCapturedStderr();
  for (char const* part : {"Loader", "0xA00F0001", "two lines"}) EXPECT_NE(line.find(part), std::string::npos) << line;
  EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
}

}  // namespace
