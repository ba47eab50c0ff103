// An analyzer module for the script binding's tests. Loading it registers three analyzers whose jobs end when the
// test says so, without holding a thread meanwhile:
//
//   kGatedAnalyzerId         type 0, succeeds once its gate opens;
//   kFailingAnalyzerId       type 0, fails with kGateFailureResult once its gate opens;
//   kQuietFailingAnalyzerId  type 1 (so that it never runs unasked), fails as kFailingAnalyzerId but with an empty
//                            message, as many of the system's failures carry only their code.
//
// The parameter is the gate: the path of a file whose appearance opens it (a text). Without a parameter the gate is
// open from the start. A gate that stays shut for kGateTimeLimit fails the job with kResultUnavailable, so a broken
// test ends instead of hanging.
#include <any>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "Analyzers/AnalyzerBase.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerRegistry.h"
#include "zelcore/ZelException.h"

namespace Quillan::ScriptTests {
namespace {

using zelcore::InterfaceRef;
using zelcore::InterfaceWeakRef;
using zelcore::async::Future;
using zelcore::async::Promise;
using zelcore::utility::Guid;

// The scripts know these values too (Tests/Node/support.js).
constexpr Guid kGatedAnalyzerId{
    Guid::Bytes{0x3c, 0x51, 0x9a, 0x2e, 0x70, 0x4d, 0x4b, 0x8f, 0xa1, 0x06, 0x2d, 0x5e, 0x93, 0xc4, 0x10, 0x01}};
constexpr Guid kFailingAnalyzerId{
    Guid::Bytes{0x3c, 0x51, 0x9a, 0x2e, 0x70, 0x4d, 0x4b, 0x8f, 0xa1, 0x06, 0x2d, 0x5e, 0x93, 0xc4, 0x10, 0x02}};
constexpr Guid kQuietFailingAnalyzerId{
    Guid::Bytes{0x3c, 0x51, 0x9a, 0x2e, 0x70, 0x4d, 0x4b, 0x8f, 0xa1, 0x06, 0x2d, 0x5e, 0x93, 0xc4, 0x10, 0x03}};
constexpr zelcore::config::Result kGateFailureResult = 0xA0FE0001;

constexpr auto kPollInterval = std::chrono::milliseconds(2);
constexpr auto kGateTimeLimit = std::chrono::seconds(60);

enum class Ending { kSucceed, kFail, kFailQuietly };

// Watches one gate file from the timer: every poll is a short task on the default pool, so a shut gate occupies no
// thread. Keeps itself alive through its pending poll.
class Gate : public std::enable_shared_from_this<Gate> {
 public:
  Gate(std::filesystem::path file, Ending ending)
      : file_(std::move(file)), ending_(ending), deadline_(std::chrono::steady_clock::now() + kGateTimeLimit) {}

  Future<std::any> Start() {
    Future<std::any> future = promise_.GetFuture();
    Poll();
    return future;
  }

 private:
  void Poll() {
    std::error_code error;
    if (file_.empty() || std::filesystem::exists(file_, error)) {
      if (ending_ == Ending::kSucceed) {
        promise_.Fulfill(std::any(std::string("opened")));
      } else {
        Fail(ending_ == Ending::kFail ? "The failing test analyzer failed as asked" : "", kGateFailureResult);
      }
      return;
    }
    if (std::chrono::steady_clock::now() > deadline_) {
      Fail("The gate file never appeared: " + file_.string(), kResultUnavailable);
      return;
    }
    auto next = [self = shared_from_this()] { self->Poll(); };
    if (!zelcore::async::CallAsync(zelcore::async::GetDefaultExecutor(), std::move(next), kPollInterval.count())) {
      Fail("The process is shutting down", kResultUnavailable);
    }
  }

  void Fail(std::string const& message, zelcore::config::Result result) {
    promise_.Fail(std::make_exception_ptr(zelcore::config::zel_exception(message, result)));
  }

  std::filesystem::path const file_;
  Ending const ending_;
  std::chrono::steady_clock::time_point const deadline_;
  Promise<std::any> promise_;
};

class GatedAnalyzer : public Analyzers::AnalyzerBase, public zelcore::classref::ClassStatics<GatedAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Quillan::ScriptTests::GatedAnalyzer")

  explicit GatedAnalyzer(Ending ending) : ending_(ending) {}

  static AnalyzerFactory Factory(Ending ending) {
    return [ending](InterfaceRef<BE::IClip> const& clip, std::any const& parameter,
                    InterfaceWeakRef<IAnalyzerHost> const& host) -> InterfaceRef<IAnalyzer> {
      // A parameter of another type is the caller's mistake; the analyzer does not apply then.
      if (parameter.has_value() && !std::any_cast<std::string>(&parameter)) return {};
      auto analyzer = CreateClassRef(ending);
      analyzer->Initialize(InterfaceWeakRef<IAnalyzerHost>(host), InterfaceRef<IDataStoreAdaptor>(),
                           InterfaceRef<BE::IClip>(clip), std::any(parameter));
      return InterfaceRef<IAnalyzer>(analyzer);
    };
  }

  // IAnalyzer:
  Guid GetAnalyzerGuid() const override {
    switch (ending_) {
      case Ending::kSucceed:
        return kGatedAnalyzerId;
      case Ending::kFail:
        return kFailingAnalyzerId;
      case Ending::kFailQuietly:
        break;
    }
    return kQuietFailingAnalyzerId;
  }
  TargetObjectType GetTargetObjectType() const override { return TargetObjectType::kClip; }
  ImmutableString GetSerializedParameter() const override { return ImmutableString::Create(GateFile()); }
  Future<std::any> StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const&,
                                 AnalysisOptions const&) override {
    return std::make_shared<Gate>(GateFile(), ending_)->Start();
  }

  // AnalyzerBase:
  ImmutableString GetAnalyzerName() const override {
    switch (ending_) {
      case Ending::kSucceed:
        return ImmutableString::Create("gated test analyzer");
      case Ending::kFail:
        return ImmutableString::Create("failing test analyzer");
      case Ending::kFailQuietly:
        break;
    }
    return ImmutableString::Create("quietly failing test analyzer");
  }
  CacheKeys GetCacheKeys() const override { return {}; }

 private:
  std::string GateFile() const {
    auto const* file = std::any_cast<std::string>(&parameters);
    return file ? *file : std::string();
  }

  Ending const ending_;
};

struct Registrar {
  Registrar() {
    RegisterAnalyzer(kGatedAnalyzerId, AnalyzerType{0}, GatedAnalyzer::Factory(Ending::kSucceed));
    RegisterAnalyzer(kFailingAnalyzerId, AnalyzerType{0}, GatedAnalyzer::Factory(Ending::kFail));
    RegisterAnalyzer(kQuietFailingAnalyzerId, AnalyzerType{1}, GatedAnalyzer::Factory(Ending::kFailQuietly));
  }
} const gRegistrar;

}  // namespace
}  // namespace Quillan::ScriptTests
