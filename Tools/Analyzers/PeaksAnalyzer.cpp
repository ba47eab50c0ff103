#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "Analyzers/Detail/AudioFile.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
namespace {

// The text of the parameter as given: an int or text (std::string or ImmutableString); the default when none.
std::string ParameterText(std::any const& parameter) {
  if (!parameter.has_value()) return std::to_string(kDefaultSamplesPerPeak);
  if (auto const* value = std::any_cast<int>(&parameter)) return std::to_string(*value);
  if (auto const* value = std::any_cast<std::string>(&parameter)) return *value;
  if (auto const* value = std::any_cast<ImmutableString>(&parameter)) return value->ToUTF8String();
  return std::string("<") + parameter.type().name() + ">";
}

// Samples per peak from its text; empty unless it is a whole decimal number from 1 to 2^31-1.
std::optional<std::uint32_t> ParseSamplesPerPeak(std::string const& text) {
  std::int32_t value = 0;
  auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value <= 0) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

// The per-channel peak envelope of an audio file.
class PeaksAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<PeaksAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::PeaksAnalyzer")
  using zelcore::classref::ClassStatics<PeaksAnalyzer>::CreateClassRef;

  static zelcore::InterfaceRef<IAnalyzer> Create(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                 std::any const& parameter,
                                                 zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
    auto analyzer = CreateClassRef();
    analyzer->parameterText_ = ParameterText(parameter);
    analyzer->InitializeExample(clip, parameter, host);
    return zelcore::InterfaceRef<IAnalyzer>(analyzer);
  }

  // IAnalyzer:
  std::optional<std::size_t> GetMaxJobCount() const override { return 2; }
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kPeaksAnalyzerId; }
  ImmutableString GetSerializedParameter() const override { return ImmutableString::Create(parameterText_); }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kPeaksAnalyzerName); }

 protected:
  zelcore::Blob Compute(std::filesystem::path const& file, Progress const& progress) const override {
    std::optional<std::uint32_t> const samplesPerPeak = ParseSamplesPerPeak(parameterText_);
    if (!samplesPerPeak) {
      throw zelcore::config::zel_exception(
          "Samples per peak must be a whole number from 1 to 2147483647, not \"" + parameterText_ + "\"",
          kResultIllegalArgument);
    }
    AudioFile audio(file);
    std::uint32_t const channels = audio.ChannelCount();
    std::vector<float> peaks;
    std::vector<float> current(channels, 0.0f);
    std::uint32_t inCurrent = 0;
    audio.ReadAll(progress, [&](std::span<float const> samples, std::size_t frames) {
      for (std::size_t frame = 0; frame < frames; ++frame) {
        for (std::uint32_t c = 0; c < channels; ++c) {
          current[c] = std::max(current[c], std::fabs(samples[frame * channels + c]));
        }
        if (++inCurrent == *samplesPerPeak) {
          peaks.insert(peaks.end(), current.begin(), current.end());
          std::fill(current.begin(), current.end(), 0.0f);
          inCurrent = 0;
        }
      }
    });
    if (inCurrent > 0) peaks.insert(peaks.end(), current.begin(), current.end());

    BlobWriter out;
    out.Put(channels);
    out.Put(*samplesPerPeak);
    out.Put(audio.SampleRate());
    out.Put(static_cast<std::uint32_t>(channels == 0 ? 0 : peaks.size() / channels));
    out.Put(audio.FrameCount());
    for (float const peak : peaks) out.Put(peak);
    return out.Finish();
  }

 private:
  std::string parameterText_;  // set before Initialize, read only afterwards
};

}  // namespace

zelcore::InterfaceRef<IAnalyzer> CreatePeaksAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                     std::any const& parameter,
                                                     zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return PeaksAnalyzer::Create(clip, parameter, host);
}

}  // namespace Quillan::Examples::detail
