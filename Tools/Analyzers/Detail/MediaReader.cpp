#include "Analyzers/Detail/MediaReader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>

#include "Analyzers/Detail/Progress.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "zelcore/ZelException.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace Quillan::Examples::detail {
namespace {

constexpr int kIoBufferSize = 1 << 16;

// FFmpeg's last complaint on this thread. Its log goes here instead of the terminal, where it would break progress
// bars and tables; the complaint then tells why a file failed ("moov atom not found").
thread_local std::string tLastComplaint;

void KeepComplaint(void* /*context*/, int level, char const* format, va_list arguments) {
  if (level > AV_LOG_ERROR) return;
  char line[512];
  int prefix = 1;
  av_log_format_line2(nullptr, level, format, arguments, line, sizeof line, &prefix);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (!text.empty()) tLastComplaint = std::move(text);
}

void QuietFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(&KeepComplaint); });
}

std::string ErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  std::string message = text;
  if (!tLastComplaint.empty()) message += " (" + tLastComplaint + ")";
  return message;
}

int ReadFromFile(void* opaque, std::uint8_t* buffer, int size) {
  int const descriptor = static_cast<StampedFile*>(opaque)->Descriptor();
  for (;;) {
    ssize_t const got = ::read(descriptor, buffer, static_cast<std::size_t>(size));
    if (got > 0) return static_cast<int>(got);
    if (got == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

std::int64_t SeekInFile(void* opaque, std::int64_t offset, int whence) {
  auto* file = static_cast<StampedFile*>(opaque);
  if (whence & AVSEEK_SIZE) return static_cast<std::int64_t>(file->Size());
  off_t const at = ::lseek(file->Descriptor(), static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : static_cast<std::int64_t>(at);
}

}  // namespace

MediaReader::MediaReader(std::filesystem::path const& file) : file_(file) {
  QuietFfmpegLog();
  tLastComplaint.clear();
  try {
    Open(file);
  } catch (...) {
    Release();
    throw;
  }
}

void MediaReader::Open(std::filesystem::path const& file) {
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (buffer) io_ = avio_alloc_context(buffer, kIoBufferSize, 0, &file_, &ReadFromFile, nullptr, &SeekInFile);
  if (!io_) {
    av_free(buffer);
    Fail("could not allocate", AVERROR(ENOMEM));
  }
  format_ = avformat_alloc_context();
  if (!format_) Fail("could not allocate", AVERROR(ENOMEM));
  format_->pb = io_;
  format_->flags |= AVFMT_FLAG_CUSTOM_IO;
  // The name only hints at the container; the bytes come through io_.
  if (int const error = avformat_open_input(&format_, file.c_str(), nullptr, nullptr); error < 0) {
    Fail("not a media file FFmpeg can read", error);  // avformat_open_input freed format_ already
  }
  if (int const error = avformat_find_stream_info(format_, nullptr); error < 0) Fail("no stream information", error);
  packet_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  if (!packet_ || !frame_) Fail("could not allocate", AVERROR(ENOMEM));
}

MediaReader::~MediaReader() { Release(); }

void MediaReader::Release() {
  sws_freeContext(scaler_);
  scaler_ = nullptr;
  swr_free(&resampler_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  avcodec_free_context(&codec_);
  avformat_close_input(&format_);
  if (io_) av_freep(&io_->buffer);
  avio_context_free(&io_);
}

void MediaReader::Fail(char const* what, int error) const {
  throw zelcore::config::zel_exception(
      "Cannot read media file " + file_.Path().string() + " (" + what + "): " + ErrorText(error),
      zelcore::config::kResultFileRead);
}

void MediaReader::OpenDecoder(int stream) {
  AVStream const* chosen = format_->streams[stream];
  AVCodec const* decoder = avcodec_find_decoder(chosen->codecpar->codec_id);
  if (!decoder) Fail("no decoder for its codec", AVERROR_DECODER_NOT_FOUND);
  codec_ = avcodec_alloc_context3(decoder);
  if (!codec_) Fail("could not allocate", AVERROR(ENOMEM));
  if (int const error = avcodec_parameters_to_context(codec_, chosen->codecpar); error < 0) Fail("bad codec", error);
  codec_->pkt_timebase = chosen->time_base;
  // Pictures decode on as many threads as FFmpeg finds useful; sound decodes faster than threads could hand it over.
  codec_->thread_count = chosen->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? 0 : 1;
  if (int const error = avcodec_open2(codec_, decoder, nullptr); error < 0) Fail("decoder refused the stream", error);
  stream_ = stream;
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    if (static_cast<int>(i) != stream) format_->streams[i]->discard = AVDISCARD_ALL;
  }
}

namespace {

int ChooseStream(AVFormatContext* format, AVMediaType type, int stream, char const* kind,
                 std::filesystem::path const& file) {
  if (stream == MediaReader::kBestStream) {
    int const best = av_find_best_stream(format, type, -1, -1, nullptr, 0);
    if (best < 0) {
      throw zelcore::config::zel_exception(
          "Cannot read media file " + file.string() + ": it has no " + kind + " stream (" + ErrorText(best) + ")",
          zelcore::config::kResultFileRead);
    }
    return best;
  }
  if (stream < 0 || static_cast<unsigned>(stream) >= format->nb_streams ||
      format->streams[stream]->codecpar->codec_type != type) {
    throw zelcore::config::zel_exception("Stream " + std::to_string(stream) + " of " + file.string() + " is not " +
                                             (type == AVMEDIA_TYPE_AUDIO ? "an " : "a ") + kind + " stream",
                                         kResultIllegalArgument);
  }
  return stream;
}

}  // namespace

MediaReader::AudioFormat MediaReader::SelectAudio(int stream) {
  OpenDecoder(ChooseStream(format_, AVMEDIA_TYPE_AUDIO, stream, "audio", file_.Path()));
  channels_ = static_cast<std::uint32_t>(codec_->ch_layout.nb_channels);
  if (channels_ == 0 || codec_->sample_rate <= 0) Fail("audio stream without channels or rate", AVERROR_INVALIDDATA);
  return AudioFormat{stream_, channels_, static_cast<std::uint32_t>(codec_->sample_rate)};
}

bool MediaReader::HasVideo() const {
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return true;
  }
  return false;
}

MediaReader::VideoFormat MediaReader::SelectVideo(int stream, int maxWidth) {
  maxWidth_ = std::max(1, maxWidth);
  OpenDecoder(ChooseStream(format_, AVMEDIA_TYPE_VIDEO, stream, "video", file_.Path()));
  AVRational const rate = av_guess_frame_rate(format_, format_->streams[stream_], nullptr);
  AVCodecParameters const* parameters = format_->streams[stream_]->codecpar;
  return VideoFormat{stream_, parameters->width, parameters->height, rate.den > 0 && rate.num > 0 ? av_q2d(rate) : 0.0};
}

void MediaReader::Decode(Progress const& progress, std::function<void(AVFrame const&)> const& frame) {
  double const size = static_cast<double>(std::max<std::uint64_t>(file_.Size(), 1));
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
  file_.CheckUnchanged();
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
