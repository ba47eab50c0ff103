#include <array>
#include <memory>
#include <optional>
#include <utility>

#include "AnalyzerMedia/Detail/FrameGrabber.h"
#include "AnalyzerMedia/Detail/Measures.h"
#include "AnalyzerMedia/Detail/MediaReader.h"
#include "AnalyzerMedia/Detail/SharedAudio.h"
#include "AnalyzerMedia/FfmpegLog.h"
#include "AnalyzerMedia/MediaInput.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/Detail/MediaModule.h"
#include "zelcore/ZelException.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace Quillan::Examples::detail {
namespace {

std::array<std::pair<zelcore::utility::Guid, Measure>, 8> const kMeasures{{
    {kDigestAnalyzerId, &MeasureDigest},
    {kPeaksAnalyzerId, &MeasurePeaks},
    {kLoudnessAnalyzerId, &MeasureLoudness},
    {kScenesAnalyzerId, &MeasureScenes},
    {kSilenceAnalyzerId, &MeasureSilence},
    {kBeatsAnalyzerId, &MeasureBeats},
    {kBlackAnalyzerId, &MeasureBlack},
    {kFreezeAnalyzerId, &MeasureFreeze},
}};

class Module final : public MediaModule {
 public:
  zelcore::Blob Measure(zelcore::utility::Guid const& analyzer, AnalyzerParameter const& parameter,
                        std::filesystem::path const& file, Progress const& progress, ReadVersion& read) const override {
    for (auto const& [id, measure] : kMeasures) {
      if (id == analyzer) return measure(parameter, file, progress, read);
    }
    throw zelcore::config::zel_exception("The media module measures no analyzer " + analyzer.AsUTF8String(),
                                         zelcore::config::kResultUnexpected);
  }

  std::optional<double> Duration(std::filesystem::path const& file) const override {
    try {
      MediaInput input(file);
      AVFormatContext const* format = input.Format();
      // A duration needs no pictures: the probe opens audio decoders only.
      if (format->duration == AV_NOPTS_VALUE) input.ProbeStreams(MediaInput::Probe::kAudio);
      if (format->duration == AV_NOPTS_VALUE || format->duration <= 0) return std::nullopt;
      return static_cast<double>(format->duration) / AV_TIME_BASE;
    } catch (zelcore::config::zel_exception const&) {
      return std::nullopt;
    }
  }

  std::unique_ptr<VideoFrames> OpenVideoFrames(std::filesystem::path const& file, int stream) const override {
    return std::make_unique<FrameGrabber>(file, stream);
  }

  void UseFfmpegLogForErrors() const override { InstallFfmpegLogPolicy(); }
  void BoundFfmpegAllocations() const override { LimitFfmpegAllocations(); }
  void SetVideoDecoderThreads(int threads) const override { MediaReader::SetVideoThreads(threads); }
  AudioDecodeCounts DecodeCounts() const override { return SharedAudio::Counts(); }
};

}  // namespace
}  // namespace Quillan::Examples::detail

extern "C" QUILLAN_EXAMPLES_EXPORT Quillan::Examples::detail::MediaModule const* quillan_example_media_module() {
  static Quillan::Examples::detail::Module const module;
  return &module;
}
