#include "Pictures/WaveformImage.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "Pictures/Detail/Canvas.h"
#include "Pictures/TimeAxis.h"

namespace Quillan::Pictures {
namespace {

constexpr int kLeftMargin = 58;
constexpr int kRightMargin = 14;
constexpr int kTopMargin = 8;
constexpr int kAxisHeight = 26;
constexpr int kLaneGap = 6;
constexpr int kTickLength = 5;
constexpr int kLabelledLaneHeight = 40;  // lanes lower than this get gridlines without labels

constexpr std::uint32_t kWaveformBackground = 0xffffff;
constexpr std::uint32_t kPlotBackground = 0xf4f5f7;
constexpr std::uint32_t kGridColour = 0xd5d9de;
constexpr std::uint32_t kTextColour = 0x3c4046;

// The part of a lane's half height that an amplitude fills.
double Fraction(double amplitude, AmplitudeScale scale) {
  if (!(amplitude > 0)) return 0;
  if (scale == AmplitudeScale::kLinear) return std::min(1.0, amplitude);
  double const decibels = 20 * std::log10(amplitude);
  return std::clamp((decibels - kDecibelFloor) / -kDecibelFloor, 0.0, 1.0);
}

struct Gridline {
  double fraction;
  std::string label;
};

std::vector<Gridline> Gridlines(AmplitudeScale scale) {
  if (scale == AmplitudeScale::kLinear) return {{1.0, "1.0"}, {0.5, "0.5"}, {0.0, "0"}};
  std::vector<Gridline> lines;
  for (double const decibels : {0.0, -6.0, -12.0, -24.0, -48.0}) {
    lines.push_back(
        {Fraction(std::pow(10.0, decibels / 20), scale), std::to_string(static_cast<int>(decibels)) + " dB"});
  }
  lines.push_back({0.0, std::to_string(static_cast<int>(kDecibelFloor)) + " dB"});
  return lines;
}

void DrawScale(detail::Canvas const& canvas, WaveformGeometry const& geometry, AmplitudeScale scale) {
  for (WaveformLane const& lane : geometry.lanes) {
    double const centre = lane.top + lane.height / 2;
    double const half = lane.height / 2.0;
    double lastLabel = -1e9;
    for (Gridline const& line : Gridlines(scale)) {
      for (int const side : {-1, 1}) {
        if (line.fraction == 0 && side == 1) continue;
        int const y = std::clamp(static_cast<int>(std::lround(centre + side * line.fraction * half)), lane.top,
                                 lane.top + lane.height - 1);
        canvas.SetColour(kGridColour);
        canvas.FillPixels(geometry.plotLeft, y, geometry.plotWidth, 1);
        // Labels on the upper half only, and only where they do not crowd each other.
        if (side == -1 && lane.height >= kLabelledLaneHeight && y - lastLabel >= 11) {
          canvas.SetColour(kTextColour);
          canvas.Text(geometry.plotLeft - 6, std::min<double>(y + 4, lane.top + lane.height), line.label,
                      detail::Canvas::Align::kRight, 10);
          lastLabel = y;
        }
      }
    }
  }
}

void DrawTimeAxis(detail::Canvas const& canvas, WaveformGeometry const& geometry, WaveformView const& view) {
  TimeAxis const axis = ChooseTimeAxis(view.FromSeconds(), view.ToSeconds(), geometry.plotWidth);
  double const span = view.ToSeconds() - view.FromSeconds();
  for (TimeTick const& tick : axis.ticks) {
    int const x =
        std::min(geometry.plotLeft + geometry.plotWidth - 1,
                 geometry.plotLeft +
                     static_cast<int>(std::lround((tick.seconds - view.FromSeconds()) / span * geometry.plotWidth)));
    canvas.SetColour(kGridColour);
    for (WaveformLane const& lane : geometry.lanes) canvas.FillPixels(x, lane.top, 1, lane.height);
    canvas.SetColour(kTextColour);
    canvas.FillPixels(x, geometry.axisTop, 1, kTickLength);
    canvas.Text(x, geometry.axisTop + kTickLength + 12, tick.label, detail::Canvas::Align::kCentre);
  }
  canvas.SetColour(kTextColour);
  canvas.FillPixels(geometry.plotLeft, geometry.axisTop, geometry.plotWidth, 1);
}

// Where a sample lies from the lane's centre, as a part of its half height: positive upwards.
double Height(float sample, AmplitudeScale scale) {
  return sample < 0 ? -Fraction(-static_cast<double>(sample), scale) : Fraction(sample, scale);
}

void DrawLanes(detail::Canvas const& canvas, WaveformGeometry const& geometry, WaveformView const& view,
               AmplitudeScale scale) {
  double const span = view.ToSeconds() - view.FromSeconds();
  canvas.SetColour(kWaveformColour);
  for (int column = 0; column < geometry.plotWidth; ++column) {
    double const start = view.FromSeconds() + span * column / geometry.plotWidth;
    double const end = view.FromSeconds() + span * (column + 1) / geometry.plotWidth;
    for (std::uint32_t laneIndex = 0; laneIndex < view.LaneCount(); ++laneIndex) {
      std::optional<WaveformExtent> const extent = view.ExtentOver(laneIndex, start, end);
      if (!extent) continue;  // no audio plays yet
      WaveformLane const& lane = geometry.lanes[laneIndex];
      double const half = lane.height / 2.0;
      double const centre = lane.top + lane.height / 2;
      double const high = centre - Height(extent->max, scale) * half;
      double const low = centre - Height(extent->min, scale) * half;
      int top = static_cast<int>(std::floor(high));
      int bottom = static_cast<int>(std::ceil(low));
      if (bottom - top < 1) {
        top = std::min(static_cast<int>(std::floor((high + low) / 2)), lane.top + lane.height - 1);
        bottom = top + 1;
      }
      top = std::max(top, lane.top);
      bottom = std::min(bottom, lane.top + lane.height);
      if (bottom > top) canvas.FillPixels(geometry.plotLeft + column, top, 1, bottom - top);
    }
  }
}

}  // namespace

WaveformGeometry LayOutWaveform(WaveformImageOptions const& options, std::uint32_t laneCount) {
  if (options.width < kMinWaveformWidth || options.width > kMaxWaveformSize) {
    throw std::invalid_argument("The width must be from " + std::to_string(kMinWaveformWidth) + " to " +
                                std::to_string(kMaxWaveformSize) + " pixels");
  }
  if (options.height > kMaxWaveformSize) {
    throw std::invalid_argument("The height must be at most " + std::to_string(kMaxWaveformSize) + " pixels");
  }
  int const lanes = static_cast<int>(std::max<std::uint32_t>(1, laneCount));
  int const available = options.height - kTopMargin - kAxisHeight - kLaneGap * (lanes - 1);
  int const laneHeight = available / lanes;
  if (laneCount > static_cast<std::uint32_t>(kMaxWaveformSize) || laneHeight < kMinLaneHeight) {
    int const needed = kTopMargin + kAxisHeight + lanes * kMinLaneHeight + kLaneGap * (lanes - 1);
    throw std::invalid_argument("A picture " + std::to_string(options.height) + " pixels high has no room for " +
                                std::to_string(laneCount) + " lanes; make it at least " + std::to_string(needed) +
                                " pixels high or mix the channels into one lane");
  }
  WaveformGeometry geometry;
  geometry.plotLeft = kLeftMargin;
  geometry.plotWidth = options.width - kLeftMargin - kRightMargin;
  // Leftover rows go below the lanes, so every lane has the same height.
  for (int i = 0; i < lanes; ++i) geometry.lanes.push_back({kTopMargin + i * (laneHeight + kLaneGap), laneHeight});
  geometry.axisTop = geometry.lanes.back().top + laneHeight + 2;
  return geometry;
}

std::vector<std::uint8_t> DrawWaveformPng(Examples::PeakEnvelope const& envelope, WaveformImageOptions const& options) {
  WaveformView const view(envelope, options.channels, options.fromSeconds, options.toSeconds);
  WaveformGeometry const geometry = LayOutWaveform(options, view.LaneCount());
  detail::Canvas canvas(options.width, options.height);
  canvas.SetColour(kWaveformBackground);
  cairo_paint(canvas.Context());
  canvas.SetColour(kPlotBackground);
  for (WaveformLane const& lane : geometry.lanes)
    canvas.FillPixels(geometry.plotLeft, lane.top, geometry.plotWidth, lane.height);
  DrawScale(canvas, geometry, options.scale);
  DrawTimeAxis(canvas, geometry, view);
  DrawLanes(canvas, geometry, view, options.scale);
  return canvas.EncodePng();
}

void WriteWaveformPng(std::filesystem::path const& path, Examples::PeakEnvelope const& envelope,
                      WaveformImageOptions const& options) {
  std::vector<std::uint8_t> const png = DrawWaveformPng(envelope, options);
  WritePictureFile(path, png);
}

}  // namespace Quillan::Pictures
