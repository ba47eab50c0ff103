#include <any>
#include <cstddef>
#include <limits>
#include <optional>
#include <string_view>

#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/ExampleAnalyzers.h"

// The module's analyzers as the host sees them: names, GUIDs, parameters, result keys and job limits. What each
// measures (and why) is in the media module, ../AnalyzerMedia/<Name>Measure.cpp, opened when the first computes.
namespace Quillan::Examples::detail {
namespace {

constexpr ParameterTable kDigestTable{kDigestAnalyzerName, "SHA-256 of the file's bytes", {}};

constexpr ParameterSetting kPeaksSettings[] = {
    {"samples", "how many frames each peak covers: the smallest and largest sample of a run this long, per channel",
     kDefaultSamplesPerPeak, "", 1, std::numeric_limits<std::int32_t>::max(), "frames", true, true},
    kAudioStreamSetting,
};
constexpr ParameterTable kPeaksTable{kPeaksAnalyzerName, "min and max envelope of the audio, per channel",
                                     kPeaksSettings};

constexpr ParameterSetting kLoudnessSettings[] = {kAudioStreamSetting};
constexpr ParameterTable kLoudnessTable{
    kLoudnessAnalyzerName,
    "EBU R128 loudness of the audio: integrated, range, true and sample peak, largest "
    "momentary and short-term, short-term every 100 ms",
    kLoudnessSettings};

constexpr ParameterSetting kScenesSettings[] = {
    {"threshold",
     "the score (percent of full scale, as FFmpeg's scdet) from which a picture starts a new shot; a gradual "
     "transition must change the picture by as much",
     4, "", 0, 100, "%", false, true},
    {"min", "the shortest shot: a cut sooner than this after the previous one keeps only the stronger", 0.5, "", 0,
     3600, "s"},
    kVideoStreamSetting,
};
constexpr ParameterTable kScenesTable{
    kScenesAnalyzerName,
    "shot boundaries of the video: every cut (frame, time, score) and every fade, dissolve "
    "and wipe (start, end, kind)",
    kScenesSettings};

constexpr ParameterSetting kSilenceSettings[] = {
    {"threshold", "the level below which every channel counts as silent", -60, "", -200, 0, "dBFS"},
    {"min", "the shortest silence that is reported", 2, "", 0, 86400, "s"},
    kAudioStreamSetting,
};
constexpr ParameterTable kSilenceTable{kSilenceAnalyzerName, "silent ranges of the audio", kSilenceSettings};

constexpr ParameterSetting kBeatsSettings[] = {kAudioStreamSetting};
constexpr ParameterTable kBeatsTable{kBeatsAnalyzerName, "onsets, beats, tempo and its confidence of the audio",
                                     kBeatsSettings};

// Named and defaulted as FFmpeg's blackdetect names them, so that values carry over.
constexpr ParameterSetting kBlackSettings[] = {
    {"d", "the shortest black segment that is reported", 2, "", 0, 86400, "s"},
    {"pic_th", "the share of a picture's samples that must be black for the picture to be black", 0.98, "", 0, 1, ""},
    {"pix_th", "the luma up to which a sample is black, as a ratio of full scale", 0.1, "", 0, 1, ""},
    kVideoStreamSetting,
};
constexpr ParameterTable kBlackTable{
    kBlackAnalyzerName, "black segments of the video: start and end of every black stretch", kBlackSettings};

// Named and defaulted as FFmpeg's freezedetect names them, so that values carry over.
constexpr ParameterSetting kFreezeSettings[] = {
    {"n",
     "the noise tolerated: the largest mean difference from the still picture that still counts as frozen; below 0 in "
     "dB (-60 dB is 0.001), from 0 to 1 a ratio of full scale",
     -60, "", -200, 1, "dB"},
    {"d", "the shortest frozen segment that is reported", 2, "", 0, 86400, "s"},
    kVideoStreamSetting,
};
constexpr ParameterTable kFreezeTable{
    kFreezeAnalyzerName, "frozen pictures of the video: start and end of every stretch that does not change",
    kFreezeSettings};

// What sets one of the module's analyzers apart.
struct Kind {
  std::string_view interfaceName;
  zelcore::utility::Guid id;
  std::string_view name;
  ParameterTable const& table;
  // The key of its one result; a new layout or measure takes a new key, so that an old result is never read as new.
  std::string_view resultKey;
  std::optional<std::size_t> maxJobs;  // none: the base's answer
  std::string_view defaultParameter;
  bool takesParameter;  // without: any parameter given is ignored and keys nothing
};

// Decoding pictures takes the decoder's own threads, and a peak envelope is kept whole; two jobs keep a machine busy.
constexpr std::size_t kTwoJobs = 2;
constexpr std::string_view kDefaultPeaksParameter = "256";
static_assert(kDefaultSamplesPerPeak == 256);

constexpr Kind kDigest{.interfaceName = "Quillan::Examples::DigestAnalyzer",
                       .id = kDigestAnalyzerId,
                       .name = kDigestAnalyzerName,
                       .table = kDigestTable,
                       .resultKey = "result",
                       .maxJobs = std::nullopt,
                       .defaultParameter = "",
                       .takesParameter = false};
// Each run keeps its min and max, no longer its largest absolute sample, and the envelope says when it starts.
constexpr Kind kPeaks{.interfaceName = "Quillan::Examples::PeaksAnalyzer",
                      .id = kPeaksAnalyzerId,
                      .name = kPeaksAnalyzerName,
                      .table = kPeaksTable,
                      .resultKey = "peaks.2",
                      .maxJobs = kTwoJobs,
                      .defaultParameter = kDefaultPeaksParameter,
                      .takesParameter = true};
// The second layout adds the short-term series; its true peak is measured at 192 kHz and reads higher.
constexpr Kind kLoudness{.interfaceName = "Quillan::Examples::LoudnessAnalyzer",
                         .id = kLoudnessAnalyzerId,
                         .name = kLoudnessAnalyzerName,
                         .table = kLoudnessTable,
                         .resultKey = "loudness.2",
                         .maxJobs = std::nullopt,
                         .defaultParameter = "",
                         .takesParameter = true};
// Scores in percent and transitions beside the cuts: results of the first layout (levels, cuts only) are not read.
constexpr Kind kScenes{.interfaceName = "Quillan::Examples::ScenesAnalyzer",
                       .id = kScenesAnalyzerId,
                       .name = kScenesAnalyzerName,
                       .table = kScenesTable,
                       .resultKey = "scenes.2",
                       .maxJobs = kTwoJobs,
                       .defaultParameter = "",
                       .takesParameter = true};
// Times count from the start of the file's presentation, no longer from the first sample.
constexpr Kind kSilence{.interfaceName = "Quillan::Examples::SilenceAnalyzer",
                        .id = kSilenceAnalyzerId,
                        .name = kSilenceAnalyzerName,
                        .table = kSilenceTable,
                        .resultKey = "silence.2",
                        .maxJobs = std::nullopt,
                        .defaultParameter = "",
                        .takesParameter = true};
constexpr Kind kBeats{.interfaceName = "Quillan::Examples::BeatsAnalyzer",
                      .id = kBeatsAnalyzerId,
                      .name = kBeatsAnalyzerName,
                      .table = kBeatsTable,
                      .resultKey = "beats.2",
                      .maxJobs = std::nullopt,
                      .defaultParameter = "",
                      .takesParameter = true};
constexpr Kind kBlack{.interfaceName = "Quillan::Examples::BlackAnalyzer",
                      .id = kBlackAnalyzerId,
                      .name = kBlackAnalyzerName,
                      .table = kBlackTable,
                      .resultKey = "result",
                      .maxJobs = kTwoJobs,
                      .defaultParameter = "",
                      .takesParameter = true};
constexpr Kind kFreeze{.interfaceName = "Quillan::Examples::FreezeAnalyzer",
                       .id = kFreezeAnalyzerId,
                       .name = kFreezeAnalyzerName,
                       .table = kFreezeTable,
                       .resultKey = "result",
                       .maxJobs = kTwoJobs,
                       .defaultParameter = "",
                       .takesParameter = true};

template <Kind const& K>
class KindAnalyzer final : public ExampleAnalyzer, public zelcore::classref::ClassStatics<KindAnalyzer<K>> {
 public:
  ZEL_INTERFACE_NAME(K.interfaceName)
  using zelcore::classref::ClassStatics<KindAnalyzer<K>>::CreateClassRef;

