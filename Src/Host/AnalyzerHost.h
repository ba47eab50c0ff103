#pragma once

#include <any>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "Analyzers/IAnalyzer.h"
#include "Foundation/Export.h"
#include "Foundation/Future.h"
#include "Host/AnalyzerRegistry.h"
#include "Host/Detail/SequenceChecker.h"
#include "Host/IAnalyzerHost.h"
#include "zelcore/ClassRef.h"
#include "zelcore/Executor.h"
#include "zelcore/Guid.h"
#include "zelcore/ImmutableString.h"
#include "zelcore/UniqueFunction.h"

namespace BE {
struct IMedia;
}

namespace Quillan {

struct IAnalyzer;

namespace detail {
class RunningJobTable;
class QueuedJobMap;
class MergedJobMap;
struct QueuedJob;
}  // namespace detail

// The analyzer host: admits clips, builds their analyzers through the registry and runs one job per analyzer.
//
// Guarantees:
// - At most GetMaxJobCount() jobs of one analyzer id run at a time; the others wait in a FIFO queue, and each
//   completion of a job starts the next waiting job of its analyzer id.
// - A request equal to a waiting job (same clip, media, analyzer id and parameter key) gets that job's future; one
//   equal to a running job (by clip, or also by media for analyzers of media) starts after that job has ended, also
//   when that job is terminated meanwhile: a terminated job that already runs still ends before the request starts,
//   so two identical analyses never run side by side.
// - A waiting job whose future has already ended (cancelled through its progress item) is never started.
// - The job tables live on the serial executor: every read and change of them runs there. Callers' requests,
//   completions, counts and terminations are steps in one FIFO inbox, and one task of the serial executor runs
//   every step that has arrived, so a busy host pays one serial hop per batch rather than per step.
// - Once the host is gone, waiting jobs break their promises (as terminated ones do); requests it had not yet taken
//   fail with kResultUnavailable, and so do merged requests once the job they wait for has ended.
//
//   request ──► queued / merged ──(a job of its analyzer ends)──► running ──(its future ends)──► gone
//                  │                                                │
//                  └──────── terminated (promise breaks) ───────────┴──── terminated (record dropped) ──► gone
//
// Thread-safe: every public operation may be called from any thread and returns at once, except
// GetOngoingJobsCount, which waits for the serial executor when called from outside the default pool.
class QUILLAN_EXPORT AnalyzerHost : public IAnalyzerHost, public zelcore::classref::ClassStatics<AnalyzerHost> {
 public:
  ZEL_INTERFACE_NAME("Quillan::AnalyzerHost")

  using Executor = zelcore::async::AsyncExecutor;
  using SubExecutor = zelcore::async::AsyncThreadedSubExecutor;

  // Orders analyzers by the identity of the object.
  struct AnalyzerOrder {
    bool operator()(zelcore::InterfaceRef<IAnalyzer> const& a, zelcore::InterfaceRef<IAnalyzer> const& b) const {
      return std::less<void const*>()(a.Identity(), b.Identity());
    }
  };
  // Analyzers to start, each with the parameter its factory was given.
  using AnalyzerParameters = std::map<zelcore::InterfaceRef<IAnalyzer>, std::any, AnalyzerOrder>;
  using StartedJob = std::tuple<zelcore::async::Future<std::any>, ProgressItemPtr>;
  // The jobs of a multi-analyzer start, by analyzer id.
  using StartedJobs = std::unordered_map<Guid, StartedJob>;

  // The default host, made on first use with the managed cache store and the default registry; empty once the
  // application has torn its singletons down ("Quillan.AnalyzerHost"). May be called from any thread.
  static zelcore::InterfaceRef<AnalyzerHost> GetDefaultInstance();

  // A host over `registry` and `dataStore`. The default host is one of these; tests and tools make their own.
  static zelcore::InterfaceRef<AnalyzerHost> Create(std::shared_ptr<AnalyzerRegistry> registry,
                                                    zelcore::InterfaceRef<IDataStoreAdaptor> dataStore);

