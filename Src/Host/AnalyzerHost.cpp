#include "Host/AnalyzerHost.h"

#include <chrono>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "Analyzers/IAnalyzer.h"
#include "BE/Backend.h"
#include "BE/Clip.h"
#include "BE/MasterClip.h"
#include "BE/ReadMutex.h"
#include "BE/UpgradeValidator.h"
#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/Detail/JobTables.h"
#include "ML/PauseState.h"
#include "zelcore/Singletons.h"
#include "zelcore/ZelException.h"

namespace Quillan {
namespace {

using detail::IdentityOf;
using detail::QueuedJob;
using detail::RunningJob;
using zelcore::InterfaceRef;
using zelcore::InterfaceWeakRef;
using zelcore::async::AsyncExecutor;
using zelcore::async::Future;
using zelcore::async::Promise;
using zelcore::config::zel_exception;

constexpr std::chrono::milliseconds kNoDelay{0};
// How long GetOngoingJobsCount waits for the serial executor's answer.
constexpr std::chrono::hours kOngoingJobsCountDeadline{24};

std::size_t AnalysisExecutorWidth() {
  std::size_t const cpus = zelcore::async::CPUCount();
  return cpus < 4 ? 1 : cpus / 4;
}

// The failure of a refused clip, an analyzer that could not be built, and a host that is gone.
std::exception_ptr Unavailable() { return std::make_exception_ptr(zel_exception("", kResultUnavailable)); }

// The key under which an analyzer's jobs are told apart: its serialized parameter, or the empty text for an
// analyzer without parameters.
ImmutableString ParameterKey(IAnalyzer const& analyzer) {
  try {
    return analyzer.GetSerializedParameter();
  } catch (zel_exception const& e) {
    if (e.GetResult() != kResultNotImplemented) throw;
    return ImmutableString();
  }
}

// Moves the jobs of `queue` that match `remove` to the back of `removed`; the others keep their order.
template <class Predicate>
void ExtractQueuedJobs(std::deque<QueuedJob>& queue, Predicate remove, std::vector<QueuedJob>& removed) {
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

struct DefaultHostSlot {
  std::mutex mutex;
  InterfaceRef<AnalyzerHost> host;  // guarded by mutex
};

// Never destroyed: the default host goes with the singleton termination, not with static destruction.
DefaultHostSlot& GetDefaultHostSlot() {
  static DefaultHostSlot* const slot = new DefaultHostSlot;
  return *slot;
}

}  // namespace

// The completion step of one started job. It runs on the serial executor once the job's future has ended. A job
// that was terminated before its task started may instead lose its state without ending; the step is then posted
// as the state goes, so that the next waiting job of the analyzer still starts.
class AnalyzerHost::JobEndedStep {
 public:
  JobEndedStep(std::weak_ptr<AnalyzerHost> host, Guid const& jobId, Guid const& analyzerId)
      : host_(std::move(host)), jobId_(jobId), analyzerId_(analyzerId) {}

  ~JobEndedStep() {
    if (ran_) return;
    auto host = host_.lock();
    if (!host) return;
    zelcore::async::CallAsync(
        host->serialExecutor_,
        [weak = host_, jobId = jobId_, analyzerId = analyzerId_] {
          if (auto host = weak.lock()) host->OnJobEnded(jobId, analyzerId);
        },
        0);
  }

  // Runs on the serial executor.
  void Run() {
    ran_ = true;
    if (auto host = host_.lock()) host->OnJobEnded(jobId_, analyzerId_);
  }

