#pragma once

#include <any>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "Foundation/Export.h"
#include "Foundation/Future.h"
#include "Host/AnalysisOptions.h"
#include "zelcore/ClassRef.h"
#include "zelcore/Guid.h"
#include "zelcore/ImmutableString.h"

namespace zelappsupport::utility {
class ProgressItem;
}

namespace Quillan {

// Whether an analyzer works on the clip or on the clip's media; the host merges identical requests by it.
enum class TargetObjectType : std::int32_t {
  kClip = 0,
  kMedia = 1,
};

// Which media of a clip an analyzer wants; AnalyzerBase maps it to the project model's choice.
enum class ProxyHandling : std::int32_t {
  kDefault = 0,
  kOriginal = 1,
  kProxy = 2,
};

// The interface through which the host drives an analyzer. Implementations are built by the factory an analyzer
// module registers, one per clip.
struct QUILLAN_EXPORT IAnalyzer : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("Quillan::IAnalyzer")

  // The most jobs of this analyzer that the host runs at a time; empty for no limit.
  virtual std::optional<std::size_t> GetMaxJobCount() const = 0;
  // The GUID the analyzer type is registered under.
  virtual zelcore::utility::Guid GetAnalyzerGuid() const = 0;
  virtual TargetObjectType GetTargetObjectType() const = 0;
  virtual ProxyHandling GetProxyHandling() const = 0;
  // The analyzer's parameters as text; part of every cache key. Throws zel_exception kResultNotImplemented when the
  // analyzer takes no parameters.
  virtual zelcore::utility::ImmutableString GetSerializedParameter() const = 0;
  // Runs the analysis as a job on `executor`; the future completes with the analyzer's result.
  virtual zelcore::async::Future<std::any> StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const& executor,
                                                         AnalysisOptions const& options) = 0;
};

// An analyzer that shows its job as a progress item of the application.
struct QUILLAN_EXPORT IAnalyzerProgress : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("Quillan::IAnalyzerProgress")

  virtual std::shared_ptr<zelappsupport::utility::ProgressItem> GetProgressItem() const = 0;
};

// An analyzer that can say it takes no parameter without throwing (optional; the host asks for it through QueryMap
// and falls back on IAnalyzer::GetSerializedParameter). The host computes a parameter key for every request, and
// an exception per request would cost more than the rest of a small job. AnalyzerBase answers it for every
// analyzer built on it.
struct QUILLAN_EXPORT IAnalyzerParameter : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("Quillan::IAnalyzerParameter")

  // What GetSerializedParameter returns, or empty where it would throw kResultNotImplemented (no parameter). Other
  // errors are thrown as GetSerializedParameter throws them.
  virtual std::optional<zelcore::utility::ImmutableString> TryGetSerializedParameter() const = 0;
};

// What the host tells an analyzer about the job it runs for it.
struct QUILLAN_EXPORT IAnalyzerProgressPrivate : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("Quillan::IAnalyzerProgressPrivate")

  virtual void SetAnalysisJob(zelcore::async::Future<std::any> const& job) = 0;
};

}  // namespace Quillan
