// The host's serial side: every change of its job tables runs as a step on the serial executor, in the order it was
// posted. Starting, queueing, merging, ending and removing jobs live here; AnalyzerHost.cpp has the public calls
// that post them.
#include <boost/tuple/tuple.hpp>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "Analyzers/IAnalyzer.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerHost.h"
#include "Host/Detail/JobTables.h"
#include "Host/Detail/Unavailable.h"
#include "ML/PauseState.h"
#include "zelcore/Logging.h"
#include "zelcore/ZelException.h"

namespace Quillan {
namespace {

using detail::IdentityOf;
using detail::QueuedJob;
using detail::RunningJob;
using detail::Unavailable;
using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelcore::async::Promise;
using zelcore::config::zel_exception;

// How many steps one drain task runs before it makes room for the pool's other work.
constexpr std::size_t kDrainBudget = 512;

// The key under which an analyzer's jobs are told apart: its serialized parameter, or the empty text for an
// analyzer without parameters. Analyzers that answer IAnalyzerParameter say so without a thrown exception.
ImmutableString ParameterKey(IAnalyzer& analyzer) {
  if (auto* const parameter =
          static_cast<IAnalyzerParameter*>(analyzer.QueryMap(IAnalyzerParameter::InterfaceName()))) {
    return parameter->TryGetSerializedParameter().value_or(ImmutableString());
  }
  try {
    return analyzer.GetSerializedParameter();
  } catch (zel_exception const& e) {
    if (e.GetResult() != kResultNotImplemented) throw;
    return ImmutableString();
  }
}

// Moves the jobs of `queue` that match `remove` to the back of `removed`; the others keep their order.
template <class Queue, class Predicate>
void ExtractQueuedJobs(Queue& queue, Predicate remove, std::vector<QueuedJob>& removed) {
  auto kept = queue.begin();
  for (auto job = queue.begin(); job != queue.end(); ++job) {
    if (remove(*job)) {
      removed.push_back(std::move(*job));
    } else {
      if (kept != job) *kept = std::move(*job);
      ++kept;
    }
  }
  queue.erase(kept, queue.end());
}

// A running job that a new request must wait for: one of the same analyzer and key on the same clip, or, for an
// analyzer of media, on the same media.
RunningJob const* FindIdenticalRunningJob(detail::RunningJobTable const& table, TargetObjectType targetType,
                                          void const* clip, void const* media, Guid const& analyzerId,
                                          char const* key) {
  if (targetType != TargetObjectType::kClip && targetType != TargetObjectType::kMedia) return nullptr;
  auto const& byClip = table.get<detail::ByClipAnalyzerKey>();
  if (auto found = byClip.find(boost::make_tuple(clip, analyzerId, key)); found != byClip.end()) return &*found;
  if (targetType != TargetObjectType::kMedia || media == nullptr) return nullptr;
  auto const& byMedia = table.get<detail::ByMediaAnalyzerKey>();
  if (auto found = byMedia.find(boost::make_tuple(media, analyzerId, key)); found != byMedia.end()) return &*found;
  return nullptr;
}

}  // namespace

// Watches one started job: once its future has ended, or its state has gone without ending (a job terminated
// before its task started, which nobody else held), it posts the completion step, so that the next waiting job of
// the analyzer and the requests merged onto the job still start. Runs where the job ends; it only posts.
class AnalyzerHost::JobWatch {
 public:
  JobWatch(std::weak_ptr<AnalyzerHost> host, Guid const& jobId, Guid const& analyzerId)
      : host_(std::move(host)), jobId_(jobId), analyzerId_(analyzerId) {}
  JobWatch(JobWatch&&) noexcept = default;
  ~JobWatch() { Post(); }

  void operator()() { Post(); }

 private:
  void Post() {
    auto const host = std::exchange(host_, {}).lock();
    if (!host) return;
    host->PostStep([jobId = jobId_, analyzerId = analyzerId_](AnalyzerHost* host) {
      if (host) host->OnJobEnded(jobId, analyzerId);
    });
  }

  std::weak_ptr<AnalyzerHost> host_;  // empty once posted or moved from
  Guid jobId_;
  Guid analyzerId_;
};
void AnalyzerHost::PostStep(Step step) {
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->steps.push_back(std::move(step));
    if (inbox_->drainQueued) return;
    inbox_->drainQueued = true;
  }
  // Refused only while the host is being destroyed; its destructor settles the inbox.
  zelcore::async::CallAsync(
      serialExecutor_, [weak = GetWeakHost(), inbox = inbox_] { DrainSteps(weak, inbox); }, 0);
}

