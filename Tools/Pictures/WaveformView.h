#pragma once

#include <cstdint>
#include <optional>

#include "Analyzers/ExampleAnalyzers.h"
#include "Pictures/PictureFile.h"

namespace Quillan::Pictures {

enum class ChannelLayout {
  kSplit,  // one lane per channel
  kMix,    // one lane: the largest peak over the channels
};

// A part of a peak envelope to draw: its time range and its lanes. Peak i covers frames [i * samplesPerPeak,
// (i + 1) * samplesPerPeak) of the audio, so its time is that over the sample rate. Holds a reference to the envelope,
// which must outlive it. Not thread-safe.
class QUILLAN_PICTURES_EXPORT WaveformView {
 public:
  // Throws PictureError for an envelope that holds no samples or is inconsistent (no sample rate, peaks that do not
  // fill whole frames), and std::invalid_argument for a range that is negative, empty, or starts at or after the end
  // of the audio. A range that runs past the end stops at the end; no range means the whole audio.
  WaveformView(Examples::PeakEnvelope const& envelope, ChannelLayout layout, std::optional<double> fromSeconds,
               std::optional<double> toSeconds);

  Examples::PeakEnvelope const& Envelope() const { return envelope_; }
  std::uint32_t LaneCount() const;
  double FromSeconds() const { return fromSeconds_; }
  double ToSeconds() const { return toSeconds_; }
  // The audio's length.
  double DurationSeconds() const;
  // The frame at a time, rounded down and held within the audio.
  std::uint64_t FrameAt(double seconds) const;

  // The largest absolute sample in frames [firstFrame, endFrame) of a lane, from the peaks that cover any of them;
  // the one peak that covers firstFrame when the span is shorter than a peak. 0 past the end of the audio.
  float PeakOver(std::uint32_t lane, std::uint64_t firstFrame, std::uint64_t endFrame) const;

 private:
  float LanePeak(std::uint32_t lane, std::size_t index) const;

  Examples::PeakEnvelope const& envelope_;
  ChannelLayout layout_;
  double fromSeconds_ = 0;
  double toSeconds_ = 0;
};

}  // namespace Quillan::Pictures
