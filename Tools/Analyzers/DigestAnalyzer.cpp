#include <fstream>
#include <vector>

#include "Analyzers/Detail/ExampleAnalyzer.h"
#include "Analyzers/Detail/Sha256.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {
namespace {

// The SHA-256 of the media file's bytes.
class DigestAnalyzer : public ExampleAnalyzer, public zelcore::classref::ClassStatics<DigestAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Examples::DigestAnalyzer")
  using zelcore::classref::ClassStatics<DigestAnalyzer>::CreateClassRef;

  // IAnalyzer:
  zelcore::utility::Guid GetAnalyzerGuid() const override { return kDigestAnalyzerId; }
  // Takes no parameter; any given one is ignored but still keys the cache.
  ImmutableString GetSerializedParameter() const override { return ImmutableString(); }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create(kDigestAnalyzerName); }

 protected:
  zelcore::Blob Compute(std::filesystem::path const& file, Progress const& progress) const override {
    std::ifstream in(file, std::ios::binary);
    std::error_code error;
    auto const size = std::filesystem::file_size(file, error);
    if (!in || error) {
      throw zelcore::config::zel_exception("Cannot read media file " + file.string(), zelcore::config::kResultFileRead);
    }
    Sha256 sha;
    std::vector<char> buffer(1 << 20);
    std::uintmax_t done = 0;
    progress.Update(0.0);
    while (in) {
      in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      auto const got = static_cast<std::size_t>(in.gcount());
      sha.Update(std::span(reinterpret_cast<std::uint8_t const*>(buffer.data()), got));
      done += got;
      progress.Update(size == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(size));
    }
    if (in.bad()) {
      throw zelcore::config::zel_exception("Media file could not be read to its end: " + file.string(),
                                           zelcore::config::kResultFileRead);
    }
    BlobWriter out;
    for (std::uint8_t const byte : sha.Finish()) out.Put(byte);
    return out.Finish();
  }
};

}  // namespace

zelcore::InterfaceRef<IAnalyzer> CreateDigestAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                      std::any const& parameter,
                                                      zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
  return ExampleAnalyzer::CreateExample<DigestAnalyzer>(clip, parameter, host);
}

}  // namespace Quillan::Examples::detail
