#include "Pictures/WaveformView.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace Quillan::Pictures {

WaveformView::WaveformView(Examples::PeakEnvelope const& envelope, ChannelLayout layout,
                           std::optional<double> fromSeconds, std::optional<double> toSeconds)
    : envelope_(envelope), layout_(layout) {
  if (envelope.channelCount == 0 || envelope.samplesPerPeak == 0 || envelope.sampleRate == 0 ||
      envelope.peaks.size() % (std::size_t{2} * envelope.channelCount) != 0) {
    throw PictureError("The peak envelope is inconsistent: it names no channels, sample rate or samples per peak");
  }
  std::uint64_t const covered = std::uint64_t{envelope.PeakCount()} * envelope.samplesPerPeak;
  if (envelope.frameCount == 0 || envelope.PeakCount() == 0) {
    throw PictureError("There is no waveform to draw: the audio holds no samples");
  }
  if (covered < envelope.frameCount || covered - envelope.frameCount >= envelope.samplesPerPeak) {
    throw PictureError("The peak envelope is inconsistent: " + std::to_string(envelope.PeakCount()) +
                       " peaks do not cover " + std::to_string(envelope.frameCount) + " frames");
  }
  if (!std::isfinite(envelope.startSeconds) || envelope.startSeconds < 0) {
    throw PictureError("The peak envelope is inconsistent: its audio starts at " +
                       std::to_string(envelope.startSeconds) + " s");
  }
  double const duration = DurationSeconds();
  fromSeconds_ = fromSeconds.value_or(0.0);
  toSeconds_ = std::min(toSeconds.value_or(duration), duration);
  if (!std::isfinite(fromSeconds_) || fromSeconds_ < 0) {
    throw std::invalid_argument("The range must start at 0 seconds or later");
  }
  if (fromSeconds_ >= duration) {
    throw std::invalid_argument("The range starts at " + std::to_string(fromSeconds_) +
                                " s, at or after the end of the audio (" + std::to_string(duration) + " s)");
  }
  if (!(toSeconds_ > fromSeconds_)) throw std::invalid_argument("The range must end after it starts");
}

std::uint32_t WaveformView::LaneCount() const { return layout_ == ChannelLayout::kMix ? 1 : envelope_.channelCount; }

double WaveformView::DurationSeconds() const {
  return envelope_.startSeconds + static_cast<double>(envelope_.frameCount) / envelope_.sampleRate;
}

std::uint64_t WaveformView::FrameAt(double seconds) const {
  double const offset = seconds - envelope_.startSeconds;
  if (!(offset > 0)) return 0;
  // A time computed from a frame number (frame / rate) maps back to that frame despite its rounding.
  double const frame = std::floor(offset * envelope_.sampleRate + 1e-6);
  if (frame >= static_cast<double>(envelope_.frameCount)) return envelope_.frameCount;
  return static_cast<std::uint64_t>(frame);
}

WaveformExtent WaveformView::LaneExtent(std::uint32_t lane, std::size_t index) const {
  if (layout_ == ChannelLayout::kSplit) return {envelope_.Min(index, lane), envelope_.Max(index, lane)};
  WaveformExtent extent{envelope_.Min(index, 0), envelope_.Max(index, 0)};
  for (std::uint32_t c = 1; c < envelope_.channelCount; ++c) {
    extent.min = std::min(extent.min, envelope_.Min(index, c));
    extent.max = std::max(extent.max, envelope_.Max(index, c));
  }
  return extent;
}

std::optional<WaveformExtent> WaveformView::ExtentOver(std::uint32_t lane, double fromSeconds, double toSeconds) const {
  if (!(toSeconds > envelope_.startSeconds) || !(fromSeconds < DurationSeconds())) return std::nullopt;
  std::uint64_t const perPeak = envelope_.samplesPerPeak;
  std::uint64_t const firstFrame = FrameAt(fromSeconds);
  std::uint64_t const endFrame = std::max(firstFrame + 1, FrameAt(toSeconds));
  std::size_t const first = std::min<std::size_t>(firstFrame / perPeak, envelope_.PeakCount() - 1);
  std::size_t const end =
      std::min<std::size_t>(envelope_.PeakCount(), std::max(first + 1, (endFrame + perPeak - 1) / perPeak));
  WaveformExtent extent = LaneExtent(lane, first);
  for (std::size_t i = first + 1; i < end; ++i) {
    WaveformExtent const next = LaneExtent(lane, i);
    extent.min = std::min(extent.min, next.min);
    extent.max = std::max(extent.max, next.max);
  }
  return extent;
}

}  // namespace Quillan::Pictures
