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

// 1000 peaks of 256 frames, the last one short, of random extents: min and max drawn apart, so they are not mirrors.
Examples::PeakEnvelope RandomStereoEnvelope() {
  Examples::PeakEnvelope envelope;
  envelope.channelCount = 2;
  envelope.samplesPerPeak = 256;
  envelope.sampleRate = 44100;
  envelope.frameCount = 999 * 256 + 100;
  std::mt19937 random(7);
  std::uniform_real_distribution<float> level(0, 1);
  for (int i = 0; i < 2000; ++i) {
    envelope.peaks.push_back(-level(random));
    envelope.peaks.push_back(level(random));
  }
  return envelope;
}

int Quantized(float value, int bits) {
  return static_cast<int>(std::lround(static_cast<double>(value) * (bits == 8 ? 127 : 32767)));
}

// The min and max of the peaks that cover frames [first, end) of a channel (of every channel when channel is -1).
std::pair<int, int> Expected(Examples::PeakEnvelope const& envelope, std::uint64_t first, std::uint64_t end,
                             int channel, int bits) {
  float low = 2, high = -2;
  for (std::size_t i = first / 256; i < std::min<std::size_t>((end + 255) / 256, envelope.PeakCount()); ++i) {
    for (std::uint32_t c = 0; c < envelope.channelCount; ++c) {
      if (channel >= 0 && static_cast<std::uint32_t>(channel) != c) continue;
      low = std::min(low, envelope.Min(i, c));
      high = std::max(high, envelope.Max(i, c));
    }
  }
  return {Quantized(low, bits), Quantized(high, bits)};
}

nlohmann::json Json(Examples::PeakEnvelope const& envelope, WaveformDataOptions const& options) {
  testsupport::TempDirectory directory;
  WriteWaveformJson(directory / "wave.json", envelope, options);
  return nlohmann::json::parse(testsupport::ReadFile(directory / "wave.json"));
}

TEST(WaveformDataTest, PixelsOfWholePeaksHoldTheirMinAndMax) {
  Examples::PeakEnvelope const envelope = RandomStereoEnvelope();
  struct Case {
    WaveformDataOptions options;
    std::uint32_t channels;
    std::uint64_t length;
    std::uint64_t firstFrame;
  };
  auto with = [](auto change) {
    WaveformDataOptions options;
    change(options);
    return options;
  };
  Case const cases[] = {
      {with([](auto& o) { o.samplesPerPixel = 512, o.bits = 16, o.channels = ChannelLayout::kMix; }), 1, 500, 0},
      // 1 s is frame 44100, inside peak 172; 4 s is 69 pixels of 2560 frames, the last one short.
      {with([](auto& o) { o.samplesPerPixel = 2560, o.fromSeconds = 1.0, o.toSeconds = 5.0; }), 2, 69, 44100},
  };
  for (Case const& c : cases) {
    auto const json = Json(envelope, c.options);
    EXPECT_EQ(json.at("version"), 2);
    EXPECT_EQ(json.at("channels"), c.channels);
    EXPECT_EQ(json.at("sample_rate"), 44100);
    EXPECT_EQ(json.at("samples_per_pixel"), c.options.samplesPerPixel);
    EXPECT_EQ(json.at("bits"), c.options.bits);
    EXPECT_EQ(json.at("length"), c.length);
    auto const& data = json.at("data");
    ASSERT_EQ(data.size(), c.length * c.channels * 2);
    std::uint64_t const last =
        c.options.toSeconds ? static_cast<std::uint64_t>(*c.options.toSeconds * 44100) : envelope.frameCount;
    for (std::uint64_t pixel = 0; pixel < c.length; ++pixel) {
      std::uint64_t const first = c.firstFrame + pixel * c.options.samplesPerPixel;
      std::uint64_t const end = std::min(last, first + c.options.samplesPerPixel);
      for (std::uint32_t channel = 0; channel < c.channels; ++channel) {
        auto const [low, high] =
            Expected(envelope, first, end, c.channels == 1 ? -1 : static_cast<int>(channel), c.options.bits);
        std::size_t const at = (pixel * c.channels + channel) * 2;
        ASSERT_EQ(data[at], low) << "pixel " << pixel << " channel " << channel;
        ASSERT_EQ(data[at + 1], high) << "pixel " << pixel << " channel " << channel;
      }
    }
  }
}

