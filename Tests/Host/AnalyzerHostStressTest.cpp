#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <random>
#include <thread>
#include <variant>

#include "Analyzers/AnalyzerProgressMixIn.h"
#include "Host/AnalyzerHost.h"
#include "Host/AnalyzerHostTestSupport.h"
#include "ML/PauseState.h"

namespace hosttest {
namespace {

using zelcore::async::UntypedFuture;

// How each stress analyzer's job ends.
enum class Ending { kAtOnce, kOnTheJobExecutor, kOnTheDefaultExecutor, kFailing, kThrowing };

struct StressTraits {
  StressTraits(std::optional<std::size_t> limit, TargetObjectType targetType, Ending ending)
      : limit(limit), targetType(targetType), ending(ending) {}

  Guid id = Guid::CreateUnique();
  std::optional<std::size_t> limit;
  TargetObjectType targetType;
  Ending ending;
};

// Shows its job as a progress item that the user may cancel; it sets its progress up while it is built.
class StressAnalyzer : public IAnalyzer, public Quillan::Analyzers::AnalyzerProgressMixIn {
 public:
  StressAnalyzer(StressTraits const& traits, InterfaceRef<BE::IClip> const& clip, std::any const& parameter,
                 zelcore::InterfaceWeakRef<Quillan::IAnalyzerHost> const& host,
                 std::shared_ptr<zelappsupport::utility::ProgressCategory> const& category)
      : traits_(traits) {
    if (parameter.has_value()) parameter_ = std::any_cast<std::string>(parameter);
    InitializeProgressMixIn(host, clip, parameter, traits.id, category, zelappsupport::utility::ToUTF8String("job"),
                            kTerminateJobOnCancel, kRemoveItemOnDestruction);
  }

  std::optional<std::size_t> GetMaxJobCount() const override { return traits_.limit; }
  Guid GetAnalyzerGuid() const override { return traits_.id; }
  TargetObjectType GetTargetObjectType() const override { return traits_.targetType; }
  Quillan::ProxyHandling GetProxyHandling() const override { return Quillan::ProxyHandling::kDefault; }
  ImmutableString GetSerializedParameter() const override {
    if (!parameter_) throw zelcore::config::zel_exception("", Quillan::kResultNotImplemented);
    return ImmutableString::Create(*parameter_);
  }
  Future<std::any> StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const& executor,
                                 AnalysisOptions const&) override {
    auto const later = [](std::shared_ptr<zelcore::async::AsyncExecutor> const& on) {
      return zelcore::async::AsyncWithExecutorAndContinuationExecutorAndDelay(on, std::chrono::milliseconds(0), on,
                                                                              [] { return std::any(1); });
    };
    switch (traits_.ending) {
      case Ending::kAtOnce:
        return zelcore::async::MakeReadyFuture(std::any(1));
      case Ending::kOnTheJobExecutor:
        return later(executor);
      case Ending::kOnTheDefaultExecutor:
        return later(zelcore::async::GetDefaultExecutor());
      case Ending::kFailing:
        return zelcore::async::MakeExceptionalFuture<std::any>(
            std::make_exception_ptr(zelcore::config::zel_exception("", Quillan::kResultJobCancelled)));
      case Ending::kThrowing:
        break;
    }
    throw zelcore::config::zel_exception("", Quillan::kResultJobCancelled);
  }

  void* QueryMap(std::string_view name) override {
    if (void* const analyzer = zelcore::classref::QueryMapOf<IAnalyzer>(this, name)) return analyzer;
    return AnalyzerProgressMixIn::QueryMap(name);
  }

