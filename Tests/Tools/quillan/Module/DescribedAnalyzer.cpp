// An analyzer module for the tool's tests that describes its results. Its entry point registers "byte-sum" under
// AnalyzerType 0: the number of bytes of the media file and the sum of their values, stored as two little-endian
// uint64. It caches nothing, so every run computes it.
#include <any>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "Analyzers/AnalyzerBase.h"
#include "Analyzers/IResultDescriber.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerModule.h"
#include "Host/AnalyzerRegistry.h"
#include "zelcore/ZelException.h"

namespace Quillan::CliTests {
namespace {

using zelcore::Blob;
using zelcore::InterfaceRef;
using zelcore::utility::Guid;
using zelcore::utility::ImmutableString;

// The tests know it too: 7e57a7e5-0000-4000-8000-0000000000b5.
constexpr Guid kByteSumId{
    Guid::Bytes{0x7e, 0x57, 0xa7, 0xe5, 0x00, 0x00, 0x40, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xb5}};

ImmutableString SumKey() { return ImmutableString::Create("sum"); }

class ByteSumAnalyzer : public Analyzers::AnalyzerBase,
                        public IResultDescriber,
                        public zelcore::classref::ClassStatics<ByteSumAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::CliTests::ByteSumAnalyzer")
  using zelcore::classref::ClassStatics<ByteSumAnalyzer>::CreateClassRef;

  static InterfaceRef<IAnalyzer> Create(InterfaceRef<BE::IClip> const& clip, std::any const& parameter,
                                        zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
    auto analyzer = CreateClassRef();
    analyzer->Initialize(zelcore::InterfaceWeakRef<IAnalyzerHost>(host), nullptr, InterfaceRef<BE::IClip>(clip),
                         std::any(parameter));
    return InterfaceRef<IAnalyzer>(analyzer);
  }

  Guid GetAnalyzerGuid() const override { return kByteSumId; }
  TargetObjectType GetTargetObjectType() const override { return TargetObjectType::kMedia; }
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create("byte-sum"); }
  CacheKeys GetCacheKeys() const override { return {SumKey()}; }

  zelcore::async::Future<std::any> StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const& executor,
                                                 AnalysisOptions const&) override {
    InterfaceRef<BE::IMedia> const target = media;
    return zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
        executor, std::chrono::milliseconds(0), executor, [target] {
          if (!target) throw zelcore::config::zel_exception("The clip has no media", kResultTargetMissing);
          std::ifstream in(std::filesystem::path(target->GetFilePath()), std::ios::binary);
          if (!in) throw zelcore::config::zel_exception("Cannot read the media file", zelcore::config::kResultFileRead);
          std::uint64_t values[2] = {0, 0};
          for (char c; in.get(c);) {
            ++values[0];
            values[1] += static_cast<unsigned char>(c);
          }
          auto blob = zelcore::allocator::RecycledMemory::Create(sizeof values);
          std::memcpy(blob->data(), values, sizeof values);
          return std::any(Blob(blob));
        });
  }

  std::optional<ResultDescription> DescribeResult(ImmutableString const& key, Blob const& blob) const override {
    if (key != SumKey() || !blob || blob->size() != 16) return std::nullopt;
    std::uint64_t values[2];
    std::memcpy(values, blob->data(), sizeof values);
    std::string const bytes = std::to_string(values[0]), sum = std::to_string(values[1]);
    // A comma and quotes in the summary, so that the CSV must quote it.
    return ResultDescription{bytes + " bytes, \"sum\" " + sum, "{\"name\":\"byte-sum\",\"fields\":{\"bytes\":" + bytes +
                                                                   ",\"sum\":" + sum +
                                                                   "},\"units\":{\"bytes\":\"bytes\"}}"};
  }

  void* QueryMap(std::string_view name) override {
    if (name == IResultDescriber::InterfaceName()) return static_cast<IResultDescriber*>(this);
    return AnalyzerBase::QueryMap(name);
  }
};

}  // namespace
}  // namespace Quillan::CliTests

QUILLAN_ANALYZER_MODULE_ENTRY_POINT {
  return Quillan::RegisterAnalyzer(Quillan::CliTests::kByteSumId, Quillan::AnalyzerType{0},
                                   &Quillan::CliTests::ByteSumAnalyzer::Create);
}
