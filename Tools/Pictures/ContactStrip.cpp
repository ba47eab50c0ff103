#include "Pictures/ContactStrip.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "Analyzers/Detail/MediaModule.h"
#include "Pictures/Detail/Canvas.h"
#include "Pictures/TimeAxis.h"
#include "zelcore/ZelException.h"

namespace Quillan::Pictures {
namespace {

constexpr int kPadding = 8;
constexpr int kCaptionHeight = 18;
constexpr std::uint32_t kStripBackground = 0x202226;
constexpr std::uint32_t kCaptionColour = 0xe8eaed;

// Frame-accurate labels: hundredths of a second, as a clock once the video runs a minute or more.
std::string StartLabel(double seconds, bool clock) { return FormatTime(seconds, 0.01, clock); }

void CheckOptions(ContactStripOptions const& options) {
  if (options.thumbnailHeight < kMinThumbnailHeight || options.thumbnailHeight > kMaxThumbnailHeight) {
    throw std::invalid_argument("The thumbnail height must be from " + std::to_string(kMinThumbnailHeight) + " to " +
                                std::to_string(kMaxThumbnailHeight) + " pixels");
  }
  if (options.maxWidth < kMinStripWidth || options.maxWidth > kMaxStripWidth) {
    throw std::invalid_argument("The strip's width must be from " + std::to_string(kMinStripWidth) + " to " +
                                std::to_string(kMaxStripWidth) + " pixels");
  }
  if (options.maxScenes < 1 || options.maxScenes > kMaxStripScenes) {
    throw std::invalid_argument("A strip shows from 1 to " + std::to_string(kMaxStripScenes) + " scenes");
  }
}

void CheckMarks(std::vector<StripMark> const& marks, double endSeconds) {
  if (!std::isfinite(endSeconds) || endSeconds < 0) {
    throw std::invalid_argument("A video cannot end at " + std::to_string(endSeconds) + " s");
  }
  for (StripMark const& mark : marks) {
    if (!std::isfinite(mark.start) || !std::isfinite(mark.end) || mark.end < mark.start) {
      throw std::invalid_argument("A marked stretch cannot run from " + std::to_string(mark.start) + " s to " +
                                  std::to_string(mark.end) + " s");
    }
  }
}

// Draws the marks that fall in [from, to) in their lanes along the bottom of the tile at (left, top).
void DrawMarks(detail::Canvas const& canvas, std::vector<StripMark> const& marks, double from, double to, int left,
               int bottom, int width) {
  double const length = to - from;
  for (StripMark const& mark : marks) {
    double const start = std::max(mark.start, from);
    double const end = std::min(mark.end, to);
    // A scene without length is covered or not; others show the part of their time the mark takes.
    bool const covers = length <= 0 ? mark.start <= from && from < mark.end : start < end;
    if (!covers) continue;
    int const x0 = length <= 0 ? 0 : static_cast<int>(std::floor((start - from) / length * width));
    int const x1 = length <= 0 ? width : static_cast<int>(std::ceil((end - from) / length * width));
    int const lane = mark.kind == MarkKind::kBlack ? 1 : 2;
    canvas.SetColour(mark.kind == MarkKind::kBlack ? kBlackMarkColour : kFrozenMarkColour);
    canvas.FillPixels(left + x0, bottom - lane * kMarkLaneHeight, std::max(1, x1 - x0), kMarkLaneHeight);
  }
}

// The media module's failures name the file and the reason; they reach the caller as PictureError.
template <class F>
auto Reading(F&& read) {
  try {
    return read();
  } catch (zelcore::config::zel_exception const& failure) {
    throw PictureError(failure.what());
  }
}

}  // namespace

std::vector<double> SceneStarts(Examples::Scenes const& scenes) {
  std::vector<double> starts{0.0};
  for (Examples::SceneCut const& cut : scenes.cuts) {
    if (!std::isfinite(cut.seconds) || cut.seconds < starts.back()) {
      throw PictureError("The scene cuts are damaged: a cut at " + std::to_string(cut.seconds) +
                         " s does not follow the one before it");
    }
    starts.push_back(cut.seconds);
  }
  return starts;
}

ContactStrip DrawContactStrip(std::filesystem::path const& media, std::vector<double> const& sceneStarts,
                              ContactStripOptions const& options) {
  CheckOptions(options);
  if (sceneStarts.empty()) throw std::invalid_argument("A contact strip needs at least one scene");
  for (double const start : sceneStarts) {
    if (!std::isfinite(start) || start < 0 || start > 1e9) {
      throw std::invalid_argument("A scene cannot start at " + std::to_string(start) + " s");
    }
  }
  CheckMarks(options.marks, options.endSeconds);
  double videoEnd = options.endSeconds;
  if (videoEnd == 0) {
    for (StripMark const& mark : options.marks) videoEnd = std::max(videoEnd, mark.end);
  }
  std::unique_ptr<Examples::detail::VideoFrames> const grabber =
      Reading([&] { return Examples::detail::LoadMediaModule().OpenVideoFrames(media, options.stream); });

  ContactStrip strip;
  std::size_t const shown = std::min(sceneStarts.size(), options.maxScenes);
  strip.scenesLeftOut = sceneStarts.size() - shown;
  int const height = options.thumbnailHeight;
  int const width = grabber->ScaledWidth(height, options.maxWidth - 2 * kPadding);
  int const tiles = static_cast<int>(shown) + (strip.scenesLeftOut > 0 ? 1 : 0);
  int const columns = std::max(1, std::min(tiles, (options.maxWidth - kPadding) / (width + kPadding)));
  int const rows = (tiles + columns - 1) / columns;
  int const pictureWidth = kPadding + columns * (width + kPadding);
  int const pictureHeight = kPadding + rows * (height + kCaptionHeight + kPadding);

  detail::Canvas canvas(pictureWidth, pictureHeight);
  canvas.SetColour(kStripBackground);
  cairo_paint(canvas.Context());
  bool const clock = UsesClock(sceneStarts[shown - 1]);
  for (int i = 0; i < tiles; ++i) {
    int const left = kPadding + (i % columns) * (width + kPadding);
    int const top = kPadding + (i / columns) * (height + kCaptionHeight + kPadding);
    double const captionBaseline = top + height + kCaptionHeight - 5;
    canvas.SetColour(kCaptionColour);
    if (static_cast<std::size_t>(i) == shown) {
      canvas.Text(left + width / 2.0, top + height / 2.0 + 6, "+" + std::to_string(strip.scenesLeftOut) + " more",
                  detail::Canvas::Align::kCentre, 16);
      break;
    }
    double const start = sceneStarts[static_cast<std::size_t>(i)];
    Examples::detail::VideoFrames::Image image = Reading([&] { return grabber->Grab(start, width, height); });
    cairo_surface_t* thumbnail = cairo_image_surface_create_for_data(image.pixels.data(), CAIRO_FORMAT_RGB24,
                                                                     image.width, image.height, image.stride);
    cairo_set_source_surface(canvas.Context(), thumbnail, left, top);
    cairo_paint(canvas.Context());
    cairo_surface_destroy(thumbnail);
    std::size_t const next = static_cast<std::size_t>(i) + 1;
    double const end = next < sceneStarts.size() ? sceneStarts[next] : std::max(start, videoEnd);
    DrawMarks(canvas, options.marks, start, end, left, top + height, width);
    canvas.SetColour(kCaptionColour);
    canvas.Text(left + width / 2.0, captionBaseline, StartLabel(start, clock), detail::Canvas::Align::kCentre);
    strip.tiles.push_back({left, top, width, height, start});
  }
  strip.png = canvas.EncodePng();
  return strip;
}

std::size_t WriteContactStrip(std::filesystem::path const& output, std::filesystem::path const& media,
                              Examples::Scenes const& scenes, ContactStripOptions const& options) {
  ContactStrip const strip = DrawContactStrip(media, SceneStarts(scenes), options);
  WritePictureFile(output, strip.png);
  return strip.scenesLeftOut;
}

}  // namespace Quillan::Pictures
