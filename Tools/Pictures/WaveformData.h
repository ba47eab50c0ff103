#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "Pictures/PictureFile.h"
#include "Pictures/WaveformView.h"

namespace Quillan::Pictures {

// The envelope resampled to pixels, in the JSON form that audio waveform viewers read (version 2):
//   {"version": 2, "channels": N, "sample_rate": R, "samples_per_pixel": S, "bits": 8 or 16, "length": L,
//    "data": [min, max of channel 0 at pixel 0, min, max of channel 1 at pixel 0, ..., then pixel 1, ...]}
// Values are signed integers of `bits` bits (-127 to 127, or -32767 to 32767 at full scale): the smallest
// and largest sample of the pixel's time. Pixel 0 starts at the range's start, on the file's presentation clock; a
// pixel where no audio plays (before the audio starts) is 0, 0.
struct WaveformDataOptions {
  // Exactly this many pixels across the range, each 1 / width of it; samples per pixel says their average length,
  // rounded to a whole number of samples. Used when samplesPerPixel is 0.
  int width = 1800;
  // When not 0: pixels of exactly this many samples, a multiple of the envelope's samples per peak.
  std::uint32_t samplesPerPixel = 0;
  int bits = 8;
  ChannelLayout channels = ChannelLayout::kSplit;
  std::optional<double> fromSeconds;
  std::optional<double> toSeconds;
};

struct WaveformData {
  std::uint32_t channels = 0;
  std::uint32_t sampleRate = 0;
  std::uint32_t samplesPerPixel = 0;
  int bits = 8;
  std::uint64_t length = 0;  // pixels
  std::vector<int> data;     // length * channels * 2 values

  int Min(std::uint64_t pixel, std::uint32_t channel) const { return data[(pixel * channels + channel) * 2]; }
  int Max(std::uint64_t pixel, std::uint32_t channel) const { return data[(pixel * channels + channel) * 2 + 1]; }
};

// Throws what WaveformView throws, and std::invalid_argument for bits other than 8 or 16, a width outside 1 to
// 1,000,000, or samples per pixel that are not a multiple of the envelope's samples per peak.
QUILLAN_PICTURES_EXPORT WaveformData ResampleWaveform(Examples::PeakEnvelope const& envelope,
                                                      WaveformDataOptions const& options);
// The JSON text of `data`, one line.
QUILLAN_PICTURES_EXPORT std::string WaveformDataToJson(WaveformData const& data);
// ResampleWaveform's JSON written to `path` with WritePictureFile.
QUILLAN_PICTURES_EXPORT void WriteWaveformJson(std::filesystem::path const& path,
                                               Examples::PeakEnvelope const& envelope,
                                               WaveformDataOptions const& options);

}  // namespace Quillan::Pictures
