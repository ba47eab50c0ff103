#include "AnalyzerMedia/MediaInput.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <limits>
#include <thread>
#include <utility>

#include "AnalyzerMedia/FfmpegLog.h"
#include "Analyzers/Detail/StampedFile.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "zelcore/ZelException.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

namespace Quillan::Examples {
namespace {

constexpr int kIoBufferSize = 1 << 16;
// What the stream probe reads of a file whose header described every stream a read needs.
constexpr std::int64_t kHeaderProbeBytes = 4096;
constexpr char kOnlySelfContained[] = "; only self-contained media files are read";

// Demuxers whose purpose is to read other files or streams, refused as soon as the container is recognised. The
// guarantee does not rest on this list: every open a demuxer asks for fails (io_open) and no protocol is allowed, so
// a demuxer missing here still reads nothing but the file. The list gives those the user is likely to meet a clear
// reason before anything is attempted, and keeps a playlist from going on as an empty file when its segments fail.
// An allow list of containers would break the promise that any container FFmpeg reads can be analysed, and would
// silently drop the containers each FFmpeg release adds. Demuxers marked AVFMT_NOFILE (picture sequences, scripts run
// by a frame server, network sessions) are refused too: they would open the name themselves.
constexpr std::array<std::pair<char const*, char const*>, 6> kReferringDemuxers = {{
    {"hls", "an HLS playlist"},
    {"dash", "a DASH manifest"},
    {"concat", "a concatenation script"},
    {"imf", "an IMF composition playlist"},
    {"sdp", "a description of network streams"},
    {"mlv", "a raw video whose chunks are files of their own"},
}};

bool IsCoverArt(AVStream const* stream) { return stream->disposition & AV_DISPOSITION_ATTACHED_PIC; }

std::string ErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  std::string message = text;
  if (std::string const& complaint = detail::LastFfmpegComplaint(); !complaint.empty())
    message += " (" + complaint + ")";
  return message;
}

}  // namespace

