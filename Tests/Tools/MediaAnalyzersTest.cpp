#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "AnalyzerMedia/FfmpegLog.h"
#include "AnalyzerMedia/MediaInput.h"
#include "Analyzers/ClipPreparation.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "BE/Preferences.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerCacheLocation.h"
#include "Host/AnalyzerRegistry.h"
#include "SampleMedia/SampleClip.h"
#include "SampleMedia/SampleMedia.h"
#include "Support/BlobTestUtils.h"
#include "Support/SineWave.h"
#include "Support/TempDirectory.h"
#include "Tools/AnalyzerJobs.h"
#include "Tools/FfmpegCommand.h"
#include "Tools/ForeignMedia.h"
#include "zelappsupport/ProgressCategory.h"
#include "zelappsupport/ProgressItem.h"

namespace Quillan::Examples {
namespace {

using namespace testsupport::jobs;
using testsupport::Ffmpeg;
using testsupport::Logged;

// How many audio frames ffmpeg decodes from the file's best audio stream.
std::uint64_t FfmpegAudioFrames(std::filesystem::path const& file, int channels) {
  auto const raw = file.string() + ".raw";
  Ffmpeg("-i " + file.string() + " -map 0:a:0 -f f32le -c:a pcm_f32le " + raw);
  std::uint64_t const bytes = std::filesystem::file_size(raw);
  std::filesystem::remove(raw);
  return bytes / (4u * static_cast<unsigned>(channels));
}

class MediaAnalyzersTest : public HostedAnalyzersTest {
 protected:
  // FFmpeg's complaints in the errors, as in the tool.
  void SetUp() override {
    HostedAnalyzersTest::SetUp();
    UseFfmpegLogForErrors();
  }

