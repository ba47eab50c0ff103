#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "AnalyzerMedia/MediaInput.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;
struct SwsContext;

namespace Quillan::Examples::detail {

class Progress;

// One media file read with FFmpeg's libraries: any container and codec that the system's FFmpeg decodes. It picks
// one audio or video stream (the best one, or one chosen by its index in the file) and decodes it to its end: audio
// as interleaved float frames at the stream's own rate, pictures as 8-bit luma scaled down with libswscale (fast
// bilinear). Counts are what was decoded, never a header's estimate. The file is opened by MediaInput: only that file
// is read, through one descriptor whose stamp is checked once the stream has ended, so a file that changes while it is
// read fails instead of giving a mixed result.
//
// Every failure throws zel_exception: kResultFileRead with the file's name and FFmpeg's own message for a file that
// is not media or is damaged; kResultNotApplicable ("<file> has no audio stream", "... has no video stream") when the
// best stream is asked for and the file has none of that kind (cover art is no video); kResultIllegalArgument for a
// stream index that names no stream of the wanted kind. Not thread-safe.
//
// Times are on one clock, the file's presentation: 0 is the earliest start of its audio and video streams (a
// transport stream's 1.4 s, say, is taken out), as FFmpeg's demuxers give it (an MP4's edit list is applied, so
// pictures and samples it cuts are never decoded). A picture's time is its own timestamp on that clock; audio is a run
// of samples whose first one is at AudioFormat::startSeconds (later than 0 when the sound starts after the pictures).
// When the file names no start for any stream, 0 is the first decoded frame of the stream read.
//
// Damaged data: a packet that the decoder finds damaged (AVERROR_INVALIDDATA) counts as damaged and is skipped,
// whether the decoder says so when it is given the packet or when it hands out frames (frame-threaded decoders report
// it later, on the other side), so one rule holds on any number of threads. The read fails once it is done when no
// frame could be decoded from a stream with damaged packets, or when more than one packet in kDamagedShare is
// damaged. Every other decoder error ends the read at once.
class MediaReader {
 public:
  // Pictures decode on `threads` threads from now on; 0, the default, as many as FFmpeg finds useful.
  static void SetVideoThreads(int threads);

  static constexpr int kBestStream = MediaInput::kBestStream;
  // More than one damaged packet in this many fails the read.
  static constexpr std::uint64_t kDamagedShare = 4;

  struct AudioFormat {
    int stream = -1;  // index of the stream in the file
    std::uint32_t channelCount = 0;
    std::uint32_t sampleRate = 0;
    // The time of the first decoded sample on the presentation clock: sample n is at startSeconds + n / sampleRate.
    double startSeconds = 0;
  };

  struct VideoFormat {
    int stream = -1;
    int width = 0;  // of the stream's pictures
    int height = 0;
    double frameRate = 0;  // frames per second as the stream declares it; 0 when it does not
  };

  // One decoded picture, scaled to at most `maxWidth` luma samples across (aspect kept).
  struct Picture {
    std::span<std::uint8_t const> luma;  // width * height bytes, row after row
    // Whether luma spans 0 to 255; else it is as video codes it, black at 16 and white at 235.
    bool fullRange = false;
    int width = 0;
    int height = 0;
    std::uint64_t index = 0;  // 0 for the stream's first decoded picture
    double seconds = 0;       // on the presentation clock
  };

  // Opens and probes `file` for a read of its sound (kAudio: the other streams are discarded while probing, so no
  // picture is decoded, unless the header names no start for a video stream: then the start of every stream must be
  // read to learn where the presentation starts) or of its pictures (kVideo).
  MediaReader(std::filesystem::path const& file, MediaInput::Probe probe);
  ~MediaReader();
  MediaReader(MediaReader const&) = delete;
  MediaReader& operator=(MediaReader const&) = delete;

  // The file as it was opened, its descriptor still open: what the decoded data was read from.
  StampedFile const& File() const { return input_.File(); }

  // Chooses the audio stream and opens its decoder; `stream` is an index in the file or kBestStream. Decodes up to
  // the stream's first frame, to learn when its sound starts.
  AudioFormat SelectAudio(int stream);
  // The width the video analyzers look at: enough to tell shots apart and to see black or frozen pictures, small
  // enough to cost little beside decoding.
  static constexpr int kAnalysisWidth = 256;
  // Chooses the video stream and opens its decoder; pictures come scaled to at most `maxWidth` across. With
  // `reducedSize`, a codec that can decode at a half, a quarter or an eighth of the size does, while that keeps at
  // least twice `maxWidth` across: far less work, but prediction from the smaller pictures drifts a little until the
  // next key frame (up to 2% of full scale in luma at half size on a 1080p pan).
  VideoFormat SelectVideo(int stream, int maxWidth, bool reducedSize = false);

  // Decodes the chosen audio stream to its end, calling block(interleaved samples, frame count) for each decoded
  // piece and progress.Update as it goes (which throws on cancel). Returns the number of frames decoded.
  std::uint64_t ReadAudio(Progress const& progress,
                          std::function<void(std::span<float const>, std::size_t)> const& block);
  // Decodes the chosen video stream to its end, calling picture() for each picture in presentation order. Returns
  // the number of pictures decoded.
  std::uint64_t ReadVideo(Progress const& progress, std::function<void(Picture const&)> const& picture);

  // Packets of the chosen stream given to the decoder so far, and how many of them were damaged.
  std::uint64_t PacketCount() const { return packets_; }
  std::uint64_t DamagedPacketCount() const { return damaged_; }

 private:
  void Release();
  void OpenDecoder(int stream);
  // Receives the next decoded frame of the chosen stream into frame_, reading and sending packets as needed; false
  // at the stream's end. Reports progress when given it.
  bool NextFrame(Progress const* progress);
  // Sends the next packet of the chosen stream, or the end of the stream once there are none; false when the end was
  // already sent.
  bool SendNext(Progress const* progress);
  void NoteDamage(int error);
  // Decodes the chosen stream to its end, calling frame() for each decoded frame, then applies the damage rule and
  // checks the file's stamp.
  void Decode(Progress const& progress, std::function<void(AVFrame const&)> const& frame);
  // The frame's time on the presentation clock; NaN when it has none.
  double Seconds(AVFrame const& frame);
  [[noreturn]] void Fail(char const* what, int error) const;

  MediaInput input_;
  AVFormatContext* format_ = nullptr;  // input_'s
  AVCodecContext* codec_ = nullptr;    // input_'s
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  SwrContext* resampler_ = nullptr;
  SwsContext* scaler_ = nullptr;
  int stream_ = -1;
  int maxWidth_ = 0;
  bool reducedSize_ = false;  // of pictures: decode at a fraction of the size where the codec can
  std::uint32_t channels_ = 0;
  int resamplerInput_ = -1;  // the sample format the resampler was set up for
  std::vector<float> samples_;
  std::vector<std::uint8_t> luma_;
  bool ended_ = false;            // the end of the stream was sent to the decoder
  bool holding_ = false;          // frame_ holds a decoded frame not yet handed out
  std::uint64_t skipFrames_ = 0;  // audio frames before the presentation's start, not handed out
  std::uint64_t packets_ = 0;
  std::uint64_t damaged_ = 0;
  std::uint64_t decoded_ = 0;  // frames
  int lastDamage_ = 0;
  double reported_ = 0;  // the part of the file last reported as read
};

}  // namespace Quillan::Examples::detail
