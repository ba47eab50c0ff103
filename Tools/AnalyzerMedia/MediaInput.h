#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "AnalyzerMedia/FfmpegLog.h"
#include "Analyzers/ExampleAnalyzers.h"

struct AVCodec;
struct AVCodecContext;
struct AVDictionary;
struct AVFormatContext;
struct AVIOContext;

namespace Quillan::Examples {

namespace detail {
class StampedFile;
}

// The one way the example module, its pictures and the command-line tool open a media file for FFmpeg's libraries.
// It reads exactly the file it was given and nothing else:
//   - the path is opened as a file (never as a URL such as "concat:a|b" or "subfile:..."), through one stamped
//     descriptor that FFmpeg reads by callbacks;
//   - no protocol may be opened and every open that a demuxer asks for (a playlist's segments, a script's files, a
//     movie's data references) is refused;
//   - demuxers whose job is to read other files (playlists, manifests, scripts, picture sequences) are refused by
//     name as soon as the container is recognised, before anything else is read;
//   - pictures larger than kMaxPictureWidth x kMaxPictureHeight or kMaxPicturePixels, as the file declares them or as
//     a decoder finds them, are refused before any picture memory is allocated.
// Every failure throws zel_exception kResultFileRead naming the file and the reason, but for a file that is not media
// at all (FFmpeg does not recognise it, or it is a still picture or text): kResultNotMediaFile. While it is open, what
// FFmpeg says on its thread is its own (FfmpegLog.h). Times are on one clock, the file's presentation (see
// PresentationSeconds). Not thread-safe, and used on the thread that made it.
class QUILLAN_EXAMPLES_EXPORT MediaInput {
 public:
  // Real video tops out at 8K: 7680x4320 (UHD) and 8192x4320 (DCI). Bounding each side by 8192 and the area by
  // 8192x4608 (16:9 at 8192 across) reads all of it, portrait video too. A picture at the bound is 57 MB in 4:2:0 at
  // 8 bits (151 MB in 8-bit RGB), and large pictures decode on fewer threads, so a file that declares a larger size
  // is refused where it would have cost gigabytes.
  static constexpr int kMaxPictureWidth = 8192;
  static constexpr int kMaxPictureHeight = 8192;
  static constexpr std::int64_t kMaxPicturePixels = std::int64_t{8192} * 4608;

  // What a read is for: the kind of stream it probes for and chooses. An audio probe discards every other stream
  // first, so that no picture is decoded and a read of a file's sound costs nothing for its pictures, however large
  // they claim to be.
  enum class Probe { kAudio, kVideo };
  static constexpr int kBestStream = -1;

  // Opens `file`, recognises its container and reads its header.
  explicit MediaInput(std::filesystem::path const& file);
  ~MediaInput();
  MediaInput(MediaInput const&) = delete;
  MediaInput& operator=(MediaInput const&) = delete;

  // Reads ahead as far as needed to learn the streams' parameters (avformat_find_stream_info), with every decoder it
  // opens bounded in picture size. Streams that appear only during the probe (a transport stream's late programs)
  // are probed as FFmpeg does; their pictures are checked against the bounds when their decoder is opened. When the
  // header already described every stream the probe is for (audio: codec, rate and channels; video: there is none,
  // cover art aside) and the container is not one that finds its streams while reading, only the first few
  // kilobytes are read.
  void ProbeStreams(Probe probe);

  // The stream to read: `stream`, an index in the file, or for kBestStream the best one of the kind (FFmpeg's choice,
  // or the file's first when FFmpeg ranks cover art first). Cover art is never a video stream. Throws zel_exception
  // kResultNotApplicable ("<file> has no audio stream", "... has no video stream") when the file has none of the kind
  // but has sound or moving pictures, kResultNotMediaFile when it has neither, kResultFileRead when FFmpeg could not
  // learn the parameters of any stream of the kind, and kResultIllegalArgument for an index that names no stream of
  // the kind. Call after ProbeStreams.
  int ChooseStream(Probe kind, int stream) const;

