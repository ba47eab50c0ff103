#pragma once

#include <any>
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Analyzers/AnalyzerBase.h"
#include "Analyzers/AnalyzerProgressMixIn.h"
#include "Analyzers/Detail/AnalyzerParameter.h"
#include "Analyzers/Detail/Progress.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "Analyzers/IParameterDescriber.h"
#include "Analyzers/IResultDescriber.h"
#include "zelcore/RecycledMemory.h"

namespace Quillan::Examples::detail {

class StampedFile;

// The content state of the file version that one Compute read: its result is filed under it, so that a file replaced
// after the read is never given the old content's result. Compute notes the file it read once the read has ended; a
// result with nothing noted is returned but not cached. Not thread-safe; one per Compute call.
class QUILLAN_EXAMPLES_EXPORT ReadVersion {
 public:
  // Takes the content state of the version that `file` opened, through its still open descriptor: recalled when
  // that version was hashed before (the cache load hashed the path), else hashed. When the descriptor no longer
  // shows that version (the file was written in place) or cannot be read again, keeps the reason instead.
  void Note(StampedFile const& file);
  // The state noted. Throws zel_exception kResultNotCached, saying why, when there is none.
  zelcore::utility::Guid State() const;

 private:
  std::optional<zelcore::utility::Guid> state_;
  std::string whyNone_ = "The analyzer did not tell which version of the media file it read; its result was not kept";
};

// What the module's analyzers share: the media file as target, one cached result under one key, the store that the
// user's cache-location setting chooses, and the flow load cached -> else compute on the job's executor and save.
// The job ends with an ExampleResult, whose blob the analyzer describes. Concrete analyzers implement the naming
// operations, and give the table of their parameter's settings, which keys their results by the canonical
// form of the parameter and describes them to tools. Read-only after Initialize; StartAnalysis may run for several
// jobs at once.
class ExampleAnalyzer : public Analyzers::AnalyzerBase,
                        public Analyzers::AnalyzerProgressMixIn,
                        public IResultDescriber,
                        public IParameterDescriber {
 public:
  // IAnalyzer:
  TargetObjectType GetTargetObjectType() const override { return TargetObjectType::kMedia; }
  zelcore::async::Future<std::any> StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const& executor,
                                                 AnalysisOptions const& options) override;

  // AnalyzerBase:
  CacheKeys GetCacheKeys() const override;

  // IResultDescriber: the layouts that ExampleAnalyzers.h documents.
  std::optional<ResultDescription> DescribeResult(ImmutableString const& key, zelcore::Blob const& blob) const override;

  // IParameterDescriber: the analyzer's table.
  AnalyzerDescription DescribeAnalyzer() const override { return Parameters().Describe(); }

  // UnknownBase: the names of the bases, of IResultDescriber and of IParameterDescriber.
  void* QueryMap(std::string_view name) override;

  // IAnalyzer: the parameter text in its canonical form (as given when it does not parse), or none when it is empty.
  ImmutableString GetSerializedParameter() const override;

  // The factory of an analyzer class A: its parameter text (`defaultParameter` when none is given) in its canonical
  // form, then both bases. A text that does not parse is kept as given; the job then fails with the parser's message.
  // A FreshResult parameter stands for the parameter it holds, and skips the cache load; a StoredOnly one skips the
  // computation.
  template <class A>
  static zelcore::InterfaceRef<IAnalyzer> CreateExample(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                        std::any const& parameter,
                                                        zelcore::InterfaceWeakRef<IAnalyzerHost> const& host,
                                                        std::string_view defaultParameter = {}) {
    auto analyzer = A::CreateClassRef();
    auto const* const fresh = std::any_cast<FreshResult>(&parameter);
    auto const* const stored = std::any_cast<StoredOnly>(&parameter);
    std::any const& proper = fresh ? fresh->parameter : stored ? stored->parameter : parameter;
    analyzer->fresh_ = fresh != nullptr;
    analyzer->storedOnly_ = stored != nullptr;
    analyzer->parameterText_ = CanonicalOrAsGiven(AnalyzerParameter::TextOf(proper, defaultParameter),
                                                  static_cast<ExampleAnalyzer const&>(*analyzer).Parameters());
    analyzer->InitializeExample(clip, proper, host);
    return zelcore::InterfaceRef<IAnalyzer>(analyzer);
  }

 protected:
  // Sets up both bases from the factory's arguments; call once, right after CreateClassRef.
  void InitializeExample(zelcore::InterfaceRef<BE::IClip> const& clip, std::any const& parameter,
                         zelcore::InterfaceWeakRef<IAnalyzerHost> const& host);

  // What the analyzer does and the settings of its parameter; the parser reads the parameter by it.
  virtual ParameterTable const& Parameters() const = 0;

  // The key of the analyzer's one result. An analyzer whose layout or measure changes takes a new key, so that a
  // result of the old kind is never read as one of the new.
  virtual std::string_view ResultKeyName() const { return "result"; }

  // The parameter, read by Parameters(). Throws zel_exception kResultIllegalArgument as AnalyzerParameter does.
  AnalyzerParameter Parameter() const { return AnalyzerParameter(parameterText_, Parameters()); }