  static zelcore::InterfaceRef<IAnalyzer> Create(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                 std::any const& parameter,
                                                 zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
    return CreateExample<KindAnalyzer>(clip, parameter, host, K.defaultParameter);
  }

  // IAnalyzer:
  std::optional<std::size_t> GetMaxJobCount() const override {
    return K.maxJobs ? K.maxJobs : ExampleAnalyzer::GetMaxJobCount();
  }
  zelcore::utility::Guid GetAnalyzerGuid() const override { return K.id; }
  ImmutableString GetSerializedParameter() const override {
    return K.takesParameter ? ExampleAnalyzer::GetSerializedParameter() : ImmutableString();
  }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(K.name); }

 protected:
  ParameterTable const& Parameters() const override { return K.table; }
  std::string_view ResultKeyName() const override { return K.resultKey; }
};

constexpr RegisteredExample kRegistered[] = {
    {kDigest.name, kDigest.id, &KindAnalyzer<kDigest>::Create},
    {kPeaks.name, kPeaks.id, &KindAnalyzer<kPeaks>::Create},
    {kLoudness.name, kLoudness.id, &KindAnalyzer<kLoudness>::Create},
    {kScenes.name, kScenes.id, &KindAnalyzer<kScenes>::Create},
    {kSilence.name, kSilence.id, &KindAnalyzer<kSilence>::Create},
    {kBeats.name, kBeats.id, &KindAnalyzer<kBeats>::Create},
    {kBlack.name, kBlack.id, &KindAnalyzer<kBlack>::Create},
    {kFreeze.name, kFreeze.id, &KindAnalyzer<kFreeze>::Create},
};

}  // namespace

std::span<RegisteredExample const> RegisteredExamples() { return kRegistered; }

}  // namespace Quillan::Examples::detail