TEST(WaveformDataTest, WidthIsExactlyThePixelsAskedFor) {
  Examples::PeakEnvelope const envelope = RandomStereoEnvelope();
  float low = 0, high = 0;
  for (std::size_t i = 0; i < envelope.PeakCount(); ++i) {
    low = std::min({low, envelope.Min(i, 0), envelope.Min(i, 1)});
    high = std::max({high, envelope.Max(i, 0), envelope.Max(i, 1)});
  }
  // Fewer pixels than peaks, not a divisor of them, and more pixels than peaks.
  for (int const width : {1, 7, 100, 300, 690, 788, 800, 1801, 5000}) {
    for (int const bits : {8, 16}) {
      SCOPED_TRACE(testing::Message() << width << " pixels of " << bits << " bits");
      WaveformDataOptions options;
      options.width = width;
      options.bits = bits;
      auto const json = Json(envelope, options);
      EXPECT_EQ(json.at("length"), width);
      EXPECT_EQ(json.at("bits"), bits);
      EXPECT_EQ(json.at("samples_per_pixel"),
                std::max<std::int64_t>(1, std::llround(static_cast<double>(envelope.frameCount) / width)));
      auto const data = json.at("data").get<std::vector<int>>();
      ASSERT_EQ(data.size(), std::size_t(width) * 4);
      // Every pixel is an extent, and together they reach the audio's own extremes.
      for (std::size_t at = 0; at < data.size(); at += 2) ASSERT_LE(data[at], data[at + 1]) << at;
      EXPECT_EQ(*std::min_element(data.begin(), data.end()), Quantized(low, bits));
      EXPECT_EQ(*std::max_element(data.begin(), data.end()), Quantized(high, bits));
    }
  }
}

TEST(WaveformDataTest, OffsetAudioKeepsItsOwnExtentAndStartsWhereItPlays) {
  // Half a second of nothing, then a second whose samples lie between 0.2 and 0.6: a DC offset, never below 0.
  Examples::PeakEnvelope envelope =
      testsupport::MakeEnvelope(1, 48000, 480, 1.0, [](double, std::uint32_t) { return 0.0f; });
  for (std::size_t i = 0; i < envelope.PeakCount(); ++i) {
    envelope.peaks[2 * i] = 0.2f;
    envelope.peaks[2 * i + 1] = 0.6f;
  }
  envelope.startSeconds = 0.5;
  WaveformDataOptions options;
  options.width = 30;  // 50 ms a pixel
  WaveformData const data = ResampleWaveform(envelope, options);
  ASSERT_EQ(data.length, 30u);
  for (std::uint64_t pixel = 0; pixel < data.length; ++pixel) {
    bool const playing = pixel >= 10;
    EXPECT_EQ(data.Min(pixel, 0), playing ? Quantized(0.2f, 8) : 0) << pixel;
    EXPECT_EQ(data.Max(pixel, 0), playing ? Quantized(0.6f, 8) : 0) << pixel;
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
  for (std::size_t i = 0; i < loud.peaks.size(); ++i) loud.peaks[i] = i % 2 == 0 ? -1.7f : 1.7f;
  WaveformData const data = ResampleWaveform(loud, with([](auto& o) { o.width = 10; }));
  EXPECT_EQ(*std::max_element(data.data.begin(), data.data.end()), 127);
  EXPECT_EQ(*std::min_element(data.data.begin(), data.data.end()), -127);
}

}  // namespace
}  // namespace Quillan::Pictures