 private:
  std::weak_ptr<AnalyzerHost> const host_;
  Guid const jobId_;
  Guid const analyzerId_;
  bool ran_ = false;  // on the serial executor, or in the destructor once nothing else can reach it
};

InterfaceRef<AnalyzerHost> AnalyzerHost::GetDefaultInstance() {
  DefaultHostSlot& slot = GetDefaultHostSlot();
  static bool const created = [&slot] {
    zelcore::config::AddTerminationForSingleton("Quillan.AnalyzerHost", [&slot] {
      InterfaceRef<AnalyzerHost> dropped;  // destroyed outside the lock
      std::lock_guard lock(slot.mutex);
      dropped = std::move(slot.host);
    });
    InterfaceRef<AnalyzerHost> host = Create(AnalyzerRegistry::GetDefaultRegistry(), ManagedDataStoreAdaptor::Create());
    std::lock_guard lock(slot.mutex);
    slot.host = std::move(host);
    return true;
  }();
  static_cast<void>(created);
  std::lock_guard lock(slot.mutex);
  return slot.host;
}

InterfaceRef<AnalyzerHost> AnalyzerHost::Create(std::shared_ptr<AnalyzerRegistry> registry,
                                                InterfaceRef<IDataStoreAdaptor> dataStore) {
  if (!registry) zelcore::config::DoThrowNullPtrException("Quillan::AnalyzerRegistry");
  return CreateClassRef(std::move(registry), std::move(dataStore));
}

AnalyzerHost::AnalyzerHost(std::shared_ptr<AnalyzerRegistry> registry, InterfaceRef<IDataStoreAdaptor> dataStore)
    : greedyExecutor_(zelcore::async::CreateGreedySubExecutor()),
      serialExecutor_(zelcore::async::CreateSubExecutor(greedyExecutor_, 1)),
      analysisExecutor_(zelcore::async::CreateSubExecutor(greedyExecutor_, AnalysisExecutorWidth())),
      // Holds the executor, not the host: the callback may run while the host is being destroyed.
      pauseRegistration_(ML::RegisterPauseCallback([executor = analysisExecutor_](ML::PauseState state) {
        if (state == ML::kPauseStateRunning) {
          executor->Resume();
        } else {
          executor->Pause();
        }
      })),
      registry_(std::move(registry)),
      dataStore_(std::move(dataStore)),
      runningJobs_(std::make_unique<detail::RunningJobTable>()),
      queuedJobs_(std::make_unique<detail::QueuedJobMap>()),
      sequenceChecker_(serialExecutor_.get()) {}

AnalyzerHost::~AnalyzerHost() {
  ML::UnregisterPauseCallback(pauseRegistration_);
  // Resumed first, so that tasks held by a pause are dropped by the shutdown rather than left waiting.
  analysisExecutor_->Resume();
  analysisExecutor_->Shutdown();
  serialExecutor_->Shutdown();
  greedyExecutor_->Shutdown();
  queuedJobs_.reset();  // breaks the promises of the waiting jobs
  runningJobs_.reset();
  dataStore_.reset();
  registry_.reset();
  analysisExecutor_.reset();
  serialExecutor_.reset();
  greedyExecutor_.reset();
}

Future<std::vector<IAnalyzerHost::JobFuture>> AnalyzerHost::AnalyzeClip(InterfaceRef<BE::IClip> const& clip,
                                                                        AnalysisOptions const& options) {
  if (!CanAnalyzeClip(clip, options))
    return zelcore::async::MakeExceptionalFuture<std::vector<JobFuture>>(Unavailable());
  InterfaceWeakRef<IAnalyzerHost> const self = GetWeakInterface();
  AnalyzerParameters analyzers;
  for (AnalyzerFactory const& factory : registry_->GetAnalyzerFactories(AnalyzerType{0})) {
    if (auto analyzer = factory(clip, std::any(), self)) analyzers.emplace(std::move(analyzer), std::any());
  }
  return StartAnalysisJobs(clip, std::move(analyzers), options, nullptr)
      .OnSuccessWithExecutor(zelcore::async::GetDefaultExecutor(), [](StartedJobs const& jobs) {
        std::vector<JobFuture> futures;
        futures.reserve(jobs.size());
        for (auto const& [analyzerId, job] : jobs) futures.emplace_back(std::get<0>(job));
        return futures;
      });
}

Future<std::tuple<IAnalyzerHost::JobFuture, IAnalyzerHost::ProgressItemPtr>> AnalyzerHost::AnalyzeClipWithAnalyzer(
    InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId, std::any const& parameter,
    AnalysisOptions const& options, std::shared_ptr<Executor> const& executor) {
  using Result = std::tuple<JobFuture, ProgressItemPtr>;
  if (!CanAnalyzeClip(clip, options)) return zelcore::async::MakeExceptionalFuture<Result>(Unavailable());
  AnalyzerFactory const factory = registry_->GetAnalyzerFactory(analyzerId);
  InterfaceRef<IAnalyzer> analyzer = factory(clip, parameter, GetWeakInterface());
  if (!analyzer) return zelcore::async::MakeExceptionalFuture<Result>(Unavailable());
  AnalyzerParameters analyzers;
  analyzers.emplace(std::move(analyzer), parameter);
  return StartAnalysisJobs(clip, std::move(analyzers), options, executor)
      .OnSuccessWithExecutor(zelcore::async::GetDefaultExecutor(), [analyzerId](StartedJobs const& jobs) {
        auto const found = jobs.find(analyzerId);
        // The analyzer reported another GUID than the one it was registered under.
        if (found == jobs.end()) throw std::out_of_range("invalid unordered_map<K, T> key");
        return Result(std::get<0>(found->second), std::get<1>(found->second));
      });
}

InterfaceRef<IDataStoreAdaptor> AnalyzerHost::GetManagedDataStore() { return dataStore_; }

void AnalyzerHost::TerminateAnalysisJobsForClip(InterfaceRef<BE::IClip> const& clip) {
  zelcore::async::CallAsync(
      serialExecutor_,
      [weak = GetWeakHost(), clip] {
        if (auto host = weak.lock()) host->RemoveJobsOfClip(clip);
      },
      0);
}

void AnalyzerHost::TerminateAnalysisJobForClipWithAnalyzer(InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId,
                                                           std::any const& parameter) {
  zelcore::async::CallAsync(
      serialExecutor_,
      [weak = GetWeakHost(), clip, analyzerId, parameter] {
        if (auto host = weak.lock()) host->RemoveJobsOfClipWithAnalyzer(clip, analyzerId, parameter);
      },
      0);
}

Future<std::size_t> AnalyzerHost::CountJobs(Guid const& analyzerId) {
  return zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
      serialExecutor_, kNoDelay, serialExecutor_, [weak = GetWeakHost(), analyzerId]() -> std::size_t {
        auto host = weak.lock();
        if (!host) return 0;
        QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(host->sequenceChecker_);
        return host->runningJobs_->CountForAnalyzer(analyzerId);
      });
}

Future<std::vector<Future<std::any>>> AnalyzerHost::GetRunningAnalyzerJobs(Guid const& analyzerId) {
  return zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
      serialExecutor_, kNoDelay, serialExecutor_, [weak = GetWeakHost(), analyzerId] {
        std::vector<Future<std::any>> futures;
        auto host = weak.lock();
        if (!host) return futures;
        QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(host->sequenceChecker_);
        auto const [first, last] = host->runningJobs_->get<detail::ByAnalyzer>().equal_range(analyzerId);
        futures.reserve(static_cast<std::size_t>(std::distance(first, last)));
        for (auto job = first; job != last; ++job) futures.push_back(job->future);
        return futures;
      });
}

