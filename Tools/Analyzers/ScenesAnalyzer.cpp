#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/Detail/MediaReader.h"
#include "Analyzers/ExampleAnalyzers.h"

namespace Quillan::Examples::detail {
namespace {

// Pictures are compared at this width: enough to tell shots apart, small enough to cost little beside decoding.
constexpr int kScaledWidth = 256;
constexpr ParameterSetting kSettings[] = {
    {"threshold", "the score (the jump in mean luma difference) from which a picture starts a new shot", 10, "", 0, 100,
     "levels", false, true},
    kVideoStreamSetting,
};
constexpr ParameterTable kTable{kScenesAnalyzerName, "shot boundaries of the video: frame, time and score of every cut",
                                kSettings};

// The mean absolute difference of two pictures of the same size, in 8-bit levels.
double MeanAbsoluteDifference(std::span<std::uint8_t const> a, std::span<std::uint8_t const> b) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += static_cast<std::uint64_t>(std::abs(a[i] - b[i]));
  return a.empty() ? 0.0 : static_cast<double>(sum) / static_cast<double>(a.size());
}

// Shot boundaries of a video stream. A picture starts a new shot when it differs from the previous one by much more
// than that one differed from its own predecessor: a cut jumps, while a pan or a fade changes every picture by
// about the same amount.
class ScenesAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<ScenesAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::ScenesAnalyzer")
  using zelcore::classref::ClassStatics<ScenesAnalyzer>::CreateClassRef;

  // IAnalyzer:
  // Decoding pictures takes the decoder's own threads; two jobs keep a machine busy.
  std::optional<std::size_t> GetMaxJobCount() const override { return 2; }
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kScenesAnalyzerId; }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kScenesAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kTable; }

  zelcore::Blob Compute(std::filesystem::path const& file, Progress const& progress, ReadVersion& read) const override {
    AnalyzerParameter const parameter = Parameter();
    Scenes scenes;
    scenes.threshold = parameter.Number("threshold");
    MediaReader media(file, MediaInput::Probe::kVideo);
    // A file without pictures fails as not applicable: "0 cuts" would claim a look at pictures it never had.
    MediaReader::VideoFormat const format = media.SelectVideo(parameter.Stream(), kScaledWidth);
    scenes.frameRate = format.frameRate;
    std::vector<std::uint8_t> previous;
    double previousDifference = 0;
    scenes.frameCount = media.ReadVideo(progress, [&](MediaReader::Picture const& picture) {
      if (previous.size() == picture.luma.size()) {
        double const difference = MeanAbsoluteDifference(previous, picture.luma);
        double const score = std::clamp(std::min(difference, std::fabs(difference - previousDifference)), 0.0, 100.0);
        previousDifference = difference;
        if (score >= scenes.threshold && score > 0) scenes.cuts.push_back({picture.index, picture.seconds, score});
      } else {
        previousDifference = 0;
      }
      previous.assign(picture.luma.begin(), picture.luma.end());
    });
    read.Note(media.File());
    return EncodeScenes(scenes);
  }
};

}  // namespace

zelcore::InterfaceRef<IAnalyzer> CreateScenesAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                      std::any const& parameter,
                                                      zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<ScenesAnalyzer>(clip, parameter, host, "");
}

}  // namespace Quillan::Examples::detail
