#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "AnalyzerMedia/Detail/Measures.h"
#include "AnalyzerMedia/Detail/MediaReader.h"
#include "AnalyzerMedia/Detail/SharedAudio.h"
#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
// The per-channel min and max envelope of an audio file.
zelcore::Blob MeasurePeaks(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                           Progress const& progress, ReadVersion& read) {
  auto const samplesPerPeak = static_cast<std::uint32_t>(parameter.Number("samples"));
  SharedAudio media(file, parameter.Stream());
  MediaReader::AudioFormat const format = media.Format();
  std::uint32_t const channels = format.channelCount;
  std::vector<float> peaks;
  constexpr float kEmpty = std::numeric_limits<float>::infinity();
  std::vector<float> current(std::size_t{2} * channels);  // min, max per channel
  auto const restart = [&] {
    for (std::uint32_t c = 0; c < channels; ++c) {
      current[2 * c] = kEmpty;
      current[2 * c + 1] = -kEmpty;
    }
  };
  auto const flush = [&] {
    // A run of nothing but NaN has no extent; it is silence to the picture.
    for (std::uint32_t c = 0; c < channels; ++c) {
      if (current[2 * c] > current[2 * c + 1]) current[2 * c] = current[2 * c + 1] = 0.0f;
    }
    peaks.insert(peaks.end(), current.begin(), current.end());
    restart();
  };
  restart();
  std::uint32_t inCurrent = 0;
  std::uint64_t const frameCount = media.Read(progress, [&](std::span<float const> samples, std::size_t frames) {
    for (std::size_t frame = 0; frame < frames; ++frame) {
      for (std::uint32_t c = 0; c < channels; ++c) {
        float const sample = samples[frame * channels + c];
        current[2 * c] = std::min(current[2 * c], sample);
        current[2 * c + 1] = std::max(current[2 * c + 1], sample);
      }
      if (++inCurrent == samplesPerPeak) {
        flush();
        inCurrent = 0;
      }
    }
  });
  read.Note(media.File());
  if (inCurrent > 0) flush();

  BlobWriter out;
  out.Put(channels);
  out.Put(samplesPerPeak);
  out.Put(format.sampleRate);
  out.Put(static_cast<std::uint32_t>(channels == 0 ? 0 : peaks.size() / (std::size_t{2} * channels)));
  out.Put(frameCount);
  out.Put(format.startSeconds);
  for (float const peak : peaks) out.Put(peak);
  return out.Finish();
}

}  // namespace Quillan::Examples::detail
