#include "AnalyzerMedia/Detail/FrameGrabber.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "AnalyzerMedia/MediaInput.h"
#include "zelcore/ZelException.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

namespace Quillan::Examples::detail {
namespace {

constexpr double kDecodeAheadSeconds = 2;

}  // namespace

FrameGrabber::FrameGrabber(std::filesystem::path const& file, int stream) {
  try {
    // The input's failures name the file and the reason.
    input_ = std::make_unique<MediaInput>(file);
    input_->ProbeStreams(MediaInput::Probe::kVideo);
    stream_ = input_->ChooseStream(MediaInput::Probe::kVideo, stream);
    codec_ = input_->OpenDecoder(stream_, 1);
    format_ = input_->Format();
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    kept_ = av_frame_alloc();
    if (!packet_ || !frame_ || !kept_) Fail("could not allocate", AVERROR(ENOMEM));
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

void FrameGrabber::Fail(char const* what, int error) const { input_->Fail(what, error); }

int FrameGrabber::ScaledWidth(int height, int maxWidth) const {
  AVCodecParameters const* parameters = format_->streams[stream_]->codecpar;
  AVRational aspect = av_guess_sample_aspect_ratio(format_, format_->streams[stream_], nullptr);
  if (aspect.num <= 0 || aspect.den <= 0) aspect = AVRational{1, 1};
  if (parameters->width <= 0 || parameters->height <= 0) return std::min(maxWidth, height * 16 / 9);
  double const shown = static_cast<double>(parameters->width) * av_q2d(aspect) / parameters->height;
  return std::clamp(static_cast<int>(std::lround(height * shown)), 1, maxWidth);
}

double FrameGrabber::SecondsOf(AVFrame const& frame) {
  return input_->PresentationSeconds(stream_, frame.best_effort_timestamp);
}

bool FrameGrabber::NextPicture() {
  for (;;) {
    int const received = avcodec_receive_frame(codec_, frame_);
    if (received == 0) return true;
    if (received == AVERROR_EOF) return false;
    if (received != AVERROR(EAGAIN)) Fail("decoding failed", received);
    if (draining_) return false;
    int const read = av_read_frame(format_, packet_);
    if (read == AVERROR_EOF) {
      draining_ = true;
      avcodec_send_packet(codec_, nullptr);
      continue;
    }
    if (read < 0) Fail("reading failed", read);
    if (packet_->stream_index == stream_) {
      int const sent = avcodec_send_packet(codec_, packet_);
      // A damaged packet is skipped, as players skip it; the next key frame decodes again.
      if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) {
        av_packet_unref(packet_);
        Fail("decoding failed", sent);
      }
    }
    av_packet_unref(packet_);
  }
}

FrameGrabber::Image FrameGrabber::Grab(double seconds, int width, int height) {
  AVStream* stream = format_->streams[stream_];
  double const frameRate = av_q2d(av_guess_frame_rate(format_, stream, nullptr));
  double const tolerance = frameRate > 0 ? 0.5 / frameRate : 0.001;
  // The first Grab takes the stream's first picture where the reader stands, at its start (a file that cannot seek is
  // readable too): it is the first picture at or after any time up to its own, and it fixes the clock of a file that
  // names no start.
  if (lastTarget_ < 0) {
    if (!NextPicture()) Fail("no picture to show", AVERROR_EOF);
    av_frame_move_ref(kept_, frame_);
    lastTarget_ = 0;
  }
  double const kept = kept_->width > 0 ? SecondsOf(*kept_) : NAN;
  bool const forward = seconds >= lastTarget_ && !std::isnan(kept);
  lastTarget_ = std::max(0.0, seconds);
  // The picture already decoded is the first at or after an earlier target, so it is the first at or after this one
  // too when it is not before it.
  if (forward && kept >= seconds - tolerance) return Scale(*kept_, seconds, width, height);
  // The wanted picture is the only one within half a frame of the time: a key frame up to there may be that picture.
  std::int64_t target = input_->StreamTimestamp(stream_, seconds + tolerance);
  target = std::max<std::int64_t>(target, stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0);
  // Decoding on is cheaper than a seek unless the key frame before the target lies ahead of the reader. Where the file
  // has no index to tell, a target more than a little ahead is sought.
  bool seek = !forward;
  if (forward) {
    AVIndexEntry const* key = avformat_index_get_entry_from_timestamp(stream, target, AVSEEK_FLAG_BACKWARD);
    seek = key ? input_->PresentationSeconds(stream_, key->timestamp) > kept + tolerance
               : seconds - kept > kDecodeAheadSeconds;
  }
  if (seek) {
    int const error = av_seek_frame(format_, stream_, target, AVSEEK_FLAG_BACKWARD);
    if (error >= 0) {
      avcodec_flush_buffers(codec_);
      draining_ = false;
      av_frame_unref(kept_);
    } else if (!forward) {
      Fail("seeking failed", error);
    }
  }
  while (NextPicture()) {
    double const at = SecondsOf(*frame_);
    av_frame_unref(kept_);
    av_frame_move_ref(kept_, frame_);
    if (std::isnan(at) || at >= seconds - tolerance) break;
  }
  // Past the last picture, the last picture.
  if (kept_->width == 0) Fail("no picture to show", AVERROR_EOF);
  return Scale(*kept_, seconds, width, height);
}

FrameGrabber::Image FrameGrabber::Scale(AVFrame const& picture, double seconds, int width, int height) {
  scaler_ = sws_getCachedContext(scaler_, picture.width, picture.height, static_cast<AVPixelFormat>(picture.format),
                                 width, height, AV_PIX_FMT_RGB32, SWS_AREA, nullptr, nullptr, nullptr);
  if (!scaler_) Fail("cannot scale its pictures", AVERROR(EINVAL));
  Image image;
  image.width = width;
  image.height = height;
  image.stride = width * 4;
  double const at = SecondsOf(picture);
  image.seconds = std::isnan(at) ? seconds : at;
  image.pixels.resize(static_cast<std::size_t>(image.stride) * static_cast<std::size_t>(height));
  std::uint8_t* planes[4] = {image.pixels.data(), nullptr, nullptr, nullptr};
  int strides[4] = {image.stride, 0, 0, 0};
  sws_scale(scaler_, picture.data, picture.linesize, 0, picture.height, planes, strides);
  return image;
}

}  // namespace Quillan::Examples::detail
