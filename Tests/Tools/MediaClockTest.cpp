#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "AnalyzerMedia/FfmpegLog.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "Support/TempDirectory.h"
#include "Tools/AnalyzerJobs.h"
#include "Tools/FfmpegCommand.h"
#include "zelcore/ZelException.h"

// Times of pictures and of sound on one clock, the file's presentation, and one rule for damaged packets whatever the
// number of decoder threads.
namespace Quillan::Examples {
namespace {

using namespace testsupport::jobs;
using testsupport::Ffmpeg;

std::string Bytes(std::filesystem::path const& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class MediaClockTest : public HostedAnalyzersTest {
 protected:
  void SetUp() override {
    HostedAnalyzersTest::SetUp();
    UseFfmpegLogForErrors();
  }
  void TearDown() override { SetVideoDecoderThreadsForTesting(0); }

  Future<std::any> Job(std::filesystem::path const& file, std::string_view analyzer, std::any const& parameter = {}) {
    return RunJob(host, ClipOf(file), *FindExampleAnalyzer(analyzer), parameter);
  }
};

TEST_F(MediaClockTest, CutsSilencesAndPeaksCountFromThePresentationsStart) {
  // Four seconds: black pictures, then white from 2 s (a cut); a tone, silent from 2 s to 3 s.
  std::string const sources =
      "-f lavfi -i color=black:s=160x90:r=25:d=2 -f lavfi -i color=white:s=160x90:r=25:d=2 "
      "-f lavfi -i aevalsrc='if(between(t\\,2\\,3)\\,0\\,0.5*sin(2*PI*440*t))':s=48000:d=4 "
      "-filter_complex [0][1]concat=n=2:v=1:a=0[v] -map [v] -map 2 ";
  auto const transport = directory / "clip.ts";  // FFmpeg starts a transport stream at 1.4 s
  Ffmpeg(sources + "-c:v mpeg2video -c:a mp2 -f mpegts " + transport.string());
  auto const movie = directory / "clip.mp4";
  Ffmpeg(sources + "-c:v mpeg4 -c:a aac " + movie.string());
  // The sound moved half a second later: in the transport stream by its timestamps, in the MP4 by an edit list that
  // starts it with an empty edit.
  auto const lateTransport = directory / "late.ts";
  Ffmpeg("-i " + transport.string() + " -itsoffset 0.5 -i " + transport.string() +
         " -map 0:v -map 1:a -c copy -f mpegts " + lateTransport.string());
  auto const lateMovie = directory / "late.mp4";
  Ffmpeg("-i " + movie.string() + " -itsoffset 0.5 -i " + movie.string() + " -map 0:v -map 1:a -c copy " +
         lateMovie.string());
  // The first 1.3 s cut off by an edit list: the pictures before it are decoded (from the key frame) but not shown.
  auto const trimmed = directory / "trimmed.mp4";
  Ffmpeg("-ss 1.3 -i " + movie.string() + " -c copy " + trimmed.string());

  struct Case {
    std::filesystem::path file;
    bool editList;
    double soundStart;  // when the sound starts on the presentation clock
    double cut;         // when the white pictures start
    double silence;     // when the silence starts
  } const cases[] = {
      {transport, false, 0, 2.0, 2.0},
      {lateTransport, false, 0.5, 2.0, 2.5},
      {lateMovie, true, 0.5, 2.0, 2.5},
      {trimmed, true, 0, 0.7, 0.7},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.file.filename().string());
    if (c.editList) {
      ASSERT_NE(Bytes(c.file).find("elst"), std::string::npos) << "no edit list";
    }
    std::optional<Scenes> const scenes = DecodeScenes(ResultOf(Job(c.file, "scenes")).blob);
    ASSERT_TRUE(scenes);
    ASSERT_EQ(scenes->cuts.size(), 1u);
    EXPECT_NEAR(scenes->cuts[0].seconds, c.cut, 0.05);
    std::optional<Silence> const silence = DecodeSilence(ResultOf(Job(c.file, "silence", std::string("min=0.5"))).blob);
    ASSERT_TRUE(silence);
    ASSERT_EQ(silence->ranges.size(), 1u);
    EXPECT_NEAR(silence->ranges[0].start, c.silence, 0.05);
    EXPECT_NEAR(silence->ranges[0].end, c.silence + 1, 0.05);
    // The cut and the silence were made at the same moment and are found at the same moment, unless the sound moved.
    EXPECT_NEAR(silence->ranges[0].start - scenes->cuts[0].seconds, c.silence - c.cut, 0.05);
    std::optional<PeakEnvelope> const peaks = DecodePeakEnvelope(ResultOf(Job(c.file, "peaks")).blob);
    ASSERT_TRUE(peaks);
    EXPECT_NEAR(peaks->startSeconds, c.soundStart, 0.03);
    // The envelope's silent stretch sits where the silence analyzer found it.
    double const middle = (c.silence + 0.5 - peaks->startSeconds) * peaks->sampleRate / peaks->samplesPerPeak;
    EXPECT_LT(peaks->Peak(static_cast<std::size_t>(middle), 0), 0.001f);
  }
}

TEST_F(MediaClockTest, DamagedPacketsGiveTheSameResultOnOneThreadAsOnMany) {
  // 100 pictures, a cut at 2 s; every packet's first bytes are the length of its first unit, which damage breaks.
  auto const clean = directory / "clean.mp4";
  Ffmpeg(
      "-f lavfi -i color=black:s=160x96:r=25:d=2 -f lavfi -i color=white:s=160x96:r=25:d=2 -filter_complex "
      "[0][1]concat=n=2:v=1:a=0 -c:v libx264 -g 25 " +
      clean.string());
  std::vector<std::uint64_t> positions;
  std::istringstream listed(testsupport::RunCommand(
      "ffprobe -v error -select_streams v -show_entries packet=pos -of csv=p=0 " + clean.string()));
  for (std::string line; std::getline(listed, line);) positions.push_back(std::stoull(line));
  ASSERT_EQ(positions.size(), 100u);
  auto const damage = [&](std::string const& name, std::vector<std::size_t> const& packets) {
    std::string bytes = Bytes(clean);
    for (std::size_t const packet : packets) bytes.replace(positions[packet], 4, "\xff\xff\xff\xff");
    std::ofstream(directory / name, std::ios::binary) << bytes;
    return directory / name;
  };
  // A few damaged packets, the last among them: a decoder on several threads reports that one as it drains.
  std::vector<std::size_t> const few = {30, 61, 99};
  auto const lightly = damage("lightly.mp4", few);
  std::vector<std::size_t> many;
  for (std::size_t packet = 10; packet < 100; packet += 2) many.push_back(packet);
  auto const badly = damage("badly.mp4", many);

  std::optional<Scenes> first;
  for (int const threads : {1, 4}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    SetVideoDecoderThreadsForTesting(threads);
    ExampleResult const result = ResultOf(Job(lightly, "scenes", FreshResult{std::any()}));
    EXPECT_FALSE(result.fromCache);
    std::optional<Scenes> const scenes = DecodeScenes(result.blob);
    ASSERT_TRUE(scenes);
    // The damaged packets' pictures are missing; the rest decode and the cut is found.
    EXPECT_EQ(scenes->frameCount, 100 - few.size());
    ASSERT_EQ(scenes->cuts.size(), 1u);
    EXPECT_NEAR(scenes->cuts[0].seconds, 2.0, 0.01);
    if (!first) {
      first = scenes;
    } else {
      EXPECT_EQ(scenes->cuts[0].frame, first->cuts[0].frame);
    }

    // Nearly half the packets damaged is no longer a file with a few bad packets.
    std::exception_ptr const failure = testsupport::AwaitFailure(Job(badly, "scenes", FreshResult{std::any()}));
    ASSERT_TRUE(failure);
    EXPECT_EQ(testsupport::ResultOf(failure), zelcore::config::kResultFileRead);
    std::string const message = testsupport::MessageOf(failure);
    EXPECT_NE(message.find(std::to_string(many.size()) + " of its 100 packets are damaged"), std::string::npos)
        << message;
  }
}

}  // namespace
}  // namespace Quillan::Examples