int MediaInput::ReadFromFile(void* opaque, std::uint8_t* buffer, int size) {
  auto* input = static_cast<MediaInput*>(opaque);
  int const descriptor = input->file_->Descriptor();
  for (;;) {
    ssize_t const got = ::read(descriptor, buffer, static_cast<std::size_t>(size));
    if (got > 0) {
      input->bytesRead_ += static_cast<std::uint64_t>(got);
      return static_cast<int>(got);
    }
    if (got == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

std::int64_t MediaInput::SeekInFile(void* opaque, std::int64_t offset, int whence) {
  detail::StampedFile const* file = static_cast<MediaInput*>(opaque)->file_.get();
  if (whence & AVSEEK_SIZE) return static_cast<std::int64_t>(file->Size());
  off_t const at = ::lseek(file->Descriptor(), static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : static_cast<std::int64_t>(at);
}

namespace {

bool Oversized(int width, int height) {
  return width > MediaInput::kMaxPictureWidth || height > MediaInput::kMaxPictureHeight ||
         std::int64_t{width} * height > MediaInput::kMaxPicturePixels;
}

// Each frame thread holds pictures of its own. Pictures as large as the bounds allow would take hundreds of megabytes
// on a machine with many processors, so large pictures decode on fewer threads: what the threads hold stays within
// this, or one thread when one picture is larger.
constexpr std::int64_t kPicturesInFlightBytes = std::int64_t{256} << 20;
constexpr int kMostDecoderThreads = 16;  // FFmpeg's own ceiling for an automatic count

int DecoderThreads(AVCodecParameters const& parameters, int wanted) {
  if (parameters.codec_type != AVMEDIA_TYPE_VIDEO || wanted == 1) return wanted;
  if (wanted <= 0) {
    wanted = std::clamp(static_cast<int>(std::thread::hardware_concurrency()) + 1, 1, kMostDecoderThreads);
  }
  std::int64_t const pixels = std::int64_t{parameters.width} * parameters.height;
  if (pixels <= 0) return wanted;
  // Four bytes a pixel when the probe did not learn the format: 8-bit RGB, or 4:2:0 at 16 bits, both common.
  int const known = parameters.format >= 0 ? av_image_get_buffer_size(static_cast<AVPixelFormat>(parameters.format),
                                                                      parameters.width, parameters.height, 1)
                                           : -1;
  std::int64_t const bytes = known > 0 ? known : pixels * 4;
  return static_cast<int>(std::clamp<std::int64_t>(kPicturesInFlightBytes / bytes, 1, wanted));
}

// The earliest start of the file's sound and moving pictures, else the container's start; NaN when neither is known.
double FindPresentationStart(AVFormatContext const& format) {
  double start = std::numeric_limits<double>::infinity();
  for (unsigned i = 0; i < format.nb_streams; ++i) {
    AVStream const* stream = format.streams[i];
    AVMediaType const type = stream->codecpar->codec_type;
    bool const counts = type == AVMEDIA_TYPE_AUDIO || (type == AVMEDIA_TYPE_VIDEO && !IsCoverArt(stream));
    if (counts && stream->start_time != AV_NOPTS_VALUE) {
      start = std::min(start, static_cast<double>(stream->start_time) * av_q2d(stream->time_base));
    }
  }
  if (!std::isinf(start)) return start;
  if (format.start_time != AV_NOPTS_VALUE) return static_cast<double>(format.start_time) / AV_TIME_BASE;
  return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

void detail::LimitFfmpegAllocations() { av_max_alloc(kMaxFfmpegAllocation); }

MediaInput::MediaInput(std::filesystem::path const& file) : file_(std::make_unique<detail::StampedFile>(file)) {
  detail::ForgetFfmpegComplaint();
  try {
    Open();
  } catch (...) {
    Release();
    throw;
  }
}

MediaInput::~MediaInput() { Release(); }

std::filesystem::path const& MediaInput::Path() const { return file_->Path(); }

std::uint64_t MediaInput::Size() const { return file_->Size(); }

void MediaInput::Release() {
  avcodec_free_context(&codec_);
  avformat_close_input(&format_);
  if (io_) av_freep(&io_->buffer);
  avio_context_free(&io_);
}

void MediaInput::Fail(std::string_view what, int error) const {
  if (!refusal_.empty()) Refuse(refusal_);
  throw zelcore::config::zel_exception(
      "Cannot read media file " + Path().string() + " (" + std::string(what) + "): " + ErrorText(error),
      zelcore::config::kResultFileRead);
}

void MediaInput::NotMedia(std::string_view what, int error) const {
  if (!refusal_.empty()) Refuse(refusal_);
  throw zelcore::config::zel_exception("Cannot read media file " + Path().string() + " (" + std::string(what) + ")" +
                                           (error < 0 ? ": " + ErrorText(error) : std::string()),
                                       kResultNotMediaFile);
}

bool MediaInput::HasAudioOrVideo() const {
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    AVStream const* stream = format_->streams[i];
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) return true;
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !IsCoverArt(stream)) return true;
  }
  return false;
}

void MediaInput::Refuse(std::string const& why) const {
  throw zelcore::config::zel_exception("Cannot read media file " + Path().string() + ": " + why,
                                       zelcore::config::kResultFileRead);
}

int MediaInput::RefuseNestedOpen(AVFormatContext* format, AVIOContext** io, char const* url, int /*flags*/,
                                 AVDictionary** /*options*/) {
  *io = nullptr;
  // Only our contexts carry this callback, and FFmpeg never sets a context's opaque (user data) itself: a demuxer's
  // nested context that copied the callback has none, or ours.
  if (auto* input = static_cast<MediaInput*>(format->opaque); input && input->refusal_.empty()) {
    input->refusal_ =
        std::string("it refers to other files (it asked for \"") + (url ? url : "") + "\")" + kOnlySelfContained;
  }
  return AVERROR(EPERM);
}

void MediaInput::Open() {
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (buffer) io_ = avio_alloc_context(buffer, kIoBufferSize, 0, this, &ReadFromFile, nullptr, &SeekInFile);
  if (!io_) {
    av_free(buffer);
    Fail("could not allocate", AVERROR(ENOMEM));
  }
  format_ = avformat_alloc_context();
  if (!format_) Fail("could not allocate", AVERROR(ENOMEM));
  format_->pb = io_;
  format_->flags |= AVFMT_FLAG_CUSTOM_IO;
  format_->opaque = this;
  format_->io_open = &RefuseNestedOpen;  // it opens nothing, so io_close2 has nothing to close and stays FFmpeg's
  // No protocol at all: demuxers that open URLs themselves, bypassing io_open, are held by this list.
  if (int const error = av_opt_set(format_, "protocol_whitelist", "", 0); error < 0) Fail("could not set up", error);

  // The container is recognised from the bytes (the name only hints at it) before any demuxer reads its header.
  AVInputFormat const* container = nullptr;
  int const score = av_probe_input_buffer2(io_, &container, Path().c_str(), format_, 0, 0);
  if (score < 0) NotMedia("not a media file FFmpeg can read", score);
  // A picture or a page of text is not something to analyse, however well FFmpeg reads it.
  std::string_view const name = container->name;
  if (name.ends_with("_pipe") || name == "tty") NotMedia("a still picture or text, not a media file", 0);
  // The picture-sequence reader is chosen by the name alone (a ".png" whose bytes are no picture): not media either,
  // and never opened, since it reads further files by name.
  if (name == "image2") NotMedia("named like a picture, not a media file", 0);
  if (container->flags & AVFMT_NOFILE) {
    Refuse(std::string("it refers to other files (FFmpeg's \"") + container->name + "\" reader opens files by name)" +
           kOnlySelfContained);
  }
  for (auto const& [name, what] : kReferringDemuxers) {
    if (std::string_view(container->name) == name)
      Refuse(std::string("it refers to other files (") + what + ")" + kOnlySelfContained);
  }
  AVDictionary* options = nullptr;
  // A movie's data references name other files; FFmpeg leaves them unread by default, and so must it stay.
  av_dict_set(&options, "enable_drefs", "0", 0);
  int const error = avformat_open_input(&format_, Path().c_str(), container, &options);
  av_dict_free(&options);
  // avformat_open_input freed format_ already. Recognised by its bytes but unreadable: a damaged media file. Chosen by
  // the name alone, at a score at which FFmpeg warns of a misdetection (text named ".mp4", say): not media.
  if (error < 0 && score <= AVPROBE_SCORE_RETRY) NotMedia("named like media, but no reader recognises it", error);
  if (error < 0) Fail("damaged: FFmpeg cannot read it", error);
  if (!refusal_.empty()) Refuse(refusal_);
  NoteDeclaredSizes();
}

void MediaInput::NoteDeclaredSizes() {
  oversized_.resize(format_->nb_streams, false);
  sizes_.resize(format_->nb_streams);
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    AVCodecParameters const* parameters = format_->streams[i]->codecpar;
    // Once seen too large a stream stays refused: a probe that refused its pictures leaves it with no size at all.
    if (parameters->codec_type != AVMEDIA_TYPE_VIDEO || oversized_[i]) continue;
    if (Oversized(parameters->width, parameters->height)) {
      oversized_[i] = true;
      sizes_[i] = std::to_string(parameters->width) + "x" + std::to_string(parameters->height);
    }
  }
}

bool MediaInput::HeaderSuffices(Probe probe) const {
  // Such a container finds its streams only while reading its packets: the header tells nothing for certain.
  if (format_->ctx_flags & AVFMTCTX_NOHEADER) return false;
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    AVStream const* stream = format_->streams[i];
    AVCodecParameters const* parameters = stream->codecpar;
    if (probe == Probe::kAudio && parameters->codec_type == AVMEDIA_TYPE_AUDIO) {
      if (parameters->codec_id == AV_CODEC_ID_NONE || parameters->sample_rate <= 0 ||
          parameters->ch_layout.nb_channels <= 0) {
        return false;
      }
    }
    // A video stream's frame rate is learnt from the timestamps of its first packets, so pictures always get the
    // full probe; cover art is no video to read.
    if (probe == Probe::kVideo && parameters->codec_type == AVMEDIA_TYPE_VIDEO && !IsCoverArt(stream)) return false;
  }
  return true;
}

void MediaInput::ProbeStreams(Probe probe) {
  unsigned const count = format_->nb_streams;
  std::vector<AVDictionary*> options(count, nullptr);
  for (unsigned i = 0; i < count; ++i) {
    av_dict_set_int(&options[i], "max_pixels", kMaxPicturePixels, 0);
    // Packets of a discarded stream are not even read by most demuxers, so its decoder never sees one.
    if (probe == Probe::kAudio && format_->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
      format_->streams[i]->discard = AVDISCARD_ALL;
    }
  }
  // The full probe reads up to `probesize` bytes, probing the codec again each time the data doubles: for a small
  // file that is the whole file, twenty times the cost of decoding it. When the header already gave everything the
  // read needs, a few packets confirm it.
  std::int64_t const probesize = format_->probesize;
  if (HeaderSuffices(probe)) format_->probesize = std::min<std::int64_t>(probesize, kHeaderProbeBytes);
  int const error = avformat_find_stream_info(format_, count > 0 ? options.data() : nullptr);
  format_->probesize = probesize;
  for (AVDictionary*& dictionary : options) av_dict_free(&dictionary);
  if (!refusal_.empty()) Refuse(refusal_);
  if (error < 0) Fail("no stream information", error);
  NoteDeclaredSizes();
  start_ = FindPresentationStart(*format_);
  // What the probe complained about (a stream it could not learn) is no reason for a later failure.
  detail::ForgetFfmpegComplaint();
}

int MediaInput::ChooseStream(Probe kind, int stream) const {
  AVMediaType const type = kind == Probe::kAudio ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
  char const* const name = kind == Probe::kAudio ? "audio" : "video";
  if (stream == kBestStream) {
    int first = -1;  // the first stream of the kind, whether FFmpeg could learn its parameters or not
    for (unsigned i = 0; i < format_->nb_streams && first < 0; ++i) {
      if (format_->streams[i]->codecpar->codec_type == type && !IsCoverArt(format_->streams[i]))
        first = static_cast<int>(i);
    }
    // Without any sound or moving pictures (subtitles, data) the file is no media at all.
    if (first < 0 && !HasAudioOrVideo()) NotMedia("no sound and no moving pictures", 0);
    if (first < 0) {
      throw zelcore::config::zel_exception(Path().string() + " has no " + name + " stream", kResultNotApplicable);
    }
    int const best = av_find_best_stream(format_, type, -1, -1, nullptr, 0);
    // FFmpeg may rank cover art above a short video; the file's first real one is read then.
    if (best >= 0 && IsCoverArt(format_->streams[best])) return first;
    // A stream whose parameters FFmpeg could not learn is there but cannot be read: that is a failure of the file.
    if (best < 0) Fail(std::string("it has no readable ") + name + " stream", best);
    return best;
  }
  if (stream < 0 || static_cast<unsigned>(stream) >= format_->nb_streams ||
      format_->streams[stream]->codecpar->codec_type != type) {
    throw zelcore::config::zel_exception("Stream " + std::to_string(stream) + " of " + Path().string() + " is not " +
                                             (kind == Probe::kAudio ? "an " : "a ") + name + " stream",
                                         kResultIllegalArgument);
  }
  if (IsCoverArt(format_->streams[stream])) {
    throw zelcore::config::zel_exception(
        "Stream " + std::to_string(stream) + " of " + Path().string() + " is cover art, not a video stream",
        kResultIllegalArgument);
  }
  return stream;
}

AVCodecContext* MediaInput::OpenDecoder(int stream, int threadCount,
                                        std::function<void(AVCodecContext&, AVCodec const&)> const& configure) {
  AVStream* chosen = format_->streams[stream];
  if (static_cast<std::size_t>(stream) < oversized_.size() && oversized_[stream]) {
    Refuse("its pictures are " + sizes_[stream] + ", larger than the " + std::to_string(kMaxPictureWidth) + "x" +
           std::to_string(kMaxPictureHeight) + " (at most " + std::to_string(kMaxPicturePixels / 1000000) +
           " megapixels) that are read");
  }
  AVCodec const* decoder = avcodec_find_decoder(chosen->codecpar->codec_id);
  if (!decoder) Fail("no decoder for its codec", AVERROR_DECODER_NOT_FOUND);
  codec_ = avcodec_alloc_context3(decoder);
  if (!codec_) Fail("could not allocate", AVERROR(ENOMEM));
  if (int const error = avcodec_parameters_to_context(codec_, chosen->codecpar); error < 0) Fail("bad codec", error);
  codec_->pkt_timebase = chosen->time_base;
  codec_->thread_count = DecoderThreads(*chosen->codecpar, threadCount);
  // Sizes that appear only in the coded pictures are held to the same bounds, before the decoder allocates them.
  codec_->max_pixels = kMaxPicturePixels;
  detail::ClaimDecoderLog(*codec_);
  if (configure) configure(*codec_, *decoder);
  if (int const error = avcodec_open2(codec_, decoder, nullptr); error < 0) Fail("decoder refused the stream", error);
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    format_->streams[i]->discard = static_cast<int>(i) == stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  }
  return codec_;
}

double MediaInput::PresentationSeconds(int stream, std::int64_t timestamp) {
  if (timestamp == AV_NOPTS_VALUE) return std::numeric_limits<double>::quiet_NaN();
  double const seconds = static_cast<double>(timestamp) * av_q2d(format_->streams[stream]->time_base);
  if (std::isnan(start_)) start_ = seconds;
  return seconds - start_;
}

std::int64_t MediaInput::StreamTimestamp(int stream, double seconds) const {
  double const start = std::isnan(start_) ? 0.0 : start_;
  return static_cast<std::int64_t>(std::floor((seconds + start) / av_q2d(format_->streams[stream]->time_base)));
}

void MediaInput::CheckAfterReading() const {
  if (!refusal_.empty()) Refuse(refusal_);
  file_->CheckUnchanged();
}

}  // namespace Quillan::Examples