  // Unregisters the pause callback, shuts the executors down and breaks the promises of waiting jobs. Steps of the
  // host that have not run yet find the host gone and only settle what they promised.
  ~AnalyzerHost() override;

  // The number of running jobs. From a thread outside the default pool it is read on the serial executor, after
  // every step posted before it, and the caller blocks meanwhile. From a thread of the default pool (where the
  // serial executor itself runs, so waiting could hold up the answer for good) it answers at once with the count
  // as of the last change of the job table, and never blocks.
  std::size_t GetOngoingJobsCount();

  // How many batches of steps the serial executor has run, for benchmarks: requests per batch tells how well the
  // host batches its work.
  std::size_t GetSerialBatchCountForTesting() const;

  // IAnalyzerHost:
  zelcore::async::Future<std::vector<JobFuture>> AnalyzeClip(zelcore::InterfaceRef<BE::IClip> const& clip,
                                                             AnalysisOptions const& options) override;
  zelcore::async::Future<std::tuple<JobFuture, ProgressItemPtr>> AnalyzeClipWithAnalyzer(
      zelcore::InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId, std::any const& parameter,
      AnalysisOptions const& options, std::shared_ptr<Executor> const& executor) override;
  zelcore::InterfaceRef<IDataStoreAdaptor> GetManagedDataStore() override;
  void TerminateAnalysisJobsForClip(zelcore::InterfaceRef<BE::IClip> const& clip) override;
  void TerminateAnalysisJobForClipWithAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId,
                                               std::any const& parameter) override;
  zelcore::async::Future<std::size_t> CountJobs(Guid const& analyzerId) override;
  zelcore::async::Future<std::vector<zelcore::async::Future<std::any>>> GetRunningAnalyzerJobs(
      Guid const& analyzerId) override;

  virtual operator zelcore::InterfaceRef<zelcore::classref::UnknownBase>();
  // Whether clips whose media is offline may be analysed; false here. A derived host may allow it.
  virtual bool IsOfflineAnalysisAllowed();

  // UnknownBase:
  void* QueryMap(std::string_view name) override;

 protected:
  friend struct zelcore::classref::ClassStatics<AnalyzerHost>;

  // Makes the three executors, registers the pause callback, then takes `registry` and `dataStore`.
  AnalyzerHost(std::shared_ptr<AnalyzerRegistry> registry, zelcore::InterfaceRef<IDataStoreAdaptor> dataStore);

 private:
  // Whether `clip` may be analysed with `options`; reads the project model under its read lock.
  bool CanAnalyzeClip(zelcore::InterfaceRef<BE::IClip> const& clip, AnalysisOptions const& options);

  // A unit of the serial executor's work. Called with the host on the serial executor, or with null once the host
  // is gone, when it only settles what it promised.
  using Step = zelcore::UniqueFunction<void(AnalyzerHost*)>;

  // Files `step` in the inbox and makes sure a drain task is queued on the serial executor. Any thread.
  void PostStep(Step step);
  struct Inbox;
  // Runs the steps of the inbox, those that arrive meanwhile included, up to a budget. Holds the host only while
  // one step runs, so that the host may go between steps. Runs on the serial executor.
  static void DrainSteps(std::weak_ptr<AnalyzerHost> const& weakHost, std::shared_ptr<Inbox> const& inbox);
  static void RunStep(Step& step, AnalyzerHost* host);

  // Receives the started jobs, or (null, the failure); runs on the serial executor, or where the host goes.
  using StartedJobsHandler = zelcore::UniqueFunction<void(StartedJobs const*, std::exception_ptr)>;
  // Starts (or queues, or merges) a job for each analyzer on the serial executor and hands the result to `handler`
  // there, so that the caller's result needs no hop of its own.
  void StartAnalysisJobs(zelcore::InterfaceRef<BE::IClip> const& clip, AnalyzerParameters analyzers,
                         AnalysisOptions const& options, std::shared_ptr<Executor> const& executor,
                         StartedJobsHandler handler);

