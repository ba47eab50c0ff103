#include "AnalyzerMedia/Detail/MediaReader.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <limits>
#include <string>

#include "Analyzers/Detail/Progress.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace Quillan::Examples {
namespace detail {
namespace {

std::atomic<int> gVideoThreads{0};

}  // namespace

void MediaReader::SetVideoThreads(int threads) { gVideoThreads = std::max(0, threads); }

namespace {

bool IsMovingPictures(AVStream const* stream) {
  return stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

// Whether an audio probe would leave the presentation's start unknown: a probe that discards the pictures sees
// only the sound's timestamps, and a video stream whose start the header does not name (a transport stream's, a
// Matroska file's) may start earlier.
bool PicturesMayStartFirst(AVFormatContext const* format) {
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (IsMovingPictures(format->streams[i]) && format->streams[i]->start_time == AV_NOPTS_VALUE) return true;
  }
  return false;
}

}  // namespace

MediaReader::MediaReader(std::filesystem::path const& file, MediaInput::Probe probe) : input_(file) {
  try {
    if (probe == MediaInput::Probe::kAudio && PicturesMayStartFirst(input_.Format())) probe = MediaInput::Probe::kVideo;
    input_.ProbeStreams(probe);
    format_ = input_.Format();
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!packet_ || !frame_) Fail("could not allocate", AVERROR(ENOMEM));
  } catch (...) {
    Release();
    throw;
  }
}

MediaReader::~MediaReader() { Release(); }