 private:
  StressTraits const traits_;
  std::optional<std::string> parameter_;
};

long EnvironmentNumber(char const* name, long fallback) {
  char const* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtol(value, nullptr, 10) : fallback;
}

// What a thread handed out and must see end.
using Pending =
    std::variant<Future<std::tuple<Quillan::IAnalyzerHost::JobFuture, Quillan::IAnalyzerHost::ProgressItemPtr>>,
                 Future<std::vector<Quillan::IAnalyzerHost::JobFuture>>, UntypedFuture>;

// Waits for a handed-out future and for the jobs it names; false when one never ends.
bool AwaitPending(Pending const& pending) {
  return std::visit(
      [](auto const& future) {
        if (!testsupport::AwaitEnd(future)) return false;
        using F = std::decay_t<decltype(future)>;
        if constexpr (!std::is_same_v<F, UntypedFuture>) {
          if (!future.HasValue()) return true;
          if constexpr (std::is_same_v<F, Future<std::vector<Quillan::IAnalyzerHost::JobFuture>>>) {
            for (auto const& job : future.Get()) {
              if (!testsupport::AwaitEnd(job.Lock())) return false;
            }
          } else {
            return testsupport::AwaitEnd(std::get<0>(future.Get()).Lock());
          }
        }
        return true;
      },
      pending);
}

// Thousands of requests over many clips and analyzers from several threads, with random terminations, cancels
// through progress items, requests merged across clips of one media, pauses and resumes. Every future handed out
// must end and the host must be left without jobs. QUILLAN_STRESS_SECONDS sets how
// long it runs (default 2), QUILLAN_STRESS_SEED replays a run.
TEST(AnalyzerHostStressTest, EveryFutureEndsAndNoJobIsLeft) {
  long const seconds = EnvironmentNumber("QUILLAN_STRESS_SECONDS", 2);
  auto const seed = static_cast<std::uint32_t>(EnvironmentNumber("QUILLAN_STRESS_SEED", std::random_device()()));
  SCOPED_TRACE("QUILLAN_STRESS_SEED=" + std::to_string(seed));
  constexpr int kThreads = 4;
  constexpr int kMinOperationsPerThread = 600;
  constexpr std::size_t kWindow = 256;

  Project const project(4);
  std::vector<InterfaceRef<BE::IClip>> clips;
  for (std::size_t i = 0; i < 16; ++i) clips.push_back(project.NewClip(i % 4));

  std::vector<StressTraits> const allTraits = {
      {1, TargetObjectType::kClip, Ending::kOnTheJobExecutor},
      {2, TargetObjectType::kMedia, Ending::kOnTheDefaultExecutor},
      {1, TargetObjectType::kMedia, Ending::kAtOnce},
      {std::nullopt, TargetObjectType::kClip, Ending::kOnTheJobExecutor},
      {3, TargetObjectType::kClip, Ending::kFailing},
      {1, TargetObjectType::kClip, Ending::kThrowing},
  };
  auto const registry = std::make_shared<Quillan::AnalyzerRegistryImpl>();
  auto const category = zelappsupport::utility::ProgressCategory::Create(zelappsupport::utility::ToUTF8String("x"));
  for (std::size_t i = 0; i < allTraits.size(); ++i) {
    StressTraits const traits = allTraits[i];
    registry->RegisterAnalyzer(
        traits.id, Quillan::AnalyzerType(i % 2 == 0 ? 0 : 5),
        [traits, category](InterfaceRef<BE::IClip> const& clip, std::any const& parameter, auto const& host) {
          return InterfaceRef<IAnalyzer>(std::make_shared<StressAnalyzer>(traits, clip, parameter, host, category));
        });
  }
  // Analyzers of media: requests for different clips of one media merge onto each other's jobs.
  std::vector<Guid> mediaAnalyzers;
  for (auto const& traits : allTraits) {
    if (traits.targetType == TargetObjectType::kMedia) mediaAnalyzers.push_back(traits.id);
  }
  auto host = MakeHost(registry);
  auto const callersExecutor = zelcore::async::CreateSubExecutor(zelcore::async::GetDefaultExecutor(), 2);
  std::vector<std::any> const parameters = {std::any(), std::any(std::string("a")), std::any(std::string("b"))};
  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);