  std::exception_ptr Failure(std::filesystem::path const& file, std::string_view analyzer,
                             std::any const& parameter = {}) {
    return testsupport::AwaitFailure(RunJob(host, ClipOf(file), *FindExampleAnalyzer(analyzer), parameter));
  }
};

TEST_F(MediaAnalyzersTest, ReaderDecodesEveryContainerWithExactFrameCounts) {
  struct Case {
    char const* name;
    char const* codec;
    int channels;
    int rate;
    bool withVideo = false;  // MXF holds audio only beside a picture
  };
  // 1.3 s of a tone: lossy codecs pad it to their frame sizes, and the decoded count is what counts.
  Case const cases[] = {
      {"a.wav", "pcm_s24le", 2, 44100},
      {"a.flac", "flac", 2, 48000},
      {"a.ogg", "libvorbis", 2, 44100},
      {"a.opus", "libopus", 2, 48000},
      {"a.mp3", "libmp3lame", 1, 44100},
      {"a.m4a", "aac", 2, 48000},
      {"a.mkv", "aac", 1, 32000},
      {"a.mov", "pcm_s16le", 2, 48000},
      {"a.mxf", "pcm_s16le", 1, 48000, true},
      {"planar.wav", "pcm_f32le", 6, 22050},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    auto const file = directory / c.name;
    std::string const video = c.withVideo ? "-f lavfi -i testsrc=size=64x48:rate=25:duration=1.3 -c:v mpeg2video " : "";
    Ffmpeg(video + "-f lavfi -i sine=frequency=500:sample_rate=" + std::to_string(c.rate) + ":duration=1.3 -ac " +
           std::to_string(c.channels) + " -c:a " + c.codec + " " + file.string());
    std::optional<PeakEnvelope> const envelope = DecodePeakEnvelope(Run(file, "peaks", 1000).blob);
    ASSERT_TRUE(envelope);
    EXPECT_EQ(envelope->channelCount, static_cast<std::uint32_t>(c.channels));
    EXPECT_EQ(envelope->sampleRate, static_cast<std::uint32_t>(c.rate));
    EXPECT_EQ(envelope->frameCount, FfmpegAudioFrames(file, c.channels));
    EXPECT_EQ(envelope->PeakCount(), (envelope->frameCount + 999) / 1000);
    // ffmpeg's sine source plays at 1/8 of full scale; spread over a stereo pair, at sqrt(1/2) of that (5.1 puts it
    // in the centre).
    float loudest = 0;
    for (std::uint32_t ch = 0; ch < envelope->channelCount; ++ch) {
      loudest = std::max(loudest, envelope->Peak(envelope->PeakCount() / 2, ch));
    }
    EXPECT_NEAR(loudest, c.channels == 2 ? 0.125 * std::sqrt(0.5) : 0.125, 0.01);
  }
}

TEST_F(MediaAnalyzersTest, StreamChoiceAndFilesThatAreNotMediaFailTheirOwnJob) {
  // Stream 0 video, 1 a mono tone, 2 a stereo tone that the file marks as its default: the best audio stream.
  auto const streams = directory / "streams.mkv";
  Ffmpeg(
      "-f lavfi -i testsrc=size=64x48:rate=10:duration=1 -f lavfi -i sine=duration=1 -f lavfi -i "
      "sine=frequency=880:duration=1 -map 0 -map 1 -map 2 -ac:a:1 2 -disposition:a:0 0 -disposition:a:1 default "
      "-c:v ffv1 -c:a pcm_s16le " +
      streams.string());
  auto const channelsOf = [&](std::any const& parameter) {
    std::optional<PeakEnvelope> const envelope = DecodePeakEnvelope(Run(streams, "peaks", parameter).blob);
    return envelope ? envelope->channelCount : 0u;
  };
  EXPECT_EQ(channelsOf({}), 2u);
  EXPECT_EQ(channelsOf(std::string("256,stream=1")), 1u);
  EXPECT_EQ(channelsOf(std::string("stream=2")), 2u);

  auto const clip = directory / "clip.mp4";
  Samples::WriteClip(clip, Samples::StandardClip(2, 64, 48));
  auto const truncated = directory / "truncated.mp4";
  std::filesystem::copy_file(clip, truncated);
  std::filesystem::resize_file(truncated, std::filesystem::file_size(clip) / 2);
  auto const random = directory / "random.mov";
  testsupport::WriteFile(random, testsupport::RandomBytes(100000, 7));
  auto const unnamed = directory / "random";
  testsupport::WriteFile(unnamed, testsupport::RandomBytes(100000, 7));
  auto const audioOnly = directory / "tone.wav";
  testsupport::WriteSine(audioOnly, 0.5);

  struct Case {
    std::filesystem::path file;
    char const* analyzer;
    std::any parameter;
    zelcore::config::Result result;
    char const* message;  // a part of the error's text
  };
  Case const cases[] = {
      {streams, "peaks", std::string("stream=0"), kResultIllegalArgument, "Stream 0 of"},
      {streams, "loudness", std::string("stream=7"), kResultIllegalArgument, "not an audio stream"},
      {streams, "silence", std::string("stream=1.5"), kResultIllegalArgument, "stream"},
      {streams, "silence", std::string("threshold=3"), kResultIllegalArgument, "threshold"},
      {streams, "beats", std::string("tempo=3"), kResultIllegalArgument, "no setting \"tempo\""},
      {streams, "scenes", std::string("x"), kResultIllegalArgument, "scenes parameter"},
      {truncated, "scenes", {}, zelcore::config::kResultFileRead, "truncated.mp4"},
      {truncated, "loudness", {}, zelcore::config::kResultFileRead, "moov atom not found"},
      // Named as a movie, but the name is all that FFmpeg recognises: not media either.
      {random, "peaks", {}, kResultNotMediaFile, "named like media"},
      {unnamed, "digest", {}, kResultNotMediaFile, "not a media file"},
      {audioOnly, "scenes", std::string("stream=0"), kResultIllegalArgument, "is not a video stream"},
      {streams, "silence", std::string("stream=3"), kResultIllegalArgument, "is not an audio stream"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.file.filename().string() + " " + c.analyzer);
    auto const failure = Failure(c.file, c.analyzer, c.parameter);
    EXPECT_EQ(testsupport::ResultOf(failure), c.result) << testsupport::MessageOf(failure);
    EXPECT_NE(testsupport::MessageOf(failure).find(c.message), std::string::npos) << testsupport::MessageOf(failure);
  }
  // Nothing of a failed file was cached.
  EXPECT_FALSE(std::filesystem::exists(directory / "truncated.qvmi"));
  EXPECT_FALSE(std::filesystem::exists(directory / "random.qvmi"));
}

TEST_F(MediaAnalyzersTest, AnalyzersOfAKindOfStreamTheFileLacksAreNotApplicable) {
  auto const sound = directory / "tone.wav";
  testsupport::WriteSine(sound, 0.5);
  auto const pictures = directory / "pictures.mp4";
  Ffmpeg("-f lavfi -i testsrc=size=64x48:rate=25:duration=1 -an -c:v libx264 " + pictures.string());
  // An MP3 with cover art: a picture stream that is no video.
  auto const cover = directory / "cover.mp3";
  Ffmpeg(
      "-f lavfi -i sine=duration=1 -f lavfi -i color=c=red:size=32x32:duration=0.1 -map 0 -map 1 -frames:v 1 "
      "-c:a libmp3lame -c:v png -disposition:v attached_pic " +
      cover.string());
  auto const both = directory / "both.mp4";
  Ffmpeg("-f lavfi -i testsrc=size=64x48:rate=25:duration=1 -f lavfi -i sine=duration=1 -c:v libx264 -c:a aac " +
         both.string());

  struct Case {
    std::filesystem::path file;
    char const* analyzer;
    char const* message;  // empty: the analyzer applies
  };
  Case const cases[] = {
      {sound, "scenes", "has no video stream"},
      {cover, "scenes", "has no video stream"},
      {sound, "black", "has no video stream"},
      {cover, "freeze", "has no video stream"},
      {pictures, "peaks", "has no audio stream"},
      {pictures, "loudness", "has no audio stream"},
      {pictures, "silence", "has no audio stream"},
      {pictures, "beats", "has no audio stream"},
      {cover, "peaks", ""},
      {both, "scenes", ""},
      {both, "peaks", ""},
      {pictures, "scenes", ""},
      {both, "black", ""},
      {pictures, "freeze", ""},
      {pictures, "digest", ""},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.file.filename().string() + " " + c.analyzer);
    if (*c.message == 0) {
      EXPECT_TRUE(Run(c.file, c.analyzer).blob);
      continue;
    }
    auto const failure = Failure(c.file, c.analyzer);
    EXPECT_EQ(testsupport::ResultOf(failure), kResultNotApplicable) << testsupport::MessageOf(failure);
    EXPECT_NE(testsupport::MessageOf(failure).find(c.file.filename().string() + " " + c.message), std::string::npos)
        << testsupport::MessageOf(failure);
  }
  // Cover art named by its index is a wrong argument, not a file the analyzer does not apply to.
  auto const failure = Failure(cover, "scenes", std::string("stream=1"));
  EXPECT_EQ(testsupport::ResultOf(failure), kResultIllegalArgument) << testsupport::MessageOf(failure);
  EXPECT_NE(testsupport::MessageOf(failure).find("cover art"), std::string::npos) << testsupport::MessageOf(failure);

