#pragma once

#include <cairo.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Quillan::Pictures::detail {

// An RGB picture drawn with Cairo and encoded as PNG. Text is drawn in Cairo's own sans-serif face. Throws
// PictureError when Cairo cannot make the picture (out of memory, a size Cairo refuses). Not thread-safe.
class Canvas {
 public:
  enum class Align { kLeft, kCentre, kRight };

  Canvas(int width, int height);
  ~Canvas();
  Canvas(Canvas const&) = delete;
  Canvas& operator=(Canvas const&) = delete;

  cairo_t* Context() const { return context_; }
  cairo_surface_t* Surface() const { return surface_; }
  int Width() const { return width_; }
  int Height() const { return height_; }

  void SetColour(std::uint32_t rgb) const;
  // Fills whole pixels: columns [x, x + width), rows [y, y + height).
  void FillPixels(int x, int y, int width, int height) const;
  // Text whose baseline starts (kLeft), is centred (kCentre) or ends (kRight) at x, kept inside the picture.
  void Text(double x, double baseline, std::string const& text, Align align, double size = 11) const;

  std::vector<std::uint8_t> EncodePng() const;

 private:
  int width_;
  int height_;
  cairo_surface_t* surface_ = nullptr;
  cairo_t* context_ = nullptr;
};

}  // namespace Quillan::Pictures::detail