void AnalyzerHost::DrainSteps(std::weak_ptr<AnalyzerHost> const& weakHost, std::shared_ptr<Inbox> const& inbox) {
  std::vector<Step> batch;
  std::size_t ran = 0;
  for (;;) {
    {
      std::lock_guard lock(inbox->mutex);
      if (inbox->steps.empty()) {
        inbox->drainQueued = false;
        return;
      }
      if (ran >= kDrainBudget) break;
      // The emptied batch hands its storage back to the inbox.
      batch.swap(inbox->steps);
    }
    inbox->serialBatches.fetch_add(1, std::memory_order_relaxed);
    for (Step& step : batch) {
      // Each step takes the host for itself: one that runs after the callers' last reference went finds the host
      // gone, even within a batch. Releasing the host here may destroy it, which settles the inbox's later steps.
      if (std::shared_ptr<AnalyzerHost> host = weakHost.lock()) {
        QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(host->sequenceChecker_);
        RunStep(step, host.get());
      } else {
        RunStep(step, nullptr);
      }
      step = nullptr;
    }
    ran += batch.size();
    batch.clear();
  }
  // Make room for the pool's other work; the inbox stays marked as having a drain queued. A host that is gone has
  // settled the inbox in its destructor.
  if (std::shared_ptr<AnalyzerHost> host = weakHost.lock()) {
    zelcore::async::CallAsync(
        host->serialExecutor_, [weakHost, inbox] { DrainSteps(weakHost, inbox); }, 0);
  }
}

void AnalyzerHost::RunStep(Step& step, AnalyzerHost* host) {
  try {
    step(host);
  } catch (...) {
    // A termination whose analyzer cannot be built; the caller has already returned.
    zelcore::logging::LogException(std::current_exception(), "Quillan::AnalyzerHost::DrainSteps");
  }
}

void AnalyzerHost::StartAnalysisJobs(InterfaceRef<BE::IClip> const& clip, AnalyzerParameters analyzers,
                                     AnalysisOptions const& options, std::shared_ptr<Executor> const& executor,
                                     StartedJobsHandler handler) {
  PostStep([clip, analyzers = std::move(analyzers), options, executor,
            handler = std::move(handler)](AnalyzerHost* host) mutable {
    if (!host) return handler(nullptr, Unavailable());
    StartedJobs jobs;
    try {
      jobs = host->StartAnalysisJobsInternal(clip, analyzers, options, executor);
    } catch (...) {
      return handler(nullptr, std::current_exception());
    }
    handler(&jobs, nullptr);
  });
}

AnalyzerHost::StartedJobs AnalyzerHost::StartAnalysisJobsInternal(InterfaceRef<BE::IClip> const& clip,
                                                                  AnalyzerParameters const& analyzers,
                                                                  AnalysisOptions const& options,
                                                                  std::shared_ptr<Executor> const& executor) {
  QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(sequenceChecker_);
  InterfaceRef<BE::IMedia> const media = BE::GetClipMedia(clip, BE::ProxyHandling::kCurrent);
  std::shared_ptr<Executor> const jobExecutor = executor ? executor : analysisExecutor_;
  StartedJobs jobs(8);
  jobs.max_load_factor(1.0f);
  for (auto const& [analyzer, parameter] : analyzers) {
    if (!analyzer) zelcore::config::DoThrowNullPtrException(IAnalyzer::InterfaceName().data());
    Guid const analyzerId = analyzer->GetAnalyzerGuid();
    jobs.try_emplace(analyzerId, StartOneAnalysisJob(clip, media, analyzer, options, jobExecutor));
  }
  return jobs;
}

