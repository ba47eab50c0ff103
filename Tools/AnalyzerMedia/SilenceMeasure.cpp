#include <algorithm>
#include <cmath>

#include "AnalyzerMedia/Detail/Measures.h"
#include "AnalyzerMedia/Detail/MediaReader.h"
#include "AnalyzerMedia/Detail/SharedAudio.h"
#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/ExampleAnalyzers.h"

namespace Quillan::Examples::detail {
// Silent ranges of an audio stream: runs of frames in which every channel stays below a threshold.
zelcore::Blob MeasureSilence(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                             Progress const& progress, ReadVersion& read) {
  Silence silence;
  silence.thresholdDbfs = parameter.Number("threshold");
  silence.minimumSeconds = parameter.Number("min");
  SharedAudio media(file, parameter.Stream());
  MediaReader::AudioFormat const format = media.Format();
  silence.sampleRate = format.sampleRate;
  auto const threshold = static_cast<float>(std::pow(10.0, silence.thresholdDbfs / 20));
  std::uint64_t const minimumFrames =
      std::max<std::uint64_t>(1, std::llround(silence.minimumSeconds * format.sampleRate));
  std::size_t const channels = format.channelCount;
  double const rate = format.sampleRate;
  // On the file's presentation clock, where sound that starts after the pictures does not start at 0.
  auto const seconds = [&](std::uint64_t at) { return format.startSeconds + static_cast<double>(at) / rate; };
  std::uint64_t frame = 0;
  std::uint64_t runStart = 0;
  std::uint64_t runLength = 0;
  silence.frameCount = media.Read(progress, [&](std::span<float const> samples, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i, ++frame) {
      bool silent = true;
      for (std::size_t c = 0; c < channels; ++c) silent &= std::fabs(samples[i * channels + c]) < threshold;
      if (silent) {
        if (runLength++ == 0) runStart = frame;
      } else {
        if (runLength >= minimumFrames) silence.ranges.push_back({seconds(runStart), seconds(frame)});
        runLength = 0;
      }
    }
  });
  read.Note(media.File());
  if (runLength >= minimumFrames) silence.ranges.push_back({seconds(runStart), seconds(frame)});
  return EncodeSilence(silence);
}

}  // namespace Quillan::Examples::detail
