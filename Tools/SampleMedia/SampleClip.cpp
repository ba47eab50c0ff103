#include "SampleMedia/SampleClip.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <memory>
#include <numbers>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace Quillan::Samples {
namespace {

enum class Container { kMatroska, kMp4, kQuickTime };

std::string Extension(std::filesystem::path const& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

Container ContainerFor(std::filesystem::path const& path) {
  std::string const extension = Extension(path);
  if (extension == ".mkv") return Container::kMatroska;
  if (extension == ".mp4") return Container::kMp4;
  if (extension == ".mov") return Container::kQuickTime;
  throw std::invalid_argument("Cannot tell the clip format of " + path.string() + ": use .mkv, .mp4 or .mov");
}

constexpr int kQuietEncoder = AV_LOG_VERBOSE - AV_LOG_WARNING;

std::string ErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

// A shot's picture: smooth stripes and a soft grid whose frequencies, phases and brightness follow the seed, so that
// two shots differ everywhere while neighbouring pixels stay close (a one-pixel pan changes little).
struct Pattern {
  explicit Pattern(std::uint32_t seed) {
    std::uint32_t state = seed * 2654435761u + 12345u;
    auto next = [&state] {
      state = state * 1664525u + 1013904223u;
      return static_cast<double>(state >> 8) / 16777216.0;
    };
    base = 50 + 130 * next();
    fx = 2 * std::numbers::pi / (30 + 60 * next());
    fy = 2 * std::numbers::pi / (30 + 60 * next());
    px = 2 * std::numbers::pi * next();
    py = 2 * std::numbers::pi * next();
    u = 128 + 80 * (next() - 0.5);
    v = 128 + 80 * (next() - 0.5);
  }
  double Column(double x) const { return base + 35 * std::sin(fx * x + px); }
  double Row(double y) const { return 25 * std::cos(fy * y + py); }

  double base, fx, fy, px, py, u, v;
};

struct Deleter {
  void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
  void operator()(AVFormatContext* format) const {
    if (format->pb) avio_closep(&format->pb);
    avformat_free_context(format);
  }
};

void Check(int error, char const* what) {
  if (error < 0) throw std::runtime_error(std::string(what) + ": " + ErrorText(error));
}

class ClipWriter {
 public:
  ClipWriter(std::filesystem::path const& path, ClipPlan const& plan) : plan_(plan) {
    Container const container = ContainerFor(path);
    AVFormatContext* format = nullptr;
    Check(avformat_alloc_output_context2(&format, nullptr, nullptr, path.c_str()), "no muxer");
    format_.reset(format);
    format_->flags |= AVFMT_FLAG_BITEXACT;
    video_ = AddStream(container == Container::kMatroska ? AV_CODEC_ID_FFV1 : AV_CODEC_ID_MPEG4, videoCodec_);
    if (plan.sampleRate > 0) {
      audio_ = AddStream(container == Container::kMp4 ? AV_CODEC_ID_AAC : AV_CODEC_ID_PCM_S16LE, audioCodec_);
    }
    Check(avio_open(&format_->pb, path.c_str(), AVIO_FLAG_WRITE), "cannot create the file");
    Check(avformat_write_header(format_.get(), nullptr), "cannot write the header");
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
  }

  void Write() {
    std::uint64_t const frames = FrameCount(plan_);
    auto const samples = plan_.sampleRate > 0
                             ? static_cast<std::uint64_t>(
                                   std::llround(static_cast<double>(frames) * plan_.sampleRate / plan_.framesPerSecond))
                             : 0;
    std::uint64_t frame = 0;
    std::uint64_t sample = 0;
    while (frame < frames || sample < samples) {
      bool const videoFirst =
          sample >= samples || (frame < frames && static_cast<double>(frame) / plan_.framesPerSecond <=
                                                      static_cast<double>(sample) / plan_.sampleRate);
      if (videoFirst) {
        WriteVideoFrame(frame++);
      } else {
        sample += WriteAudioFrame(sample, samples);
      }
    }
    Flush(videoCodec_.get(), video_);
    if (audio_) Flush(audioCodec_.get(), audio_);
    Check(av_write_trailer(format_.get()), "cannot finish the file");
  }

 private:
  AVStream* AddStream(AVCodecID id, std::unique_ptr<AVCodecContext, Deleter>& codec) {
    AVCodec const* encoder = avcodec_find_encoder(id);
    if (!encoder) throw std::runtime_error(std::string("no encoder for ") + avcodec_get_name(id));
    AVStream* stream = avformat_new_stream(format_.get(), nullptr);
    codec.reset(avcodec_alloc_context3(encoder));
    if (!stream || !codec) throw std::runtime_error("out of memory");
    codec->flags |= AV_CODEC_FLAG_BITEXACT;
    // The encoders' statistics are not for the user of a sample writer and their errors arrive as results: their
    // messages count as less urgent (a warning as verbose), for this context only, so the program's level stays.
    codec->log_level_offset = kQuietEncoder;
    if (encoder->type == AVMEDIA_TYPE_VIDEO) {
      codec->width = plan_.width;
      codec->height = plan_.height;
      codec->pix_fmt = AV_PIX_FMT_YUV420P;
      codec->time_base = AVRational{1, plan_.framesPerSecond};
      codec->framerate = AVRational{plan_.framesPerSecond, 1};
      codec->gop_size = plan_.framesPerSecond;
      codec->max_b_frames = 0;
      codec->thread_count = 1;  // same bytes on every machine
      if (id == AV_CODEC_ID_MPEG4) {
        codec->flags |= AV_CODEC_FLAG_QSCALE;
        codec->global_quality = FF_QP2LAMBDA * 4;
      }
      stream->time_base = codec->time_base;
    } else {
      codec->sample_rate = plan_.sampleRate;
      codec->sample_fmt = id == AV_CODEC_ID_AAC ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
      av_channel_layout_default(&codec->ch_layout, 2);
      codec->time_base = AVRational{1, plan_.sampleRate};
      if (id == AV_CODEC_ID_AAC) codec->bit_rate = 160000;
      stream->time_base = codec->time_base;
    }
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    Check(avcodec_open2(codec.get(), encoder, nullptr), "the encoder refused its settings");
    Check(avcodec_parameters_from_context(stream->codecpar, codec.get()), "codec parameters");
    return stream;
  }

  // The shot that frame `frame` belongs to and the frame's index within it.
  std::pair<Shot const*, std::uint64_t> ShotOf(std::uint64_t frame) const {
    std::uint64_t start = 0;
    for (Shot const& shot : plan_.shots) {
      auto const length = static_cast<std::uint64_t>(std::llround(shot.seconds * plan_.framesPerSecond));
      if (frame < start + length) return {&shot, frame - start};
      start += length;
    }
    return {&plan_.shots.back(), frame - start};
  }

  void WriteVideoFrame(std::uint64_t index) {
    auto const [shot, inShot] = ShotOf(index);
    auto const length =
        static_cast<double>(std::max<long long>(1, std::llround(shot->seconds * plan_.framesPerSecond)));
    Pattern const pattern(shot->seed);
    double gain = 1;
    if (shot->motion == Motion::kFadeIn) gain = static_cast<double>(inShot) / length;
    if (shot->motion == Motion::kFadeOut) gain = 1 - static_cast<double>(inShot + 1) / length;
    double const shift = shot->motion == Motion::kPan ? static_cast<double>(inShot) : 0;

    AVFrame* frame = frame_.get();
    av_frame_unref(frame);
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = plan_.width;
    frame->height = plan_.height;
    Check(av_frame_get_buffer(frame, 0), "frame buffer");
    // The pattern is a sum of a column term and a row term: two tables make a picture of any size cheap.
    columns_.resize(static_cast<std::size_t>(plan_.width));
    for (int x = 0; x < plan_.width; ++x) columns_[static_cast<std::size_t>(x)] = pattern.Column(x + shift);
    for (int y = 0; y < plan_.height; ++y) {
      std::uint8_t* row = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
      double const rowTerm = pattern.Row(y);
      for (int x = 0; x < plan_.width; ++x) {
        double const luma = 16 + gain * (columns_[static_cast<std::size_t>(x)] + rowTerm - 16);
        row[x] = static_cast<std::uint8_t>(std::clamp(std::lround(luma), 16L, 235L));
      }
    }
    for (int y = 0; y < plan_.height / 2; ++y) {
      std::uint8_t* u = frame->data[1] + static_cast<std::ptrdiff_t>(y) * frame->linesize[1];
      std::uint8_t* v = frame->data[2] + static_cast<std::ptrdiff_t>(y) * frame->linesize[2];
      for (int x = 0; x < plan_.width / 2; ++x) {
        u[x] = static_cast<std::uint8_t>(std::lround(128 + gain * (pattern.u - 128)));
        v[x] = static_cast<std::uint8_t>(std::lround(128 + gain * (pattern.v - 128)));
      }
    }
    frame->pts = static_cast<std::int64_t>(index);
    Encode(videoCodec_.get(), video_, frame);
  }

  // Writes up to one codec frame of audio starting at `first`; returns how many samples it wrote.
  std::uint64_t WriteAudioFrame(std::uint64_t first, std::uint64_t total) {
    int const size = audioCodec_->frame_size > 0 ? audioCodec_->frame_size : 1024;
    auto const count = static_cast<int>(std::min<std::uint64_t>(static_cast<std::uint64_t>(size), total - first));
    AVFrame* frame = frame_.get();
    av_frame_unref(frame);
    frame->format = audioCodec_->sample_fmt;
    frame->sample_rate = plan_.sampleRate;
    frame->nb_samples = count;
    Check(av_channel_layout_copy(&frame->ch_layout, &audioCodec_->ch_layout), "channel layout");
    Check(av_frame_get_buffer(frame, 0), "frame buffer");
    for (int i = 0; i < count; ++i) {
      std::uint64_t const n = first + static_cast<std::uint64_t>(i);
      double const t = static_cast<double>(n) / plan_.sampleRate;
      bool silent = false;
      for (SilentSpan const& span : plan_.silences) silent |= t >= span.start && t < span.end;
      double const cycles = 440.0 * static_cast<double>(n) / plan_.sampleRate;
      double const value = silent ? 0.0 : 0.316 * std::sin(2 * std::numbers::pi * (cycles - std::floor(cycles)));
      if (frame->format == AV_SAMPLE_FMT_FLTP) {
        for (int c = 0; c < 2; ++c) reinterpret_cast<float*>(frame->data[c])[i] = static_cast<float>(value);
      } else {
        auto* out = reinterpret_cast<std::int16_t*>(frame->data[0]);
        out[2 * i] = out[2 * i + 1] = static_cast<std::int16_t>(std::lround(value * 32767));
      }
    }
    frame->pts = static_cast<std::int64_t>(first);
    Encode(audioCodec_.get(), audio_, frame);
    return static_cast<std::uint64_t>(count);
  }

  void Encode(AVCodecContext* codec, AVStream* stream, AVFrame* frame) {
    Check(avcodec_send_frame(codec, frame), "encoding failed");
    Drain(codec, stream);
  }

  void Flush(AVCodecContext* codec, AVStream* stream) {
    Check(avcodec_send_frame(codec, nullptr), "encoding failed");
    Drain(codec, stream);
  }

  void Drain(AVCodecContext* codec, AVStream* stream) {
    for (;;) {
      int const error = avcodec_receive_packet(codec, packet_.get());
      if (error == AVERROR(EAGAIN) || error == AVERROR_EOF) return;
      Check(error, "encoding failed");
      // Without a duration the last picture would fall outside the MP4 edit list and never be shown.
      if (packet_->duration == 0 && codec->codec_type == AVMEDIA_TYPE_VIDEO) packet_->duration = 1;
      av_packet_rescale_ts(packet_.get(), codec->time_base, stream->time_base);
      packet_->stream_index = stream->index;
      Check(av_interleaved_write_frame(format_.get(), packet_.get()), "cannot write");
    }
  }

  ClipPlan const& plan_;
  std::unique_ptr<AVFormatContext, Deleter> format_;
  std::unique_ptr<AVCodecContext, Deleter> videoCodec_;
  std::unique_ptr<AVCodecContext, Deleter> audioCodec_;
  std::unique_ptr<AVFrame, Deleter> frame_;
  std::unique_ptr<AVPacket, Deleter> packet_;
  AVStream* video_ = nullptr;
  AVStream* audio_ = nullptr;
  std::vector<double> columns_;
};

}  // namespace

ClipPlan StandardClip(double seconds, int width, int height) {
  ClipPlan plan;
  plan.width = width;
  plan.height = height;
  constexpr Motion kMotions[] = {Motion::kStill, Motion::kPan, Motion::kFadeIn, Motion::kFadeOut};
  double start = 0;
  for (std::uint32_t i = 0; start < seconds - 1e-9; ++i) {
    double const length = std::min(2.0, seconds - start);
    plan.shots.push_back(Shot{length, i + 1, kMotions[i % 4]});
    if (i % 3 == 1 && length >= 1.5) plan.silences.push_back(SilentSpan{start + 0.5, start + 1.5});
    start += length;
  }
  return plan;
}

std::vector<std::uint64_t> KnownCuts(ClipPlan const& plan) {
  std::vector<std::uint64_t> cuts;
  std::uint64_t start = 0;
  for (Shot const& shot : plan.shots) {
    if (start > 0) cuts.push_back(start);
    start += static_cast<std::uint64_t>(std::llround(shot.seconds * plan.framesPerSecond));
  }
  return cuts;
}

std::uint64_t FrameCount(ClipPlan const& plan) {
  std::uint64_t frames = 0;
  for (Shot const& shot : plan.shots)
    frames += static_cast<std::uint64_t>(std::llround(shot.seconds * plan.framesPerSecond));
  return frames;
}

Rgb FirstPictureColour(ClipPlan const& plan, std::size_t shot) {
  Shot const& chosen = plan.shots.at(shot);
  Pattern const pattern(chosen.seed);
  double const length = std::max(1.0, std::round(chosen.seconds * plan.framesPerSecond));
  double gain = 1;
  if (chosen.motion == Motion::kFadeIn) gain = 0;
  if (chosen.motion == Motion::kFadeOut) gain = 1 - 1 / length;
  double const u = std::round(128 + gain * (pattern.u - 128)) - 128;
  double const v = std::round(128 + gain * (pattern.v - 128)) - 128;
  Rgb sum;
  // Averaged pixel by pixel: bright pixels clip in RGB, so the mean of the colours is not the colour of the mean.
  for (int y = 0; y < plan.height; ++y) {
    for (int x = 0; x < plan.width; ++x) {
      double const luma = std::clamp(std::round(16 + gain * (pattern.Column(x) + pattern.Row(y) - 16)), 16.0, 235.0);
      double const scaled = 1.164 * (luma - 16);
      sum.red += std::clamp(scaled + 1.596 * v, 0.0, 255.0);
      sum.green += std::clamp(scaled - 0.392 * u - 0.813 * v, 0.0, 255.0);
      sum.blue += std::clamp(scaled + 2.017 * u, 0.0, 255.0);
    }
  }
  double const count = static_cast<double>(plan.width) * plan.height;
  return Rgb{sum.red / count, sum.green / count, sum.blue / count};
}

bool IsClipPath(std::filesystem::path const& path) {
  std::string const extension = Extension(path);
  return extension == ".mkv" || extension == ".mp4" || extension == ".mov";
}

void WriteClip(std::filesystem::path const& path, ClipPlan const& plan) {
  ContainerFor(path);
  if (plan.width < 16 || plan.height < 16 || plan.width > 4096 || plan.height > 4096 || plan.width % 2 != 0 ||
      plan.height % 2 != 0) {
    throw std::invalid_argument("Clip pictures must be from 16 to 4096 pixels each way, in even numbers");
  }
  if (plan.framesPerSecond < 1 || plan.framesPerSecond > 120)
    throw std::invalid_argument("Clips run at 1 to 120 frames per second");
  if (plan.shots.empty() || FrameCount(plan) == 0) throw std::invalid_argument("A clip needs at least one frame");
  if (FrameCount(plan) > 120u * 3600u) throw std::invalid_argument("Clips last at most an hour");
  if (plan.sampleRate != 0 && (plan.sampleRate < 8000 || plan.sampleRate > 192000))
    throw std::invalid_argument("The sample rate must be from 8000 to 192000 Hz");
  try {
    ClipWriter(path, plan).Write();
  } catch (std::runtime_error const& error) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    throw std::runtime_error("Cannot write " + path.string() + ": " + error.what());
  }
}

}  // namespace Quillan::Samples
