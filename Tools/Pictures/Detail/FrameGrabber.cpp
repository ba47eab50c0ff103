#include "Pictures/Detail/FrameGrabber.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "Analyzers/MediaInput.h"
#include "Pictures/PictureFile.h"
#include "zelcore/ZelException.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

namespace Quillan::Pictures::detail {
namespace {

constexpr double kDecodeAheadSeconds = 2;

std::string ErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

}  // namespace

FrameGrabber::FrameGrabber(std::filesystem::path const& file, int stream) : file_(file) {
  // The input's failures (not media, refers to other files, pictures too large) already name the file and the reason.
  auto const asPictureError = [](auto&& step) {
    try {
      step();
    } catch (zelcore::config::zel_exception const& error) {
      throw PictureError(error.what());
    }
  };
  try {
    asPictureError([&] {
      input_ = std::make_unique<Examples::MediaInput>(file);
      input_->ProbeStreams(Examples::MediaInput::Probe::kVideo);
    });
    format_ = input_->Format();
    if (stream == kBestStream) {
      stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
      if (stream_ < 0) throw PictureError("\"" + file.string() + "\" has no video stream to take pictures from");
    } else {
      if (stream < 0 || static_cast<unsigned>(stream) >= format_->nb_streams ||
          format_->streams[stream]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
        throw PictureError("\"" + file.string() + "\" has no video stream " + std::to_string(stream));
      }
      stream_ = stream;
    }
    // Cover art is a single attached picture, not a video to take scenes from.
    if (format_->streams[stream_]->disposition & AV_DISPOSITION_ATTACHED_PIC) {
      throw PictureError("\"" + file.string() + "\" has no video stream, only attached cover art");
    }
    asPictureError([&] { codec_ = input_->OpenDecoder(stream_, 1); });
    double const origin = input_->PresentationStart();
    origin_ = std::isfinite(origin) ? origin : 0;
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    kept_ = av_frame_alloc();
    if (!packet_ || !frame_ || !kept_) Fail("could not be opened", AVERROR(ENOMEM));
  } catch (...) {
    Release();
    throw;
  }
}

FrameGrabber::~FrameGrabber() { Release(); }

void FrameGrabber::Release() {
  sws_freeContext(scaler_);
  scaler_ = nullptr;
  av_frame_free(&kept_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  codec_ = nullptr;
  format_ = nullptr;
  input_.reset();
}

void FrameGrabber::Fail(char const* what, int error) const {
  if (input_ && !input_->Refusal().empty()) {
    throw PictureError("Cannot read media file " + file_.string() + ": " + input_->Refusal());
  }
  throw PictureError("\"" + file_.string() + "\" " + what + ": " + ErrorText(error));
}

int FrameGrabber::ScaledWidth(int height, int maxWidth) const {
  AVCodecParameters const* parameters = format_->streams[stream_]->codecpar;
  AVRational aspect = av_guess_sample_aspect_ratio(format_, format_->streams[stream_], nullptr);
  if (aspect.num <= 0 || aspect.den <= 0) aspect = AVRational{1, 1};
  if (parameters->width <= 0 || parameters->height <= 0) return std::min(maxWidth, height * 16 / 9);
  double const shown = static_cast<double>(parameters->width) * av_q2d(aspect) / parameters->height;
  return std::clamp(static_cast<int>(std::lround(height * shown)), 1, maxWidth);
}

double FrameGrabber::SecondsOf(AVFrame const& frame) const {
  std::int64_t const pts = frame.best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) return NAN;
  return static_cast<double>(pts) * av_q2d(format_->streams[stream_]->time_base) - origin_;
}

bool FrameGrabber::NextPicture() {
  for (;;) {
    int const received = avcodec_receive_frame(codec_, frame_);
    if (received == 0) return true;
    if (received == AVERROR_EOF) return false;
    if (received != AVERROR(EAGAIN)) Fail("has video that cannot be decoded", received);
    if (draining_) return false;
    int const read = av_read_frame(format_, packet_);
    if (read == AVERROR_EOF) {
      draining_ = true;
      avcodec_send_packet(codec_, nullptr);
      continue;
    }
    if (read < 0) Fail("could not be read", read);
    if (packet_->stream_index == stream_) {
      int const sent = avcodec_send_packet(codec_, packet_);
      // A damaged packet is skipped, as players skip it; the next key frame decodes again.
      if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) {
        av_packet_unref(packet_);
        Fail("has video that cannot be decoded", sent);
      }
    }
    av_packet_unref(packet_);
  }
}

