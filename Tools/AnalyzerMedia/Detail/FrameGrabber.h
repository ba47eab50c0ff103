#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "Analyzers/Detail/MediaModule.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace Quillan::Examples {
class MediaInput;
}

namespace Quillan::Examples::detail {

// Single pictures of a video file at chosen times, decoded with FFmpeg's libraries and scaled to a chosen height in
// Cairo's pixel layout (32-bit native-endian xRGB). The file is opened, probed and its stream chosen by MediaInput, as
// the scenes analyzer's reader does: only that file is read, its pictures are bounded in size, and times are on the
// same presentation clock. Throws zel_exception with MediaInput's message for a file that FFmpeg cannot read, that
// refers to other files, that has no video stream (or no such stream), whose pictures are too large, or that cannot
// be decoded. Not thread-safe.
class FrameGrabber final : public VideoFrames {
 public:
  // `stream`: an index in the file, or MediaInput::kBestStream.
  FrameGrabber(std::filesystem::path const& file, int stream);
  ~FrameGrabber() override;
  FrameGrabber(FrameGrabber const&) = delete;
  FrameGrabber& operator=(FrameGrabber const&) = delete;

  // The width that pictures scaled to `height` rows have, with the stream's pixel aspect applied; at most maxWidth.
  int ScaledWidth(int height, int maxWidth) const override;

  // The first picture shown at or after `seconds` (on the presentation clock, as the scenes analyzer counts it: from
  // the start of the file's presentation), within half a frame; the last picture when the stream ends first. Seeks to
  // the key frame before it and decodes forward, or only decodes on from the last picture when that key frame is not
  // ahead of it.
  Image Grab(double seconds, int width, int height) override;

 private:
  void Release();
  // Decodes the next picture into frame_; false at the end of the stream.
  bool NextPicture();
  double SecondsOf(AVFrame const& frame);
  Image Scale(AVFrame const& picture, double seconds, int width, int height);
  [[noreturn]] void Fail(char const* what, int error) const;

  std::unique_ptr<MediaInput> input_;
  AVFormatContext* format_ = nullptr;  // input_'s
  AVCodecContext* codec_ = nullptr;    // input_'s
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVFrame* kept_ = nullptr;  // the last picture decoded, for a time past the end
  SwsContext* scaler_ = nullptr;
  int stream_ = -1;
  bool draining_ = false;
  double lastTarget_ = -1;  // the time of the last Grab; -1 before the first
};

}  // namespace Quillan::Examples::detail
