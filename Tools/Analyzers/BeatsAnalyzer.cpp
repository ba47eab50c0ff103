#include <aubio/aubio.h>

#include <memory>
#include <mutex>

#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/Detail/MediaReader.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
namespace {

constexpr uint_t kWindow = 1024;
constexpr uint_t kHop = 512;

// aubio plans its FFTs with FFTW, whose planner must not run on two threads at once.
std::mutex& PlannerMutex() {
  static std::mutex mutex;
  return mutex;
}

struct AubioDeleter {
  void operator()(aubio_tempo_t* tempo) const {
    std::lock_guard lock(PlannerMutex());
    del_aubio_tempo(tempo);
  }
  void operator()(aubio_onset_t* onset) const {
    std::lock_guard lock(PlannerMutex());
    del_aubio_onset(onset);
  }
  void operator()(fvec_t* vector) const { del_fvec(vector); }
};

constexpr ParameterSetting kSettings[] = {kAudioStreamSetting};
constexpr ParameterTable kTable{kBeatsAnalyzerName, "onsets, beats and tempo of the audio", kSettings};

// Onsets, beats and tempo of an audio stream, by aubio's default detectors on the channels' mean.
class BeatsAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<BeatsAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::BeatsAnalyzer")
  using zelcore::classref::ClassStatics<BeatsAnalyzer>::CreateClassRef;

  // IAnalyzer:
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kBeatsAnalyzerId; }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kBeatsAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kTable; }

  zelcore::Blob Compute(std::filesystem::path const& file, Progress const& progress, ReadVersion& read) const override {
    AnalyzerParameter const parameter = Parameter();
    MediaReader media(file, MediaInput::Probe::kAudio);
    MediaReader::AudioFormat const format = media.SelectAudio(parameter.Stream());
    std::unique_ptr<aubio_tempo_t, AubioDeleter> tempo;
    std::unique_ptr<aubio_onset_t, AubioDeleter> onset;
    {
      std::lock_guard lock(PlannerMutex());
      tempo.reset(new_aubio_tempo("default", kWindow, kHop, format.sampleRate));
      onset.reset(new_aubio_onset("default", kWindow, kHop, format.sampleRate));
    }
    std::unique_ptr<fvec_t, AubioDeleter> const in(new_fvec(kHop));
    std::unique_ptr<fvec_t, AubioDeleter> const tempoOut(new_fvec(2));
    std::unique_ptr<fvec_t, AubioDeleter> const onsetOut(new_fvec(2));
    if (!tempo || !onset || !in || !tempoOut || !onsetOut) {
      throw zelcore::config::zel_exception(
          "Beat tracking could not start at " + std::to_string(format.sampleRate) + " Hz",
          zelcore::config::kResultUnexpected);
    }
    Beats beats;
    beats.sampleRate = format.sampleRate;
    std::size_t const channels = format.channelCount;
    float const scale = 1.0f / static_cast<float>(channels);
    uint_t filled = 0;
    auto step = [&] {
      aubio_tempo_do(tempo.get(), in.get(), tempoOut.get());
      if (tempoOut->data[0] != 0) beats.beats.push_back(aubio_tempo_get_last_s(tempo.get()));
      aubio_onset_do(onset.get(), in.get(), onsetOut.get());
      if (onsetOut->data[0] != 0) beats.onsets.push_back(aubio_onset_get_last_s(onset.get()));
      filled = 0;
    };
    beats.frameCount = media.ReadAudio(progress, [&](std::span<float const> samples, std::size_t count) {
      for (std::size_t i = 0; i < count; ++i) {
        float sum = 0;
        for (std::size_t c = 0; c < channels; ++c) sum += samples[i * channels + c];
        in->data[filled++] = sum * scale;
        if (filled == kHop) step();
      }
    });
    read.Note(media.File());
    if (filled > 0) {
      std::fill(in->data + filled, in->data + kHop, 0.0f);
      step();
    }
    // The tracker goes on predicting beats through a steady tone; without two onsets there is no rhythm to follow.
    if (beats.onsets.size() < 2) beats.beats.clear();
    beats.tempoBpm = beats.beats.size() < 2 ? 0.0 : aubio_tempo_get_bpm(tempo.get());
    return EncodeBeats(beats);
  }
};

}  // namespace

zelcore::InterfaceRef<IAnalyzer> CreateBeatsAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                     std::any const& parameter,
                                                     zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<BeatsAnalyzer>(clip, parameter, host, "");
}

}  // namespace Quillan::Examples::detail