  // Runs on the serial executor.
  StartedJobs StartAnalysisJobsInternal(zelcore::InterfaceRef<BE::IClip> const& clip,
                                        AnalyzerParameters const& analyzers, AnalysisOptions const& options,
                                        std::shared_ptr<Executor> const& executor);
  // One analyzer's part of StartAnalysisJobsInternal, with the clip's media and the job executor already found.
  StartedJob StartOneAnalysisJob(zelcore::InterfaceRef<BE::IClip> const& clip,
                                 zelcore::InterfaceRef<BE::IMedia> const& media,
                                 zelcore::InterfaceRef<IAnalyzer> const& analyzer, AnalysisOptions const& options,
                                 std::shared_ptr<Executor> const& jobExecutor);

  // Starts one job, or queues it while its analyzer's limit is reached. A job that waited before brings the
  // promise whose future was handed out for it; a new one gets a new promise. Runs on the serial executor.
  zelcore::async::Future<std::any> StartAnalysisJobInternal(
      zelcore::InterfaceRef<BE::IClip> const& clip, zelcore::InterfaceRef<BE::IMedia> const& media,
      ImmutableString const& key, zelcore::InterfaceRef<IAnalyzer> const& analyzer, AnalysisOptions const& options,
      std::shared_ptr<Executor> const& executor, zelcore::async::Promise<std::any> promise = {});
  // Starts a job that waited, unless its future has already ended. Runs on the serial executor.
  void StartWaitingJob(detail::QueuedJob job);

  // Files the completion step of a started job with its future.
  void WatchJob(zelcore::async::Future<std::any> const& future, Guid const& jobId, Guid const& analyzerId);
  // The completion step: drops the job's record, starts the next waiting job of its analyzer and the requests
  // merged onto it. Runs on the serial executor.
  void OnJobEnded(Guid const& jobId, Guid const& analyzerId);
  // Starts the requests merged onto the job `jobId`, which has ended, whose futures have not ended. Runs on the
  // serial executor.
  void StartMergedJobsOf(Guid const& jobId);
  void UpdateRunningCount();

  // Termination steps; run on the serial executor.
  void RemoveJobsOfClip(zelcore::InterfaceRef<BE::IClip> const& clip);
  void RemoveJobsOfClipWithAnalyzer(zelcore::InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId,
                                    std::any const& parameter);

  std::weak_ptr<AnalyzerHost> GetWeakHost();
  zelcore::InterfaceWeakRef<IAnalyzerHost> GetWeakInterface();

  class JobWatch;

  std::shared_ptr<SubExecutor> greedyExecutor_;
  // Width 1: the job tables' only sequence.
  std::shared_ptr<SubExecutor> serialExecutor_;
  // Where jobs run when the caller names no executor; paused while the importers ask for a pause.
  std::shared_ptr<SubExecutor> analysisExecutor_;
  Guid pauseRegistration_;
  std::shared_ptr<AnalyzerRegistry> registry_;
  zelcore::InterfaceRef<IDataStoreAdaptor> dataStore_;
  std::unique_ptr<detail::RunningJobTable> runningJobs_;  // on serialExecutor_ only
  std::unique_ptr<detail::QueuedJobMap> queuedJobs_;      // on serialExecutor_ only
  std::unique_ptr<detail::MergedJobMap> mergedJobs_;      // on serialExecutor_ only
  detail::SequenceChecker sequenceChecker_;
  // What callers and jobs hand to the serial executor, and what they read of it without a hop. Shared with the drain
  // task, which may outlive the host.
  struct Inbox {
    std::mutex mutex;
    std::vector<Step> steps;   // guarded by mutex
    bool drainQueued = false;  // guarded by mutex: a drain task is queued or running
    // The size of runningJobs_ as of its last change, for GetOngoingJobsCount on pool threads.
    std::atomic<std::size_t> runningCount{0};
    std::atomic<std::size_t> serialBatches{0};
  };
  std::shared_ptr<Inbox> const inbox_ = std::make_shared<Inbox>();
};

// The default host as IAnalyzerHost; empty when there is none. May be called from any thread.
QUILLAN_EXPORT zelcore::InterfaceRef<IAnalyzerHost> GetAnalyzerHost();

}  // namespace Quillan
