#include <limits>
#include <string>

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

class DigestAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<DigestAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::DigestAnalyzer")
  using zelcore::classref::ClassStatics<DigestAnalyzer>::CreateClassRef;

  // IAnalyzer:
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kDigestAnalyzerId; }
  // Takes no parameter; any given one is ignored and keys nothing.
  ImmutableString GetSerializedParameter() const override { return ImmutableString(); }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kDigestAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kDigestTable; }
};

class PeaksAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<PeaksAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::PeaksAnalyzer")
  using zelcore::classref::ClassStatics<PeaksAnalyzer>::CreateClassRef;

  // IAnalyzer:
  std::optional<std::size_t> GetMaxJobCount() const override { return 2; }
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kPeaksAnalyzerId; }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kPeaksAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kPeaksTable; }
  // Each run keeps its min and max, no longer its largest absolute sample, and the envelope says when it starts.
  std::string_view ResultKeyName() const override { return "peaks.2"; }
};

class LoudnessAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<LoudnessAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::LoudnessAnalyzer")
  using zelcore::classref::ClassStatics<LoudnessAnalyzer>::CreateClassRef;

  // IAnalyzer:
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kLoudnessAnalyzerId; }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kLoudnessAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kLoudnessTable; }

  // The second layout adds the short-term series; its true peak is measured at 192 kHz and reads higher.
  std::string_view ResultKeyName() const override { return "loudness.2"; }
};

class ScenesAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<ScenesAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::ScenesAnalyzer")
  using zelcore::classref::ClassStatics<ScenesAnalyzer>::CreateClassRef;

  // IAnalyzer:
  // Decoding pictures takes the decoder's own threads; two jobs keep a machine busy.
  std::optional<std::size_t> GetMaxJobCount() const override { return 2; }
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kScenesAnalyzerId; }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kScenesAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kScenesTable; }
  // Scores in percent and transitions beside the cuts: results of the first layout (levels, cuts only) are not read.
  std::string_view ResultKeyName() const override { return "scenes.2"; }
};

class SilenceAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<SilenceAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::SilenceAnalyzer")
  using zelcore::classref::ClassStatics<SilenceAnalyzer>::CreateClassRef;

  // IAnalyzer:
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kSilenceAnalyzerId; }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kSilenceAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kSilenceTable; }
  // Times count from the start of the file's presentation, no longer from the first sample.
  std::string_view ResultKeyName() const override { return "silence.2"; }
};

class BeatsAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<BeatsAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::BeatsAnalyzer")
  using zelcore::classref::ClassStatics<BeatsAnalyzer>::CreateClassRef;

  // IAnalyzer:
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kBeatsAnalyzerId; }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kBeatsAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kBeatsTable; }
  std::string_view ResultKeyName() const override { return "beats.2"; }
};

class BlackAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<BlackAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::BlackAnalyzer")
  using zelcore::classref::ClassStatics<BlackAnalyzer>::CreateClassRef;

  // IAnalyzer:
  // Decoding pictures takes the decoder's own threads; two jobs keep a machine busy.
  std::optional<std::size_t> GetMaxJobCount() const override { return 2; }
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kBlackAnalyzerId; }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kBlackAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kBlackTable; }
};

class FreezeAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<FreezeAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::FreezeAnalyzer")
  using zelcore::classref::ClassStatics<FreezeAnalyzer>::CreateClassRef;

  // IAnalyzer:
  // Decoding pictures takes the decoder's own threads; two jobs keep a machine busy.
  std::optional<std::size_t> GetMaxJobCount() const override { return 2; }
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kFreezeAnalyzerId; }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kFreezeAnalyzerName); }

 protected:
  ParameterTable const& Parameters() const override { return kFreezeTable; }
};

}  // namespace

zelcore::InterfaceRef<IAnalyzer> CreateDigestAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                      std::any const& parameter,
                                                      zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<DigestAnalyzer>(clip, parameter, host);
}

zelcore::InterfaceRef<IAnalyzer> CreatePeaksAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                     std::any const& parameter,
                                                     zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<PeaksAnalyzer>(clip, parameter, host, std::to_string(kDefaultSamplesPerPeak));
}

zelcore::InterfaceRef<IAnalyzer> CreateLoudnessAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                        std::any const& parameter,
                                                        zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<LoudnessAnalyzer>(clip, parameter, host, "");
}

zelcore::InterfaceRef<IAnalyzer> CreateScenesAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                      std::any const& parameter,
                                                      zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<ScenesAnalyzer>(clip, parameter, host, "");
}

zelcore::InterfaceRef<IAnalyzer> CreateSilenceAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                       std::any const& parameter,
                                                       zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<SilenceAnalyzer>(clip, parameter, host, "");
}

zelcore::InterfaceRef<IAnalyzer> CreateBeatsAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                     std::any const& parameter,
                                                     zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<BeatsAnalyzer>(clip, parameter, host, "");
}

zelcore::InterfaceRef<IAnalyzer> CreateBlackAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                     std::any const& parameter,
                                                     zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<BlackAnalyzer>(clip, parameter, host, "");
}

zelcore::InterfaceRef<IAnalyzer> CreateFreezeAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                      std::any const& parameter,
                                                      zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<FreezeAnalyzer>(clip, parameter, host, "");
}

}  // namespace Quillan::Examples::detail