std::size_t AnalyzerHost::GetOngoingJobsCount() {
  Future<std::size_t> const count = zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
      serialExecutor_, kNoDelay, serialExecutor_, [host = GetSharedFromThis<AnalyzerHost>()] {
        QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(host->sequenceChecker_);
        return host->runningJobs_->size();
      });
  zelcore::async::WaitForUntypedUntil(count, std::chrono::steady_clock::now() + kOngoingJobsCountDeadline, true);
  return count.Get();
}

AnalyzerHost::operator InterfaceRef<zelcore::classref::UnknownBase>() {
  return InterfaceRef<zelcore::classref::UnknownBase>(GetSharedFromThis<zelcore::classref::UnknownBase>());
}

bool AnalyzerHost::IsOfflineAnalysisAllowed() { return false; }

void* AnalyzerHost::QueryMap(std::string_view name) {
  return zelcore::classref::QueryMapOf<AnalyzerHost, IAnalyzerHost>(this, name);
}

bool AnalyzerHost::CanAnalyzeClip(InterfaceRef<BE::IClip> const& clip, AnalysisOptions const& options) {
  BE::ReadLock lock(BE::GetBackendReadLock());
  if (!clip) return false;
  InterfaceRef<BE::IMasterClip> masterClip;
  if (auto const masterObject = clip->GetMasterClip()) {
    masterClip = InterfaceRef<BE::IMasterClip>::Query(masterObject);
    if (!masterClip) {
      if (auto const childClip = InterfaceRef<BE::IChildClip>::Query(masterObject)) {
        masterClip = childClip->GetMasterClip();
      }
    }
  }
  bool const isXRef = options.allowXRefClips == 0 && masterClip &&
                      BE::MasterClipUtils::IsXRefClip(BE::UpgradeValidator::ReadOnly(), masterClip);
  bool const isOnline = IsOfflineAnalysisAllowed() || BE::IsMediaOnline(clip, true);
  return !isXRef && isOnline;
}

