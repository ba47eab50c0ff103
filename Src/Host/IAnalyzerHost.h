#pragma once

#include <any>
#include <cstddef>
#include <memory>
#include <tuple>
#include <vector>

#include "DataStoreAdaptors/IDataStoreAdaptor.h"
#include "Foundation/Export.h"
#include "Foundation/Future.h"
#include "Host/AnalysisOptions.h"
#include "zelcore/ClassRef.h"
#include "zelcore/Executor.h"
#include "zelcore/Guid.h"

namespace BE {
struct IClip;
}
namespace zelappsupport::utility {
class ProgressItem;
}

namespace Quillan {

// The host that runs analyzers on clips: admits a clip, builds its analyzers through the registry, runs one job per
// analyzer with per-analyzer limits and FIFO queues, merges identical requests, and lets callers count, list and
// terminate jobs. Every operation may be called from any thread and returns at once.
struct QUILLAN_EXPORT IAnalyzerHost : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("Quillan::IAnalyzerHost")

  using JobFuture = zelcore::async::WeakFuture<std::any>;
  using ProgressItemPtr = std::shared_ptr<zelappsupport::utility::ProgressItem>;

  // Runs every analyzer registered under type 0 that applies to the clip.
  virtual zelcore::async::Future<std::vector<JobFuture>> AnalyzeClip(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                                     AnalysisOptions const& options) = 0;
  // Runs one analyzer with `parameter` on `executor` (the host's analysis executor when empty). Throws
  // zel_exception kResultAnalyzerNotRegistered for an unknown analyzer.
  virtual zelcore::async::Future<std::tuple<JobFuture, ProgressItemPtr>> AnalyzeClipWithAnalyzer(
      zelcore::InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId, std::any const& parameter,
      AnalysisOptions const& options, std::shared_ptr<zelcore::async::AsyncExecutor> const& executor) = 0;
  // The store the host was created with; analyzers of this host cache through it.
  virtual zelcore::InterfaceRef<IDataStoreAdaptor> GetManagedDataStore() = 0;
  // Drops the queued and running jobs of `clip`.
  virtual void TerminateAnalysisJobsForClip(zelcore::InterfaceRef<BE::IClip> const& clip) = 0;
  // Drops the jobs of `clip` with one analyzer; with a parameter, only those with its parameter key.
  virtual void TerminateAnalysisJobForClipWithAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                       Guid const& analyzerId, std::any const& parameter) = 0;
  // The number of running jobs of an analyzer (queued ones not counted).
  virtual zelcore::async::Future<std::size_t> CountJobs(Guid const& analyzerId) = 0;
  // The futures of the running jobs of an analyzer.
  virtual zelcore::async::Future<std::vector<zelcore::async::Future<std::any>>> GetRunningAnalyzerJobs(
      Guid const& analyzerId) = 0;
};

}  // namespace Quillan