 private:
  // The result blob for `file`, measured by the media module (MediaModule.h), noting in `read` the file it read
  // (ReadVersion::Note) once the read has ended. Calls progress.Update as it goes (which throws on cancel); throws
  // zel_exception on an unreadable file or bad parameters. Runs on the job's executor.
  zelcore::Blob Compute(std::filesystem::path const& file, Progress const& progress, ReadVersion& read) const;
  ImmutableString ResultKey() const;
  static std::string CanonicalOrAsGiven(std::string text, ParameterTable const& table);

  std::string parameterText_;  // set before Initialize, read only afterwards
  bool fresh_ = false;         // likewise: compute even when a cached result is there
  bool storedOnly_ = false;    // likewise: never compute
};

// A little-endian byte image, built field by field.
class QUILLAN_EXAMPLES_EXPORT BlobWriter {
 public:
  template <class T>
  void Put(T value) {
    static_assert(std::endian::native == std::endian::little, "result blobs are little-endian");
    std::size_t const at = bytes_.size();
    bytes_.resize(at + sizeof(T));
    std::memcpy(bytes_.data() + at, &value, sizeof(T));
  }
  zelcore::Blob Finish() const;

 private:
  std::vector<std::uint8_t> bytes_;
};

// The result layouts that ExampleAnalyzers.h documents.
QUILLAN_EXAMPLES_EXPORT zelcore::Blob EncodeLoudness(Loudness const& loudness);
QUILLAN_EXAMPLES_EXPORT zelcore::Blob EncodeScenes(Scenes const& scenes);
QUILLAN_EXAMPLES_EXPORT zelcore::Blob EncodeSilence(Silence const& silence);
QUILLAN_EXAMPLES_EXPORT zelcore::Blob EncodeBeats(Beats const& beats);
QUILLAN_EXAMPLES_EXPORT zelcore::Blob EncodeBlack(Black const& black);
QUILLAN_EXAMPLES_EXPORT zelcore::Blob EncodeFreeze(Freeze const& freeze);

// One of the module's analyzers as it is registered: its name, its GUID (below) and its factory.
struct RegisteredExample {
  std::string_view name;
  zelcore::utility::Guid id;
  zelcore::InterfaceRef<IAnalyzer> (*factory)(zelcore::InterfaceRef<BE::IClip> const& clip, std::any const& parameter,
                                              zelcore::InterfaceWeakRef<IAnalyzerHost> const& host);
};
// The module's analyzers, in a fixed order. Constant-initialised, so the registrar may use them at load time.
std::span<RegisteredExample const> RegisteredExamples();

// Fixed for good: results are cached under them. Constant-initialised, so the registrar may use them at load time.
inline constexpr zelcore::utility::Guid kDigestAnalyzerId{zelcore::utility::Guid::Bytes{
    0x5d, 0x0c, 0x3e, 0x71, 0x2a, 0x94, 0x4f, 0x1b, 0x9e, 0x57, 0x61, 0x0a, 0xd4, 0x2b, 0x88, 0x01}};
inline constexpr zelcore::utility::Guid kPeaksAnalyzerId{zelcore::utility::Guid::Bytes{
    0x5d, 0x0c, 0x3e, 0x71, 0x2a, 0x94, 0x4f, 0x1b, 0x9e, 0x57, 0x61, 0x0a, 0xd4, 0x2b, 0x88, 0x02}};
inline constexpr zelcore::utility::Guid kLoudnessAnalyzerId{zelcore::utility::Guid::Bytes{
    0x5d, 0x0c, 0x3e, 0x71, 0x2a, 0x94, 0x4f, 0x1b, 0x9e, 0x57, 0x61, 0x0a, 0xd4, 0x2b, 0x88, 0x03}};
inline constexpr zelcore::utility::Guid kScenesAnalyzerId{zelcore::utility::Guid::Bytes{
    0x5d, 0x0c, 0x3e, 0x71, 0x2a, 0x94, 0x4f, 0x1b, 0x9e, 0x57, 0x61, 0x0a, 0xd4, 0x2b, 0x88, 0x04}};
inline constexpr zelcore::utility::Guid kSilenceAnalyzerId{zelcore::utility::Guid::Bytes{
    0x5d, 0x0c, 0x3e, 0x71, 0x2a, 0x94, 0x4f, 0x1b, 0x9e, 0x57, 0x61, 0x0a, 0xd4, 0x2b, 0x88, 0x05}};
inline constexpr zelcore::utility::Guid kBeatsAnalyzerId{zelcore::utility::Guid::Bytes{
    0x5d, 0x0c, 0x3e, 0x71, 0x2a, 0x94, 0x4f, 0x1b, 0x9e, 0x57, 0x61, 0x0a, 0xd4, 0x2b, 0x88, 0x06}};
inline constexpr zelcore::utility::Guid kBlackAnalyzerId{zelcore::utility::Guid::Bytes{
    0x5d, 0x0c, 0x3e, 0x71, 0x2a, 0x94, 0x4f, 0x1b, 0x9e, 0x57, 0x61, 0x0a, 0xd4, 0x2b, 0x88, 0x07}};
inline constexpr zelcore::utility::Guid kFreezeAnalyzerId{zelcore::utility::Guid::Bytes{
    0x5d, 0x0c, 0x3e, 0x71, 0x2a, 0x94, 0x4f, 0x1b, 0x9e, 0x57, 0x61, 0x0a, 0xd4, 0x2b, 0x88, 0x08}};

}  // namespace Quillan::Examples::detail