Future<AnalyzerHost::StartedJobs> AnalyzerHost::StartAnalysisJobs(InterfaceRef<BE::IClip> const& clip,
                                                                  AnalyzerParameters analyzers,
                                                                  AnalysisOptions const& options,
                                                                  std::shared_ptr<Executor> const& executor) {
  Future<StartedJobs> started = zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
      serialExecutor_, kNoDelay, zelcore::async::GetDefaultExecutor(),
      [weak = GetWeakHost(), clip, analyzers = std::move(analyzers), options, executor] {
        auto host = weak.lock();
        if (!host) std::rethrow_exception(Unavailable());
        return host->StartAnalysisJobsInternal(clip, analyzers, options, executor);
      });
  zelcore::async::KeepAlive(started);
  return started;
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
    ImmutableString const key = ParameterKey(*analyzer);
    Guid const analyzerId = analyzer->GetAnalyzerGuid();
    Future<std::any> job;
    if (RunningJob const* running =
            FindIdenticalRunningJob(*runningJobs_, analyzer->GetTargetObjectType(), IdentityOf(clip), IdentityOf(media),
                                    analyzerId, key.data())) {
      // Equal to a running job: start only once that one has ended, however it ends.
      job = zelcore::async::IgnoreExceptionsFuture(running->future)
                .OnSuccessWithExecutor(serialExecutor_, [weak = GetWeakHost(), clip, media, key, analyzer = analyzer,
                                                         options, jobExecutor] {
                  auto host = weak.lock();
                  if (!host) std::rethrow_exception(Unavailable());
                  return host->StartAnalysisJobInternal(clip, media, key, analyzer, options, jobExecutor);
                });
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
    jobs.try_emplace(analyzerId, std::move(job), std::move(progressItem));
  }
  return jobs;
}

Future<std::any> AnalyzerHost::StartAnalysisJobInternal(InterfaceRef<BE::IClip> const& clip,
                                                        InterfaceRef<BE::IMedia> const& media,
                                                        ImmutableString const& key,
                                                        InterfaceRef<IAnalyzer> const& analyzer,
                                                        AnalysisOptions const& options,
                                                        std::shared_ptr<Executor> const& executor) {
  QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(sequenceChecker_);
  Guid const analyzerId = analyzer->GetAnalyzerGuid();
  std::size_t const running = runningJobs_->CountForAnalyzer(analyzerId);
  std::optional<std::size_t> const limit = analyzer->GetMaxJobCount();
  if (!limit || running < *limit) {
    // The task holds only a weak promise: a job whose future nobody holds any more by the time it would start
    // (terminated) never calls the analyzer.
    Future<std::any> job = zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
        executor, kNoDelay, executor,
        [analyzer, executor, options] { return analyzer->StartAnalysis(executor, options); });
    Guid const jobId = Guid::CreateUnique();
    runningJobs_->insert(RunningJob{job, clip, media, analyzerId, analyzer, key, jobId});
    WatchJob(job, jobId, analyzerId);
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
      return waiting.promise.GetFuture();
    }
  }
  Promise<std::any> promise(zelcore::async::GetDefaultExecutor());
  Future<std::any> job = promise.GetFuture();
  queue.push_back(QueuedJob{clip, media, key, analyzer, options, executor, std::move(promise)});
  return job;
}