AnalyzerHost::StartedJob AnalyzerHost::StartOneAnalysisJob(InterfaceRef<BE::IClip> const& clip,
                                                           InterfaceRef<BE::IMedia> const& media,
                                                           InterfaceRef<IAnalyzer> const& analyzer,
                                                           AnalysisOptions const& options,
                                                           std::shared_ptr<Executor> const& jobExecutor) {
  if (!analyzer) zelcore::config::DoThrowNullPtrException(IAnalyzer::InterfaceName().data());
  ImmutableString const key = ParameterKey(*analyzer);
  Guid const analyzerId = analyzer->GetAnalyzerGuid();
  Future<std::any> job;
  if (RunningJob const* running =
          FindIdenticalRunningJob(*runningJobs_, analyzer->GetTargetObjectType(), IdentityOf(clip), IdentityOf(media),
                                  analyzerId, key.data())) {
    // Equal to a running job: waits beside it and starts once that one has ended, however it ends, and also when it
    // is terminated meanwhile (a terminated job that already runs is not interrupted, and still writes its result).
    Promise<std::any> promise(zelcore::async::GetDefaultExecutor());
    job = promise.GetFuture();
    detail::MergedJobs& merged = (*mergedJobs_)[running->jobId];
    merged.job = running->future;
    merged.requests.push_back(QueuedJob{clip, media, key, analyzer, options, jobExecutor, std::move(promise)});
  } else {
    job = StartAnalysisJobInternal(clip, media, key, analyzer, options, jobExecutor);
  }
  if (auto const progressPrivate = InterfaceRef<IAnalyzerProgressPrivate>::Query(analyzer)) {
    progressPrivate->SetAnalysisJob(job);
  }
  ProgressItemPtr progressItem;
  if (options.progressMode != AnalysisOptions::kNoProgress) {
    if (auto const progress = InterfaceRef<IAnalyzerProgress>::Query(analyzer)) {
      progressItem = progress->GetProgressItem();
    }
  }
  return StartedJob(std::move(job), std::move(progressItem));
}

Future<std::any> AnalyzerHost::StartAnalysisJobInternal(
    InterfaceRef<BE::IClip> const& clip, InterfaceRef<BE::IMedia> const& media, ImmutableString const& key,
    InterfaceRef<IAnalyzer> const& analyzer, AnalysisOptions const& options, std::shared_ptr<Executor> const& executor,
    Promise<std::any> promise) {
  QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(sequenceChecker_);
  Guid const analyzerId = analyzer->GetAnalyzerGuid();
  std::size_t const running = runningJobs_->CountForAnalyzer(analyzerId);
  std::optional<std::size_t> const limit = analyzer->GetMaxJobCount();
  if (!limit || running < *limit) {
    if (!promise) promise = Promise<std::any>(executor);
    Future<std::any> job = promise.GetFuture();
    // The task holds only a weak promise: a job that nobody wants any more by the time it would start (terminated)
    // never calls the analyzer, and neither does one whose future has already ended (cancelled).
    zelcore::async::Task task([weak = zelcore::async::WeakPromise<std::any>(promise), analyzer, executor, options] {
      Promise<std::any> promise = weak.Lock();
      if (!promise || promise.IsReady()) return;
      try {
        promise.Fulfill(analyzer->StartAnalysis(executor, options));
      } catch (...) {
        promise.Fail(std::current_exception());
      }
    });
    Guid const jobId = Guid::CreateUnique();
    runningJobs_->insert(RunningJob{job, clip, media, analyzerId, analyzer, key, jobId});
    UpdateRunningCount();
    WatchJob(job, jobId, analyzerId);
    // The promise lives until CallAsync has answered, so that a refused task cannot break the job first; then the
    // task's weak promise is the only one left.
    if (!zelcore::async::CallAsync(executor, std::move(task), 0)) {
      promise.Fail(std::make_exception_ptr(zelcore::async::ExecutorIsTerminatedException()));
    }
    return job;
  }

  std::deque<QueuedJob>& queue = (*queuedJobs_)[analyzerId];
  if (options.progressMode != AnalysisOptions::kNoProgress) {
    // The item exists while the job waits.
    if (auto const progress = InterfaceRef<IAnalyzerProgress>::Query(analyzer)) progress->GetProgressItem();
  }
  for (QueuedJob const& waiting : queue) {
    if (IdentityOf(waiting.clip) == IdentityOf(clip) && IdentityOf(waiting.media) == IdentityOf(media) &&
        waiting.key == key && waiting.analyzer->GetAnalyzerGuid() == analyzerId) {
      if (promise) promise.Fulfill(waiting.promise.GetFuture());
      return waiting.promise.GetFuture();
    }
  }
  if (!promise) promise = Promise<std::any>(zelcore::async::GetDefaultExecutor());
  Future<std::any> job = promise.GetFuture();
  queue.push_back(QueuedJob{clip, media, key, analyzer, options, executor, std::move(promise)});
  return job;
}

void AnalyzerHost::StartWaitingJob(QueuedJob job) {
  // Cancelled (or failed by a holder) while it waited: it never starts, and its slot goes to the next one.
  if (job.promise.IsReady()) return;
  StartAnalysisJobInternal(job.clip, job.media, job.key, job.analyzer, job.options, job.executor,
                           std::move(job.promise));
}

