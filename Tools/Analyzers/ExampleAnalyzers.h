#pragma once

#include <algorithm>
#include <any>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zelcore/Guid.h"
#include "zelcore/RecycledMemory.h"

// Marks what the example analyzer module exports to the command-line tool and tests.
#define QUILLAN_EXAMPLES_EXPORT __attribute__((visibility("default")))

// The example analyzer module (public header). Loading the library registers eight analyzers with the default
// registry, each under a fixed GUID and AnalyzerType 0, each working on the clip's media file. The audio and video
// analyzers read any container and codec that the system's FFmpeg decodes; they take the best audio (or video) stream
// unless their parameter chooses another by its index in the file ("stream=N").
//
//   name       result blob (all numbers little-endian)
//   digest     32 bytes: the SHA-256 of the media file's bytes.
//   peaks      uint32 channelCount, uint32 samplesPerPeak, uint32 sampleRate, uint32 peakCount, uint64 frameCount,
//              float64 startSeconds (when the first frame plays on the file's presentation clock), then for each of
//              peakCount runs of samplesPerPeak frames (the last run may be shorter) and each channel float32 min,
//              float32 max: the smallest and largest sample of the run, run i of channel c at pair i * channelCount +
//              c. Parameter: samples per peak, a positive integer as int or as text ("512" or "512,stream=2"); 256 when
//              none is given. At most two jobs run at a time.
//   loudness   float64 integrated loudness (LUFS), float64 loudness range (LU), float64 true peak (dBTP, the
//              largest over the channels of the audio resampled to at least 192 kHz), float64 sample peak (dBFS),
//              float64 largest momentary loudness (LUFS), float64 largest short-term loudness (LUFS), uint64
//              frameCount, uint32 sampleRate, uint32 shortTermCount, then shortTermCount int16: the short-term
//              loudness every 100 ms (sampleRate / 10 frames), value i that of the 3 s ending at 3.0 + 0.1 i s, in
//              0.01 LU steps; -32768 stands for silence and anything below -327.67 LUFS. shortTermCount is
//              Loudness::ShortTermCount() of the frames and rate. Silence gives -inf for loudness and peaks; what a
//              clip is too short to measure is NaN (integrated, range and momentary under 400 ms, short-term under
//              3 s, when there are no short-term values either). Cached under the key "loudness.2".
//   scenes     float64 threshold, float64 minimumSeconds, float64 frameRate, uint64 frameCount, uint32 cutCount,
//              uint32 transitionCount, then per cut uint64 frame, float64 seconds, float64 score (the picture that
//              starts a new shot), then per transition uint64 startFrame, uint64 endFrame, float64 startSeconds,
//              float64 endSeconds, float64 score, uint32 kind, uint32 0; both lists in time order. Differences are
//              mean absolute luma differences in percent of full scale (FFmpeg's scdet's unit) on pictures scaled
//              to 256 across. A cut's score is its picture's difference from the previous one less the larger of
//              the differences beside it; a cut scores at least the threshold, and none follows the previous one
//              sooner than minimumSeconds (the stronger stands). A transition runs from its first changed picture
//              to the first that shows the new picture whole (endFrame); its score is the difference between the
//              pictures before and after it (at least the threshold). Kind: 0 dissolve, 1 fade to black, 2 fade
//              from black, 3 fade to white, 4 fade from white, 5 wipe. Parameter: the threshold ("4" or
//              "threshold=4", default 4), "min=" seconds (default 0.5), "stream=N". A file without video has no
//              cuts in 0 frames.
//   silence    float64 thresholdDbfs, float64 minimumSeconds, uint64 frameCount, uint32 sampleRate, uint32 rangeCount,
//              then per range float64 start, float64 end (seconds): runs of at least minimumSeconds in which every
//              sample of every channel stays below the threshold. Parameter: "threshold=-60" (dBFS, the default) and
//              "min=2" (seconds, the default), "stream=N".
//              Times count from the start of the file's presentation, as the pictures' times do: sound that starts
//              after the pictures starts after 0.
//   beats      float64 tempo (beats per minute), float64 confidence (0 to 1), uint64 frameCount, uint32 sampleRate,
//              uint32 onsetCount, uint32 beatCount, uint32 0, then onsetCount float64 onset times and beatCount
//              float64 beat times (seconds). Onsets are aubio's default detector's, placed on the sample where the
//              sound rises (a window of about 23 ms at every rate). The beats follow the period at which the onsets
//              repeat best, tracked through them; the tempo is the least-squares slope of the beats' times against
//              their numbers. Confidence: the share of beats on an onset x the regularity of the beat intervals x the
//              grid's length (full from 8 beats). Where nothing beats (a steady tone, noise, silence) or the
//              confidence is under 0.25 there are no beats, and tempo and confidence are 0. Parameter: "stream=N".
//   black      float64 minimumSeconds, float64 pictureThreshold, float64 pixelThreshold, float64 frameRate,
//              uint64 frameCount, uint32 segmentCount, uint32 0, then per segment uint64 startFrame, uint64 endFrame,
//              float64 start, float64 end (seconds): runs of at least minimumSeconds of black pictures. A picture is
//              black when at least pictureThreshold of its luma samples (on pictures scaled to 256 across) are at
//              most pixelThreshold of full scale; a segment ends where the first picture that is not black starts
//              (endFrame is that picture), or at the end of the last picture. Parameter: "d=2" (seconds),
//              "pic_th=0.98", "pix_th=0.1" (the defaults), "stream=N".
//   freeze     float64 minimumSeconds, float64 noise, float64 frameRate, uint64 frameCount, uint32 segmentCount,
//              uint32 0, then segments as black has them: runs of at least minimumSeconds of pictures that differ
//              from the run's first picture by a mean absolute luma difference of at most noise (a ratio of full
//              scale). Parameter: "n=-60" (dB below 0, else a ratio from 0 to 1), "d=2" (seconds), "stream=N".
//   Segments of black and freeze are in time order, none overlapping; a file without video is not applicable.
//
// Every analyzer loads its cached result first (through the store that the user's cache-location setting chooses)
// and computes and saves it only when that fails (or when its parameter is a FreshResult). Its job's result is an
// ExampleResult, which also tells a save that failed (a setting that writes nowhere, an unusable cache). Cancelling its
// progress item stops the computation early; the job then fails with kResultJobCancelled. A media file that cannot be
// read, or that changes while it is read, fails the job with kResultFileRead; a bad parameter with
// kResultIllegalArgument; failures cache nothing. A computed result is cached under the content of the file version
// that was read, so a file replaced between the read and the save keeps its own results and the replaced content
// keeps the one computed from it.
namespace Quillan::Examples {

inline constexpr std::string_view kDigestAnalyzerName = "digest";
inline constexpr std::string_view kPeaksAnalyzerName = "peaks";
inline constexpr std::string_view kLoudnessAnalyzerName = "loudness";
inline constexpr std::string_view kScenesAnalyzerName = "scenes";
inline constexpr std::string_view kSilenceAnalyzerName = "silence";
inline constexpr std::string_view kBeatsAnalyzerName = "beats";
inline constexpr std::string_view kBlackAnalyzerName = "black";
inline constexpr std::string_view kFreezeAnalyzerName = "freeze";
inline constexpr std::uint32_t kDefaultSamplesPerPeak = 256;

// What a job of an example analyzer ends with (held by the job's std::any).
struct ExampleResult {
  zelcore::Blob blob;
  // Whether the blob came from a cache rather than from computing it.
  bool fromCache = false;
  // Why a computed blob could not be saved; null when it was saved (or came from a cache).
  std::exception_ptr saveFailure = nullptr;
};

// Calls `hook` with the media file's path in every computing job, after the file has been read and before the result
// is saved; an empty function removes it. For tests that change the file at that moment.
QUILLAN_EXAMPLES_EXPORT void SetAfterReadHookForTesting(std::function<void(std::filesystem::path const&)> hook);

// The one FFmpeg log policy of the module, its pictures and the command-line tool. FFmpeg's log is one per process
// (a level and a callback), so it is the program's to choose, and the policy changes it only when asked to:
//   - What FFmpeg says on a thread while one of our media readers is open there, and what the decoders they opened
//     say on their own threads, is the readers': it reaches no terminal, where it would break progress bars and
//     tables, and FFmpeg's last error on the reader's thread joins the message of that reader's next failure.
//   - Everything else goes on to av_log_default_callback, which honours the program's level. The level is never
//     changed: no reader lowers it for the process, they are quiet only while they read.
// FFmpeg cannot tell which callback is set, so the policy cannot chain to an embedder's own: it is for a program that
// leaves FFmpeg's log to its default, and replaces whatever callback is set. The module never installs it by itself,
// so a program with a callback of its own keeps it and receives every message, the readers' too. The command-line tool
// asks for the policy as it starts; it is installed when the module first reads media (FFmpeg is loaded with the
// reader), at once when that has happened already. Later calls change nothing. May be called from any thread.
QUILLAN_EXAMPLES_EXPORT void UseFfmpegLogForErrors();

// Bounds every single allocation of FFmpeg's libraries (av_max_alloc, one per process) to 128 MiB: a file of a few
// bytes can claim chunks of gigabytes that a demuxer allocates before it reads them. The largest pictures that are
// read (8192x4608, 8-bit 4:4:4 or 16-bit 4:2:0 planes) fit well within it. Like the log policy, it is the program's to
// choose, and applied as the module first reads media: the command-line tool asks for it as it starts.
QUILLAN_EXAMPLES_EXPORT void BoundFfmpegAllocations();

// The playing time of the media file at `file` in seconds, as its container states it (FFmpeg's demuxers); empty when
// the file is no media FFmpeg can open, refers to other files, or states none. Opens the file as the analyzers do and
// reads its header, and further only when the header states no duration.
QUILLAN_EXAMPLES_EXPORT std::optional<double> MediaDurationSeconds(std::filesystem::path const& file);

// Has pictures decode on `threads` threads (0, the default: as many as FFmpeg finds useful), for tests that hold the
// results on one thread against several.
QUILLAN_EXAMPLES_EXPORT void SetVideoDecoderThreadsForTesting(int threads);

// How many times this process's audio analyzers decoded a file's sound, and how many times one of them was given a
// decode that another had made of the same version of the file: for tests of that sharing.
struct AudioDecodeCounts {
  std::uint64_t decodes = 0;
  std::uint64_t shared = 0;
};
QUILLAN_EXAMPLES_EXPORT AudioDecodeCounts GetAudioDecodeCountsForTesting();

// A parameter that has an analyzer of the module compute its result afresh, whatever a cache holds, and save it over
// what is there: for a caller whose own reading of the cached result failed. `parameter` is the parameter proper,
// which keys the cache and names the job as it would alone.
struct FreshResult {
  std::any parameter;
};

// A parameter that has an analyzer of the module give what a cache holds and compute nothing: its job fails with
// kResultNotCached when no well-formed result is stored. `parameter` is the parameter proper, as for FreshResult.
struct StoredOnly {
  std::any parameter;
};

// The names of the module's analyzers, in a fixed order.
QUILLAN_EXAMPLES_EXPORT std::vector<std::string_view> GetExampleAnalyzerNames();
// The GUID registered under `name`; empty for an unknown name.
QUILLAN_EXAMPLES_EXPORT std::optional<zelcore::utility::Guid> FindExampleAnalyzer(std::string_view name);

struct PeakEnvelope {
  std::uint32_t channelCount = 0;
  std::uint32_t samplesPerPeak = 0;
  std::uint32_t sampleRate = 0;
  std::uint64_t frameCount = 0;
  double startSeconds = 0;   // when frame 0 plays, on the file's presentation clock
  std::vector<float> peaks;  // run i of channel c: min at (i * channelCount + c) * 2, max right after it

