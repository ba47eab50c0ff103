#pragma once

#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

namespace testsupport {

// A PNG file read back with Cairo, pixel by pixel as 0xRRGGBB.
class DecodedPng {
 public:
  explicit DecodedPng(std::filesystem::path const& path) : surface_(cairo_image_surface_create_from_png(path.c_str())) {
    EXPECT_EQ(cairo_surface_status(surface_), CAIRO_STATUS_SUCCESS) << path;
    cairo_surface_flush(surface_);
  }
  ~DecodedPng() { cairo_surface_destroy(surface_); }
  DecodedPng(DecodedPng const&) = delete;
  DecodedPng& operator=(DecodedPng const&) = delete;

  bool Ok() const { return cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS; }
  int Width() const { return cairo_image_surface_get_width(surface_); }
  int Height() const { return cairo_image_surface_get_height(surface_); }
  std::uint32_t Pixel(int x, int y) const {
    auto const* row = cairo_image_surface_get_data(surface_) +
                      static_cast<std::ptrdiff_t>(y) * cairo_image_surface_get_stride(surface_);
    return reinterpret_cast<std::uint32_t const*>(row)[x] & 0xffffff;
  }

 private:
  cairo_surface_t* surface_;
};

}  // namespace testsupport
