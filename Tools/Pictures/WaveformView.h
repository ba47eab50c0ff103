#pragma once

#include <cstdint>
#include <optional>

#include "Analyzers/ExampleAnalyzers.h"
#include "Pictures/PictureFile.h"

namespace Quillan::Pictures {

enum class ChannelLayout {
  kSplit,  // one lane per channel
  kMix,    // one lane: the smallest min and the largest max over the channels
};

// The smallest and largest sample of a span of a lane.
struct WaveformExtent {
  float min = 0;
  float max = 0;
};

// A part of a peak envelope to draw: its time range and its lanes. Times are on the file's presentation clock, where
// the audio starts at the envelope's startSeconds: peak i covers frames [i * samplesPerPeak, (i + 1) * samplesPerPeak)
// of the audio, so its time is startSeconds plus that over the sample rate, and before startSeconds there is no
// audio. Holds a reference to the envelope, which must outlive it. Not thread-safe.
class QUILLAN_PICTURES_EXPORT WaveformView {
 public:
  // Throws PictureError for an envelope that holds no samples or is inconsistent (no sample rate, peaks that do not
  // fill whole frames, a start that is negative or not finite), and std::invalid_argument for a range that is negative,
  // empty, or starts at or after the end of the audio. A range that runs past the end stops at the end; no range means
  // the whole audio.
  WaveformView(Examples::PeakEnvelope const& envelope, ChannelLayout layout, std::optional<double> fromSeconds,
               std::optional<double> toSeconds);

  Examples::PeakEnvelope const& Envelope() const { return envelope_; }
  std::uint32_t LaneCount() const;
  double FromSeconds() const { return fromSeconds_; }
  double ToSeconds() const { return toSeconds_; }
  // When the audio ends on the presentation clock: its start plus its length.
  double DurationSeconds() const;
  // The frame of the audio at a time, rounded down and held within the audio.
  std::uint64_t FrameAt(double seconds) const;

  // The smallest and largest sample of a lane from `fromSeconds` to `toSeconds`, from the peaks that cover any of that
  // time; the one peak that covers fromSeconds when the span is shorter than a peak. None when no audio plays then
  // (before its start, after its end).
  std::optional<WaveformExtent> ExtentOver(std::uint32_t lane, double fromSeconds, double toSeconds) const;

 private:
  WaveformExtent LaneExtent(std::uint32_t lane, std::size_t index) const;

  Examples::PeakEnvelope const& envelope_;
  ChannelLayout layout_;
  double fromSeconds_ = 0;
  double toSeconds_ = 0;
};

}  // namespace Quillan::Pictures
