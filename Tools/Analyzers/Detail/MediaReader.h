#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "Analyzers/MediaInput.h"

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
class MediaReader {
 public:
  static constexpr int kBestStream = -1;

  struct AudioFormat {
    int stream = -1;  // index of the stream in the file
    std::uint32_t channelCount = 0;
    std::uint32_t sampleRate = 0;
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
    int width = 0;
    int height = 0;
    std::uint64_t index = 0;  // 0 for the stream's first decoded picture
    double seconds = 0;       // presentation time
  };

  // Opens and probes `file` for a read of its sound (kAudio: the other streams are discarded while probing, so no
  // picture is decoded) or of its pictures (kVideo).
  MediaReader(std::filesystem::path const& file, MediaInput::Probe probe);
  ~MediaReader();
  MediaReader(MediaReader const&) = delete;
  MediaReader& operator=(MediaReader const&) = delete;

  // The file as it was opened, its descriptor still open: what the decoded data was read from.
  StampedFile const& File() const { return input_.File(); }

  // Chooses the audio stream and opens its decoder; `stream` is an index in the file or kBestStream.
  AudioFormat SelectAudio(int stream);
  // Chooses the video stream and opens its decoder; pictures come scaled to at most `maxWidth` across.
  VideoFormat SelectVideo(int stream, int maxWidth);

  // Decodes the chosen audio stream to its end, calling block(interleaved samples, frame count) for each decoded
  // piece and progress.Update as it goes (which throws on cancel). Returns the number of frames decoded.
  std::uint64_t ReadAudio(Progress const& progress,
                          std::function<void(std::span<float const>, std::size_t)> const& block);
  // Decodes the chosen video stream to its end, calling picture() for each picture in presentation order. Returns
  // the number of pictures decoded.
  std::uint64_t ReadVideo(Progress const& progress, std::function<void(Picture const&)> const& picture);

 private:
  void Release();
  void OpenDecoder(int stream);
  // Demuxes and decodes the chosen stream to its end, calling frame() for each decoded frame, then checks the
  // file's stamp.
  void Decode(Progress const& progress, std::function<void(AVFrame const&)> const& frame);
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
  std::uint32_t channels_ = 0;
  int resamplerInput_ = -1;  // the sample format the resampler was set up for
  std::vector<float> samples_;
  std::vector<std::uint8_t> luma_;
};

}  // namespace Quillan::Examples::detail
