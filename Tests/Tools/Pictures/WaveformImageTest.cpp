#include "Pictures/WaveformImage.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <vector>

#include "Support/TempDirectory.h"
#include "Tools/Pictures/DecodedPng.h"
#include "Tools/Pictures/EnvelopeTestUtils.h"

namespace Quillan::Pictures {
namespace {

using testsupport::DecodedPng;
using testsupport::MakeEnvelope;

// The runs of waveform-coloured pixels down one column, as [first, last] rows.
std::vector<std::pair<int, int>> WaveRuns(DecodedPng const& png, int x, int fromRow = 0, int toRow = -1) {
  std::vector<std::pair<int, int>> runs;
  int const end = toRow < 0 ? png.Height() : toRow;
  for (int y = fromRow; y < end; ++y) {
    if (png.Pixel(x, y) != kWaveformColour) continue;
    if (!runs.empty() && runs.back().second == y - 1) {
      runs.back().second = y;
    } else {
      runs.emplace_back(y, y);
    }
  }
  return runs;
}

int WaveHeight(DecodedPng const& png, int x, WaveformLane const& lane) {
  auto const runs = WaveRuns(png, x, lane.top, lane.top + lane.height);
  EXPECT_EQ(runs.size(), 1u) << "column " << x;
  return runs.empty() ? 0 : runs.front().second - runs.front().first + 1;
}

class WaveformImageTest : public testing::Test {
 protected:
  DecodedPng Draw(Examples::PeakEnvelope const& envelope, WaveformImageOptions const& options) {
    std::filesystem::path const path = directory_ / "wave.png";
    WriteWaveformPng(path, envelope, options);
    return DecodedPng(path);
  }