  // A stored "does not apply" names the file asked about: the managed cache answers a copy of the same bytes with the
  // entry of the first, under the copy's own name.
  ASSERT_TRUE(SetDefaultCacheLocation(AnalyzerCacheLocation::kManagedCache));
  auto const quiet = directory / "quiet.wav";
  testsupport::WriteSine(quiet, 0.25);
  auto const copy = directory / "copy of quiet.wav";
  std::filesystem::copy_file(quiet, copy);
  EXPECT_EQ(testsupport::MessageOf(Failure(quiet, "scenes")), quiet.string() + " has no video stream");
  auto const stored = Failure(copy, "scenes", StoredOnly{});
  EXPECT_EQ(testsupport::ResultOf(stored), kResultNotApplicable) << testsupport::MessageOf(stored);
  EXPECT_EQ(testsupport::MessageOf(stored), copy.string() + " has no video stream");
}

// The audio analyzers of one version of a file decode its sound once between them, and the one given another's decode
// computes what it would from a decode of its own. A file rewritten in place is decoded afresh.
TEST_F(MediaAnalyzersTest, AudioAnalyzersOfOneFileVersionShareOneDecode) {
  auto const file = directory / "shared.wav";
  testsupport::WriteSine(file, 0.5);
  std::vector<std::string_view> analyzers = {"peaks", "loudness", "silence", "beats"};
  auto const computeAll = [&] {
    std::map<std::string_view, std::string> results;
    AudioDecodeCounts const before = GetAudioDecodeCountsForTesting();
    for (std::string_view const analyzer : analyzers) {
      results[analyzer] = testsupport::BlobText(Run(file, analyzer, FreshResult{}).blob);
    }
    AudioDecodeCounts const after = GetAudioDecodeCountsForTesting();
    EXPECT_EQ(after.decodes - before.decodes, 1u);
    EXPECT_EQ(after.shared - before.shared, analyzers.size() - 1);
    return results;
  };
  auto const first = computeAll();
  // The same bytes written again: a new version, decoded by the analyzer that the first round gave a shared decode.
  auto const rewrite = [&](double amplitude) {
    auto const again = directory / "again.wav";
    testsupport::WriteSine(again, amplitude);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << std::ifstream(again, std::ios::binary).rdbuf();
  };
  rewrite(0.5);
  std::reverse(analyzers.begin(), analyzers.end());
  EXPECT_EQ(computeAll(), first);
  rewrite(0.25);
  auto const quieter = computeAll();
  EXPECT_NE(quieter.at("peaks"), first.at("peaks"));
  EXPECT_NE(quieter.at("loudness"), first.at("loudness"));
}

TEST_F(MediaAnalyzersTest, ScenesFindEveryKnownCutAndAgreeWithFfmpegScdet) {
  for (char const* name : {"cuts.mkv", "cuts.mp4"}) {
    SCOPED_TRACE(name);
    auto const file = directory / name;
    Samples::ClipPlan const plan = Samples::StandardClip(8, 320, 180);
    Samples::WriteClip(file, plan);
    std::optional<Scenes> const scenes = DecodeScenes(Run(file, "scenes").blob);
    ASSERT_TRUE(scenes);
    EXPECT_EQ(scenes->frameCount, Samples::FrameCount(plan));
    EXPECT_DOUBLE_EQ(scenes->frameRate, 25);
    std::vector<std::uint64_t> const known = Samples::KnownCuts(plan);
    // One cut per known cut, each within a frame: none on the pan or the fades between them.
    ASSERT_EQ(scenes->cuts.size(), known.size());
    std::string const log = Ffmpeg("-i " + file.string() + " -vf scdet=threshold=10 -an -f null -");
    std::vector<double> const scdet = Logged(log, "lavfi.scd.time:");
    ASSERT_EQ(scdet.size(), known.size()) << log;
    for (std::size_t i = 0; i < known.size(); ++i) {
      EXPECT_LE(std::llabs(static_cast<long long>(scenes->cuts[i].frame) - static_cast<long long>(known[i])), 1) << i;
      EXPECT_NEAR(scenes->cuts[i].seconds, static_cast<double>(known[i]) / 25, 1.0 / 25 + 1e-9) << i;
      EXPECT_NEAR(scenes->cuts[i].seconds, scdet[i], 1.0 / 25 + 1e-9) << i;
      EXPECT_GE(scenes->cuts[i].score, 10);
    }
  }
  // A higher threshold than any cut scores finds none.
  std::optional<Scenes> const strict = DecodeScenes(Run(directory / "cuts.mkv", "scenes", std::string("99")).blob);
  ASSERT_TRUE(strict);
  EXPECT_TRUE(strict->cuts.empty());
}

TEST_F(MediaAnalyzersTest, SilenceAgreesWithFfmpegSilencedetect) {
  auto const clip = directory / "cuts.mkv";
  Samples::ClipPlan const plan = Samples::StandardClip(14, 64, 48);
  Samples::WriteClip(clip, plan);
  auto const aac = directory / "cuts.mp4";
  Samples::WriteClip(aac, plan);
  struct Case {
    std::filesystem::path file;
    std::string parameter;
    std::string filter;
  };
  Case const cases[] = {
      {clip, "threshold=-60,min=0.5", "silencedetect=noise=-60dB:d=0.5"},
      {clip, "min=0.99,threshold=-40", "silencedetect=noise=-40dB:d=0.99"},
      {aac, "threshold=-50,min=0.5", "silencedetect=noise=-50dB:d=0.5"},
      // Longer than any silence: none.
      {clip, "min=1.2", "silencedetect=noise=-60dB:d=1.2"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.parameter + " " + c.file.filename().string());
    std::optional<Silence> const silence = DecodeSilence(Run(c.file, "silence", c.parameter).blob);
    ASSERT_TRUE(silence);
    std::string const log = Ffmpeg("-i " + c.file.string() + " -af " + c.filter + " -vn -f null -");
    std::vector<double> const starts = Logged(log, "silence_start:");
    std::vector<double> const ends = Logged(log, "silence_end:");
    ASSERT_EQ(silence->ranges.size(), starts.size()) << log;
    ASSERT_EQ(ends.size(), starts.size()) << log;
    for (std::size_t i = 0; i < starts.size(); ++i) {
      EXPECT_NEAR(silence->ranges[i].start, starts[i], 0.010) << i;
      EXPECT_NEAR(silence->ranges[i].end, ends[i], 0.010) << i;
    }
    if (c.file == clip && c.parameter.find("1.2") == std::string::npos) {
      // The PCM track holds the spans exactly: 5.5-6.5 and 11.5-12.5 s.
      ASSERT_EQ(silence->ranges.size(), plan.silences.size());
      for (std::size_t i = 0; i < plan.silences.size(); ++i) {
        EXPECT_NEAR(silence->ranges[i].start, plan.silences[i].start, 0.002);
        EXPECT_NEAR(silence->ranges[i].end, plan.silences[i].end, 0.002);
      }
    }
  }
}

TEST_F(MediaAnalyzersTest, LoudnessMatchesFfmpegEbur128AndSaysWhenAClipIsTooShort) {
  auto const noise = directory / "noise.flac";
  Samples::WriteSample(noise, Samples::Waveform{Samples::Signal::kNoise, 2, 48000, 6, 440, 0.3, 3});
  auto const clip = directory / "clip.mp4";
  Samples::WriteClip(clip, Samples::StandardClip(6, 64, 48));
  for (auto const& file : {noise, clip}) {
    SCOPED_TRACE(file.filename().string());
    std::optional<Loudness> const ours = DecodeLoudness(Run(file, "loudness").blob);
    ASSERT_TRUE(ours);
    EXPECT_FALSE(ours->TooShort());
    std::string const log = Ffmpeg("-i " + file.string() + " -af ebur128=peak=true+sample -vn -f null -");
    // The summary comes last: integrated, range, then the peaks.
    std::vector<double> const integrated = Logged(log, "I:");
    std::vector<double> const range = Logged(log, "LRA:");
    std::vector<double> const peaks = Logged(log, "Peak:");
    ASSERT_FALSE(integrated.empty());
    ASSERT_FALSE(range.empty());
    ASSERT_GE(peaks.size(), 2u);
    EXPECT_NEAR(ours->integratedLufs, integrated.back(), 0.1);
    EXPECT_NEAR(ours->rangeLu, range.back(), 0.2);
    EXPECT_NEAR(ours->samplePeakDbfs, peaks[peaks.size() - 2], 0.1);
    // True peaks are estimates by oversampling, and FFmpeg oversamples differently: noise is their hardest case.
    EXPECT_NEAR(ours->truePeakDbtp, peaks.back(), 1.0);
    EXPECT_GE(ours->truePeakDbtp, ours->samplePeakDbfs);
    EXPECT_GE(ours->momentaryMaxLufs, ours->integratedLufs);
    EXPECT_LE(ours->shortTermMaxLufs, ours->momentaryMaxLufs + 1e-9);
  }

  struct Short {
    double seconds;
    bool tooShort;
  };
  for (Short const s : {Short{0.3, true}, Short{0.39, true}, Short{0.4, false}, Short{2.0, false}}) {
    SCOPED_TRACE(s.seconds);
    auto const file = directory / ("short" + std::to_string(static_cast<int>(s.seconds * 100)) + ".wav");
    Samples::WriteSample(file, Samples::Waveform{Samples::Signal::kTone, 2, 48000, s.seconds, 1000, 0.1, 1});
    std::optional<Loudness> const loudness = DecodeLoudness(Run(file, "loudness").blob);
    ASSERT_TRUE(loudness);
    EXPECT_EQ(loudness->TooShort(), s.tooShort);
    EXPECT_EQ(std::isnan(loudness->integratedLufs), s.tooShort);
    EXPECT_EQ(std::isnan(loudness->momentaryMaxLufs), s.tooShort);
    EXPECT_TRUE(std::isnan(loudness->shortTermMaxLufs));  // under 3 s
    EXPECT_NEAR(loudness->samplePeakDbfs, -20, 0.1);
    // A -20 dBFS tone at 1 kHz and 2 kHz (the second channel): K-weighting lifts the upper one.
    if (!s.tooShort) {
      EXPECT_NEAR(loudness->integratedLufs, -18.7, 0.3);
    }
  }
}

TEST_F(MediaAnalyzersTest, BeatsFindTheTempoOfAClickTrack) {
  auto const clicks = directory / "clicks.wav";
  // A 1 kHz click of 30 ms every half second: 120 beats per minute.
  Ffmpeg("-f lavfi -i \"aevalsrc=if(lt(mod(t\\,0.5)\\,0.03)\\,0.8*sin(2*PI*1000*t)\\,0):s=44100:d=10\" " +
         clicks.string());
  std::optional<Beats> const beats = DecodeBeats(Run(clicks, "beats").blob);
  ASSERT_TRUE(beats);
  EXPECT_EQ(beats->frameCount, 441000u);
  EXPECT_NEAR(beats->tempoBpm, 120, 0.24);
  EXPECT_GE(beats->confidence, 0.8);
  EXPECT_EQ(beats->onsets.size(), 20u);
  // Every beat on a click, from the first.
  EXPECT_GE(beats->beats.size(), 19u);
  for (std::vector<double> const* times : {&beats->onsets, &beats->beats}) {
    for (double const time : *times) {
      double const off = std::fmod(time + 0.25, 0.5) - 0.25;  // distance to the nearest click
      EXPECT_LT(std::fabs(off), 0.003) << time;
    }
  }

  // Silence and a steady tone have no rhythm.
  for (Samples::Signal const signal : {Samples::Signal::kSilence, Samples::Signal::kTone}) {
    auto const steady = directory / (signal == Samples::Signal::kTone ? "tone.wav" : "silence.wav");
    Samples::WriteSample(steady, Samples::Waveform{signal, 1, 48000, 6, 440, 0.5, 1});
    std::optional<Beats> const none = DecodeBeats(Run(steady, "beats").blob);
    ASSERT_TRUE(none);
    EXPECT_LE(none->onsets.size(), 1u) << steady;
    EXPECT_TRUE(none->beats.empty()) << steady;
    EXPECT_EQ(none->tempoBpm, 0) << steady;
    EXPECT_EQ(none->confidence, 0) << steady;
  }
}

TEST_F(MediaAnalyzersTest, PicturesAreReadUpTo8192OnASideAnd8192By4608InAll) {
  struct Case {
    int width;
    int height;
    bool read;
  };
  Case const cases[] = {{8192, 16, true},  {16, 8192, true},    {8193, 16, false},
                        {16, 8193, false}, {8192, 4609, false}, {16000, 16000, false}};
  for (Case const& c : cases) {
    std::string const size = std::to_string(c.width) + "x" + std::to_string(c.height);
    SCOPED_TRACE(size);
    auto const file = directory / (size + ".mkv");
    testsupport::media::WriteMatroskaDeclaring(file, c.width, c.height, 1);
    if (c.read) {
      std::optional<Scenes> const scenes = DecodeScenes(Run(file, "scenes").blob);
      ASSERT_TRUE(scenes);
      EXPECT_EQ(scenes->frameCount, 25u);
    } else {
      auto const failure = Failure(file, "scenes");
      EXPECT_EQ(testsupport::ResultOf(failure), zelcore::config::kResultFileRead);
      EXPECT_NE(testsupport::MessageOf(failure).find("its pictures are " + size + ", larger than"), std::string::npos)
          << testsupport::MessageOf(failure);
    }
    // The sound beside the pictures is read whatever they declare.
    std::optional<PeakEnvelope> const envelope = DecodePeakEnvelope(Run(file, "peaks").blob);
    ASSERT_TRUE(envelope);
    EXPECT_EQ(envelope->frameCount, 44100u);
  }
}

// A file rewritten in place, same size, while an analyzer reads it: the job fails instead of keeping a result made
// of both versions. The rewrite happens in a listener of the job's progress, which runs on the analysing thread at
// its first report after the start, so the read is certainly under way and not yet over.
// The stream probe reads a few kilobytes of a file whose header describes the streams a read needs (its first buffer
// of 64 KiB); a container that finds its streams while reading is probed in full.
TEST_F(MediaAnalyzersTest, ProbeReadsLittleWhereTheHeaderDescribesTheStreams) {
  auto const sound = directory / "tone.wav";
  testsupport::WriteSine(sound, 0.5, 4);
  auto const transport = directory / "tone.ts";
  Ffmpeg("-f lavfi -i sine=duration=4 -c:a mp2 " + transport.string());
  auto const movie = directory / "both.mkv";
  Ffmpeg("-f lavfi -i testsrc=size=64x48:rate=25:duration=4 -f lavfi -i sine=duration=4 -c:v ffv1 -c:a pcm_s16le " +
         movie.string());
  struct Case {
    std::filesystem::path file;
    MediaInput::Probe probe;
    bool little;
  } const cases[] = {
      {sound, MediaInput::Probe::kAudio, true},
      {sound, MediaInput::Probe::kVideo, true},
      {movie, MediaInput::Probe::kAudio, true},
      {transport, MediaInput::Probe::kAudio, false},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.file.filename().string() + (c.probe == MediaInput::Probe::kAudio ? " audio" : " video"));
    MediaInput input(c.file);
    input.ProbeStreams(c.probe);
    std::uint64_t const read = input.BytesReadForTesting();
    if (c.little) {
      EXPECT_LT(read, 128u << 10);
    } else {
      EXPECT_GT(read, input.Size() / 2);
    }
  }
}

