#include "Pictures/WaveformData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>

#include "Support/TempDirectory.h"
#include "Tools/Pictures/EnvelopeTestUtils.h"

namespace Quillan::Pictures {
namespace {

// 1000 peaks of 256 frames, the last one short, of random levels.
Examples::PeakEnvelope RandomStereoEnvelope() {
  Examples::PeakEnvelope envelope;
  envelope.channelCount = 2;
  envelope.samplesPerPeak = 256;
  envelope.sampleRate = 44100;
  envelope.frameCount = 999 * 256 + 100;
  std::mt19937 random(7);
  std::uniform_real_distribution<float> level(0, 1);
  for (int i = 0; i < 2000; ++i) envelope.peaks.push_back(level(random));
  return envelope;
}

// The largest of peaks [first, end) of a channel (of every channel when channel is -1), as `bits`-bit integers.
int Expected(Examples::PeakEnvelope const& envelope, std::size_t first, std::size_t end, int channel, int bits) {
  float peak = 0;
  for (std::size_t i = first; i < std::min(end, envelope.PeakCount()); ++i) {
    for (std::uint32_t c = 0; c < envelope.channelCount; ++c) {
      if (channel < 0 || static_cast<std::uint32_t>(channel) == c) peak = std::max(peak, envelope.Peak(i, c));
    }
  }
  return static_cast<int>(std::lround(peak * (bits == 8 ? 127 : 32767)));
}

TEST(WaveformDataTest, JsonHoldsTheEnvelopesMaximaPerPixel) {
  Examples::PeakEnvelope const envelope = RandomStereoEnvelope();
  struct Case {
    WaveformDataOptions options;
    std::uint32_t channels, samplesPerPixel;
    std::uint64_t length;
    std::size_t firstPeak;
  };
  auto with = [](auto change) {
    WaveformDataOptions options;
    change(options);
    return options;
  };
  Case const cases[] = {
      {with([](auto& o) { o.width = 100; }), 2, 2560, 100, 0},
      {with([](auto& o) { o.width = 300; }), 2, 1024, 250, 0},   // 4 peaks a pixel: 1000 / 4 pixels
      {with([](auto& o) { o.width = 5000; }), 2, 256, 1000, 0},  // never finer than the envelope
      {with([](auto& o) { o.samplesPerPixel = 512, o.bits = 16, o.channels = ChannelLayout::kMix; }), 1, 512, 500, 0},
      // 1 s is frame 44100, inside peak 172; pixels start at that peak (frame 44032) and reach 5 s (frame 220500).
      {with([](auto& o) { o.samplesPerPixel = 2560, o.fromSeconds = 1.0, o.toSeconds = 5.0; }), 2, 2560, 69, 172},
  };
  testsupport::TempDirectory directory;
  for (Case const& c : cases) {
    WriteWaveformJson(directory / "wave.json", envelope, c.options);
    auto const json = nlohmann::json::parse(testsupport::ReadFile(directory / "wave.json"));
    EXPECT_EQ(json.at("version"), 2);
    EXPECT_EQ(json.at("channels"), c.channels);
    EXPECT_EQ(json.at("sample_rate"), 44100);
    EXPECT_EQ(json.at("samples_per_pixel"), c.samplesPerPixel);
    EXPECT_EQ(json.at("bits"), c.options.bits);
    EXPECT_EQ(json.at("length"), c.length);
    auto const& data = json.at("data");
    ASSERT_EQ(data.size(), c.length * c.channels * 2);
    std::size_t const peaksPerPixel = c.samplesPerPixel / 256;
    for (std::uint64_t pixel = 0; pixel < c.length; ++pixel) {
      std::size_t const first = c.firstPeak + pixel * peaksPerPixel;
      for (std::uint32_t channel = 0; channel < c.channels; ++channel) {
        int const expected = Expected(envelope, first, first + peaksPerPixel,
                                      c.channels == 1 ? -1 : static_cast<int>(channel), c.options.bits);
        std::size_t const at = (pixel * c.channels + channel) * 2;
        ASSERT_EQ(data[at + 1], expected) << "pixel " << pixel << " channel " << channel;
        ASSERT_EQ(data[at], -expected) << "pixel " << pixel << " channel " << channel;
      }
    }
  }
}

TEST(WaveformDataTest, RejectsSettingsItCannotHonour) {
  Examples::PeakEnvelope const envelope = RandomStereoEnvelope();
  auto with = [](auto change) {
    WaveformDataOptions options;
    change(options);
    return options;
  };
  WaveformDataOptions const bad[] = {
      with([](auto& o) { o.bits = 12; }), with([](auto& o) { o.width = 0; }),
      with([](auto& o) { o.samplesPerPixel = 300; }),  // not whole peaks
      with([](auto& o) { o.fromSeconds = 60.0; }),     // after the end
  };
  for (auto const& options : bad) EXPECT_THROW(ResampleWaveform(envelope, options), std::invalid_argument);
  // Peaks above full scale (clipped audio) stay at full scale.
  Examples::PeakEnvelope loud = envelope;
  std::fill(loud.peaks.begin(), loud.peaks.end(), 1.7f);
  WaveformData const data = ResampleWaveform(loud, with([](auto& o) { o.width = 10; }));
  EXPECT_EQ(*std::max_element(data.data.begin(), data.data.end()), 127);
  EXPECT_EQ(*std::min_element(data.data.begin(), data.data.end()), -127);
}

}  // namespace
}  // namespace Quillan::Pictures
