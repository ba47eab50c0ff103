#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <numbers>
#include <regex>
#include <string>
#include <vector>

#include "Analyzers/AnalyzerBase.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "Analyzers/ResultDescription.h"
#include "BE/ProjectFactory.h"
#include "Host/AnalyzerRegistry.h"
#include "Tools/AnalyzerJobs.h"
#include "Tools/FfmpegCommand.h"

// The loudness analyzer against truths from how its media were made: true peaks of sines whose samples miss their
// crests, of noise against a 192 kHz resample, short-term loudness against FFmpeg's meter, and normalizing gains
// against arithmetic on tones of known level.
namespace Quillan::Examples {
namespace {

using namespace testsupport::jobs;
using nlohmann::json;
using testsupport::Ffmpeg;

// Writes `seconds` of aevalsrc's `expression` (channels separated by '|') as 32-bit float WAV.
std::filesystem::path Generated(std::filesystem::path const& path, std::string const& expression, int rate,
                                double seconds, std::string const& codec = "pcm_f32le") {
  Ffmpeg("-f lavfi -i \"aevalsrc=" + expression + ":s=" + std::to_string(rate) + ":d=" + std::to_string(seconds) +
         "\" -c:a " + codec + " " + path.string());
  return path;
}

// The largest sample of every channel (dBFS) after `filters`, as astats measures it.
double AstatsPeak(std::filesystem::path const& file, std::string const& filters) {
  std::string const log = Ffmpeg("-i " + file.string() + " -af " + filters +
                                 "astats=measure_perchannel=none:measure_overall=Peak_level" + " -f null -");
  std::smatch match;
  if (!std::regex_search(log, match, std::regex(R"(Peak level dB: (-?[0-9.]+))"))) {
    ADD_FAILURE() << log;
    return 0;
  }
  return std::stod(match[1]);
}

double Db(double amplitude) { return 20.0 * std::log10(amplitude); }

class LoudnessLabelledTest : public HostedAnalyzersTest {
 protected:
  zelcore::Blob Measure(std::filesystem::path const& file) { return Run(file, "loudness").blob; }

