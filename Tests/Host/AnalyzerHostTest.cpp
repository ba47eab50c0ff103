#include "Host/AnalyzerHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <stdexcept>

#include "BE/Backend.h"
#include "BE/MasterClip.h"
#include "Host/AnalyzerHostTestSupport.h"
#include "ML/PauseState.h"
#include "zelcore/Singletons.h"

namespace hosttest {
namespace {

using testsupport::Await;
using testsupport::AwaitFailure;
using testsupport::MessageOf;
using testsupport::ResultOf;

constexpr Quillan::AnalyzerType kTypeZero{0};
constexpr Quillan::AnalyzerType kTypeOther{7};
constexpr zelcore::config::Result kBrokenPromise = 0xF3610001;

// Sets the importers' pause state for a scope and clears it again.
class ScopedPause {
 public:
  explicit ScopedPause(ML::PauseState state) { ML::SetPauseState(state); }
  ~ScopedPause() { ML::SetPauseState(ML::kPauseStateRunning); }
};

// A host of its own with one analyzer, for each case of a table.
struct CaseHost {
  explicit CaseHost(AnalyzerTraits const& analyzer) : traits(analyzer) {
    registry->RegisterAnalyzer(traits.id, kTypeOther, MakeFactory(traits, lab));
  }
  // Requests the analyzer and waits until the host has taken the request; returns a strong handle on the job.
  Future<std::any> Request(InterfaceRef<BE::IClip> const& clip, std::any const& parameter = {}) {
    return std::get<0>(Await(host->AnalyzeClipWithAnalyzer(clip, traits.id, parameter, kNoProgress, nullptr))).Lock();
  }
  std::size_t Count() { return Await(host->CountJobs(traits.id)); }

  AnalyzerTraits const traits;
  std::shared_ptr<AnalyzerLab> const lab = std::make_shared<AnalyzerLab>();
  std::shared_ptr<Quillan::AnalyzerRegistryImpl> const registry = std::make_shared<Quillan::AnalyzerRegistryImpl>();
  InterfaceRef<AnalyzerHost> const host = MakeHost(registry);
};

class AnalyzerHostTest : public testing::Test {
 protected:
  Guid Register(AnalyzerTraits const& traits, Quillan::AnalyzerType type = kTypeOther) {
    EXPECT_EQ(registry->RegisterAnalyzer(traits.id, type, MakeFactory(traits, lab)), 0);
    return traits.id;
  }

  // Requests one analyzer and waits until the host has taken the request; returns a strong handle on the job.
  Future<std::any> Analyze(InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId, std::any parameter = {},
                           AnalysisOptions options = kNoProgress,
                           std::shared_ptr<zelcore::async::AsyncExecutor> const& executor = nullptr) {
    auto const job = Await(host->AnalyzeClipWithAnalyzer(clip, analyzerId, parameter, options, executor));
    return std::get<0>(job).Lock();
  }

  std::size_t Count(Guid const& analyzerId) { return Await(host->CountJobs(analyzerId)); }