  std::size_t PeakCount() const { return channelCount == 0 ? 0 : peaks.size() / (std::size_t{2} * channelCount); }
  float Min(std::size_t index, std::uint32_t channel) const { return peaks[(index * channelCount + channel) * 2]; }
  float Max(std::size_t index, std::uint32_t channel) const { return peaks[(index * channelCount + channel) * 2 + 1]; }
  // The largest absolute sample of the run.
  float Peak(std::size_t index, std::uint32_t channel) const {
    return std::max(-Min(index, channel), Max(index, channel));
  }
};

struct Loudness {
  double integratedLufs = 0;
  double rangeLu = 0;
  double truePeakDbtp = 0;
  double samplePeakDbfs = 0;
  double momentaryMaxLufs = 0;
  double shortTermMaxLufs = 0;
  std::uint64_t frameCount = 0;
  std::uint32_t sampleRate = 0;
  // The short-term (3 s) loudness every 100 ms, from the first whole window on: value i ends at frame
  // (i + 30) * (sampleRate / 10). -inf for silence and below kShortTermFloorLufs; held to 0.01 LU.
  std::vector<float> shortTermLufs;

  // Under 400 ms, one gating block: there is no integrated loudness to give.
  bool TooShort() const { return sampleRate == 0 || frameCount * 10 < std::uint64_t{sampleRate} * 4; }

