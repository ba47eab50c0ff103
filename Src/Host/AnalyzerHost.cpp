#include "Host/AnalyzerHost.h"

#include <chrono>
#include <deque>
#include <exception>
#include <iterator>
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
#include "Host/Detail/Unavailable.h"
#include "ML/PauseState.h"
#include "zelcore/Logging.h"
#include "zelcore/Singletons.h"
#include "zelcore/ZelException.h"

namespace Quillan {
namespace {

using detail::QueuedJob;
using detail::Unavailable;
using zelcore::InterfaceRef;
using zelcore::InterfaceWeakRef;
using zelcore::async::Future;
using zelcore::async::Promise;

// How long GetOngoingJobsCount waits for the serial executor's answer.
constexpr std::chrono::hours kOngoingJobsCountDeadline{24};

std::size_t AnalysisExecutorWidth() {
  std::size_t const cpus = zelcore::async::CPUCount();
  return cpus < 4 ? 1 : cpus / 4;
}

// Fails the requests merged onto a job of a host that is gone, once that job has ended or its state has gone
// without ending (a job nobody wanted any more).
class HostGoneNotice {
 public:
  explicit HostGoneNotice(std::vector<Promise<std::any>> promises) : promises_(std::move(promises)) {}
  HostGoneNotice(HostGoneNotice&& other) noexcept : promises_(std::exchange(other.promises_, {})) {}
  ~HostGoneNotice() { Fail(); }

  void operator()() { Fail(); }

 private:
  void Fail() {
    for (Promise<std::any>& promise : std::exchange(promises_, {})) promise.Fail(Unavailable());
  }