TEST_F(MediaAnalyzersTest, AFileThatChangesWhileItIsReadFailsItsJob) {
  auto const file = directory / "long.wav";
  testsupport::WriteSine(file, 0.5, 12);
  // Older than the clock's granularity: the rewrite's time cannot coincide with it.
  std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) - std::chrono::hours(1));
  for (std::string_view const name : {"digest", "peaks", "silence"}) {
    SCOPED_TRACE(name);
    auto const analyzer = Analyzers::CreateUnmanagedAnalyzer(ClipOf(file), *FindExampleAnalyzer(name), {});
    ASSERT_TRUE(analyzer);
    auto const item = InterfaceRef<IAnalyzerProgress>::Query(analyzer)->GetProgressItem();
    bool rewritten = false;
    auto const category = item->GetCategory();
    auto const listener =
        category->AddListener([&](zelappsupport::utility::ProgressEvent event,
                                  std::shared_ptr<zelappsupport::utility::ProgressItem> const& changed) {
          if (event != zelappsupport::utility::ProgressEvent::kItemChanged || changed != item || rewritten) return;
          if (!(changed->GetProgress() > 0 && changed->GetProgress() < 0.5)) return;
          std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
          out.seekp(static_cast<std::streamoff>(std::filesystem::file_size(file) - 4096));
          out.write(std::string(4096, '\x11').data(), 4096);
          rewritten = true;
        });
    auto const job = analyzer->StartAnalysis(zelcore::async::GetDefaultExecutor(), AnalysisOptions{0, 0});
    auto const failure = testsupport::AwaitFailure(job);
    category->RemoveListener(listener);
    EXPECT_TRUE(rewritten);
    EXPECT_EQ(testsupport::ResultOf(failure), zelcore::config::kResultFileRead);
    std::string const message = testsupport::MessageOf(failure);
    EXPECT_NE(message.find("changed while being analysed"), std::string::npos) << message;
    EXPECT_NE(message.find("long.wav"), std::string::npos) << message;
    EXPECT_FALSE(std::filesystem::exists(directory / "long.qvmi"));
    std::filesystem::last_write_time(file, std::filesystem::last_write_time(file) - std::chrono::hours(1));
  }
  // Left alone, the same file analyses fine.
  EXPECT_TRUE(DecodePeakEnvelope(Run(file, "peaks").blob));
}

}  // namespace
}  // namespace Quillan::Examples