void AnalyzerHost::WatchJob(Future<std::any> const& job, Guid const& jobId, Guid const& analyzerId) {
  auto step = std::make_shared<JobEndedStep>(GetWeakHost(), jobId, analyzerId);
  zelcore::async::IgnoreExceptionsFuture(job).OnSuccessWithExecutor(serialExecutor_, [step] { step->Run(); });
}

void AnalyzerHost::OnJobEnded(Guid const& jobId, Guid const& analyzerId) {
  QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(sequenceChecker_);
  Future<std::any> ended;  // released once the tables are consistent again
  auto& byJobId = runningJobs_->get<detail::ByJobId>();
  if (auto const found = byJobId.find(jobId); found != byJobId.end()) {
    ended = found->future;
    byJobId.erase(found);
  }
  auto const queue = queuedJobs_->find(analyzerId);
  if (queue == queuedJobs_->end() || queue->second.empty()) return;
  QueuedJob next = std::move(queue->second.front());
  queue->second.pop_front();
  next.promise.Fulfill(
      StartAnalysisJobInternal(next.clip, next.media, next.key, next.analyzer, next.options, next.executor));
}

void AnalyzerHost::RemoveJobsOfClip(InterfaceRef<BE::IClip> const& clip) {
  QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(sequenceChecker_);
  void const* const clipIdentity = IdentityOf(clip);
  // Destroyed at the end, once the tables are consistent: a removed waiting job breaks its promise as it goes.
  std::vector<QueuedJob> removedJobs;
  std::vector<Future<std::any>> removedFutures;
  for (auto& [analyzerId, queue] : *queuedJobs_) {
    ExtractQueuedJobs(
        queue, [clipIdentity](QueuedJob const& job) { return IdentityOf(job.clip) == clipIdentity; }, removedJobs);
  }
  auto& byClip = runningJobs_->get<detail::ByClip>();
  auto const [first, last] = byClip.equal_range(clipIdentity);
  for (auto job = first; job != last; ++job) removedFutures.push_back(job->future);
  byClip.erase(first, last);
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
  std::vector<QueuedJob> removedJobs;
  std::vector<Future<std::any>> removedFutures;
  if (auto const queue = queuedJobs_->find(analyzerId); queue != queuedJobs_->end()) {
    ExtractQueuedJobs(
        queue->second,
        [&](QueuedJob const& job) {
          return IdentityOf(job.clip) == clipIdentity && job.analyzer->GetAnalyzerGuid() == analyzerId &&
                 (!key || job.key == *key);
        },
        removedJobs);
  }
  auto& byClip = runningJobs_->get<detail::ByClipAnalyzerKey>();
  auto const [first, last] = key ? byClip.equal_range(boost::make_tuple(clipIdentity, analyzerId, key->data()))
                                 : byClip.equal_range(boost::make_tuple(clipIdentity, analyzerId));
  for (auto job = first; job != last; ++job) removedFutures.push_back(job->future);
  byClip.erase(first, last);
}

std::weak_ptr<AnalyzerHost> AnalyzerHost::GetWeakHost() { return GetSharedFromThis<AnalyzerHost>(); }

InterfaceWeakRef<IAnalyzerHost> AnalyzerHost::GetWeakInterface() {
  return InterfaceWeakRef<IAnalyzerHost>(InterfaceRef<AnalyzerHost>(GetSharedFromThis<AnalyzerHost>()));
}

InterfaceRef<IAnalyzerHost> GetAnalyzerHost() {
  return InterfaceRef<IAnalyzerHost>::Query(AnalyzerHost::GetDefaultInstance());
}

}  // namespace Quillan
