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
      envelope.peaks.size() % envelope.channelCount != 0) {
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
  return static_cast<double>(envelope_.frameCount) / envelope_.sampleRate;
}

std::uint64_t WaveformView::FrameAt(double seconds) const {
  if (!(seconds > 0)) return 0;
  double const frame = std::floor(seconds * envelope_.sampleRate);
  if (frame >= static_cast<double>(envelope_.frameCount)) return envelope_.frameCount;
  return static_cast<std::uint64_t>(frame);
}

float WaveformView::LanePeak(std::uint32_t lane, std::size_t index) const {
  if (layout_ == ChannelLayout::kSplit) return envelope_.Peak(index, lane);
  float peak = 0;
  for (std::uint32_t c = 0; c < envelope_.channelCount; ++c) peak = std::max(peak, envelope_.Peak(index, c));
  return peak;
}

float WaveformView::PeakOver(std::uint32_t lane, std::uint64_t firstFrame, std::uint64_t endFrame) const {
  std::uint64_t const perPeak = envelope_.samplesPerPeak;
  std::size_t const first = firstFrame / perPeak;
  std::size_t const end =
      std::min<std::size_t>(envelope_.PeakCount(), std::max(first + 1, (endFrame + perPeak - 1) / perPeak));
  float peak = 0;
  for (std::size_t i = first; i < end; ++i) peak = std::max(peak, LanePeak(lane, i));
  return peak;
}

}  // namespace Quillan::Pictures
