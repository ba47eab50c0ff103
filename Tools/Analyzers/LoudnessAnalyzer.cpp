#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "Analyzers/Detail/AudioFile.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
namespace {

struct StateDeleter {
  void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};

void Check(int error, char const* what) {
  if (error != EBUR128_SUCCESS) {
    throw zelcore::config::zel_exception(
        std::string("Loudness measurement failed in ") + what + " (" + std::to_string(error) + ")",
        zelcore::config::kResultUnexpected);
  }
}

// EBU R128 integrated loudness, loudness range and true peak of an audio file.
class LoudnessAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<LoudnessAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::LoudnessAnalyzer")
  using zelcore::classref::ClassStatics<LoudnessAnalyzer>::CreateClassRef;

  // IAnalyzer:
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kLoudnessAnalyzerId; }
  // Takes no parameter.
  ImmutableString GetSerializedParameter() const override { return ImmutableString(); }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kLoudnessAnalyzerName); }

 protected:
  zelcore::Blob Compute(std::filesystem::path const& file, Progress const& progress) const override {
    AudioFile audio(file);
    if (audio.ChannelCount() == 0 || audio.SampleRate() == 0) {
      throw zelcore::config::zel_exception("Audio file has no channels: " + file.string(),
                                           zelcore::config::kResultFileRead);
    }
    std::unique_ptr<ebur128_state, StateDeleter> state(ebur128_init(
        audio.ChannelCount(), audio.SampleRate(), EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK));
    if (!state)
      throw zelcore::config::zel_exception("Loudness measurement could not start", zelcore::config::kResultUnexpected);
    audio.ReadAll(progress, [&](std::span<float const> samples, std::size_t frames) {
      Check(ebur128_add_frames_float(state.get(), samples.data(), frames), "ebur128_add_frames_float");
    });

    Loudness result;
    Check(ebur128_loudness_global(state.get(), &result.integratedLufs), "ebur128_loudness_global");
    Check(ebur128_loudness_range(state.get(), &result.rangeLu), "ebur128_loudness_range");
    double truePeak = 0;
    for (unsigned c = 0; c < audio.ChannelCount(); ++c) {
      double channelPeak = 0;
      Check(ebur128_true_peak(state.get(), c, &channelPeak), "ebur128_true_peak");
      truePeak = std::max(truePeak, channelPeak);
    }
    result.truePeakDbtp = 20.0 * std::log10(truePeak);  // -inf for silence

    BlobWriter out;
    out.Put(result.integratedLufs);
    out.Put(result.rangeLu);
    out.Put(result.truePeakDbtp);
    return out.Finish();
  }
};

}  // namespace

zelcore::InterfaceRef<IAnalyzer> CreateLoudnessAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                        std::any const& parameter,
                                                        zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<LoudnessAnalyzer>(clip, parameter, host);
}

}  // namespace Quillan::Examples::detail
