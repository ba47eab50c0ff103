#pragma once

#include <cmath>
#include <cstdint>
#include <functional>

#include "Analyzers/ExampleAnalyzers.h"

namespace testsupport {

// An envelope of `seconds` of audio whose peak of channel c starting at time t is level(t, c), as far below 0 as above.
inline Quillan::Examples::PeakEnvelope MakeEnvelope(std::uint32_t channels, std::uint32_t sampleRate,
                                                    std::uint32_t samplesPerPeak, double seconds,
                                                    std::function<float(double, std::uint32_t)> const& level) {
  Quillan::Examples::PeakEnvelope envelope;
  envelope.channelCount = channels;
  envelope.samplesPerPeak = samplesPerPeak;
  envelope.sampleRate = sampleRate;
  envelope.frameCount = static_cast<std::uint64_t>(std::llround(seconds * sampleRate));
  std::uint64_t const peaks = (envelope.frameCount + samplesPerPeak - 1) / samplesPerPeak;
  for (std::uint64_t i = 0; i < peaks; ++i) {
    double const start = static_cast<double>(i * samplesPerPeak) / sampleRate;
    for (std::uint32_t c = 0; c < channels; ++c) {
      envelope.peaks.push_back(-level(start, c));
      envelope.peaks.push_back(level(start, c));
    }
  }
  return envelope;
}

}  // namespace testsupport