  std::shared_ptr<AnalyzerLab> lab = std::make_shared<AnalyzerLab>();
  std::shared_ptr<Quillan::AnalyzerRegistryImpl> registry = std::make_shared<Quillan::AnalyzerRegistryImpl>();
  Project project{3};
  InterfaceRef<AnalyzerHost> host = MakeHost(registry);
};

TEST_F(AnalyzerHostTest, QueuesBeyondLimitInFifoOrder) {
  EXPECT_EQ(host->GetOngoingJobsCount(), 0u);
  Guid const id = Register(AnalyzerTraits().Limit(1));
  std::vector<InterfaceRef<BE::IClip>> const clips = {project.NewClip(0), project.NewClip(1), project.NewClip(2)};
  std::vector<Future<std::any>> jobs;
  for (auto const& clip : clips) jobs.push_back(Analyze(clip, id));

  ASSERT_TRUE(lab->WaitForStarts(1));
  EXPECT_EQ(Count(id), 1u);  // the two waiting jobs are not counted
  EXPECT_EQ(host->GetOngoingJobsCount(), 1u);
  EXPECT_EQ(Await(host->GetRunningAnalyzerJobs(id)).size(), 1u);
  EXPECT_EQ(lab->StartCount(), 1u);

  for (std::size_t i = 0; i < clips.size(); ++i) {
    EXPECT_EQ(lab->StartedClip(i), clips[i].get());
    EXPECT_FALSE(jobs[i].IsReady());
    lab->Finish(i, std::any(static_cast<int>(i)));
    EXPECT_EQ(std::any_cast<int>(Await(jobs[i])), static_cast<int>(i));
    if (i + 1 < clips.size()) {
      ASSERT_TRUE(lab->WaitForStarts(i + 2));
    }
    EXPECT_EQ(Count(id), i + 1 < clips.size() ? 1u : 0u);
    EXPECT_EQ(lab->StartCount(), std::min(i + 2, clips.size()));  // exactly the next one
  }
  EXPECT_EQ(host->GetOngoingJobsCount(), 0u);
}

TEST_F(AnalyzerHostTest, IdenticalWaitingRequestSharesItsFuture) {
  Guid const id = Register(AnalyzerTraits().Limit(1));
  auto const running = project.NewClip(0);
  auto const waiting = project.NewClip(1);
  Future<std::any> const first = Analyze(running, id, std::string("x"));
  Future<std::any> const queued = Analyze(waiting, id, std::string("x"));
  Future<std::any> const same = Analyze(waiting, id, std::string("x"));
  Future<std::any> const otherKey = Analyze(waiting, id, std::string("y"));
  ASSERT_TRUE(lab->WaitForStarts(1));

  lab->Finish(0, std::any(0));
  ASSERT_TRUE(lab->WaitForStarts(2));
  lab->Finish(1, std::any(std::string("shared")));
  EXPECT_EQ(std::any_cast<std::string>(Await(queued)), "shared");
  EXPECT_EQ(std::any_cast<std::string>(Await(same)), "shared");
  // The identical request added nothing to the queue: the next start is the request with the other key.
  ASSERT_TRUE(lab->WaitForStarts(3));
  EXPECT_EQ(lab->StartedParameter(2), "y");
  lab->Finish(2, std::any(2));
  EXPECT_EQ(std::any_cast<int>(Await(otherKey)), 2);
  EXPECT_EQ(Count(id), 0u);
  EXPECT_EQ(lab->StartCount(), 3u);
}

TEST_F(AnalyzerHostTest, RequestEqualToARunningJobStartsAfterItEnds) {
  struct Case {
    char const* name;
    TargetObjectType targetType;
    bool sameClip;  // else another clip of the same media
    std::any firstParameter;
    std::any secondParameter;
    bool merged;
  };
  Case const cases[] = {
      {"same clip", TargetObjectType::kClip, true, std::string("p"), std::string("p"), true},
      {"no parameter and empty parameter", TargetObjectType::kClip, true, {}, std::string(), true},
      {"other parameter", TargetObjectType::kClip, true, std::string("p"), std::string("q"), false},
      {"same media, clip analyzer", TargetObjectType::kClip, false, {}, {}, false},
      {"same media, media analyzer", TargetObjectType::kMedia, false, {}, {}, true},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    CaseHost h(AnalyzerTraits().Targeting(c.targetType));
    auto const clip = project.NewClip(0);
    Future<std::any> const first = h.Request(clip, c.firstParameter);
    ASSERT_TRUE(h.lab->WaitForStarts(1));
    Future<std::any> const second = h.Request(c.sameClip ? clip : project.NewClip(0), c.secondParameter);
    if (c.merged) {
      EXPECT_EQ(h.Count(), 1u);
      EXPECT_EQ(h.lab->StartCount(), 1u);
      // A failure of the first job still lets the second one start.
      h.lab->Fail(0, Quillan::kResultJobCancelled);
      EXPECT_EQ(ResultOf(AwaitFailure(first)), Quillan::kResultJobCancelled);
      ASSERT_TRUE(h.lab->WaitForStarts(2));
      h.lab->Finish(1, std::any(1));
    } else {
      ASSERT_TRUE(h.lab->WaitForStarts(2));
      h.lab->Finish(0, std::any(0));
      h.lab->Finish(1, std::any(1));
    }
    EXPECT_EQ(std::any_cast<int>(Await(second)), 1);
    EXPECT_TRUE(WaitUntil([&] { return h.Count() == 0; }));
    EXPECT_EQ(h.lab->StartCount(), 2u);
  }
}

TEST_F(AnalyzerHostTest, TerminatingAWaitingJobBreaksItsPromiseAndKeepsTheOrder) {
  Guid const id = Register(AnalyzerTraits().Limit(1));
  std::vector<InterfaceRef<BE::IClip>> const clips = {project.NewClip(0), project.NewClip(1), project.NewClip(2),
                                                      project.NewClip(0)};
  std::vector<Future<std::any>> jobs;
  for (auto const& clip : clips) jobs.push_back(Analyze(clip, id));
  ASSERT_TRUE(lab->WaitForStarts(1));

  host->TerminateAnalysisJobsForClip(clips[2]);
  auto const failure = AwaitFailure(jobs[2]);
  EXPECT_EQ(ResultOf(failure), kBrokenPromise);
  EXPECT_EQ(MessageOf(failure), "Future: Broken Promise");

  lab->Finish(0, std::any(0));
  ASSERT_TRUE(lab->WaitForStarts(2));
  lab->Finish(1, std::any(1));
  ASSERT_TRUE(lab->WaitForStarts(3));
  EXPECT_EQ(lab->StartedClip(2), clips[3].get());
  lab->Finish(2, std::any(3));
  EXPECT_EQ(std::any_cast<int>(Await(jobs[3])), 3);
  EXPECT_EQ(Count(id), 0u);
  EXPECT_EQ(lab->StartCount(), 3u);
}

TEST_F(AnalyzerHostTest, TerminatesByAnalyzerWithOrWithoutParameter) {
  Guid const limited = Register(AnalyzerTraits().Limit(2));
  Guid const other = Register(AnalyzerTraits());
  auto const clip = project.NewClip(0);
  auto const otherClip = project.NewClip(1);
  Future<std::any> const runningX = Analyze(clip, limited, std::string("x"));
  Future<std::any> const runningY = Analyze(clip, limited, std::string("y"));
  Future<std::any> const waitingZ = Analyze(clip, limited, std::string("z"));
  Future<std::any> const waitingOtherClip = Analyze(otherClip, limited, std::string("x"));
  Future<std::any> const otherAnalyzer = Analyze(clip, other);
  ASSERT_TRUE(lab->WaitForStarts(3));
  ASSERT_EQ(Count(limited), 2u);

  // With a parameter: only the jobs with its key.
  host->TerminateAnalysisJobForClipWithAnalyzer(clip, limited, std::string("x"));
  EXPECT_EQ(Count(limited), 1u);
  EXPECT_FALSE(waitingZ.IsReady());
  // An unknown analyzer with a parameter changes nothing.
  host->TerminateAnalysisJobForClipWithAnalyzer(clip, Guid::CreateUnique(), std::string("y"));
  EXPECT_EQ(Count(limited), 1u);
  // Without a parameter: every job of the analyzer on the clip, running or waiting.
  host->TerminateAnalysisJobForClipWithAnalyzer(clip, limited, std::any());
  EXPECT_EQ(Count(limited), 0u);
  EXPECT_EQ(ResultOf(AwaitFailure(waitingZ)), kBrokenPromise);
  EXPECT_FALSE(waitingOtherClip.IsReady());
  EXPECT_EQ(Count(other), 1u);
  host->TerminateAnalysisJobsForClip(clip);
  EXPECT_EQ(Count(other), 0u);

  // Terminated jobs that already run go on; each completion still starts the next waiting job.
  for (std::size_t i = 0; i < 3; ++i) lab->Finish(i, std::any(static_cast<int>(i)));
  for (auto const* job : {&runningX, &runningY, &otherAnalyzer}) EXPECT_EQ(AwaitFailure(*job), nullptr);
  ASSERT_TRUE(lab->WaitForStarts(4));
  EXPECT_EQ(lab->StartedClip(3), otherClip.get());
  lab->Finish(3, std::any(3));
  EXPECT_EQ(std::any_cast<int>(Await(waitingOtherClip)), 3);
  EXPECT_TRUE(WaitUntil([&] { return host->GetOngoingJobsCount() == 0; }));
}

TEST_F(AnalyzerHostTest, PauseHoldsOnlyJobsOnTheAnalysisExecutor) {
  Guid const id = Register(AnalyzerTraits());
  auto const held = project.NewClip(0);
  auto const callers = project.NewClip(1);
  auto const callersExecutor = zelcore::async::CreateSubExecutor(zelcore::async::GetDefaultExecutor(), 1);
  {
    ScopedPause pause(ML::kPauseStatePaused);
    Future<std::any> const heldJob = Analyze(held, id);
    Future<std::any> const callersJob = Analyze(callers, id, {}, kNoProgress, callersExecutor);
    ASSERT_TRUE(lab->WaitForStarts(1));
    EXPECT_EQ(lab->StartedClip(0), callers.get());
    EXPECT_EQ(Count(id), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a chance for a wrongly released job to start
    EXPECT_EQ(lab->StartCount(), 1u);
    // Every change is forwarded as it comes; there is no count of pauses.
    ML::SetPauseState(2);
    ML::SetPauseState(ML::kPauseStatePaused);
    EXPECT_EQ(lab->StartCount(), 1u);
    ML::SetPauseState(ML::kPauseStateRunning);
    ASSERT_TRUE(lab->WaitForStarts(2));
    EXPECT_EQ(lab->StartedClip(1), held.get());
    lab->Finish(0, std::any(0));
    lab->Finish(1, std::any(1));
    EXPECT_EQ(std::any_cast<int>(Await(heldJob)), 1);
  }
  callersExecutor->Shutdown();
}

TEST_F(AnalyzerHostTest, DestroyedHostBreaksWaitingJobsAndRunsNothingMore) {
  Guid const id = Register(AnalyzerTraits().Limit(1));
  auto const runningClip = project.NewClip(0);
  Future<std::any> const running = Analyze(runningClip, id);
  Future<std::any> const waiting = Analyze(project.NewClip(1), id);
  Future<std::any> const waitingToo = Analyze(project.NewClip(2), id);
  Future<std::any> const merged = Analyze(runningClip, id);  // waits for the running job
  ASSERT_TRUE(lab->WaitForStarts(1));
  Future<std::size_t> const count = host->CountJobs(id);

  std::weak_ptr<AnalyzerHost> const weakHost = host.shared();
  host.reset();
  ASSERT_TRUE(WaitUntil([&] { return weakHost.expired(); }));
  // Waiting jobs go with the host's queues, as terminated ones do.
  for (Future<std::any> const& job : {waiting, waitingToo}) {
    auto const failure = AwaitFailure(job);
    EXPECT_EQ(ResultOf(failure), kBrokenPromise);
    EXPECT_EQ(MessageOf(failure), "Future: Broken Promise");
  }
  testsupport::AwaitEnd(count);  // answered before the shutdown, or broken by it
  // The merged request would start once the running job has ended; by then it finds the host gone.
  EXPECT_FALSE(merged.IsReady());

  // The running job still ends; its completion step finds no host and starts nothing.
  lab->Finish(0, std::any(0));
  EXPECT_EQ(std::any_cast<int>(Await(running)), 0);
  auto const mergedFailure = AwaitFailure(merged);
  EXPECT_EQ(ResultOf(mergedFailure), Quillan::kResultUnavailable);
  EXPECT_EQ(MessageOf(mergedFailure), "");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(lab->StartCount(), 1u);
}

TEST_F(AnalyzerHostTest, RequestTakenAfterTheHostWentFindsItGone) {
  // A termination whose analyzer factory blocks holds the serial executor while a request comes in behind it.
  struct Gate {
    std::latch entered{1};
    std::latch open{1};
  };
  auto const gate = std::make_shared<Gate>();
  Guid const gated = Guid::CreateUnique();
  registry->RegisterAnalyzer(gated, kTypeOther,
                             [gate](InterfaceRef<BE::IClip> const&, std::any const&,
                                    zelcore::InterfaceWeakRef<Quillan::IAnalyzerHost> const&) {
                               gate->entered.count_down();
                               gate->open.wait();
                               return InterfaceRef<IAnalyzer>();
                             });
  Guid const id = Register(AnalyzerTraits());
  host->TerminateAnalysisJobForClipWithAnalyzer(project.NewClip(0), gated, std::string("p"));
  gate->entered.wait();
  auto const request = host->AnalyzeClipWithAnalyzer(project.NewClip(1), id, {}, kNoProgress, nullptr);

  std::weak_ptr<AnalyzerHost> const weakHost = host.shared();
  host.reset();
  gate->open.count_down();
  auto const failure = AwaitFailure(request);
  EXPECT_EQ(ResultOf(failure), Quillan::kResultUnavailable);
  EXPECT_EQ(MessageOf(failure), "");
  EXPECT_TRUE(WaitUntil([&] { return weakHost.expired(); }));
  EXPECT_EQ(lab->StartCount(), 0u);
}

TEST_F(AnalyzerHostTest, ProgressItemsFollowTheProgressMode) {
  Guid const id = Register(AnalyzerTraits().Limit(1).WithProgress());
  auto const clip = project.NewClip(0);
  auto const waitingClip = project.NewClip(1);

  auto const quiet = Await(host->AnalyzeClipWithAnalyzer(clip, id, {}, kNoProgress, nullptr));
  auto const quietWaiting = Await(host->AnalyzeClipWithAnalyzer(waitingClip, id, {}, kNoProgress, nullptr));
  EXPECT_EQ(std::get<1>(quiet), nullptr);
  EXPECT_EQ(std::get<1>(quietWaiting), nullptr);
  EXPECT_EQ(lab->progressItemRequests.load(), 0);
  EXPECT_EQ(lab->analysisJobsSet.load(), 2);

  // Waiting: the item is made while the job waits, and handed out with it.
  auto const shown = Await(host->AnalyzeClipWithAnalyzer(project.NewClip(2), id, {}, kWithProgress, nullptr));
  ASSERT_NE(std::get<1>(shown), nullptr);
  EXPECT_EQ(lab->progressItemRequests.load(), 2);
  EXPECT_EQ(lab->category->GetProgressItems().size(), 1u);

  ASSERT_TRUE(lab->WaitForStarts(1));
  for (std::size_t i = 0; i < 3; ++i) {
    lab->Finish(i, std::any());
    if (i < 2) {
      ASSERT_TRUE(lab->WaitForStarts(i + 2));
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return host->GetOngoingJobsCount() == 0; }));
}

TEST_F(AnalyzerHostTest, AnalyzeClipStartsEveryTypeZeroAnalyzerThatApplies) {
  registry->RegisterAnalyzer(Guid::CreateUnique(), kTypeZero, [](auto const&, auto const&, auto const&) {
    return InterfaceRef<IAnalyzer>();  // does not apply
  });
  auto const clip = project.NewClip(0);
  EXPECT_TRUE(Await(host->AnalyzeClip(clip, kNoProgress)).empty());

  Register(AnalyzerTraits().EndingAtOnce(), kTypeZero);
  Register(AnalyzerTraits().EndingAtOnce(), kTypeZero);
  Register(AnalyzerTraits(), kTypeOther);
  auto const jobs = Await(host->AnalyzeClip(clip, kNoProgress));
  EXPECT_EQ(jobs.size(), 2u);
  for (auto const& job : jobs) testsupport::AwaitEnd(job.Lock());
  EXPECT_EQ(lab->StartCount(), 0u);  // the analyzer of another type did not run
}

TEST_F(AnalyzerHostTest, RefusesWhatItMayNotAnalyse) {
  Guid const id = Register(AnalyzerTraits().EndingAtOnce());
  auto const media = project.Media(0);
  auto const xrefMaster = BE::ProjectFactory::CreateMasterClip({.media = media, .xref = true});
  auto const plainMaster = BE::ProjectFactory::CreateMasterClip({.media = media});
  auto const xrefChild = BE::ProjectFactory::CreateChildClip(xrefMaster);
  struct Case {
    char const* name;
    InterfaceRef<BE::IClip> clip;
    std::int32_t allowXRefClips;
    bool admitted;
  };
  Case const cases[] = {
      {"empty clip", nullptr, 1, false},
      {"clip of an XRef master clip", xrefMaster->GetClip(BE::kMediaType_Video, 0), 0, false},
      {"XRef allowed", xrefMaster->GetClip(BE::kMediaType_Video, 0), 1, true},
      {"clip of a child of an XRef master clip", xrefChild->GetClip(BE::kMediaType_Video, 0), 0, false},
      {"clip of a plain master clip", plainMaster->GetClip(BE::kMediaType_Video, 0), 0, true},
      {"offline media", BE::ProjectFactory::CreateClip(project.OfflineMedia(), BE::kMediaType_Video), 1, false},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    AnalysisOptions const options{AnalysisOptions::kNoProgress, c.allowXRefClips};
    auto const one = host->AnalyzeClipWithAnalyzer(c.clip, id, {}, options, nullptr);
    auto const all = host->AnalyzeClip(c.clip, options);
    if (c.admitted) {
      EXPECT_EQ(AwaitFailure(one), nullptr);
      EXPECT_EQ(AwaitFailure(all), nullptr);
    } else {
      for (zelcore::async::UntypedFuture const& refused :
           {zelcore::async::UntypedFuture(one), zelcore::async::UntypedFuture(all)}) {
        auto const failure = AwaitFailure(refused);
        EXPECT_EQ(ResultOf(failure), Quillan::kResultUnavailable);
        EXPECT_EQ(MessageOf(failure), "");
      }
    }
  }

  // A host that allows offline analysis admits the offline clip.
  class OfflineHost : public AnalyzerHost {
   public:
    explicit OfflineHost(std::shared_ptr<Quillan::AnalyzerRegistry> registry)
        : AnalyzerHost(std::move(registry), nullptr) {}
    bool IsOfflineAnalysisAllowed() override { return true; }
  };
  auto const offlineHost = std::make_shared<OfflineHost>(registry);
  auto const offlineClip = BE::ProjectFactory::CreateClip(project.OfflineMedia(), BE::kMediaType_Video);
  EXPECT_EQ(AwaitFailure(offlineHost->AnalyzeClipWithAnalyzer(offlineClip, id, {}, kNoProgress, nullptr)), nullptr);

  // Failures of the analyzer lookup.
  auto const clip = project.NewClip(0);
  try {
    host->AnalyzeClipWithAnalyzer(clip, Guid::CreateUnique(), {}, kNoProgress, nullptr);
    ADD_FAILURE() << "an unknown analyzer was accepted";
  } catch (zelcore::config::zel_exception const& e) {
    EXPECT_EQ(e.GetResult(), Quillan::kResultAnalyzerNotRegistered);
  }
  Guid const notApplying = Guid::CreateUnique();
  registry->RegisterAnalyzer(notApplying, kTypeOther,
                             [](auto const&, auto const&, auto const&) { return InterfaceRef<IAnalyzer>(); });
  EXPECT_EQ(ResultOf(AwaitFailure(host->AnalyzeClipWithAnalyzer(clip, notApplying, {}, kNoProgress, nullptr))),
            Quillan::kResultUnavailable);
  Guid const misnamed = Register(AnalyzerTraits().EndingAtOnce().Reporting(Guid::CreateUnique()));
  auto const lookup = AwaitFailure(host->AnalyzeClipWithAnalyzer(clip, misnamed, {}, kNoProgress, nullptr));
  EXPECT_THROW(std::rethrow_exception(lookup), std::out_of_range);
  EXPECT_EQ(MessageOf(lookup), "invalid unordered_map<K, T> key");
}

// A job terminated before its task starts never calls the analyzer; its end still starts the request behind it,
// queued beyond the limit or merged onto it (another clip of the same media, held only weakly as an application does).
TEST(AnalyzerHostCaseTest, JobTerminatedBeforeItStartsStillLetsTheNextOneStart) {
  Project project{3};
  for (bool const merged : {false, true}) {
    SCOPED_TRACE(merged ? "merged" : "queued");
    CaseHost h(merged ? AnalyzerTraits().Targeting(TargetObjectType::kMedia) : AnalyzerTraits().Limit(1));
    auto const dropped = project.NewClip(0);
    auto const next = project.NewClip(merged ? 0 : 1);
    Quillan::IAnalyzerHost::JobFuture weakJob;
    Future<std::any> strongJob;
    {
      ScopedPause pause(ML::kPauseStatePaused);  // the first job's task cannot start yet
      Await(h.host->AnalyzeClipWithAnalyzer(dropped, h.traits.id, {}, kNoProgress, nullptr));  // nobody keeps its job
      weakJob = std::get<0>(Await(h.host->AnalyzeClipWithAnalyzer(next, h.traits.id, {}, kNoProgress, nullptr)));
      if (!merged) strongJob = weakJob.Lock();
      EXPECT_EQ(h.Count(), 1u);
      h.host->TerminateAnalysisJobsForClip(dropped);
      h.Count();  // the termination has run before the pause ends
    }
    ASSERT_TRUE(h.lab->WaitForStarts(1));
    EXPECT_EQ(h.lab->StartedClip(0), next.get());
    Future<std::any> const job = weakJob.Lock();
    ASSERT_TRUE(job.IsValid());
    h.lab->Finish(0, std::any(5));
    EXPECT_EQ(std::any_cast<int>(Await(job)), 5);
    EXPECT_TRUE(WaitUntil([&] { return h.Count() == 0; }));
    EXPECT_EQ(h.lab->StartCount(), 1u);
  }
}

TEST_F(AnalyzerHostTest, MergedRequestWaitsForATerminatedJobThatStillRuns) {
  // Two clips of one media: the second request is the running job's work over again.
  Guid const id = Register(AnalyzerTraits().Targeting(TargetObjectType::kMedia));
  auto const terminated = project.NewClip(0);
  auto const other = project.NewClip(0);
  Future<std::any> const first = Analyze(terminated, id);
  ASSERT_TRUE(lab->WaitForStarts(1));
  Future<std::any> const merged = Analyze(other, id);

  host->TerminateAnalysisJobsForClip(terminated);
  // The terminated job's record is gone, and the merged request has not started beside the job, which still runs.
  EXPECT_EQ(Count(id), 0u);
  EXPECT_EQ(lab->StartCount(), 1u);
  EXPECT_FALSE(merged.IsReady());

  lab->Finish(0, std::any(4));
  EXPECT_EQ(std::any_cast<int>(Await(first)), 4);
  ASSERT_TRUE(lab->WaitForStarts(2));
  EXPECT_EQ(lab->StartedClip(1), other.get());
  EXPECT_EQ(lab->EndedBeforeStart(1), 1u);  // started after the first job had ended and saved its result
  lab->Finish(1, std::any(5));
  EXPECT_EQ(std::any_cast<int>(Await(merged)), 5);
  EXPECT_TRUE(WaitUntil([&] { return Count(id) == 0; }));
  EXPECT_EQ(lab->StartCount(), 2u);
}

TEST_F(AnalyzerHostTest, CancelledWaitingRequestNeverStarts) {
  // The progress item's cancel fails the request's future and only then posts the termination; the job it waits
  // for may end in between.
  struct Case {
    char const* name;
    bool merged;  // else queued behind the limit
  };
  for (Case const c : {Case{"merged onto a running job", true}, Case{"queued", false}}) {
    SCOPED_TRACE(c.name);
    CaseHost h(AnalyzerTraits().Limit(1));
    auto const firstClip = project.NewClip(0);
    Future<std::any> const first = h.Request(firstClip);
    ASSERT_TRUE(h.lab->WaitForStarts(1));
    Future<std::any> const cancelled = h.Request(c.merged ? firstClip : project.NewClip(1));
    auto const nextClip = project.NewClip(2);
    Future<std::any> const next = h.Request(nextClip);  // queued behind both

    cancelled.Fail(std::make_exception_ptr(zelcore::config::zel_exception("", Quillan::kResultJobCancelled)));
    h.lab->Finish(0, std::any(0));
    // The slot goes to the next request; the cancelled one never calls the analyzer.
    ASSERT_TRUE(h.lab->WaitForStarts(2));
    EXPECT_EQ(h.lab->StartedClip(1), nextClip.get());
    h.lab->Finish(1, std::any(2));
    EXPECT_EQ(std::any_cast<int>(Await(next)), 2);
    EXPECT_TRUE(WaitUntil([&] { return h.Count() == 0; }));
    EXPECT_EQ(h.lab->StartCount(), 2u);
    EXPECT_EQ(ResultOf(AwaitFailure(cancelled)), Quillan::kResultJobCancelled);
  }
}

TEST_F(AnalyzerHostTest, OngoingJobsCountAnswersEveryThreadOfTheDefaultPool) {
  Guid const id = Register(AnalyzerTraits());
  Future<std::any> const running = Analyze(project.NewClip(0), id);
  ASSERT_TRUE(lab->WaitForStarts(1));
  // Every pool thread asks at once, so none is left to run the host's serial executor.
  std::size_t const threads = zelcore::async::CPUCount() < 2 ? 2 : zelcore::async::CPUCount();
  std::latch together(static_cast<std::ptrdiff_t>(threads));
  std::vector<Future<std::size_t>> answers;
  for (std::size_t i = 0; i < threads; ++i) {
    answers.push_back(zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(
        zelcore::async::GetDefaultExecutor(), std::chrono::milliseconds(0), nullptr, [&together, this] {
          together.arrive_and_wait();
          return host->GetOngoingJobsCount();
        }));
  }
  for (auto const& answer : answers) EXPECT_EQ(Await(answer), 1u);
  EXPECT_EQ(host->GetOngoingJobsCount(), 1u);  // from this thread, through the serial executor
  lab->Finish(0, std::any(0));
  EXPECT_TRUE(WaitUntil([&] { return host->GetOngoingJobsCount() == 0; }));
}

// The default host's life: one object from the first call until the singletons are torn down. Returns what went
// wrong. Runs in a child process, since tearing the singletons down is once per process.
std::string CheckDefaultHostLifecycle() {
  std::string problems;
  auto check = [&](bool condition, char const* what) {
    if (!condition) problems += std::string(what) + "\n";
  };
  testsupport::TempDirectory cacheDirectory;  // where the default host's managed store goes
  BE::GetBackend()->GetPreferences()->SetAnalyzerCacheDirectory(cacheDirectory.path().wstring());

  InterfaceRef<AnalyzerHost> host = AnalyzerHost::GetDefaultInstance();
  check(static_cast<bool>(host), "no default host");
  check(Quillan::GetAnalyzerHost() == host && AnalyzerHost::GetDefaultInstance() == host, "two default hosts");
  check(static_cast<bool>(host->GetManagedDataStore()), "no managed store");
  auto const pending = zelcore::config::GetPendingSingletonTerminations();
  check(std::find(pending.begin(), pending.end(), "Quillan.AnalyzerHost") != pending.end(), "no termination");

  std::weak_ptr<AnalyzerHost> const weakHost = host.shared();
  host.reset();
  zelcore::config::RunSingletonTerminations();
  check(!AnalyzerHost::GetDefaultInstance() && !Quillan::GetAnalyzerHost(), "a default host after termination");
  check(WaitUntil([&] { return weakHost.expired(); }), "the default host outlived termination");
  return problems;
}

TEST(AnalyzerHostDeathTest, DefaultHostIsOneObjectUntilTermination) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string const problems = CheckDefaultHostLifecycle();
        std::fputs(problems.c_str(), stderr);
        std::exit(problems.empty() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace hosttest