void AnalyzerHost::WatchJob(Future<std::any> const& job, Guid const& jobId, Guid const& analyzerId) {
  zelcore::async::WhenEnded(job, zelcore::async::GetInlineExecutor(), JobWatch(GetWeakHost(), jobId, analyzerId));
}

void AnalyzerHost::OnJobEnded(Guid const& jobId, Guid const& analyzerId) {
  QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(sequenceChecker_);
  Future<std::any> ended;  // released once the tables are consistent again
  auto& byJobId = runningJobs_->get<detail::ByJobId>();
  if (auto const found = byJobId.find(jobId); found != byJobId.end()) {
    ended = found->future;
    byJobId.erase(found);
    UpdateRunningCount();
  }
  // At most one waiting job starts per completion; those that ended while they waited are passed over.
  if (auto const queue = queuedJobs_->find(analyzerId); queue != queuedJobs_->end()) {
    while (!queue->second.empty()) {
      QueuedJob next = std::move(queue->second.front());
      queue->second.pop_front();
      if (next.promise.IsReady()) continue;
      StartWaitingJob(std::move(next));
      break;
    }
  }
  StartMergedJobsOf(jobId);
}

void AnalyzerHost::StartMergedJobsOf(Guid const& jobId) {
  if (mergedJobs_->empty()) return;
  auto const found = mergedJobs_->find(jobId);
  if (found == mergedJobs_->end()) return;
  std::vector<QueuedJob> merged = std::move(found->second.requests);
  mergedJobs_->erase(found);
  for (QueuedJob& job : merged) StartWaitingJob(std::move(job));
}

void AnalyzerHost::UpdateRunningCount() { inbox_->runningCount.store(runningJobs_->size(), std::memory_order_release); }

void AnalyzerHost::RemoveJobsOfClip(InterfaceRef<BE::IClip> const& clip) {
  QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(sequenceChecker_);
  void const* const clipIdentity = IdentityOf(clip);
  auto const ofClip = [clipIdentity](QueuedJob const& job) { return IdentityOf(job.clip) == clipIdentity; };
  // Destroyed at the end, once the tables are consistent: a removed waiting job breaks its promise as it goes.
  std::vector<QueuedJob> removedJobs;
  std::vector<Future<std::any>> removedFutures;
  for (auto& [analyzerId, queue] : *queuedJobs_) ExtractQueuedJobs(queue, ofClip, removedJobs);
  for (auto& [jobId, merged] : *mergedJobs_) ExtractQueuedJobs(merged.requests, ofClip, removedJobs);
  auto& byClip = runningJobs_->get<detail::ByClip>();
  auto const [first, last] = byClip.equal_range(clipIdentity);
  for (auto job = first; job != last; ++job) removedFutures.push_back(job->future);
  byClip.erase(first, last);
  UpdateRunningCount();
}

void AnalyzerHost::RemoveJobsOfClipWithAnalyzer(InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId,
                                                std::any const& parameter) {
  QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(sequenceChecker_);
  void const* const clipIdentity = IdentityOf(clip);
  std::optional<ImmutableString> key;
  if (parameter.has_value()) {
    // The key is the one an analyzer built with this parameter would have.
    AnalyzerFactory const factory = registry_->GetAnalyzerFactory(analyzerId);
    InterfaceRef<IAnalyzer> const analyzer = factory(clip, parameter, GetWeakInterface());
    if (!analyzer) return;
    key = ParameterKey(*analyzer);
  }
  auto const matches = [&](QueuedJob const& job) {
    return IdentityOf(job.clip) == clipIdentity && job.analyzer->GetAnalyzerGuid() == analyzerId &&
           (!key || job.key == *key);
  };
  std::vector<QueuedJob> removedJobs;
  std::vector<Future<std::any>> removedFutures;
  if (auto const queue = queuedJobs_->find(analyzerId); queue != queuedJobs_->end()) {
    ExtractQueuedJobs(queue->second, matches, removedJobs);
  }
  for (auto& [jobId, merged] : *mergedJobs_) ExtractQueuedJobs(merged.requests, matches, removedJobs);
  auto& byClip = runningJobs_->get<detail::ByClipAnalyzerKey>();
  auto const [first, last] = key ? byClip.equal_range(boost::make_tuple(clipIdentity, analyzerId, key->data()))
                                 : byClip.equal_range(boost::make_tuple(clipIdentity, analyzerId));
  for (auto job = first; job != last; ++job) removedFutures.push_back(job->future);
  byClip.erase(first, last);
  UpdateRunningCount();
}

}  // namespace Quillan
