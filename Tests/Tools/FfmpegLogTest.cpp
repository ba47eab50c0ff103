#include <gtest/gtest.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "AnalyzerMedia/FfmpegLog.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "SampleMedia/SampleClip.h"
#include "Tools/AnalyzerJobs.h"

extern "C" {
#include <libavutil/log.h>
}

namespace Quillan::Examples {
namespace {

using namespace testsupport::jobs;

class FfmpegLogTest : public HostedAnalyzersTest {
 protected:
  void TearDown() override { SetVideoDecoderThreadsForTesting(0); }

  std::exception_ptr Failure(std::filesystem::path const& file, std::string_view analyzer) {
    return testsupport::AwaitFailure(RunJob(host, ClipOf(file), *FindExampleAnalyzer(analyzer), FreshResult{}));
  }
};

// With the tool's policy in force, what FFmpeg says about a file being read stays with its reader, what the decoder
// says on its own threads too, and FFmpeg's last error joins the reader's message; a message of the program's own
// still reaches FFmpeg's default callback, and the program's level is left as it was.
TEST_F(FfmpegLogTest, ReadersKeepWhatFfmpegSaysAboutTheirFilesAndTheRestGoesOn) {
  Samples::ClipPlan plan = Samples::StandardClip(8, 160, 96);
  plan.sampleRate = 0;
  auto const damaged = directory / "damaged.mp4";
  Samples::WriteClip(damaged, plan);
  auto const size = std::filesystem::file_size(damaged);
  std::filesystem::copy_file(damaged, directory / "truncated.mp4");
  std::filesystem::resize_file(directory / "truncated.mp4", size / 2);
  {
    // The middle of the pictures is noise: the decoder complains of one picture after another.
    std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(size / 3));
    for (std::uint32_t i = 0, noise = 1; i < size / 4; ++i) {
      noise = noise * 1664525u + 1013904223u;
      file.put(static_cast<char>(noise >> 24));
    }
  }

  UseFfmpegLogForErrors();
  int const level = av_log_get_level();
  SetVideoDecoderThreadsForTesting(4);
  testing::internal::CaptureStderr();
  std::exception_ptr const truncated = Failure(directory / "truncated.mp4", "scenes");
  Failure(damaged, "scenes");
  Failure(damaged, "freeze");
  av_log(nullptr, AV_LOG_WARNING, "the program's own warning\n");
  av_log(nullptr, AV_LOG_VERBOSE, "below the program's level\n");
  std::string const printed = testing::internal::GetCapturedStderr();

  EXPECT_EQ(printed, "the program's own warning\n");
  ASSERT_TRUE(truncated);
  EXPECT_NE(testsupport::MessageOf(truncated).find("(moov atom not found)"), std::string::npos)
      << testsupport::MessageOf(truncated);
  EXPECT_EQ(av_log_get_level(), level);
}

}  // namespace
}  // namespace Quillan::Examples
