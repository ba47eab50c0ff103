#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "AnalyzerMedia/Detail/Measures.h"
#include "AnalyzerMedia/Detail/MediaReader.h"
#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/ExampleAnalyzers.h"

namespace Quillan::Examples::detail {
namespace {}  // namespace

// Black segments of a video stream: runs of pictures in which nearly every luma sample is near black. A threshold is a
// share of the luma's own range, 0 to 255 or video's 16 to 235, as blackdetect reads it.
zelcore::Blob MeasureBlack(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                           Progress const& progress, ReadVersion& read) {
  Black black;
  black.minimumSeconds = parameter.Number("d");
  black.pictureThreshold = parameter.Number("pic_th");
  black.pixelThreshold = parameter.Number("pix_th");
  MediaReader media(file, MediaInput::Probe::kVideo);
  // A file without pictures fails as not applicable: "no black" would claim a look at pictures it never had.
  MediaReader::VideoFormat const format = media.SelectVideo(parameter.Stream(), MediaReader::kAnalysisWidth);
  black.frameRate = format.frameRate;
  // Truncated as blackdetect truncates its threshold, so that the same pix_th counts the same samples.
  auto const blackLevel = [&](bool fullRange) {
    return static_cast<std::uint8_t>(fullRange ? std::floor(black.pixelThreshold * 255)
                                               : 16 + std::floor(black.pixelThreshold * (235 - 16)));
  };
  std::optional<VideoSegment> run;  // the black run still going on, its end not yet known
  double lastSeconds = 0;
  double lastInterval = 0;
  auto const finish = [&](std::uint64_t endFrame, double endSeconds) {
    if (run && endSeconds - run->start >= black.minimumSeconds - kTimeSlack) {
      run->endFrame = endFrame;
      run->end = endSeconds;
      black.segments.push_back(*run);
    }
    run.reset();
  };
  black.frameCount = media.ReadVideo(progress, [&](MediaReader::Picture const& picture) {
    std::uint8_t const level = blackLevel(picture.fullRange);
    std::size_t const blackSamples = static_cast<std::size_t>(
        std::count_if(picture.luma.begin(), picture.luma.end(), [&](std::uint8_t y) { return y <= level; }));
    bool const isBlack =
        !picture.luma.empty() && static_cast<double>(blackSamples) >= black.pictureThreshold * picture.luma.size();
    // Times that step back (a damaged stream) are held, so that segments keep to the order of the pictures.
    double const seconds = picture.index > 0 ? std::max(picture.seconds, lastSeconds) : picture.seconds;
    if (picture.index > 0) lastInterval = seconds - lastSeconds;
    lastSeconds = seconds;
    if (isBlack && !run) run = VideoSegment{picture.index, 0, seconds, 0};
    if (!isBlack) finish(picture.index, seconds);
  });
  read.Note(media.File());
  // A run still black at the end lasts to the end of its last picture.
  double const frameSeconds = black.frameRate > 0 ? 1 / black.frameRate : std::max(0.0, lastInterval);
  finish(black.frameCount, lastSeconds + frameSeconds);
  return EncodeBlack(black);
}

}  // namespace Quillan::Examples::detail
