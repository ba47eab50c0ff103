#pragma once

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AddonEnvironment.h"
#include "Analyzers/IResultDescriber.h"
#include "Foundation/Future.h"
#include "Host/IAnalyzerHost.h"
#include "zelcore/Executor.h"
#include "zelcore/Guid.h"

namespace Quillan::Node {

// One `Quillan.analyzeFile` call: runs a list of analyzers on one clip through the host and reports how each job
// ended, with its result as the analyzer describes it, once all have.
//
// The jobs run on a sub-executor of the call's own, paused until every job has been started and its future taken:
// the host keeps jobs only weakly, and a job that ended before its future was taken would take its outcome with it.
// Thread-safe; the completion runs once, on whichever thread ends the last job (or in Start). Progress reports run on
// any thread, one at a time, each fraction of an analyzer above the one before, the last one (1, for a job done)
// before the completion.
class FileAnalysis : public AddonEnvironment::Activity, public std::enable_shared_from_this<FileAnalysis> {
 public:
  struct Request {
    zelcore::utility::Guid analyzer;
    std::any parameter;
  };
  struct Outcome {
    zelcore::utility::Guid analyzer;
    bool done = false;
    zelcore::config::Result code = 0;  // of a failed job
    std::string message;               // of a failed job; may be empty
    // Of a done job whose value carries a result (a zelcore::Blob, or an Examples::ExampleResult).
    std::optional<ResultDescription> description;
    // Of a done job whose value carries one: the result's bytes.
    std::optional<zelcore::Blob> blob;
  };
  using Completion = std::function<void(std::vector<Outcome> outcomes)>;
  // The fraction done of the job of the analyzer at `index` in the requests.
  using ProgressReport = std::function<void(std::size_t index, double fraction)>;

  // With `watched`, the jobs are run with progress items, which progress reports and Abort need.
  FileAnalysis(zelcore::InterfaceRef<IAnalyzerHost> host, zelcore::InterfaceRef<BE::IClip> clip,
               std::vector<Request> requests, bool watched = false);
  ~FileAnalysis() override;

  // Asks the host for every job, once; `completion` gets the outcomes in the order of the analyzers. A request the
  // host refuses (an analyzer that is not registered, a clip it does not admit) ends as a failed outcome. A
  // non-empty `report` hears how the jobs progress, looked at every few tens of milliseconds.
  void Start(Completion completion, ProgressReport report = {});

  // Asks every job to stop: cancels those with a cancelable progress item and drops the clip's jobs from the host,
  // so that the completion comes soon, with cancelled or failed outcomes. Idempotent; any thread.
  void Abort();
  // Whether Abort was called.
  bool Aborted() const;

  // AddonEnvironment::Activity: drops the clip's jobs from the host and shuts the executor down, which breaks the
  // jobs that have not started.
  void Stop() override;

 private:
  using Started = std::tuple<IAnalyzerHost::JobFuture, IAnalyzerHost::ProgressItemPtr>;

  void OnStarted(std::size_t index, zelcore::async::Future<Started> const& started);
  void OnJobEnded(std::size_t index, zelcore::async::Future<std::any> const& job);
  // The bytes of a job's value: a zelcore::Blob, or an Examples::ExampleResult's; empty for any other value.
  static std::optional<zelcore::Blob> BlobOf(std::any const& value);
  // The job's result as its analyzer (built again for the clip) describes it; empty when `value` carries none.
  std::optional<ResultDescription> Describe(std::size_t index, std::any const& value) const;
  // Records a failed outcome; call with mutex_ held.
  void RecordFailure(std::size_t index, std::exception_ptr const& failure);
  // Counts one analyzer as finished and runs the completion after the last one.
  void Finish(std::unique_lock<std::mutex> lock);
  // Reports the fractions that grew since they were last looked at, and looks again later while jobs run.
  void Poll();
  // Reports `fraction` for `index` when it is above the last one reported; call with mutex_ held.
  void ReportLocked(std::size_t index, double fraction);

  zelcore::InterfaceRef<IAnalyzerHost> const host_;
  zelcore::InterfaceRef<BE::IClip> const clip_;
  std::vector<std::any> const parameters_;  // per request
  std::shared_ptr<zelcore::async::AsyncThreadedSubExecutor> const executor_;
  bool const watched_;

  mutable std::mutex mutex_;
  std::vector<Outcome> outcomes_;                      // guarded by mutex_
  std::size_t startsPending_;                          // guarded by mutex_
  std::size_t unfinished_;                             // guarded by mutex_
  Completion completion_;                              // guarded by mutex_; emptied when it runs
  ProgressReport report_;                              // guarded by mutex_; emptied with the completion
  std::vector<IAnalyzerHost::ProgressItemPtr> items_;  // guarded by mutex_; per request, once started
  std::vector<double> reported_;                       // guarded by mutex_; per request, -1 before the first
  bool aborted_ = false;                               // guarded by mutex_
};

}  // namespace Quillan::Node