  // The describer's JSON, through the interface tools use.
  static json Described(zelcore::Blob const& blob) {
    auto const clip =
        BE::ProjectFactory::CreateClip(BE::ProjectFactory::CreateMedia(u"/nonexistent/x.wav"), BE::kMediaType_Audio);
    auto const analyzer = AnalyzerRegistry::GetDefaultRegistry()->GetAnalyzerFactory(*FindExampleAnalyzer("loudness"))(
        clip, std::any(), zelcore::InterfaceWeakRef<IAnalyzerHost>());
    auto const key = zelcore::InterfaceRef<Analyzers::AnalyzerBase>::Query(analyzer)->GetCacheKeys().front();
    return json::parse(DescribeAnalyzerResult(analyzer, "loudness", key, blob).json)["fields"];
  }
};

TEST_F(LoudnessLabelledTest, TruePeakIsThePeakBetweenSamplesUpToNearHalfTheRate) {
  // Sines of amplitude 0.5 (-6.02 dBFS) whose phase keeps every sample off the crests, faded in and out over 0.1 s
  // so that no edge rings above them. Their true peak is the amplitude; the sample peak is the amplitude times the
  // cosine of the half-gap between the sample phases around a crest.
  struct Sine {
    int rate;
    double frequency;
    double phaseDegrees;
    double samplePeakDb;
  };
  Sine const sines[] = {
      {48000, 12000, 45, Db(0.5 * std::sqrt(0.5))},  // a quarter of the rate: every sample at 45 degrees
      {48000, 20000, 15, Db(0.5 * std::cos(std::numbers::pi / 12))},     // phases 30 degrees apart: -0.30 dB
      {48000, 21000, 11.25, Db(0.5 * std::cos(std::numbers::pi / 16))},  // 7/16 of the rate: 22.5 degrees apart
      {44100, 11025, 45, Db(0.5 * std::sqrt(0.5))},                      // oversampled 5 times, to 220.5 kHz
  };
  for (Sine const& s : sines) {
    SCOPED_TRACE(testing::Message() << s.frequency << " Hz at " << s.rate);
    std::string const sine = "0.5*sin(2*PI*" + std::to_string(s.frequency) + "*t+" + std::to_string(s.phaseDegrees) +
                             "*PI/180)*min(1\\,min(t\\,1.5-t)/0.1)";
    auto const file = Generated(directory / ("sine" + std::to_string(static_cast<int>(s.frequency)) + ".wav"),
                                sine + "|" + sine, s.rate, 1.5);
    std::optional<Loudness> const loudness = DecodeLoudness(Measure(file));
    ASSERT_TRUE(loudness);
    EXPECT_NEAR(loudness->samplePeakDbfs, s.samplePeakDb, 0.01);
    EXPECT_NEAR(loudness->truePeakDbtp, Db(0.5), 0.05);
  }

  // Full-band white noise has overshoots between its samples of several dB; the truth is the largest sample of the
  // noise resampled to 192 kHz. A meter may read a little higher (its filter keeps more of the top of the band), never
  // lower.
  auto const noise = directory / "noise.wav";
  Ffmpeg("-f lavfi -i anoisesrc=amplitude=0.5:color=white:sample_rate=48000:duration=3:seed=11 -ac 2 -c:a pcm_f32le " +
         noise.string());
  double const resampledPeak = AstatsPeak(noise, "aresample=192000,");
  std::optional<Loudness> const loudness = DecodeLoudness(Measure(noise));
  ASSERT_TRUE(loudness);
  EXPECT_NEAR(loudness->samplePeakDbfs, AstatsPeak(noise, ""), 0.01);
  EXPECT_GT(resampledPeak, loudness->samplePeakDbfs + 1.0);  // the case is a hard one
  EXPECT_NEAR(loudness->truePeakDbtp, resampledPeak, 0.3);
  EXPECT_GE(loudness->truePeakDbtp, resampledPeak - 0.05);
}

TEST_F(LoudnessLabelledTest, ShortTermEvery100MsMatchesFfmpegEbur128AndSilenceReadsMinusInfinity) {
  // A 700 Hz tone swelling over four seconds on the left, a 3 kHz tone switched on and off each second on the right,
  // both stopping at 6 s; then 3.5 s of digital silence. 16-bit at 44.1 kHz.
  std::string const left = "lt(t\\,6)*(0.05+0.3*(1+sin(2*PI*0.25*t)))*sin(2*PI*700*t)";
  std::string const right = "lt(t\\,6)*0.2*sin(2*PI*3000*t)*lt(mod(t\\,2)\\,1)";
  auto const file = Generated(directory / "swell.wav", left + "|" + right, 44100, 9.55, "pcm_s16le");
  zelcore::Blob const blob = Measure(file);
  std::optional<Loudness> const loudness = DecodeLoudness(blob);
  ASSERT_TRUE(loudness);
  // 95 blocks of 100 ms; the first whole 3-second window ends with the 30th.
  ASSERT_EQ(loudness->shortTermLufs.size(), 66u);

  // FFmpeg logs every 100 ms; its short-term value is the 3 s ending there, or -120.7 before the first whole window.
  std::string const log = Ffmpeg("-v verbose -i " + file.string() + " -af ebur128=framelog=verbose -f null -");
  std::vector<double> logged;
  std::regex const line(R"(t: *[0-9.]+ +TARGET:.*? S: *(-?[0-9.]+))");
  for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it)
    logged.push_back(std::stod((*it)[1]));
  ASSERT_EQ(logged.size(), 95u);
  for (std::size_t i = 0; i < loudness->shortTermLufs.size(); ++i) {
    double const end = 3.0 + 0.1 * static_cast<double>(i);
    SCOPED_TRACE(testing::Message() << "window ending at " << end << " s");
    if (end < 6.0 + 3.0 + 0.15) {
      // Up to the window that holds only the filter's fading tail.
      if (logged[i + 29] > -70) {
        EXPECT_NEAR(loudness->shortTermLufs[i], logged[i + 29], 0.1);
      }
    } else {
      // All 3 s silent (from 0.2 s after the tones stop, the weighting filter's tail being gone): no loudness at all.
      EXPECT_EQ(loudness->shortTermLufs[i], -std::numeric_limits<float>::infinity());
    }
  }
  EXPECT_NEAR(loudness->shortTermMaxLufs, *std::max_element(logged.begin(), logged.end()), 0.1);