  // Opens the decoder of stream `stream` (an index in the file) on `threadCount` threads (0: one more than the
  // processors, at most 16; fewer for pictures so large that the threads' pictures would pass 256 MB) and discards
  // every other stream. Throws when the stream's pictures are larger than the bounds. The decoder belongs to this
  // input. `configure`, when given, sets the decoder's options before it opens.
  AVCodecContext* OpenDecoder(int stream, int threadCount,
                              std::function<void(AVCodecContext&, AVCodec const&)> const& configure = {});

  AVFormatContext* Format() const { return format_; }
  // The time of `timestamp` (in the time base of stream `stream`) on the presentation clock, in seconds: 0 is where
  // the file's presentation starts, the earliest start of its sound and moving pictures (cover art aside) as
  // ProbeStreams found them, else the container's start. A file that names neither counts from the first timestamp
  // given here: the first frame decoded. NaN for AV_NOPTS_VALUE.
  double PresentationSeconds(int stream, std::int64_t timestamp);
  // The last timestamp of stream `stream` at or before `seconds` on the presentation clock; counted from timestamp 0
  // while the start is not known.
  std::int64_t StreamTimestamp(int stream, double seconds) const;
  // The file as it was opened, its descriptor still open: what everything decoded was read from.
  detail::StampedFile const& File() const { return *file_; }
  std::filesystem::path const& Path() const;
  std::uint64_t Size() const;

  // Throws when the file changed since it was opened, or when its demuxer asked for another file while reading.
  void CheckAfterReading() const;

  // Throws zel_exception kResultFileRead: "Cannot read media file <path> (<what>): <FFmpeg's reason>", or the
  // refusal of a file that refers to other files when its demuxer asked for one.
  [[noreturn]] void Fail(std::string_view what, int error) const;

  // Throws zel_exception kResultNotMediaFile: "Cannot read media file <path> (<what>)[: <FFmpeg's reason>]" (no
  // reason for `error` 0), or the refusal of a file that refers to other files.
  [[noreturn]] void NotMedia(std::string_view what, int error) const;
  // Whether the file has a stream of sound or of moving pictures (a cover picture is neither).
  bool HasAudioOrVideo() const;

  // The refusal message when the demuxer asked to open another file; empty when it did not.
  std::string const& Refusal() const { return refusal_; }

  // How many bytes of the file were read so far.
  std::uint64_t BytesReadForTesting() const { return bytesRead_; }

 private:
  void Open();
  void Release();
  void NoteDeclaredSizes();
  bool HeaderSuffices(Probe probe) const;
  [[noreturn]] void Refuse(std::string const& why) const;
  static int ReadFromFile(void* opaque, std::uint8_t* buffer, int size);
  static std::int64_t SeekInFile(void* opaque, std::int64_t offset, int whence);
  static int RefuseNestedOpen(AVFormatContext* format, AVIOContext** io, char const* url, int flags,
                              AVDictionary** options);

  detail::ReaderLogScope logScope_;  // first made, last ended: all of FFmpeg's work for this input runs within it
  std::unique_ptr<detail::StampedFile> file_;
  AVIOContext* io_ = nullptr;
  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  std::vector<bool> oversized_;     // per stream: its pictures were declared larger than the bounds
  std::vector<std::string> sizes_;  // per stream: the declared size, "16000x16000"
  std::string refusal_;
  std::uint64_t bytesRead_ = 0;
  double start_ = std::numeric_limits<double>::quiet_NaN();  // where the presentation starts, in seconds
};

// The largest single allocation that BoundFfmpegAllocations (ExampleAnalyzers.h) lets FFmpeg's libraries make.
inline constexpr std::size_t kMaxFfmpegAllocation = std::size_t{128} << 20;

namespace detail {
// Bounds FFmpeg's allocations to kMaxFfmpegAllocation (av_max_alloc, one per process).
QUILLAN_EXAMPLES_EXPORT void LimitFfmpegAllocations();
}  // namespace detail

}  // namespace Quillan::Examples
