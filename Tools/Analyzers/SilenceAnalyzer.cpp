#include <algorithm>
#include <cmath>

#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/Detail/MediaReader.h"
#include "Analyzers/Detail/SharedAudio.h"
#include "Analyzers/ExampleAnalyzers.h"

namespace Quillan::Examples::detail {
namespace {

constexpr ParameterSetting kSilenceSettings[] = {
    {"threshold", "the level below which every channel counts as silent", -60, "", -200, 0, "dBFS"},
    {"min", "the shortest silence that is reported", 2, "", 0, 86400, "s"},
    kAudioStreamSetting,
};
constexpr ParameterTable kSilenceTable{kSilenceAnalyzerName, "silent ranges of the audio", kSilenceSettings};

// Silent ranges of an audio stream: runs of frames in which every channel stays below a threshold.
class SilenceAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<SilenceAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::SilenceAnalyzer")
  using zelcore::classref::ClassStatics<SilenceAnalyzer>::CreateClassRef;

  // IAnalyzer:
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kSilenceAnalyzerId; }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kSilenceAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kSilenceTable; }
  // Times count from the start of the file's presentation, no longer from the first sample.
  std::string_view ResultKeyName() const override { return "silence.2"; }

  zelcore::Blob Compute(std::filesystem::path const& file, Progress const& progress, ReadVersion& read) const override {
    AnalyzerParameter const parameter = Parameter();
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
};

}  // namespace

zelcore::InterfaceRef<IAnalyzer> CreateSilenceAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                       std::any const& parameter,
                                                       zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<SilenceAnalyzer>(clip, parameter, host, "");
}

}  // namespace Quillan::Examples::detail