  // How many short-term values frameCount frames at sampleRate give: one per 100 ms block from the 30th on.
  std::uint64_t ShortTermCount() const {
    if (sampleRate == 0) return 0;
    std::uint64_t const blocks = frameCount / std::max<std::uint64_t>(sampleRate / 10, 1);
    return blocks < 30 ? 0 : blocks - 29;
  }

  // The gain (dB) that brings the integrated loudness to targetLufs, held down so that the true peak stays at or
  // under ceilingDbtp: min(target - integrated, ceiling - true peak), as a normalizer's measuring pass reports it.
  // NaN when there is no finite integrated loudness to move (too short, or silence).
  double GainDb(double targetLufs, double ceilingDbtp) const {
    if (!std::isfinite(integratedLufs)) return std::numeric_limits<double>::quiet_NaN();
    return std::min(targetLufs - integratedLufs, ceilingDbtp - truePeakDbtp);
  }
};

// Short-term values are stored in 0.01 LU steps as int16; quieter ones read as -inf, like silence.
inline constexpr double kShortTermFloorLufs = -327.67;
struct SceneCut {
  std::uint64_t frame = 0;
  double seconds = 0;
  double score = 0;
};

enum class TransitionKind : std::uint32_t {
  kDissolve = 0,
  kFadeToBlack = 1,
  kFadeFromBlack = 2,
  kFadeToWhite = 3,
  kFadeFromWhite = 4,
  kWipe = 5,
};
inline constexpr std::uint32_t kTransitionKindCount = 6;
// "dissolve", "fade to black", "fade from black", "fade to white", "fade from white", "wipe".
QUILLAN_EXAMPLES_EXPORT std::string_view TransitionKindName(TransitionKind kind);

struct SceneTransition {
  std::uint64_t startFrame = 0;  // the first changed picture
  std::uint64_t endFrame = 0;    // the first picture that shows the new picture whole
  double startSeconds = 0;
  double endSeconds = 0;
  double score = 0;
  TransitionKind kind = TransitionKind::kDissolve;
};

struct Scenes {
  double threshold = 0;
  double minimumSeconds = 0;
  double frameRate = 0;
  std::uint64_t frameCount = 0;
  std::vector<SceneCut> cuts;
  std::vector<SceneTransition> transitions;
};

struct SilentRange {
  double start = 0;  // seconds
  double end = 0;
};

struct Silence {
  double thresholdDbfs = 0;
  double minimumSeconds = 0;
  std::uint64_t frameCount = 0;
  std::uint32_t sampleRate = 0;
  std::vector<SilentRange> ranges;
};

struct Beats {
  double tempoBpm = 0;
  double confidence = 0;  // 0 to 1: how well the beats fit one steady grid on the onsets
  std::uint64_t frameCount = 0;
  std::uint32_t sampleRate = 0;
  std::vector<double> onsets;  // seconds
  std::vector<double> beats;
};

// A stretch of pictures: frames [startFrame, endFrame) of the stream, from `start` to `end` seconds.
struct VideoSegment {
  std::uint64_t startFrame = 0;
  std::uint64_t endFrame = 0;
  double start = 0;  // seconds
  double end = 0;
};

struct Black {
  double minimumSeconds = 0;
  double pictureThreshold = 0;  // the share of black samples that makes a picture black, 0 to 1
  double pixelThreshold = 0;    // the luma up to which a sample is black, a ratio of full scale
  double frameRate = 0;
  std::uint64_t frameCount = 0;
  std::vector<VideoSegment> segments;
};

struct Freeze {
  double minimumSeconds = 0;
  double noise = 0;  // the mean absolute difference still frozen, a ratio of full scale
  double frameRate = 0;
  std::uint64_t frameCount = 0;
  std::vector<VideoSegment> segments;
};

// Decoders of the result blobs; empty when the blob does not have the documented layout. They check a blob against
// its byte size before they allocate: a peak envelope must have 1 to kMaxPeakChannels channels, a positive
// samples-per-peak and sample rate, a finite start of at least 0, one peak for each run of samples-per-peak frames
// (the last run may be shorter) whose min is no more than its max, and exactly the bytes its counts name. Black and
// freeze segments must be in order within the counted frames, each of at least one frame and not ending before it
// starts; a scenes transition must have a known kind and must not end before it starts.
inline constexpr std::uint32_t kMaxPeakChannels = 1024;
QUILLAN_EXAMPLES_EXPORT std::optional<PeakEnvelope> DecodePeakEnvelope(zelcore::Blob const& blob);
QUILLAN_EXAMPLES_EXPORT std::optional<Loudness> DecodeLoudness(zelcore::Blob const& blob);
QUILLAN_EXAMPLES_EXPORT std::optional<Scenes> DecodeScenes(zelcore::Blob const& blob);
QUILLAN_EXAMPLES_EXPORT std::optional<Silence> DecodeSilence(zelcore::Blob const& blob);
QUILLAN_EXAMPLES_EXPORT std::optional<Beats> DecodeBeats(zelcore::Blob const& blob);
QUILLAN_EXAMPLES_EXPORT std::optional<Black> DecodeBlack(zelcore::Blob const& blob);
QUILLAN_EXAMPLES_EXPORT std::optional<Freeze> DecodeFreeze(zelcore::Blob const& blob);
// Lowercase hexadecimal of a digest blob; empty when the blob is not 32 bytes.
QUILLAN_EXAMPLES_EXPORT std::string DigestToHex(zelcore::Blob const& blob);
// Whether `blob` decodes as a result of the example analyzer `analyzerId` (true for analyzers it does not know).
// A cached value that does not is treated as not cached, and computed again.
QUILLAN_EXAMPLES_EXPORT bool IsWellFormedResult(zelcore::utility::Guid const& analyzerId, zelcore::Blob const& blob);

}  // namespace Quillan::Examples