  // The describer gives the whole series, silence as null, with the times of the windows.
  json const fields = Described(blob);
  ASSERT_EQ(fields["shortTerm"].size(), 66u);
  EXPECT_DOUBLE_EQ(fields["shortTermFirstEnd"].get<double>(), 3.0);
  EXPECT_DOUBLE_EQ(fields["shortTermStep"].get<double>(), 0.1);
  EXPECT_NEAR(fields["shortTerm"][10].get<double>(), logged[39], 0.1);
  EXPECT_TRUE(fields["shortTerm"][65].is_null());
}

TEST_F(LoudnessLabelledTest, GainToEachTargetIsHeldUnderTheTruePeakCeiling) {
  // A 1 kHz sine at 0 dBFS in one channel reads -3.01 LUFS (and in both, 0 LUFS); its true peak is its amplitude.
  struct Tone {
    char const* name;
    std::string expression;
    double integratedLufs;
    double truePeakDbtp;
  };
  // A steady stereo tone at -20 dBFS; and bursts of ten cycles at -6.02 dBFS every 400 ms, one in every gating block:
  // a fortieth of the energy, so 16.02 dB less loudness with the same peak, which the ceiling holds back.
  Tone const tones[] = {
      {"steady", "0.1*sin(2*PI*1000*t)|0.1*sin(2*PI*1000*t)", -20.0, -20.0},
      {"bursts", "0.5*sin(2*PI*1000*t)*lt(mod(t\\,0.4)\\,0.01)", Db(0.5) - 3.01 + Db(std::sqrt(1.0 / 40)), Db(0.5)},
  };
  for (Tone const& tone : tones) {
    SCOPED_TRACE(tone.name);
    zelcore::Blob const blob =
        Measure(Generated(directory / (std::string(tone.name) + ".wav"), tone.expression, 48000, 6));
    json const fields = Described(blob);
    EXPECT_NEAR(fields["integrated"].get<double>(), tone.integratedLufs, 0.05);
    EXPECT_NEAR(fields["truePeak"].get<double>(), tone.truePeakDbtp, 0.05);
    ASSERT_EQ(fields["gains"].size(), 3u);
    std::size_t i = 0;
    for (double const target : {-23.0, -16.0, -14.0}) {
      json const& gain = fields["gains"][i++];
      SCOPED_TRACE(target);
      EXPECT_EQ(gain["target"].get<double>(), target);
      EXPECT_EQ(gain["ceiling"].get<double>(), -1.0);
      double const toTarget = target - tone.integratedLufs;
      double const toCeiling = -1.0 - tone.truePeakDbtp;
      EXPECT_NEAR(gain["gain"].get<double>(), std::min(toTarget, toCeiling), 0.1);
      EXPECT_EQ(gain["peakLimited"].get<bool>(), toCeiling < toTarget);
    }
  }
  // Silence has no loudness to bring anywhere: no gain, and no limit.
  json const silent = Described(Measure(Generated(directory / "silent.wav", "0", 48000, 1)));
  ASSERT_EQ(silent["gains"].size(), 3u);
  for (json const& gain : silent["gains"]) {
    EXPECT_TRUE(gain["gain"].is_null());
    EXPECT_TRUE(gain["peakLimited"].is_null());
  }
}

// Bytes of a loudness result: the 64-byte header, then `codes`.
zelcore::Blob LoudnessBlob(std::uint64_t frames, std::uint32_t rate, std::uint32_t count,
                           std::vector<std::int16_t> const& codes) {
  auto blob = zelcore::allocator::RecycledMemory::Create(64 + codes.size() * 2);
  std::memset(blob->data(), 0, blob->size());
  std::memcpy(blob->data() + 48, &frames, 8);
  std::memcpy(blob->data() + 56, &rate, 4);
  std::memcpy(blob->data() + 60, &count, 4);
  if (!codes.empty()) std::memcpy(blob->data() + 64, codes.data(), codes.size() * 2);
  return blob;
}

TEST_F(LoudnessLabelledTest, DecoderTakesOnlyTheSeriesItsFramesGive) {
  // 4 s at 48 kHz: 40 blocks, short-term values from the 30th: 11.
  std::vector<std::int16_t> const eleven = {-2345, -32768, 32767, 0, 1, -1, -100, -2300, -2300, -2300, -2300};
  std::optional<Loudness> const good = DecodeLoudness(LoudnessBlob(192000, 48000, 11, eleven));
  ASSERT_TRUE(good);
  ASSERT_EQ(good->shortTermLufs.size(), 11u);
  EXPECT_FLOAT_EQ(good->shortTermLufs[0], -23.45f);
  EXPECT_EQ(good->shortTermLufs[1], -std::numeric_limits<float>::infinity());
  EXPECT_FLOAT_EQ(good->shortTermLufs[2], 327.67f);

  struct Case {
    char const* what;
    zelcore::Blob blob;
  };
  std::vector<std::int16_t> const ten(eleven.begin(), eleven.end() - 1);
  Case const refused[] = {
      {"one value short of the frames", LoudnessBlob(192000, 48000, 10, ten)},
      {"a count the bytes do not hold", LoudnessBlob(192000, 48000, 11, ten)},
      {"a huge count the frames agree with", LoudnessBlob((0xffffffffull + 29) * 4800, 48000, 0xffffffffu, ten)},
      {"the first layout, without a series", zelcore::allocator::RecycledMemory::Create(60)},
  };
  for (Case const& c : refused) EXPECT_FALSE(DecodeLoudness(c.blob)) << c.what;
  // Too short for any window: no values, and still a result.
  EXPECT_TRUE(DecodeLoudness(LoudnessBlob(48000 * 2, 48000, 0, {})));
}

}  // namespace
}  // namespace Quillan::Examples
