#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/Detail/MediaReader.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
namespace {

constexpr ParameterSetting kSettings[] = {
    {"samples", "how many frames each peak covers: it is the largest sample of a run this long, per channel",
     kDefaultSamplesPerPeak, "", 1, std::numeric_limits<std::int32_t>::max(), "frames", true, true},
    kAudioStreamSetting,
};
constexpr ParameterTable kTable{kPeaksAnalyzerName, "peak envelope of the audio, per channel", kSettings};

// The per-channel peak envelope of an audio file.
class PeaksAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<PeaksAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::PeaksAnalyzer")
  using zelcore::classref::ClassStatics<PeaksAnalyzer>::CreateClassRef;

  // IAnalyzer:
  std::optional<std::size_t> GetMaxJobCount() const override { return 2; }
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kPeaksAnalyzerId; }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kPeaksAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kTable; }

  zelcore::Blob Compute(std::filesystem::path const& file, Progress const& progress, ReadVersion& read) const override {
    AnalyzerParameter const parameter = Parameter();
    auto const samplesPerPeak = static_cast<std::uint32_t>(parameter.Number("samples"));
    MediaReader media(file, MediaInput::Probe::kAudio);
    MediaReader::AudioFormat const format = media.SelectAudio(parameter.Stream());
    std::uint32_t const channels = format.channelCount;
    std::vector<float> peaks;
    std::vector<float> current(channels, 0.0f);
    std::uint32_t inCurrent = 0;
    std::uint64_t const frameCount = media.ReadAudio(progress, [&](std::span<float const> samples, std::size_t frames) {
      for (std::size_t frame = 0; frame < frames; ++frame) {
        for (std::uint32_t c = 0; c < channels; ++c) {
          current[c] = std::max(current[c], std::fabs(samples[frame * channels + c]));
        }
        if (++inCurrent == samplesPerPeak) {
          peaks.insert(peaks.end(), current.begin(), current.end());
          std::fill(current.begin(), current.end(), 0.0f);
          inCurrent = 0;
        }
      }
    });
    read.Note(media.File());
    if (inCurrent > 0) peaks.insert(peaks.end(), current.begin(), current.end());

    BlobWriter out;
    out.Put(channels);
    out.Put(samplesPerPeak);
    out.Put(format.sampleRate);
    out.Put(static_cast<std::uint32_t>(channels == 0 ? 0 : peaks.size() / channels));
    out.Put(frameCount);
    for (float const peak : peaks) out.Put(peak);
    return out.Finish();
  }
};

}  // namespace

zelcore::InterfaceRef<IAnalyzer> CreatePeaksAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                     std::any const& parameter,
                                                     zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<PeaksAnalyzer>(clip, parameter, host, std::to_string(kDefaultSamplesPerPeak));
}

}  // namespace Quillan::Examples::detail
