#include "SampleMedia/SampleMedia.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <numbers>
#include <set>
#include <stdexcept>

#include "SampleMedia/SampleClip.h"
#include "Support/TempDirectory.h"

namespace Quillan::Samples {
namespace {

struct ReadBack {
  SF_INFO info{};
  std::vector<float> samples;  // interleaved
};

ReadBack Read(std::filesystem::path const& path) {
  ReadBack result;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &result.info);
  if (file == nullptr) {
    ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
    return result;
  }
  result.samples.resize(static_cast<std::size_t>(result.info.frames * result.info.channels));
  EXPECT_EQ(sf_readf_float(file, result.samples.data(), result.info.frames), result.info.frames);
  sf_close(file);
  return result;
}

std::string Contents(std::filesystem::path const& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(SampleMediaTest, WritesEachSignalInTheFormatOfItsExtension) {
  struct Case {
    char const* name;
    Waveform waveform;
    int majorFormat;
  };
  Case const cases[] = {
      {"tone.wav", {Signal::kTone, 1, 48000, 0.5, 1000, 0.5, 1}, SF_FORMAT_WAV},
      {"tones.flac", {Signal::kTone, 2, 44100, 0.25, 441, 0.25, 1}, SF_FORMAT_FLAC},
      {"noise.AIFF", {Signal::kNoise, 2, 8000, 1, 440, 0.3, 5}, SF_FORMAT_AIFF},
      {"silence.wav", {Signal::kSilence, 3, 22050, 0.1, 440, 0, 1}, SF_FORMAT_WAV},
      {"empty.wav", {Signal::kTone, 1, 48000, 0, 440, 1, 1}, SF_FORMAT_WAV},
  };
  testsupport::TempDirectory directory;
  double const quantum = 1.0 / 32767;
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    WriteSample(directory / c.name, c.waveform);
    ReadBack const back = Read(directory / c.name);
    EXPECT_EQ(back.info.format & SF_FORMAT_TYPEMASK, c.majorFormat);
    EXPECT_EQ(back.info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
    EXPECT_EQ(back.info.channels, c.waveform.channels);
    EXPECT_EQ(back.info.samplerate, c.waveform.sampleRate);
    EXPECT_EQ(back.info.frames, std::llround(c.waveform.seconds * c.waveform.sampleRate));
    for (int channel = 0; channel < c.waveform.channels; ++channel) {
      float peak = 0;
      int upwardCrossings = 0;
      float previous = 0;
      for (sf_count_t frame = 0; frame < back.info.frames; ++frame) {
        float const sample = back.samples[static_cast<std::size_t>(frame * c.waveform.channels + channel)];
        peak = std::max(peak, std::fabs(sample));
        if (frame > 0 && previous < 0 && sample >= 0) ++upwardCrossings;
        previous = sample;
      }
      if (back.info.frames == 0 || c.waveform.signal == Signal::kSilence) {
        EXPECT_EQ(peak, 0.0f) << channel;
      } else if (c.waveform.signal == Signal::kTone) {
        // The largest sample misses the crest by up to half a sample period.
        double const frequency = c.waveform.frequency * (channel + 1);
        EXPECT_LE(peak, c.waveform.amplitude + quantum) << channel;
        EXPECT_GE(peak, c.waveform.amplitude * std::cos(std::numbers::pi * frequency / c.waveform.sampleRate) - quantum)
            << channel;
        // Channel c plays (c + 1) times the frequency: one upward crossing per cycle, give or take the ends.
        EXPECT_NEAR(upwardCrossings, frequency * c.waveform.seconds, 1) << channel;
      } else {
        EXPECT_LE(peak, c.waveform.amplitude + quantum) << channel;
        EXPECT_GT(peak, 0.95 * c.waveform.amplitude) << channel;
      }
    }
  }
}

TEST(SampleMediaTest, NoiseRepeatsForItsSeedOnly) {
  testsupport::TempDirectory directory;
  Waveform waveform{Signal::kNoise, 1, 8000, 0.5, 440, 0.5, 42};
  WriteSample(directory / "a.wav", waveform);
  WriteSample(directory / "b.wav", waveform);
  waveform.seed = 43;
  WriteSample(directory / "c.wav", waveform);
  EXPECT_EQ(Contents(directory / "a.wav"), Contents(directory / "b.wav"));
  EXPECT_NE(Contents(directory / "a.wav"), Contents(directory / "c.wav"));
}

TEST(SampleMediaTest, RefusesWhatItCannotWriteAndLeavesNoFile) {
  struct Case {
    char const* name;
    Waveform waveform;
  };
  Waveform const good;
  auto with = [&](auto change) {
    Waveform waveform = good;
    change(waveform);
    return waveform;
  };
  Case const cases[] = {
      {"x.mp3", good},
      {"noextension", good},
      {"x.wav", with([](Waveform& s) { s.channels = 0; })},
      {"x.wav", with([](Waveform& s) { s.channels = 9; })},
      {"x.wav", with([](Waveform& s) { s.sampleRate = 100; })},
      {"x.wav", with([](Waveform& s) { s.seconds = -1; })},
      {"x.wav", with([](Waveform& s) { s.seconds = NAN; })},
      {"x.wav", with([](Waveform& s) { s.amplitude = 1.5; })},
      // 2 channels at 12 kHz and 24 kHz: the second reaches half the 48 kHz rate.
      {"x.wav", with([](Waveform& s) { s.channels = 2, s.frequency = 12000; })},
      {"x.wav", with([](Waveform& s) { s.frequency = 0; })},
  };
  testsupport::TempDirectory directory;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_THROW(WriteSample(directory / cases[i].name, cases[i].waveform), std::invalid_argument);
    EXPECT_FALSE(std::filesystem::exists(directory / cases[i].name));
  }
  EXPECT_THROW(WriteSample(directory / "missing" / "x.wav", good), std::runtime_error);
}

TEST(SampleMediaTest, DemoSetKeepsOneSidecarPerFile) {
  std::vector<NamedSample> const samples = DemoSamples(90);
  std::set<std::string> stems;
  std::set<int> channelCounts;
  std::set<Signal> signals;
  double longest = 0;
  for (NamedSample const& sample : samples) {
    EXPECT_TRUE(stems.insert(std::filesystem::path(sample.name).stem().string()).second) << sample.name;
    channelCounts.insert(sample.waveform.channels);
    signals.insert(sample.waveform.signal);
    longest = std::max(longest, sample.waveform.seconds);
  }
  EXPECT_EQ(channelCounts, (std::set<int>{1, 2}));
  EXPECT_EQ(signals.size(), 3u);
  EXPECT_EQ(longest, 90);
}

TEST(SampleMediaTest, ParsesItsCommandLine) {
  SampleRequest const one = ParseSampleArguments(
      {"--signal", "noise", "--channels", "2", "--rate", "8000", "--seconds", "1.5", "--seed", "9", "out.wav"});
  EXPECT_EQ(one.file, "out.wav");
  EXPECT_EQ(one.waveform.signal, Signal::kNoise);
  EXPECT_EQ(one.waveform.channels, 2);
  EXPECT_EQ(one.waveform.sampleRate, 8000);
  EXPECT_EQ(one.waveform.seconds, 1.5);
  EXPECT_EQ(one.waveform.seed, 9u);
  SampleRequest const demo = ParseSampleArguments({"--demo", "media", "--long-seconds", "30"});
  EXPECT_EQ(demo.demoFolder, "media");
  EXPECT_EQ(demo.longSeconds, 30);
  SampleRequest const clip = ParseSampleArguments({"--size", "640x360", "--seconds", "4", "cuts.mp4"});
  EXPECT_EQ(clip.width, 640);
  EXPECT_EQ(clip.height, 360);
  EXPECT_TRUE(IsClipPath(clip.file));
  EXPECT_FALSE(IsClipPath("cuts.wav"));

  std::vector<std::vector<std::string>> const bad = {
      {},
      {"a.wav", "b.wav"},
      {"--channels", "two", "a.wav"},
      {"--channels", "2x", "a.wav"},
      {"--seconds"},
      {"--signal", "square", "a.wav"},
      {"--volume", "1", "a.wav"},
      {"--long-seconds", "5", "a.wav"},
      {"--demo", "media", "a.wav"},
      {"--demo", "media", "--channels", "2"},
      {"--size", "640", "a.mp4"},
      {"--size", "640xwide", "a.mp4"},
  };
  for (auto const& arguments : bad) {
    EXPECT_THROW(ParseSampleArguments(arguments), std::invalid_argument) << ::testing::PrintToString(arguments);
  }
}

TEST(SampleMediaTest, ClipsKnowTheirCutsAndSilencesAndAreTheSameEveryTime) {
  ClipPlan const plan = StandardClip(7, 64, 48);
  ASSERT_EQ(plan.shots.size(), 4u);  // 2 + 2 + 2 + 1 seconds
  EXPECT_EQ(plan.shots[1].motion, Motion::kPan);
  EXPECT_EQ(plan.shots[3].motion, Motion::kFadeOut);
  EXPECT_EQ(FrameCount(plan), 175u);
  EXPECT_EQ(KnownCuts(plan), (std::vector<std::uint64_t>{50, 100, 150}));
  ASSERT_EQ(plan.silences.size(), 1u);
  EXPECT_EQ(plan.silences[0].start, 2.5);
  EXPECT_EQ(plan.silences[0].end, 3.5);

  testsupport::TempDirectory directory;
  ClipPlan const small = StandardClip(1, 32, 16);
  for (char const* name : {"a.mkv", "a.mp4", "a.mov"}) {
    SCOPED_TRACE(name);
    WriteClip(directory / name, small);
    auto const first = Contents(directory / name);
    EXPECT_GT(first.size(), 1000u);
    WriteClip(directory / name, small);
    EXPECT_EQ(Contents(directory / name), first);
  }

  ClipPlan odd = small;
  odd.width = 33;
  ClipPlan noShots = small;
  noShots.shots.clear();
  ClipPlan badRate = small;
  badRate.sampleRate = 100;
  EXPECT_THROW(WriteClip(directory / "a.avi", small), std::invalid_argument);
  EXPECT_THROW(WriteClip(directory / "b.mkv", odd), std::invalid_argument);
  EXPECT_THROW(WriteClip(directory / "b.mkv", noShots), std::invalid_argument);
  EXPECT_THROW(WriteClip(directory / "b.mkv", badRate), std::invalid_argument);
  EXPECT_THROW(WriteClip(directory / "missing" / "b.mkv", small), std::runtime_error);
  EXPECT_FALSE(std::filesystem::exists(directory / "b.mkv"));
}

}  // namespace
}  // namespace Quillan::Samples