FrameGrabber::Image FrameGrabber::Grab(double seconds, int width, int height) {
  AVStream const* stream = format_->streams[stream_];
  double const frameRate = av_q2d(av_guess_frame_rate(format_, const_cast<AVStream*>(stream), nullptr));
  double const tolerance = frameRate > 0 ? 0.5 / frameRate : 0.001;
  double const start = stream->start_time != AV_NOPTS_VALUE
                           ? static_cast<double>(stream->start_time) * av_q2d(stream->time_base) - origin_
                           : 0;
  double const kept = kept_->width > 0 ? SecondsOf(*kept_) : NAN;
  // Before the first picture the reader stands at the stream's start, where a file that cannot seek is readable too.
  bool const fresh = lastTarget_ < 0;
  bool const forward = fresh || (seconds >= lastTarget_ && !std::isnan(kept));
  double const from = fresh ? start : kept;
  lastTarget_ = std::max(0.0, seconds);
  // The picture already decoded is the first at or after an earlier target, so it is the first at or after this one
  // too when it is not before it.
  if (forward && !fresh && kept >= seconds - tolerance) return Scale(*kept_, seconds, width, height);
  // The wanted picture is the only one within half a frame of the time: a key frame up to there may be that picture.
  std::int64_t target =
      static_cast<std::int64_t>(std::floor((seconds + origin_ + tolerance) / av_q2d(stream->time_base)));
  target = std::max<std::int64_t>(target, stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0);
  // Decoding on is cheaper than a seek unless the key frame before the target lies ahead of the reader. Where the file
  // has no index to tell, a target more than a little ahead is sought.
  bool seek = !forward;
  if (forward) {
    AVIndexEntry const* key =
        avformat_index_get_entry_from_timestamp(const_cast<AVStream*>(stream), target, AVSEEK_FLAG_BACKWARD);
    seek = key ? static_cast<double>(key->timestamp) * av_q2d(stream->time_base) - origin_ > from + tolerance
               : seconds - from > kDecodeAheadSeconds;
  }
  if (seek) {
    int const error = av_seek_frame(format_, stream_, target, AVSEEK_FLAG_BACKWARD);
    if (error >= 0) {
      avcodec_flush_buffers(codec_);
      draining_ = false;
      av_frame_unref(kept_);
    } else if (!forward) {
      Fail("cannot be searched for a picture", error);
    }
  }
  while (NextPicture()) {
    double const at = SecondsOf(*frame_);
    av_frame_unref(kept_);
    av_frame_move_ref(kept_, frame_);
    if (std::isnan(at) || at >= seconds - tolerance) break;
  }
  // Past the last picture, the last picture.
  if (kept_->width == 0) Fail("has no picture to show", AVERROR_EOF);
  return Scale(*kept_, seconds, width, height);
}

FrameGrabber::Image FrameGrabber::Scale(AVFrame const& picture, double seconds, int width, int height) {
  scaler_ = sws_getCachedContext(scaler_, picture.width, picture.height, static_cast<AVPixelFormat>(picture.format),
                                 width, height, AV_PIX_FMT_RGB32, SWS_AREA, nullptr, nullptr, nullptr);
  if (!scaler_) Fail("has pictures that cannot be scaled", AVERROR(EINVAL));
  Image image;
  image.width = width;
  image.height = height;
  image.stride = width * 4;
  image.seconds = std::isnan(SecondsOf(picture)) ? seconds : SecondsOf(picture);
  image.pixels.resize(static_cast<std::size_t>(image.stride) * static_cast<std::size_t>(height));
  std::uint8_t* planes[4] = {image.pixels.data(), nullptr, nullptr, nullptr};
  int strides[4] = {image.stride, 0, 0, 0};
  sws_scale(scaler_, picture.data, picture.linesize, 0, picture.height, planes, strides);
  return image;
}

}  // namespace Quillan::Pictures::detail