void MediaReader::Release() {
  sws_freeContext(scaler_);
  scaler_ = nullptr;
  swr_free(&resampler_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
}

void MediaReader::Fail(char const* what, int error) const { input_.Fail(what, error); }

void MediaReader::OpenDecoder(int stream) {
  // Pictures decode on as many threads as FFmpeg finds useful; sound decodes faster than threads could hand it over.
  bool const video = format_->streams[stream]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
  int const width = format_->streams[stream]->codecpar->width;
  codec_ =
      input_.OpenDecoder(stream, video ? gVideoThreads.load() : 1, [&](AVCodecContext& codec, AVCodec const& decoder) {
        if (!video) return;
        // Pictures are looked at far smaller than they are coded, so the decoder may cut corners that change no
        // decision: the codecs' own shortcuts that bend exactness, and no deblocking of pictures that nothing is
        // predicted from (deblocking reference pictures too would drift until the next key frame).
        codec.flags2 |= AV_CODEC_FLAG2_FAST;
        codec.skip_loop_filter = AVDISCARD_NONREF;
        // A third less decoding work at half size.
        int lowres = 0;
        while (reducedSize_ && lowres < decoder.max_lowres && (width >> (lowres + 1)) >= 2 * maxWidth_) ++lowres;
        codec.lowres = lowres;
      });
  stream_ = stream;
}

MediaReader::AudioFormat MediaReader::SelectAudio(int stream) {
  OpenDecoder(input_.ChooseStream(MediaInput::Probe::kAudio, stream));
  channels_ = static_cast<std::uint32_t>(codec_->ch_layout.nb_channels);
  if (channels_ == 0 || codec_->sample_rate <= 0) Fail("audio stream without channels or rate", AVERROR_INVALIDDATA);
  AudioFormat format{stream_, channels_, static_cast<std::uint32_t>(codec_->sample_rate)};
  holding_ = NextFrame(nullptr);
  double const first = holding_ ? Seconds(*frame_) : std::numeric_limits<double>::quiet_NaN();
  if (std::isfinite(first)) format.startSeconds = first;
  // Sound from before the presentation's start is not presented; its samples are left out.
  if (format.startSeconds < 0) {
    skipFrames_ = static_cast<std::uint64_t>(std::llround(-format.startSeconds * format.sampleRate));
    format.startSeconds = 0;
  }
  return format;
}

MediaReader::VideoFormat MediaReader::SelectVideo(int stream, int maxWidth, bool reducedSize) {
  maxWidth_ = std::max(1, maxWidth);
  reducedSize_ = reducedSize;
  OpenDecoder(input_.ChooseStream(MediaInput::Probe::kVideo, stream));
  AVRational const rate = av_guess_frame_rate(format_, format_->streams[stream_], nullptr);
  AVCodecParameters const* parameters = format_->streams[stream_]->codecpar;
  return VideoFormat{stream_, parameters->width, parameters->height, rate.den > 0 && rate.num > 0 ? av_q2d(rate) : 0.0};
}

double MediaReader::Seconds(AVFrame const& frame) {
  return input_.PresentationSeconds(stream_, frame.best_effort_timestamp);
}

void MediaReader::NoteDamage(int error) {
  if (error != AVERROR_INVALIDDATA) Fail("decoding failed", error);
  ++damaged_;
  lastDamage_ = error;
  // A decoder reports a packet's damage once, on one side or the other; more reports than packets would be a decoder
  // that never moves on.
  if (damaged_ > packets_ + 1) Fail("decoding failed", error);
}

bool MediaReader::SendNext(Progress const* progress) {
  if (ended_) return false;
  for (;;) {
    int const error = av_read_frame(format_, packet_);
    if (error == AVERROR_EOF) break;
    if (error < 0) Fail("reading failed", error);
    bool const ours = packet_->stream_index == stream_;
    int sent = 0;
    if (ours) {
      ++packets_;
      sent = avcodec_send_packet(codec_, packet_);
    }
    av_packet_unref(packet_);
    if (progress) {
      double const size = static_cast<double>(std::max<std::uint64_t>(input_.Size(), 1));
      double const done = static_cast<double>(std::max<std::int64_t>(avio_tell(format_->pb), 0)) / size;
      if (done - reported_ >= 0.002) {
        progress->Update(std::min(done, 1.0));
        reported_ = done;
      }
    }
    if (!ours) continue;
    // Frames are always received before a packet is sent, so the decoder has room for it: an error is damage, of
    // this packet or (on frame threads) of an earlier one.
    if (sent < 0) NoteDamage(sent);
    return true;
  }
  ended_ = true;
  // The end is taken even when a frame thread's damage report comes back with it.
  if (int const error = avcodec_send_packet(codec_, nullptr); error < 0 && error != AVERROR_EOF) NoteDamage(error);
  return true;
}

bool MediaReader::NextFrame(Progress const* progress) {
  for (;;) {
    int const error = avcodec_receive_frame(codec_, frame_);
    if (error >= 0) {
      ++decoded_;
      return true;
    }
    if (error == AVERROR_EOF) return false;
    if (error != AVERROR(EAGAIN)) {
      NoteDamage(error);
      continue;
    }
    if (!SendNext(progress)) return false;
  }
}

void MediaReader::Decode(Progress const& progress, std::function<void(AVFrame const&)> const& frame) {
  progress.Update(0.0);
  if (!holding_) holding_ = NextFrame(&progress);
  while (holding_) {
    frame(*frame_);
    av_frame_unref(frame_);
    holding_ = NextFrame(&progress);
  }
  if (damaged_ > 0 && decoded_ == 0) {
    input_.Fail("decoding failed: none of its " + std::to_string(packets_) + " packets could be decoded", lastDamage_);
  }
  if (damaged_ * kDamagedShare > packets_) {
    input_.Fail(
        "decoding failed: " + std::to_string(damaged_) + " of its " + std::to_string(packets_) + " packets are damaged",
        lastDamage_);
  }
  input_.CheckAfterReading();
}

std::uint64_t MediaReader::ReadAudio(Progress const& progress,
                                     std::function<void(std::span<float const>, std::size_t)> const& block) {
  std::uint64_t frames = 0;
  Decode(progress, [&](AVFrame const& frame) {
    if (frame.nb_samples <= 0) return;
    if (static_cast<std::uint32_t>(frame.ch_layout.nb_channels) != channels_) {
      Fail("the channel count changes within the stream", AVERROR_PATCHWELCOME);
    }
    auto count = static_cast<std::size_t>(frame.nb_samples);
    if (frame.format == AV_SAMPLE_FMT_FLT) {
      auto const* data = reinterpret_cast<float const*>(frame.extended_data[0]);
      std::size_t const skip = std::min<std::uint64_t>(skipFrames_, count);
      skipFrames_ -= skip;
      count -= skip;
      if (count > 0) block(std::span<float const>(data + skip * channels_, count * channels_), count);
      frames += count;
      return;
    }
    if (!resampler_ || resamplerInput_ != frame.format) {
      swr_free(&resampler_);
      AVChannelLayout layout{};
      av_channel_layout_default(&layout, static_cast<int>(channels_));
      int error = swr_alloc_set_opts2(&resampler_, &layout, AV_SAMPLE_FMT_FLT, frame.sample_rate, &layout,
                                      static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
      if (error >= 0) error = swr_init(resampler_);
      if (error < 0) Fail("cannot convert its samples", error);
      resamplerInput_ = frame.format;
    }
    samples_.resize(count * channels_);
    auto* out = reinterpret_cast<std::uint8_t*>(samples_.data());
    int const converted = swr_convert(resampler_, &out, frame.nb_samples,
                                      const_cast<std::uint8_t const**>(frame.extended_data), frame.nb_samples);
    if (converted < 0) Fail("cannot convert its samples", converted);
    std::size_t const skip = std::min<std::uint64_t>(skipFrames_, static_cast<std::uint64_t>(converted));
    skipFrames_ -= skip;
    std::size_t const left = static_cast<std::size_t>(converted) - skip;
    if (left > 0) block(std::span<float const>(samples_.data() + skip * channels_, left * channels_), left);
    frames += left;
  });
  return frames;
}

namespace {

// Formats whose first plane is the luma, 8 bits a sample: most coded video.
bool IsJpegRange(AVPixelFormat format) {
  return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
         format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

bool HasEightBitLumaPlane(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUV440P:
    case AV_PIX_FMT_YUV411P:
    case AV_PIX_FMT_YUV410P:
    case AV_PIX_FMT_YUVA420P:
    case AV_PIX_FMT_NV12:
    case AV_PIX_FMT_NV21:
    case AV_PIX_FMT_GRAY8:
      return true;
    default:
      return false;
  }
}

// The luma plane of `frame` brought to width x height by the mean of four samples in each output sample's box (at
// a quarter and three quarters of it each way): the samples as coded, as FFmpeg's scdet reads them, for a sixth of
// what libswscale's conversion to gray costs.
void SampleLuma(AVFrame const& frame, int width, int height, std::uint8_t* out) {
  std::vector<int> left(static_cast<std::size_t>(width));
  std::vector<int> right(static_cast<std::size_t>(width));
  for (int x = 0; x < width; ++x) {
    left[static_cast<std::size_t>(x)] =
        static_cast<int>((std::int64_t{4} * x + 1) * frame.width / (std::int64_t{4} * width));
    right[static_cast<std::size_t>(x)] =
        static_cast<int>((std::int64_t{4} * x + 3) * frame.width / (std::int64_t{4} * width));
  }
  for (int y = 0; y < height; ++y) {
    auto const row = [&](int quarter) {
      auto const source = static_cast<int>((std::int64_t{4} * y + quarter) * frame.height / (std::int64_t{4} * height));
      return frame.data[0] + static_cast<std::ptrdiff_t>(source) * frame.linesize[0];
    };
    std::uint8_t const* top = row(1);
    std::uint8_t const* bottom = row(3);
    std::uint8_t* line = out + static_cast<std::ptrdiff_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      auto const l = static_cast<std::size_t>(left[static_cast<std::size_t>(x)]);
      auto const r = static_cast<std::size_t>(right[static_cast<std::size_t>(x)]);
      line[x] = static_cast<std::uint8_t>((top[l] + top[r] + bottom[l] + bottom[r] + 2) / 4);
    }
  }
}

}  // namespace

std::uint64_t MediaReader::ReadVideo(Progress const& progress, std::function<void(Picture const&)> const& picture) {
  std::uint64_t index = 0;
  Decode(progress, [&](AVFrame const& frame) {
    if (frame.width <= 0 || frame.height <= 0) return;
    int const width = std::min(frame.width, maxWidth_);
    int const height = std::max(1, static_cast<int>(static_cast<std::int64_t>(frame.height) * width / frame.width));
    luma_.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    Picture out;
    if (HasEightBitLumaPlane(static_cast<AVPixelFormat>(frame.format))) {
      SampleLuma(frame, width, height, luma_.data());
      out.fullRange = frame.color_range == AVCOL_RANGE_JPEG || IsJpegRange(static_cast<AVPixelFormat>(frame.format));
    } else {
      // The scaler's gray is full range, whatever the source's.
      out.fullRange = true;
      scaler_ = sws_getCachedContext(scaler_, frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
                                     width, height, AV_PIX_FMT_GRAY8, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
      if (!scaler_) Fail("cannot scale its pictures", AVERROR(EINVAL));
      std::uint8_t* planes[4] = {luma_.data(), nullptr, nullptr, nullptr};
      int strides[4] = {width, 0, 0, 0};
      sws_scale(scaler_, frame.data, frame.linesize, 0, frame.height, planes, strides);
    }
    out.luma = luma_;
    out.width = width;
    out.height = height;
    out.index = index++;
    double const seconds = Seconds(frame);
    out.seconds = std::isfinite(seconds)      ? seconds
                  : codec_->framerate.num > 0 ? static_cast<double>(out.index) / av_q2d(codec_->framerate)
                                              : 0.0;
    picture(out);
  });
  return index;
}

}  // namespace detail
}  // namespace Quillan::Examples
