#include "Pictures/Detail/Canvas.h"

#include <algorithm>

#include "Pictures/PictureFile.h"

namespace Quillan::Pictures::detail {
namespace {

cairo_status_t AppendBytes(void* closure, unsigned char const* data, unsigned int length) {
  auto* bytes = static_cast<std::vector<std::uint8_t>*>(closure);
  try {
    bytes->insert(bytes->end(), data, data + length);
  } catch (std::bad_alloc const&) {
    return CAIRO_STATUS_NO_MEMORY;
  }
  return CAIRO_STATUS_SUCCESS;
}

void Check(cairo_status_t status, char const* what) {
  if (status != CAIRO_STATUS_SUCCESS) {
    throw PictureError(std::string("Cannot ") + what + ": " + cairo_status_to_string(status));
  }
}

}  // namespace

Canvas::Canvas(int width, int height) : width_(width), height_(height) {
  surface_ = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  context_ = cairo_create(surface_);
  cairo_status_t const status = cairo_status(context_);
  if (status != CAIRO_STATUS_SUCCESS) {
    cairo_destroy(context_);
    cairo_surface_destroy(surface_);
    Check(status, "make the picture");
  }
  // Whole-pixel shapes stay crisp: a full-scale peak fills its lane to the last row and no further.
  cairo_set_antialias(context_, CAIRO_ANTIALIAS_NONE);
  cairo_select_font_face(context_, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
}

Canvas::~Canvas() {
  cairo_destroy(context_);
  cairo_surface_destroy(surface_);
}

void Canvas::SetColour(std::uint32_t rgb) const {
  cairo_set_source_rgb(context_, ((rgb >> 16) & 255) / 255.0, ((rgb >> 8) & 255) / 255.0, (rgb & 255) / 255.0);
}

void Canvas::FillPixels(int x, int y, int width, int height) const {
  if (width <= 0 || height <= 0) return;
  cairo_rectangle(context_, x, y, width, height);
  cairo_fill(context_);
}

void Canvas::Text(double x, double baseline, std::string const& text, Align align, double size) const {
  // Text edges look better smoothed; shapes keep whole pixels.
  cairo_save(context_);
  cairo_set_antialias(context_, CAIRO_ANTIALIAS_DEFAULT);
  cairo_set_font_size(context_, size);
  cairo_text_extents_t extents;
  cairo_text_extents(context_, text.c_str(), &extents);
  double left = x;
  if (align == Align::kCentre) left = x - extents.x_advance / 2;
  if (align == Align::kRight) left = x - extents.x_advance;
  left = std::clamp(left, 1.0, std::max(1.0, width_ - extents.x_advance - 1));
  cairo_move_to(context_, left, baseline);
  cairo_show_text(context_, text.c_str());
  cairo_restore(context_);
}

std::vector<std::uint8_t> Canvas::EncodePng() const {
  cairo_surface_flush(surface_);
  std::vector<std::uint8_t> bytes;
  Check(cairo_status(context_), "draw the picture");
  Check(cairo_surface_write_to_png_stream(surface_, &AppendBytes, &bytes), "encode the picture as PNG");
  return bytes;
}

}  // namespace Quillan::Pictures::detail
