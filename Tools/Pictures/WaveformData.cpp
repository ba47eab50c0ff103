#include "Pictures/WaveformData.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace Quillan::Pictures {

namespace {

// A sample in the format's integers, full scale at 127 or 32767 either way.
int Quantize(float sample, double fullScale) {
  // Clipped audio can decode beyond full scale; the format has no room for it.
  double const value = std::clamp(static_cast<double>(sample), -1.0, 1.0) * fullScale;
  return static_cast<int>(std::lround(value));
}

}  // namespace

WaveformData ResampleWaveform(Examples::PeakEnvelope const& envelope, WaveformDataOptions const& options) {
  WaveformView const view(envelope, options.channels, options.fromSeconds, options.toSeconds);
  if (options.bits != 8 && options.bits != 16) throw std::invalid_argument("Waveform data has 8 or 16 bits");
  std::uint32_t const perPeak = envelope.samplesPerPeak;
  double const rate = envelope.sampleRate;
  double const from = view.FromSeconds();
  double const span = view.ToSeconds() - from;

  WaveformData data;
  // The time at which pixel i starts.
  std::function<double(std::uint64_t)> pixelStart;
  if (options.samplesPerPixel != 0) {
    if (options.samplesPerPixel % perPeak != 0) {
      throw std::invalid_argument("Samples per pixel must be a multiple of the envelope's " + std::to_string(perPeak) +
                                  " samples per peak");
    }
    data.samplesPerPixel = options.samplesPerPixel;
    data.length = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(span * rate / data.samplesPerPixel)));
    pixelStart = [&](std::uint64_t pixel) {
      return std::min(view.ToSeconds(), from + static_cast<double>(pixel * data.samplesPerPixel) / rate);
    };
  } else {
    if (options.width < 1 || options.width > 1000000) {
      throw std::invalid_argument("The width must be from 1 to 1000000 pixels");
    }
    double const average = std::max(1.0, std::round(span * rate / options.width));
    if (average > 0xffffffffu) throw std::invalid_argument("Too few pixels for this much audio");
    data.samplesPerPixel = static_cast<std::uint32_t>(average);
    data.length = static_cast<std::uint64_t>(options.width);
    pixelStart = [&](std::uint64_t pixel) { return from + span * static_cast<double>(pixel) / options.width; };
  }
  data.channels = view.LaneCount();
  data.sampleRate = envelope.sampleRate;
  data.bits = options.bits;
  double const fullScale = options.bits == 8 ? 127 : 32767;
  data.data.reserve(data.length * data.channels * 2);
  for (std::uint64_t pixel = 0; pixel < data.length; ++pixel) {
    double const start = pixelStart(pixel);
    double const end = pixelStart(pixel + 1);
    for (std::uint32_t channel = 0; channel < data.channels; ++channel) {
      std::optional<WaveformExtent> const extent = view.ExtentOver(channel, start, end);
      data.data.push_back(extent ? Quantize(extent->min, fullScale) : 0);
      data.data.push_back(extent ? Quantize(extent->max, fullScale) : 0);
    }
  }
  return data;
}

std::string WaveformDataToJson(WaveformData const& data) {
  nlohmann::json json = {{"version", 2},
                         {"channels", data.channels},
                         {"sample_rate", data.sampleRate},
                         {"samples_per_pixel", data.samplesPerPixel},
                         {"bits", data.bits},
                         {"length", data.length},
                         {"data", data.data}};
  return json.dump();
}

void WriteWaveformJson(std::filesystem::path const& path, Examples::PeakEnvelope const& envelope,
                       WaveformDataOptions const& options) {
  std::string text = WaveformDataToJson(ResampleWaveform(envelope, options));
  text += '\n';
  WritePictureFile(path, std::span(reinterpret_cast<std::uint8_t const*>(text.data()), text.size()));
}

}  // namespace Quillan::Pictures