  std::vector<Promise<std::any>> promises_;
};

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
      mergedJobs_(std::make_unique<detail::MergedJobMap>()),
      sequenceChecker_(serialExecutor_.get()) {}

AnalyzerHost::~AnalyzerHost() {
  ML::UnregisterPauseCallback(pauseRegistration_);
  // Resumed first, so that tasks held by a pause are dropped by the shutdown rather than left waiting.
  analysisExecutor_->Resume();
  analysisExecutor_->Shutdown();
  serialExecutor_->Shutdown();
  greedyExecutor_->Shutdown();
  // Nothing runs the inbox any more: requests not yet taken, and the jobs still waiting, learn that the host is gone.
  // Settling one may post another step (a job's watch), hence the loop.
  for (;;) {
    std::vector<Step> pending;
    {
      std::lock_guard lock(inbox_->mutex);
      pending.swap(inbox_->steps);
    }
    if (pending.empty()) break;
    for (Step& step : pending) step(nullptr);
  }
  // Waiting jobs go with their queues: their promises break, as those of terminated waiting jobs do.
  queuedJobs_.reset();
  // A merged request would start once the job it waits for has ended; it then finds the host gone.
  for (auto& [jobId, merged] : *mergedJobs_) {
    if (merged.requests.empty()) continue;
    std::vector<Promise<std::any>> promises;
    promises.reserve(merged.requests.size());
    for (QueuedJob& request : merged.requests) promises.push_back(std::move(request.promise));
    zelcore::async::WhenEnded(merged.job.Lock(), zelcore::async::GetInlineExecutor(),
                              HostGoneNotice(std::move(promises)));
  }
  mergedJobs_.reset();
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
  // Worked out where the jobs start, as AnalyzeClipWithAnalyzer's result is; the future carries the default executor.
  Promise<std::vector<JobFuture>> promise(zelcore::async::GetDefaultExecutor());
  Future<std::vector<JobFuture>> result = promise.GetFuture();
  StartAnalysisJobs(clip, std::move(analyzers), options, nullptr,
                    [promise = std::move(promise)](StartedJobs const* jobs, std::exception_ptr failure) mutable {
                      if (!jobs) {
                        promise.Fail(std::move(failure));
                        return;
                      }
                      std::vector<JobFuture> futures;
                      futures.reserve(jobs->size());
                      for (auto const& [analyzerId, job] : *jobs) futures.emplace_back(std::get<0>(job));
                      promise.Fulfill(std::move(futures));
                    });
  return result;
}

Future<std::tuple<IAnalyzerHost::JobFuture, IAnalyzerHost::ProgressItemPtr>> AnalyzerHost::AnalyzeClipWithAnalyzer(
    InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId, std::any const& parameter,
    AnalysisOptions const& options, std::shared_ptr<Executor> const& executor) {
  using Result = std::tuple<JobFuture, ProgressItemPtr>;
  if (!CanAnalyzeClip(clip, options)) return zelcore::async::MakeExceptionalFuture<Result>(Unavailable());
  AnalyzerFactory const factory = registry_->GetAnalyzerFactory(analyzerId);
  InterfaceRef<IAnalyzer> analyzer = factory(clip, parameter, GetWeakInterface());
  if (!analyzer) return zelcore::async::MakeExceptionalFuture<Result>(Unavailable());
  // The result is worked out on the serial executor where the job starts, without a hop of its own; its future
  // still carries the default executor, so continuations chained on it run on the pool.
  Promise<Result> promise(zelcore::async::GetDefaultExecutor());
  Future<Result> result = promise.GetFuture();
  PostStep([clip, analyzer = std::move(analyzer), options, executor, analyzerId,
            promise = std::move(promise)](AnalyzerHost* host) mutable {
    if (!host) {
      promise.Fail(Unavailable());
      return;
    }
    try {
      QUILLAN_DCHECK_CALLED_ON_VALID_SEQUENCE(host->sequenceChecker_);
      InterfaceRef<BE::IMedia> const media = BE::GetClipMedia(clip, BE::ProxyHandling::kCurrent);
      StartedJob job =
          host->StartOneAnalysisJob(clip, media, analyzer, options, executor ? executor : host->analysisExecutor_);
      // The analyzer reported another GUID than the one it was registered under.
      if (analyzer->GetAnalyzerGuid() != analyzerId) throw std::out_of_range("invalid unordered_map<K, T> key");
      promise.Fulfill(Result(std::get<0>(job), std::move(std::get<1>(job))));
    } catch (...) {
      promise.Fail(std::current_exception());
    }
  });
  return result;
}

InterfaceRef<IDataStoreAdaptor> AnalyzerHost::GetManagedDataStore() { return dataStore_; }

void AnalyzerHost::TerminateAnalysisJobsForClip(InterfaceRef<BE::IClip> const& clip) {
  PostStep([clip](AnalyzerHost* host) {
    if (host) host->RemoveJobsOfClip(clip);
  });
}

void AnalyzerHost::TerminateAnalysisJobForClipWithAnalyzer(InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId,
                                                           std::any const& parameter) {
  PostStep([clip, analyzerId, parameter](AnalyzerHost* host) {
    if (host) host->RemoveJobsOfClipWithAnalyzer(clip, analyzerId, parameter);
  });
}

Future<std::size_t> AnalyzerHost::CountJobs(Guid const& analyzerId) {
  Promise<std::size_t> promise(serialExecutor_);
  Future<std::size_t> count = promise.GetFuture();
  PostStep([analyzerId, promise = std::move(promise)](AnalyzerHost* host) mutable {
    promise.Fulfill(host ? host->runningJobs_->CountForAnalyzer(analyzerId) : 0);
  });
  return count;
}

Future<std::vector<Future<std::any>>> AnalyzerHost::GetRunningAnalyzerJobs(Guid const& analyzerId) {
  Promise<std::vector<Future<std::any>>> promise(serialExecutor_);
  Future<std::vector<Future<std::any>>> jobs = promise.GetFuture();
  PostStep([analyzerId, promise = std::move(promise)](AnalyzerHost* host) mutable {
    std::vector<Future<std::any>> futures;
    if (host) {
      auto const [first, last] = host->runningJobs_->get<detail::ByAnalyzer>().equal_range(analyzerId);
      futures.reserve(static_cast<std::size_t>(std::distance(first, last)));
      for (auto job = first; job != last; ++job) futures.push_back(job->future);
    }
    promise.Fulfill(std::move(futures));
  });
  return jobs;
}

std::size_t AnalyzerHost::GetOngoingJobsCount() {
  // The serial executor runs on the default pool: a pool thread that waited for it could be the one it needs.
  if (zelcore::async::GetDefaultExecutor()->IsRunningOnCurrentThread()) {
    return inbox_->runningCount.load(std::memory_order_acquire);
  }
  Promise<std::size_t> promise(serialExecutor_);
  Future<std::size_t> const count = promise.GetFuture();
  PostStep([promise = std::move(promise)](AnalyzerHost* host) mutable {
    if (host) {
      promise.Fulfill(host->runningJobs_->size());
    } else {
      promise.Fail(Unavailable());
    }
  });
  zelcore::async::WaitForUntypedUntil(count, std::chrono::steady_clock::now() + kOngoingJobsCountDeadline, true);
  return count.Get();
}

std::size_t AnalyzerHost::GetSerialBatchCountForTesting() const {
  return inbox_->serialBatches.load(std::memory_order_relaxed);
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

std::weak_ptr<AnalyzerHost> AnalyzerHost::GetWeakHost() { return GetSharedFromThis<AnalyzerHost>(); }

InterfaceWeakRef<IAnalyzerHost> AnalyzerHost::GetWeakInterface() {
  return InterfaceWeakRef<IAnalyzerHost>(InterfaceRef<AnalyzerHost>(GetSharedFromThis<AnalyzerHost>()));
}

InterfaceRef<IAnalyzerHost> GetAnalyzerHost() {
  return InterfaceRef<IAnalyzerHost>::Query(AnalyzerHost::GetDefaultInstance());
}

}  // namespace Quillan