  testsupport::TempDirectory directory_;
};

TEST_F(WaveformImageTest, SilenceIsAFlatLineAndFullScaleFillsItsLane) {
  auto const envelope = MakeEnvelope(2, 48000, 256, 10, [](double, std::uint32_t c) { return c == 0 ? 0.0f : 1.0f; });
  for (AmplitudeScale const scale : {AmplitudeScale::kLinear, AmplitudeScale::kDecibels}) {
    WaveformImageOptions options;
    options.width = 640;
    options.height = 220;
    options.scale = scale;
    DecodedPng const png = Draw(envelope, options);
    ASSERT_TRUE(png.Ok());
    EXPECT_EQ(png.Width(), 640);
    EXPECT_EQ(png.Height(), 220);
    WaveformGeometry const geometry = LayOutWaveform(options, 2);
    ASSERT_EQ(geometry.lanes.size(), 2u);
    WaveformLane const silent = geometry.lanes[0];
    WaveformLane const loud = geometry.lanes[1];
    for (int x = geometry.plotLeft; x < geometry.plotLeft + geometry.plotWidth; ++x) {
      // One run per lane and nothing outside the lanes: the silent line, then the full-height bar.
      auto const runs = WaveRuns(png, x);
      ASSERT_EQ(runs.size(), 2u) << "column " << x;
      EXPECT_EQ(runs[0], std::make_pair(silent.top + silent.height / 2, silent.top + silent.height / 2)) << x;
      EXPECT_EQ(runs[1], std::make_pair(loud.top, loud.top + loud.height - 1)) << x;
    }
    for (int x = 0; x < geometry.plotLeft; ++x) EXPECT_TRUE(WaveRuns(png, x).empty()) << "margin column " << x;
  }
}

TEST_F(WaveformImageTest, BarHeightFollowsTheScale) {
  struct Case {
    AmplitudeScale scale;
    float amplitude;
    double fraction;  // of the lane's height
  };
  Case const cases[] = {
      {AmplitudeScale::kLinear, 0.5f, 0.5},
      {AmplitudeScale::kLinear, 0.25f, 0.25},
      {AmplitudeScale::kDecibels, 0.5f, 0.9},  // -6 dBFS of a 60 dB range
      {AmplitudeScale::kDecibels, 0.1f, 2 / 3.0},
      {AmplitudeScale::kDecibels, 0.0005f, 0},  // below the floor: the silent line
      {AmplitudeScale::kLinear, 1.5f, 1},       // clipped audio stays in its lane
  };
  for (Case const& c : cases) {
    auto const envelope = MakeEnvelope(1, 44100, 512, 3, [&](double, std::uint32_t) { return c.amplitude; });
    WaveformImageOptions options;
    options.width = 300;
    options.height = 160;
    options.scale = c.scale;
    DecodedPng const png = Draw(envelope, options);
    WaveformGeometry const geometry = LayOutWaveform(options, 1);
    WaveformLane const lane = geometry.lanes[0];
    double const expected = std::max(1.0, c.fraction * lane.height);
    for (int x :
         {geometry.plotLeft, geometry.plotLeft + geometry.plotWidth / 2, geometry.plotLeft + geometry.plotWidth - 1}) {
      EXPECT_NEAR(WaveHeight(png, x, lane), expected, 2.0) << "amplitude " << c.amplitude << " column " << x;
    }
  }
}

TEST_F(WaveformImageTest, BarsRunFromTheMinToTheMaxAndStartWhereTheAudioDoes) {
  // Rows are counted down from the lane's centre as a part of its half height: 1 is the top edge, -1 the bottom.
  struct Case {
    char const* what;
    float min, max;
  };
  Case const cases[] = {
      {"an offset: 0.2 to 0.6, never below 0", 0.2f, 0.6f},
      {"a half-wave rectified sine: 0 to 0.8", 0.0f, 0.8f},
      {"mostly below: -0.9 to 0.3", -0.9f, 0.3f},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    auto envelope = MakeEnvelope(1, 48000, 480, 2, [](double, std::uint32_t) { return 0.0f; });
    for (std::size_t i = 0; i < envelope.PeakCount(); ++i) {
      envelope.peaks[2 * i] = c.min;
      envelope.peaks[2 * i + 1] = c.max;
    }
    envelope.startSeconds = 1.0;  // of 3 s: the first third of the plot has no audio
    WaveformImageOptions options;
    options.width = 372;  // a plot 300 columns wide
    options.height = 234;
    DecodedPng const png = Draw(envelope, options);
    WaveformGeometry const geometry = LayOutWaveform(options, 1);
    ASSERT_EQ(geometry.plotWidth, 300);
    WaveformLane const lane = geometry.lanes[0];
    double const centre = lane.top + lane.height / 2;
    double const half = lane.height / 2.0;
    for (int column : {0, 50, 98, 102, 200, 299}) {
      auto const runs = WaveRuns(png, geometry.plotLeft + column, lane.top, lane.top + lane.height);
      if (column < 100) {
        EXPECT_TRUE(runs.empty()) << "column " << column << " is before the audio";
        continue;
      }
      ASSERT_EQ(runs.size(), 1u) << "column " << column;
      EXPECT_NEAR(runs[0].first, centre - c.max * half, 1.0) << "column " << column;
      EXPECT_NEAR(runs[0].second + 1, centre - c.min * half, 1.0) << "column " << column;
    }
  }
}

TEST_F(WaveformImageTest, SplitDrawsALanePerChannelAndMixOneLaneOfTheLoudest) {
  float const levels[] = {0.2f, 0.9f, 0.5f};
  auto const envelope = MakeEnvelope(3, 48000, 256, 4, [&](double, std::uint32_t c) { return levels[c]; });
  WaveformImageOptions options;
  options.width = 400;
  options.height = 300;
  DecodedPng const split = Draw(envelope, options);
  WaveformGeometry const splitGeometry = LayOutWaveform(options, 3);
  int const x = splitGeometry.plotLeft + 100;
  auto const runs = WaveRuns(split, x);
  ASSERT_EQ(runs.size(), 3u);
  for (std::size_t c = 0; c < 3; ++c) {
    EXPECT_NEAR(runs[c].second - runs[c].first + 1, levels[c] * splitGeometry.lanes[c].height, 2.0) << c;
  }

  options.channels = ChannelLayout::kMix;
  DecodedPng const mixed = Draw(envelope, options);
  WaveformGeometry const mixGeometry = LayOutWaveform(options, 1);
  auto const mixRuns = WaveRuns(mixed, x);
  ASSERT_EQ(mixRuns.size(), 1u);
  EXPECT_NEAR(mixRuns[0].second - mixRuns[0].first + 1, 0.9 * mixGeometry.lanes[0].height, 2.0);
}

TEST_F(WaveformImageTest, RangeCropsToItsTime) {
  // Silent for 5 s, then full scale; 5 s falls on a peak boundary (250 samples per peak).
  auto const envelope = MakeEnvelope(1, 48000, 250, 10, [](double t, std::uint32_t) { return t < 5 ? 0.0f : 1.0f; });
  struct Case {
    std::optional<double> from, to;
    double loudFrom;  // the part of the plot's width where the tone starts
  };
  Case const cases[] = {
      {std::nullopt, std::nullopt, 0.5},
      {5.0, std::nullopt, 0},
      {2.0, 6.0, 0.75},
      {0.0, 5.0, 1},   // all silent
      {8.0, 30.0, 0},  // an end past the audio stops at its end
  };
  for (Case const& c : cases) {
    WaveformImageOptions options;
    options.width = 500;
    options.height = 120;
    options.fromSeconds = c.from;
    options.toSeconds = c.to;
    DecodedPng const png = Draw(envelope, options);
    WaveformGeometry const geometry = LayOutWaveform(options, 1);
    WaveformLane const lane = geometry.lanes[0];
    int firstLoud = geometry.plotWidth;
    for (int column = 0; column < geometry.plotWidth; ++column) {
      int const height = WaveHeight(png, geometry.plotLeft + column, lane);
      if (height == lane.height && firstLoud == geometry.plotWidth) firstLoud = column;
      // Once loud, loud to the end; before, the silent line.
      EXPECT_EQ(height, firstLoud < geometry.plotWidth ? lane.height : 1) << column;
    }
    EXPECT_NEAR(firstLoud, c.loudFrom * geometry.plotWidth, 1.0) << "from " << c.from.value_or(-1);
  }
}

TEST_F(WaveformImageTest, RejectsWhatItCannotDraw) {
  auto const stereo = MakeEnvelope(2, 48000, 256, 10, [](double, std::uint32_t) { return 0.5f; });
  struct Case {
    char const* what;
    WaveformImageOptions options;
  };
  auto with = [](auto change) {
    WaveformImageOptions options;
    change(options);
    return options;
  };
  Case const cases[] = {
      {"too narrow", with([](auto& o) { o.width = 10; })},
      {"too wide", with([](auto& o) { o.width = 100000; })},
      {"too low for two lanes", with([](auto& o) { o.height = 50; })},
      {"starts at the end", with([](auto& o) { o.fromSeconds = 10.0; })},
      {"starts before 0", with([](auto& o) { o.fromSeconds = -1.0; })},
      {"empty range", with([](auto& o) { o.fromSeconds = 4.0, o.toSeconds = 4.0; })},
  };
  for (Case const& c : cases) EXPECT_THROW(DrawWaveformPng(stereo, c.options), std::invalid_argument) << c.what;

  // Forty lanes do not fit in the default height; mixed into one they do.
  auto const many = MakeEnvelope(40, 48000, 256, 1, [](double, std::uint32_t) { return 0.5f; });
  EXPECT_THROW(DrawWaveformPng(many, {}), std::invalid_argument);
  EXPECT_FALSE(DrawWaveformPng(many, with([](auto& o) { o.channels = ChannelLayout::kMix; })).empty());

  Examples::PeakEnvelope empty = stereo;
  empty.frameCount = 0;
  empty.peaks.clear();
  Examples::PeakEnvelope short_ = stereo;
  short_.peaks.resize(short_.peaks.size() - 20);
  Examples::PeakEnvelope rateless = stereo;
  rateless.sampleRate = 0;
  for (auto const* bad : {&empty, &short_, &rateless}) EXPECT_THROW(DrawWaveformPng(*bad, {}), PictureError);
  EXPECT_FALSE(std::filesystem::exists(directory_ / "wave.png"));
}

}  // namespace
}  // namespace Quillan::Pictures
