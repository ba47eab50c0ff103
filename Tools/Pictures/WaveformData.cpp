#include "Pictures/WaveformData.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace Quillan::Pictures {

WaveformData ResampleWaveform(Examples::PeakEnvelope const& envelope, WaveformDataOptions const& options) {
  WaveformView const view(envelope, options.channels, options.fromSeconds, options.toSeconds);
  if (options.bits != 8 && options.bits != 16) throw std::invalid_argument("Waveform data has 8 or 16 bits");
  std::uint32_t const perPeak = envelope.samplesPerPeak;
  std::uint64_t const first = view.FrameAt(view.FromSeconds()) / perPeak * perPeak;
  std::uint64_t const end = std::max(first + 1, view.FrameAt(view.ToSeconds()));
  std::uint64_t const frames = end - first;

  WaveformData data;
  if (options.samplesPerPixel != 0) {
    if (options.samplesPerPixel % perPeak != 0) {
      throw std::invalid_argument("Samples per pixel must be a multiple of the envelope's " + std::to_string(perPeak) +
                                  " samples per peak");
    }
    data.samplesPerPixel = options.samplesPerPixel;
  } else {
    if (options.width < 1 || options.width > 1000000) {
      throw std::invalid_argument("The width must be from 1 to 1000000 pixels");
    }
    std::uint64_t const peaks = (frames + perPeak - 1) / perPeak;
    std::uint64_t const peaksPerPixel =
        (peaks + static_cast<std::uint64_t>(options.width) - 1) / static_cast<std::uint64_t>(options.width);
    if (peaksPerPixel * perPeak > 0xffffffffu) throw std::invalid_argument("Too few pixels for this much audio");
    data.samplesPerPixel = static_cast<std::uint32_t>(peaksPerPixel * perPeak);
  }
  data.channels = view.LaneCount();
  data.sampleRate = envelope.sampleRate;
  data.bits = options.bits;
  data.length = (frames + data.samplesPerPixel - 1) / data.samplesPerPixel;
  double const fullScale = options.bits == 8 ? 127 : 32767;
  data.data.reserve(data.length * data.channels * 2);
  for (std::uint64_t pixel = 0; pixel < data.length; ++pixel) {
    std::uint64_t const from = first + pixel * data.samplesPerPixel;
    std::uint64_t const to = std::min(end, from + data.samplesPerPixel);
    for (std::uint32_t channel = 0; channel < data.channels; ++channel) {
      float const peak = view.PeakOver(channel, from, to);
      // Clipped audio can decode above full scale; the format has no room for it.
      auto const value = static_cast<int>(std::lround(std::clamp(static_cast<double>(peak), 0.0, 1.0) * fullScale));
      data.data.push_back(-value);
      data.data.push_back(value);
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
