#include "Analyzers/Detail/MediaReader.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include "Analyzers/Detail/Progress.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "zelcore/ZelException.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace Quillan::Examples::detail {

MediaReader::MediaReader(std::filesystem::path const& file, MediaInput::Probe probe) : input_(file) {
  try {
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
  codec_ = input_.OpenDecoder(stream, format_->streams[stream]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? 0 : 1);
  stream_ = stream;
}

namespace {

bool IsCoverArt(AVStream const* stream) { return stream->disposition & AV_DISPOSITION_ATTACHED_PIC; }

// The stream to read, by its index or the best of its kind; pictures are never taken from cover art.
int ChooseStream(MediaInput const& input, AVMediaType type, int stream, char const* kind) {
  AVFormatContext* format = input.Format();
  std::filesystem::path const& file = input.Path();
  if (stream == MediaReader::kBestStream) {
    int first = -1;  // the first stream of the kind, whether FFmpeg could learn its parameters or not
    for (unsigned i = 0; i < format->nb_streams && first < 0; ++i) {
      if (format->streams[i]->codecpar->codec_type == type && !IsCoverArt(format->streams[i]))
        first = static_cast<int>(i);
    }
    // Without any sound or moving pictures (subtitles, data) the file is no media at all.
    if (first < 0 && !input.HasAudioOrVideo()) input.NotMedia("no sound and no moving pictures", 0);
    if (first < 0)
      throw zelcore::config::zel_exception(file.string() + " has no " + kind + " stream", kResultNotApplicable);
    int const best = av_find_best_stream(format, type, -1, -1, nullptr, 0);
    // FFmpeg may rank cover art above a short video; the file's first real one is read then.
    if (best >= 0 && IsCoverArt(format->streams[best])) return first;
    // A stream whose parameters FFmpeg could not learn is there but cannot be read: that is a failure of the file.
    if (best < 0) input.Fail(std::string("it has no readable ") + kind + " stream", best);
    return best;
  }
  if (stream < 0 || static_cast<unsigned>(stream) >= format->nb_streams ||
      format->streams[stream]->codecpar->codec_type != type) {
    throw zelcore::config::zel_exception("Stream " + std::to_string(stream) + " of " + file.string() + " is not " +
                                             (type == AVMEDIA_TYPE_AUDIO ? "an " : "a ") + kind + " stream",
                                         kResultIllegalArgument);
  }
  if (IsCoverArt(format->streams[stream])) {
    throw zelcore::config::zel_exception(
        "Stream " + std::to_string(stream) + " of " + file.string() + " is cover art, not a video stream",
        kResultIllegalArgument);
  }
  return stream;
}

}  // namespace

MediaReader::AudioFormat MediaReader::SelectAudio(int stream) {
  OpenDecoder(ChooseStream(input_, AVMEDIA_TYPE_AUDIO, stream, "audio"));
  channels_ = static_cast<std::uint32_t>(codec_->ch_layout.nb_channels);
  if (channels_ == 0 || codec_->sample_rate <= 0) Fail("audio stream without channels or rate", AVERROR_INVALIDDATA);
  return AudioFormat{stream_, channels_, static_cast<std::uint32_t>(codec_->sample_rate)};
}

MediaReader::VideoFormat MediaReader::SelectVideo(int stream, int maxWidth) {
  maxWidth_ = std::max(1, maxWidth);
  OpenDecoder(ChooseStream(input_, AVMEDIA_TYPE_VIDEO, stream, "video"));
  AVRational const rate = av_guess_frame_rate(format_, format_->streams[stream_], nullptr);
  AVCodecParameters const* parameters = format_->streams[stream_]->codecpar;
  return VideoFormat{stream_, parameters->width, parameters->height, rate.den > 0 && rate.num > 0 ? av_q2d(rate) : 0.0};
}

void MediaReader::Decode(Progress const& progress, std::function<void(AVFrame const&)> const& frame) {
  double const size = static_cast<double>(std::max<std::uint64_t>(input_.Size(), 1));
  double reported = 0;
  progress.Update(0.0);
  auto drain = [&] {
    for (;;) {
      int const error = avcodec_receive_frame(codec_, frame_);
      if (error == AVERROR(EAGAIN) || error == AVERROR_EOF) return;
      if (error < 0) Fail("decoding failed", error);
      frame(*frame_);
      av_frame_unref(frame_);
    }
  };
  for (;;) {
    int const error = av_read_frame(format_, packet_);
    if (error == AVERROR_EOF) break;
    if (error < 0) Fail("reading failed", error);
    if (packet_->stream_index == stream_) {
      int const sent = avcodec_send_packet(codec_, packet_);
      av_packet_unref(packet_);
      // A damaged packet is FFmpeg's to conceal, as its own tools do; anything else ends the read.
      if (sent < 0 && sent != AVERROR_INVALIDDATA && sent != AVERROR(EAGAIN)) Fail("decoding failed", sent);
      drain();
    } else {
      av_packet_unref(packet_);
    }
    double const done = static_cast<double>(std::max<std::int64_t>(avio_tell(format_->pb), 0)) / size;
    if (done - reported >= 0.002) {
      progress.Update(std::min(done, 1.0));
      reported = done;
    }
  }
  avcodec_send_packet(codec_, nullptr);
  drain();
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
    auto const count = static_cast<std::size_t>(frame.nb_samples);
    if (frame.format == AV_SAMPLE_FMT_FLT) {
      block(std::span<float const>(reinterpret_cast<float const*>(frame.extended_data[0]), count * channels_), count);
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
    block(std::span<float const>(samples_.data(), static_cast<std::size_t>(converted) * channels_),
          static_cast<std::size_t>(converted));
    frames += static_cast<std::uint64_t>(converted);
  });
  return frames;
}

std::uint64_t MediaReader::ReadVideo(Progress const& progress, std::function<void(Picture const&)> const& picture) {
  std::uint64_t index = 0;
  AVStream const* stream = format_->streams[stream_];
  Decode(progress, [&](AVFrame const& frame) {
    if (frame.width <= 0 || frame.height <= 0) return;
    int const width = std::min(frame.width, maxWidth_);
    int const height = std::max(1, static_cast<int>(static_cast<std::int64_t>(frame.height) * width / frame.width));
    scaler_ = sws_getCachedContext(scaler_, frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), width,
                                   height, AV_PIX_FMT_GRAY8, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler_) Fail("cannot scale its pictures", AVERROR(EINVAL));
    luma_.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    std::uint8_t* planes[4] = {luma_.data(), nullptr, nullptr, nullptr};
    int strides[4] = {width, 0, 0, 0};
    sws_scale(scaler_, frame.data, frame.linesize, 0, frame.height, planes, strides);
    Picture out;
    out.luma = luma_;
    out.width = width;
    out.height = height;
    out.index = index++;
    std::int64_t const pts = frame.best_effort_timestamp;
    out.seconds = pts != AV_NOPTS_VALUE       ? static_cast<double>(pts) * av_q2d(stream->time_base)
                  : codec_->framerate.num > 0 ? static_cast<double>(out.index) / av_q2d(codec_->framerate)
                                              : 0.0;
    picture(out);
  });
  return index;
}

}  // namespace Quillan::Examples::detail
