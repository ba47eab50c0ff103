#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "Tools/AnalyzerJobs.h"
#include "zelcore/RecycledMemory.h"

namespace Quillan::Examples {
namespace {

using namespace testsupport::jobs;

// Writes `seconds` of ffmpeg's aevalsrc `expression` (of t, in seconds) at `rate` to `file`.
void WriteSound(std::filesystem::path const& file, std::string const& expression, int rate, double seconds) {
  std::string const command = "ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i \"aevalsrc='" + expression +
                              "':s=" + std::to_string(rate) + ":d=" + std::to_string(seconds) + "\" " + file.string() +
                              " 2>&1";
  int const status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
}

// A drum loop: a kick (a low sine falling in pitch, decaying) on every beat from t = 0 and a hi-hat (a burst of noise)
// half way between, `level` its loudness against the kick.
std::string DrumLoop(double bpm, double hatLevel = 0.25) {
  std::string const beat = std::to_string(60 / bpm);
  std::string const sinceKick = "mod(t," + beat + ")";
  std::string const sinceHat = "mod(t+" + beat + "/2," + beat + ")";
  return "0.8*sin(2*PI*(50+100*exp(-" + sinceKick + "*30))*" + sinceKick + ")*exp(-" + sinceKick + "*12)+" +
         std::to_string(hatLevel) + "*(random(0)*2-1)*exp(-" + sinceHat + "*60)";
}

// A metronome: 20 ms of a 1 kHz tone on every beat, silence between.
std::string Clicks(double bpm) { return "if(lt(mod(t," + std::to_string(60 / bpm) + "),0.02),0.8*sin(2*PI*1000*t),0)"; }

class BeatsLabelledTest : public HostedAnalyzersTest {
 protected:
  std::optional<Beats> Analyze(std::filesystem::path const& file) {
    return DecodeBeats(ResultOf(RunJob(host, ClipOf(file), *FindExampleAnalyzer(kBeatsAnalyzerName))).blob);
  }
};

// Distance from `seconds` to the nearest multiple of `period` (shifted by `offset`).
double OffGrid(double seconds, double period, double offset = 0) {
  double const phase = std::fmod(seconds - offset + period / 2, period);
  return std::fabs((phase < 0 ? phase + period : phase) - period / 2);
}

TEST_F(BeatsLabelledTest, LoopsAndClicksGiveTheirTempoAndBeatsAtEveryRate) {
  struct Case {
    char const* name;
    std::string expression;
    int rate;
    double seconds;
    double bpm;     // the truth: beats at 0, 60/bpm, ...
    bool halfBeat;  // a hi-hat onset between the beats too
  };
  Case const cases[] = {
      {"loop90", DrumLoop(90), 44100, 6, 90, true},
      {"loop120", DrumLoop(120), 44100, 4, 120, true},
      {"loop140", DrumLoop(140), 48000, 4, 140, true},
      // Hi-hats as loud as the kick: the beat is still the kick, the tempo not doubled.
      {"loop126-loudhats", DrumLoop(126, 0.8), 44100, 4, 126, true},
      {"loop120-8k", DrumLoop(120), 8000, 4, 120, true},
      {"loop133-96k", DrumLoop(133), 96000, 4, 133, true},
      {"loop97-192k", DrumLoop(97), 192000, 5, 97, true},
      // Each click is over long before the detector reports it: it must not be lost in the silence after it.
      {"click100", Clicks(100), 44100, 6, 100, false},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    auto const file = directory / (std::string(c.name) + ".wav");
    WriteSound(file, c.expression, c.rate, c.seconds);
    std::optional<Beats> const beats = Analyze(file);
    ASSERT_TRUE(beats);
    double const period = 60 / c.bpm;
    EXPECT_EQ(beats->sampleRate, static_cast<std::uint32_t>(c.rate));
    EXPECT_NEAR(beats->tempoBpm, c.bpm, c.bpm * 0.002);
    EXPECT_GE(beats->confidence, 0.8);
    EXPECT_LE(beats->confidence, 1.0);
    // Every beat on a kick, none missed but perhaps the last (cut short by the file's end).
    auto const kicks = static_cast<std::size_t>(std::ceil(c.seconds / period));
    EXPECT_GE(beats->beats.size() + 1, kicks);
    EXPECT_LE(beats->beats.size(), kicks);
    for (double const beat : beats->beats) EXPECT_LT(OffGrid(beat, period), 0.003) << beat;
    // Every onset where a kick or a hat starts, and each found once.
    double const step = c.halfBeat ? period / 2 : period;
    auto const events = static_cast<std::size_t>(std::ceil(c.seconds / step));
    EXPECT_GE(beats->onsets.size() + 1, events);
    EXPECT_LE(beats->onsets.size(), events);
    for (double const onset : beats->onsets) EXPECT_LT(OffGrid(onset, step), 0.003) << onset;
  }
}

TEST_F(BeatsLabelledTest, SteadySoundsHaveNoBeats) {
  struct Case {
    char const* name;
    std::string expression;
    int rate;
  };
  Case const cases[] = {
      {"tone", "0.5*sin(2*PI*330*t)", 44100},
      {"tone-8k", "0.5*sin(2*PI*330*t)", 8000},
      {"tremolo", "0.5*sin(2*PI*330*t)*(0.6+0.4*sin(2*PI*2*t))", 48000},
      {"noise", "0.3*(random(0)*2-1)", 44100},
      {"noise-192k", "0.3*(random(0)*2-1)", 192000},
      {"silence", "0", 44100},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    auto const file = directory / (std::string(c.name) + ".wav");
    WriteSound(file, c.expression, c.rate, 3);
    std::optional<Beats> const beats = Analyze(file);
    ASSERT_TRUE(beats);
    EXPECT_EQ(beats->frameCount, 3u * static_cast<unsigned>(c.rate));
    // The start of the sound is its one onset; its end is none.
    EXPECT_LE(beats->onsets.size(), 1u);
    EXPECT_TRUE(beats->beats.empty());
    EXPECT_EQ(beats->tempoBpm, 0);
    EXPECT_EQ(beats->confidence, 0);
  }
}

TEST(BeatsLayoutTest, DecoderChecksSizesAndConfidence) {
  // tempo, confidence, frames, rate, onsetCount, beatCount, 0, then `timeBytes` of times.
  auto const blob = [](double confidence, std::uint32_t onsets, std::uint32_t beats, std::size_t timeBytes) {
    auto out = zelcore::allocator::RecycledMemory::Create(40 + timeBytes);
    std::memset(out->data(), 0, out->size());
    double const tempo = 120;
    std::uint64_t const frames = 44100;
    std::uint32_t const rate = 44100;
    std::memcpy(out->data(), &tempo, 8);
    std::memcpy(out->data() + 8, &confidence, 8);
    std::memcpy(out->data() + 16, &frames, 8);
    std::memcpy(out->data() + 24, &rate, 4);
    std::memcpy(out->data() + 28, &onsets, 4);
    std::memcpy(out->data() + 32, &beats, 4);
    return out;
  };
  std::optional<Beats> const good = DecodeBeats(blob(0.5, 2, 1, 24));
  ASSERT_TRUE(good);
  EXPECT_EQ(good->tempoBpm, 120);
  EXPECT_EQ(good->confidence, 0.5);
  EXPECT_EQ(good->frameCount, 44100u);
  EXPECT_EQ(good->sampleRate, 44100u);
  EXPECT_EQ(good->onsets.size(), 2u);
  EXPECT_EQ(good->beats.size(), 1u);
  EXPECT_FALSE(DecodeBeats(blob(1.5, 2, 1, 24)));  // confidence out of 0..1
  EXPECT_FALSE(DecodeBeats(blob(NAN, 2, 1, 24)));  // likewise
  EXPECT_FALSE(DecodeBeats(blob(0.5, 2, 1, 32)));  // bytes beyond the counts
  EXPECT_FALSE(DecodeBeats(blob(0.5, 2, 1, 16)));  // counts beyond the bytes
  EXPECT_FALSE(DecodeBeats(blob(0.5, 0xffffffff, 0xffffffff, 24)));
  // The earlier layout (a 32-byte header without confidence) is not today's.
  EXPECT_FALSE(DecodeBeats(zelcore::allocator::RecycledMemory::Create(32)));
}

}  // namespace
}  // namespace Quillan::Examples
