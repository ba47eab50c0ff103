#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "Pictures/PictureFile.h"
#include "Pictures/WaveformView.h"

namespace Quillan::Pictures {

enum class AmplitudeScale {
  kLinear,    // lane height in proportion to the sample value
  kDecibels,  // dBFS from kDecibelFloor (the centre line) to 0 (the lane's edge)
};

inline constexpr double kDecibelFloor = -60;
inline constexpr std::uint32_t kWaveformColour = 0x1f5ea8;
inline constexpr int kMinWaveformWidth = 64;
inline constexpr int kMaxWaveformSize = 16384;  // pixels either way
inline constexpr int kMinLaneHeight = 8;

struct WaveformImageOptions {
  int width = 1800;
  int height = 280;
  ChannelLayout channels = ChannelLayout::kSplit;
  AmplitudeScale scale = AmplitudeScale::kLinear;
  std::optional<double> fromSeconds;  // none: from the start
  std::optional<double> toSeconds;    // none: to the end
};

// Where a waveform picture puts its parts. The plot area spans columns [plotLeft, plotLeft + plotWidth); each lane
// spans rows [top, top + height), its centre line (silence) at row top + height / 2; the time axis sits below the
// last lane, its labels in the rows from axisTop down; the scale's labels sit left of plotLeft.
struct WaveformLane {
  int top = 0;
  int height = 0;
};

struct WaveformGeometry {
  int plotLeft = 0;
  int plotWidth = 0;
  std::vector<WaveformLane> lanes;
  int axisTop = 0;
};

// The geometry of a picture of `laneCount` lanes. Throws std::invalid_argument when the width is outside
// [kMinWaveformWidth, kMaxWaveformSize], the height exceeds kMaxWaveformSize, or the lanes would be lower than
// kMinLaneHeight (with advice to mix the channels or make the picture taller).
QUILLAN_PICTURES_EXPORT WaveformGeometry LayOutWaveform(WaveformImageOptions const& options, std::uint32_t laneCount);

// The envelope drawn as a PNG picture: one bar per plot column from the largest sample of that column's time (up from
// the lane's centre when positive) down to the smallest (below the centre when negative), so a signal with an offset
// or one-sided peaks shows as it is; silence is a one-pixel line on the centre; full scale both ways fills the lane.
// Columns before the audio's start (on the file's presentation clock) stay empty. Light gridlines
// mark the scale (labelled in the left margin) and the time axis's ticks. Throws what WaveformView and LayOutWaveform
// throw, and PictureError when Cairo fails.
QUILLAN_PICTURES_EXPORT std::vector<std::uint8_t> DrawWaveformPng(Examples::PeakEnvelope const& envelope,
                                                                  WaveformImageOptions const& options);

// DrawWaveformPng written to `path` with WritePictureFile.
QUILLAN_PICTURES_EXPORT void WriteWaveformPng(std::filesystem::path const& path, Examples::PeakEnvelope const& envelope,
                                              WaveformImageOptions const& options);

}  // namespace Quillan::Pictures