  std::atomic<int> stuck{0};
  std::atomic<int> handedOut{0};
  std::atomic<int> cancels{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(seed + static_cast<std::uint32_t>(t));
      auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
      std::deque<Pending> pending;
      auto request = [&](InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId) {
        AnalysisOptions const options{static_cast<std::int32_t>(pick(2)), 0};
        auto const executor = pick(3) == 0 ? callersExecutor : nullptr;
        auto answer =
            host->AnalyzeClipWithAnalyzer(clip, analyzerId, parameters[pick(parameters.size())], options, executor);
        if (pick(4) == 0) {
          // The user cancels the job through its item as soon as it is handed out, racing its start.
          answer.OnSuccessWithExecutor(zelcore::async::GetInlineExecutor(), [&cancels](auto const& started) {
            if (auto const& item = std::get<1>(started); item && item->RequestCancel()) ++cancels;
          });
        }
        pending.emplace_back(std::move(answer));
      };
      auto anyRequest = [&] { request(clips[pick(clips.size())], allTraits[pick(allTraits.size())].id); };
      int operations = 0;
      for (; operations < kMinOperationsPerThread || std::chrono::steady_clock::now() < deadline; ++operations) {
        std::size_t const choice = pick(100);
        auto const& clip = clips[pick(clips.size())];
        if (choice < 60) {
          anyRequest();
        } else if (choice < 70) {
          // Clips i and i + 4 share a media.
          std::size_t const first = pick(clips.size());
          Guid const& analyzerId = mediaAnalyzers[pick(mediaAnalyzers.size())];
          request(clips[first], analyzerId);
          request(clips[(first + 4) % clips.size()], analyzerId);
        } else if (choice < 75) {
          pending.emplace_back(host->AnalyzeClip(clip, AnalysisOptions{1, 0}));
        } else if (choice < 82) {
          host->TerminateAnalysisJobsForClip(clip);
        } else if (choice < 90) {
          host->TerminateAnalysisJobForClipWithAnalyzer(clip, allTraits[pick(allTraits.size())].id,
                                                        parameters[pick(parameters.size())]);
        } else if (choice < 93) {
          pending.emplace_back(UntypedFuture(host->CountJobs(allTraits[pick(allTraits.size())].id)));
        } else if (choice < 95) {
          pending.emplace_back(UntypedFuture(host->GetRunningAnalyzerJobs(allTraits[pick(allTraits.size())].id)));
        } else if (choice < 98) {
          // Nothing waits inside the pause, so every pause is lifted again soon.
          ML::SetPauseState(ML::kPauseStatePaused);
          for (int i = 0; i < 5; ++i) anyRequest();
          ML::SetPauseState(ML::kPauseStateRunning);
        } else {
          host->GetOngoingJobsCount();
        }
        while (pending.size() > kWindow) {
          if (!AwaitPending(pending.front())) ++stuck;
          pending.pop_front();
        }
      }
      handedOut += operations;
      for (auto const& left : pending) {
        if (!AwaitPending(left)) ++stuck;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ML::SetPauseState(ML::kPauseStateRunning);

  RecordProperty("operations", handedOut.load());
  RecordProperty("cancels", cancels.load());
  EXPECT_GT(cancels.load(), 0);
  EXPECT_EQ(stuck.load(), 0);
  EXPECT_TRUE(WaitUntil([&] { return host->GetOngoingJobsCount() == 0; }));
  for (auto const& traits : allTraits) EXPECT_EQ(testsupport::Await(host->CountJobs(traits.id)), 0u);
  std::weak_ptr<AnalyzerHost> const weakHost = host.shared();
  host.reset();
  EXPECT_TRUE(WaitUntil([&] { return weakHost.expired(); }));
  callersExecutor->Shutdown();
}

}  // namespace
}  // namespace hosttest
