#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "AnalyzerMedia/Detail/Measures.h"
#include "AnalyzerMedia/Detail/MediaReader.h"
#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/ExampleAnalyzers.h"

namespace Quillan::Examples::detail {
namespace {

// The noise setting as a ratio: below 0 it is in dB (-60 dB is 0.001, as freezedetect reads it).
double NoiseRatio(double n) { return n < 0 ? std::pow(10.0, n / 20) : n; }

// Whether the mean absolute difference of two pictures of the same size is at most `limit` (a sum of levels), stopping
// as soon as it is not: moving pictures, the most of them, cost a few rows each.
bool WithinDifference(std::span<std::uint8_t const> a, std::span<std::uint8_t const> b, std::uint64_t limit) {
  constexpr std::size_t kStep = 4096;
  std::uint64_t sum = 0;
  for (std::size_t from = 0; from < a.size(); from += kStep) {
    std::size_t const to = std::min(a.size(), from + kStep);
    for (std::size_t i = from; i < to; ++i) sum += static_cast<std::uint64_t>(std::abs(a[i] - b[i]));
    if (sum > limit) return false;
  }
  return true;
}

}  // namespace

// Frozen segments of a video stream: runs of pictures that all stay within the noise of the run's first picture.
// Comparing with the first picture rather than the previous one keeps a slow fade or drift from counting as frozen.
zelcore::Blob MeasureFreeze(AnalyzerParameter const& parameter, std::filesystem::path const& file,
                            Progress const& progress, ReadVersion& read) {
  Freeze freeze;
  freeze.minimumSeconds = parameter.Number("d");
  freeze.noise = NoiseRatio(parameter.Number("n"));
  MediaReader media(file, MediaInput::Probe::kVideo);
  // A file without pictures fails as not applicable, as scenes and black do.
  MediaReader::VideoFormat const format = media.SelectVideo(parameter.Stream(), MediaReader::kAnalysisWidth);
  freeze.frameRate = format.frameRate;
  std::vector<std::uint8_t> still;  // the first picture of the current run
  VideoSegment run;                 // the current run; its end is not yet known
  std::uint64_t limit = 0;          // the noise as a sum of differences over a picture
  double lastSeconds = 0;
  double lastInterval = 0;
  auto const finish = [&](std::uint64_t endFrame, double endSeconds) {
    // A run of one picture is no freeze, however long that picture is shown.
    if (!still.empty() && endFrame - run.startFrame >= 2 &&
        endSeconds - run.start >= freeze.minimumSeconds - kTimeSlack) {
      run.endFrame = endFrame;
      run.end = endSeconds;
      freeze.segments.push_back(run);
    }
  };
  freeze.frameCount = media.ReadVideo(progress, [&](MediaReader::Picture const& picture) {
    // Times that step back (a damaged stream) are held, so that segments keep to the order of the pictures.
    double const seconds = picture.index > 0 ? std::max(picture.seconds, lastSeconds) : picture.seconds;
    if (picture.index > 0) lastInterval = seconds - lastSeconds;
    lastSeconds = seconds;
    if (still.size() == picture.luma.size() && WithinDifference(still, picture.luma, limit)) return;
    finish(picture.index, seconds);
    still.assign(picture.luma.begin(), picture.luma.end());
    run = VideoSegment{picture.index, 0, seconds, 0};
    // Full scale is 256 levels, as freezedetect takes it.
    limit = static_cast<std::uint64_t>(std::floor(freeze.noise * 256 * static_cast<double>(still.size())));
  });
  read.Note(media.File());
  // A run still frozen at the end lasts to the end of its last picture.
  double const frameSeconds = freeze.frameRate > 0 ? 1 / freeze.frameRate : std::max(0.0, lastInterval);
  finish(freeze.frameCount, lastSeconds + frameSeconds);
  return EncodeFreeze(freeze);
}

}  // namespace Quillan::Examples::detail
