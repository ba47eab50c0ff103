#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "AnalyzerMedia/FfmpegLog.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "Support/TempDirectory.h"
#include "Tools/AnalyzerJobs.h"
#include "Tools/FfmpegCommand.h"

namespace Quillan::Examples {
namespace {

using namespace testsupport::jobs;
using testsupport::Ffmpeg;
using testsupport::Logged;

constexpr double kFrame = 0.04;  // the clip runs at 25 frames per second
constexpr double kTwoFrames = 2 * kFrame + 1e-9;

struct Span {
  double start;
  double end;
};

// A 20.6 s clip of 160x90 pictures at 25 frames per second, lossless (FFV1), made of shots whose truths are known:
//   0.0-2.0   moving test pattern
//   2.0-4.4   black
//   4.4-6.4   moving test pattern fading out to black over its last second
//   6.4-8.8   black
//   8.8-10.8  moving test pattern whose last picture (10.76) then stays 3 s, to 13.8
//   13.8-16.2 a dark moving scene (cells of levels 36 and 58 of 255): near black, never black at pix_th 0.1
//   16.2-18.6 one picture held still under fresh noise in every frame
//   18.6-20.6 black to the end
std::filesystem::path MakeClip(std::filesystem::path const& directory) {
  std::string const size = "s=160x90:r=25";
  std::filesystem::path const clip = directory / "labelled.mkv";
  Ffmpeg("-f lavfi -i testsrc2=" + size + ":d=2 -f lavfi -i color=black:" + size +
         ":d=2.4 -f lavfi -i testsrc2=" + size + ":d=2,fade=out:st=1:d=1 -f lavfi -i color=black:" + size +
         ":d=2.4 -f lavfi -i testsrc2=" + size + ":d=2,tpad=stop_mode=clone:stop_duration=3 -f lavfi -i life=" + size +
         ":mold=0:ratio=0.3:death_color=#242424:life_color=#3a3a3a,trim=duration=2.4 -f lavfi -i testsrc2=" + size +
         ":d=0.04,loop=loop=59:size=1,setpts=N/25/TB,noise=alls=4:allf=t -f lavfi -i color=black:" + size +
         ":d=2 -filter_complex \"concat=n=8:v=1:a=0,format=yuv420p\" -c:v ffv1 " + clip.string());
  return clip;
}

void ExpectSegments(std::vector<VideoSegment> const& found, std::vector<Span> const& truth, double rate) {
  ASSERT_EQ(found.size(), truth.size());
  for (std::size_t i = 0; i < truth.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(found[i].start, truth[i].start, kTwoFrames);
    EXPECT_NEAR(found[i].end, truth[i].end, kTwoFrames);
    // The frames and the times tell the same stretch.
    EXPECT_NEAR(static_cast<double>(found[i].startFrame) / rate, found[i].start, 1e-6);
    EXPECT_NEAR(static_cast<double>(found[i].endFrame) / rate, found[i].end, 1e-6);
  }
}

// Every segment ffmpeg's filter logged is one the analyzer found, within two frames. The filter never reports one
// still going at the end of the file, which the analyzer ends with the last picture.
void ExpectFfmpegSegmentsFound(std::vector<double> const& starts, std::vector<double> const& ends,
                               std::vector<VideoSegment> const& found) {
  ASSERT_EQ(starts.size(), ends.size());
  ASSERT_EQ(starts.size() + 1, found.size());
  for (std::size_t i = 0; i < starts.size(); ++i) {
    EXPECT_NEAR(found[i].start, starts[i], kTwoFrames) << i;
    EXPECT_NEAR(found[i].end, ends[i], kTwoFrames) << i;
  }
}

class BlackFreezeLabelledTest : public HostedAnalyzersTest {
 protected:
  void SetUp() override {
    HostedAnalyzersTest::SetUp();
    UseFfmpegLogForErrors();
  }
};

TEST_F(BlackFreezeLabelledTest, BlackAndFrozenStretchesOfALabelledClipAreFoundWithinTwoFrames) {
  std::filesystem::path const clip = MakeClip(directory.path());
  std::uint64_t const frames = 515;

  std::optional<Black> const black = DecodeBlack(Run(clip, "black").blob);
  ASSERT_TRUE(black);
  EXPECT_EQ(black->frameCount, frames);
  EXPECT_DOUBLE_EQ(black->frameRate, 25);
  EXPECT_DOUBLE_EQ(black->pictureThreshold, 0.98);
  EXPECT_DOUBLE_EQ(black->pixelThreshold, 0.1);
  // The fade turns black in its last pictures; the dark scene is not black; the black end lasts to the file's end.
  ExpectSegments(black->segments, {{2.0, 4.4}, {6.4, 8.8}, {18.6, 20.6}}, 25);
  EXPECT_EQ(black->segments.back().endFrame, frames);

  // A higher pixel threshold takes the dark scene as black too; a longer minimum leaves out the 2 s black end.
  std::optional<Black> const dark = DecodeBlack(Run(clip, "black", std::string("pix_th=0.25")).blob);
  ASSERT_TRUE(dark);
  ASSERT_EQ(dark->segments.size(), 4u);
  EXPECT_NEAR(dark->segments[2].start, 13.8, kTwoFrames);
  EXPECT_NEAR(dark->segments[2].end, 16.2, kTwoFrames);
  std::optional<Black> const longer = DecodeBlack(Run(clip, "black", std::string("d=2.2")).blob);
  ASSERT_TRUE(longer);
  ExpectSegments(longer->segments, {{2.0, 4.4}, {6.4, 8.8}}, 25);

  // Every still stretch is frozen, black ones included; the noisy still is not at the default tolerance, and the
  // moving dark scene never is.
  std::optional<Freeze> const freeze = DecodeFreeze(Run(clip, "freeze").blob);
  ASSERT_TRUE(freeze);
  EXPECT_EQ(freeze->frameCount, frames);
  EXPECT_NEAR(freeze->noise, 0.001, 1e-9);  // -60 dB
  ExpectSegments(freeze->segments, {{2.0, 4.4}, {6.4, 8.8}, {10.76, 13.8}, {18.6, 20.6}}, 25);
  // Tolerating the noise (-40 dB: 0.01, as freezedetect reads n) finds the noisy still.
  std::optional<Freeze> const noisy = DecodeFreeze(Run(clip, "freeze", std::string("n=-40")).blob);
  ASSERT_TRUE(noisy);
  EXPECT_NEAR(noisy->noise, 0.01, 1e-9);
  ExpectSegments(noisy->segments, {{2.0, 4.4}, {6.4, 8.8}, {10.76, 13.8}, {16.2, 18.6}, {18.6, 20.6}}, 25);

  // The same settings in FFmpeg's filters find the same stretches.
  std::string const log = Ffmpeg("-i " + clip.string() + " -vf blackdetect,freezedetect -an -f null -");
  ExpectFfmpegSegmentsFound(Logged(log, "black_start:"), Logged(log, "black_end:"), black->segments);
  ExpectFfmpegSegmentsFound(Logged(log, "freeze_start:"), Logged(log, "freeze_end:"), freeze->segments);
}

TEST_F(BlackFreezeLabelledTest, DamagedSegmentsDoNotDecode) {
  struct Case {
    std::vector<VideoSegment> segments;
    bool decodes;
  };
  Case const cases[] = {
      {{{0, 50, 0.0, 2.0}, {60, 100, 2.4, 4.0}}, true},
      {{{0, 50, -0.08, 1.92}}, true},                     // a stream may start before 0
      {{{10, 10, 0.4, 0.4}}, false},                      // no frame
      {{{60, 100, 2.4, 4.0}, {0, 50, 0.0, 2.0}}, false},  // out of order
      {{{0, 50, 0.0, 2.0}, {40, 60, 1.6, 2.4}}, false},   // overlapping
      {{{0, 101, 0.0, 4.04}}, false},                     // past the counted frames
      {{{0, 50, 2.0, 1.0}}, false},                       // ends before it starts
      {{{0, 50, 0.0, NAN}}, false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    Case const& c = cases[i];
    // Encoded by hand, as the documented layout has it: what the cache may hold.
    auto const encode = [](std::vector<double> const& header, std::uint64_t frameCount,
                           std::vector<VideoSegment> const& segments) {
      std::vector<std::uint8_t> bytes;
      auto const put = [&bytes](auto value) {
        std::uint8_t raw[sizeof value];
        std::memcpy(raw, &value, sizeof value);
        bytes.insert(bytes.end(), raw, raw + sizeof value);
      };
      for (double const value : header) put(value);
      put(frameCount);
      put(static_cast<std::uint32_t>(segments.size()));
      put(std::uint32_t{0});
      for (VideoSegment const& segment : segments) {
        put(segment.startFrame);
        put(segment.endFrame);
        put(segment.start);
        put(segment.end);
      }
      auto blob = zelcore::allocator::RecycledMemory::Create(bytes.size());
      std::memcpy(blob->data(), bytes.data(), bytes.size());
      return blob;
    };
    zelcore::Blob const blackBlob = encode({2, 0.98, 0.1, 25}, 100, c.segments);
    zelcore::Blob const freezeBlob = encode({2, 0.001, 25}, 100, c.segments);
    EXPECT_EQ(DecodeBlack(blackBlob).has_value(), c.decodes);
    EXPECT_EQ(DecodeFreeze(freezeBlob).has_value(), c.decodes);
    EXPECT_EQ(IsWellFormedResult(*FindExampleAnalyzer("black"), blackBlob), c.decodes);
    EXPECT_EQ(IsWellFormedResult(*FindExampleAnalyzer("freeze"), freezeBlob), c.decodes);
    if (c.decodes) {
      EXPECT_EQ(DecodeBlack(blackBlob)->segments.size(), c.segments.size());
      EXPECT_DOUBLE_EQ(DecodeFreeze(freezeBlob)->noise, 0.001);
    }
  }
  // A count that names more segments than the bytes hold.
  auto cut = zelcore::allocator::RecycledMemory::Create(48 + 31);
  std::memset(cut->data(), 0, cut->size());
  cut->data()[40] = 1;
  EXPECT_FALSE(DecodeBlack(cut));
}

}  // namespace
}  // namespace Quillan::Examples
