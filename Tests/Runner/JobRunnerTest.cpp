#include "quillan/JobRunner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "Host/AnalyzerHostTestSupport.h"
#include "quillan/ProgressDisplay.h"

// The tool's job runner on a real host, built into every configuration (ThreadSanitizer's too): the runner hands
// ends from the host's workers to the caller's thread, which is where its races would be.
namespace Quillan::Cli {
namespace {

using hosttest::AnalyzerLab;
using hosttest::AnalyzerTraits;
using hosttest::MakeFactory;
using hosttest::MakeHost;
using hosttest::Project;

constexpr Quillan::AnalyzerType kType{7};

struct Counts {
  explicit Counts(std::size_t jobs) : prepared(jobs), ended(jobs) {}
  std::vector<std::atomic<int>> prepared;
  std::vector<int> ended;  // the caller's thread only
};

// Thousands of tiny jobs: half answered at once, half ended one by one from another thread behind a limit of 3.
// Every job is prepared once and then handed to the caller's thread once, with its own value or its own failure.
TEST(JobRunnerTest, ThousandsOfTinyJobsEachEndOnceAfterTheirPreparation) {
  constexpr std::size_t kJobs = 3000;
  auto const lab = std::make_shared<AnalyzerLab>();
  auto const registry = std::make_shared<Quillan::AnalyzerRegistryImpl>();
  AnalyzerTraits const quick = AnalyzerTraits().EndingAtOnce();
  AnalyzerTraits const slow = AnalyzerTraits().Limit(3);
  registry->RegisterAnalyzer(quick.id, kType, MakeFactory(quick, lab));
  registry->RegisterAnalyzer(slow.id, kType, MakeFactory(slow, lab));
  auto const host = MakeHost(registry);
  Project const project(8);
  Guid const unregistered = Guid::CreateUnique();

  // Every 100th job asks for an analyzer nobody registered; the rest alternate between the two.
  auto const analyzerOf = [&](std::size_t id) -> Guid const& {
    return id % 100 == 99 ? unregistered : id % 2 == 0 ? quick.id : slow.id;
  };
  std::size_t const slowJobs = [&] {
    std::size_t count = 0;
    for (std::size_t id = 0; id < kJobs; ++id) count += analyzerOf(id) == slow.id;
    return count;
  }();
  std::thread finisher([&] {
    for (std::size_t i = 0; i < slowJobs && lab->WaitForStarts(i + 1); ++i) {
      lab->Finish(i, std::any(lab->StartedParameter(i)));
    }
  });

  Counts counts(kJobs);
  std::size_t requested = 0;
  std::size_t failures = 0;
  auto const caller = std::this_thread::get_id();
  ProgressDisplay display(false, stderr);
  JobRunner runner(*host, 2, kJobs, display);
  bool const interrupted = runner.Run(JobRunner::Handlers{
      .next = [&]() -> std::optional<JobRequest> {
        if (requested == kJobs) return std::nullopt;
        std::size_t const id = requested++;
        // Distinct parameters, so that the host merges none of the jobs.
        return JobRequest{.id = id,
                          .clip = project.NewClip(id % 8),
                          .analyzer = analyzerOf(id),
                          .parameter = std::any(std::to_string(id)),
                          .label = "job " + std::to_string(id),
                          .mediaSeconds = std::nullopt};
      },
      .prepare = [&](std::size_t id, EndedJob const&) { ++counts.prepared[id]; },
      .ended =
          [&](std::size_t id, EndedJob job) {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            EXPECT_EQ(counts.prepared[id], 1) << "job " << id;
            ++counts.ended[id];
            if (analyzerOf(id) == unregistered) {
              EXPECT_TRUE(job.failure || (job.future && job.future.HasException())) << "job " << id;
              ++failures;
              return;
            }
            ASSERT_TRUE(job.future) << "job " << id;
            ASSERT_TRUE(job.future.HasValue()) << "job " << id;
            EXPECT_EQ(std::any_cast<std::string>(job.future.Get()), std::to_string(id));
          },
      .answeredWithoutAnalysis = [&](std::size_t id) { return analyzerOf(id) == quick.id; },
  });
  finisher.join();

  EXPECT_FALSE(interrupted);
  EXPECT_EQ(requested, kJobs);
  EXPECT_EQ(failures, kJobs / 100);
  EXPECT_EQ(lab->StartCount(), slowJobs);
  for (std::size_t id = 0; id < kJobs; ++id) {
    ASSERT_EQ(counts.prepared[id], 1) << "job " << id;
    ASSERT_EQ(counts.ended[id], 1) << "job " << id;
  }
  EXPECT_EQ(host->GetOngoingJobsCount(), 0u);
}

// A runner with nothing to run returns at once and calls nothing but `next`.
TEST(JobRunnerTest, NoJobsEndsAtOnce) {
  auto const host = MakeHost(std::make_shared<Quillan::AnalyzerRegistryImpl>());
  ProgressDisplay display(false, stderr);
  JobRunner runner(*host, 4, 0, display);
  int asked = 0;
  bool const interrupted = runner.Run(JobRunner::Handlers{
      .next = [&]() -> std::optional<JobRequest> {
        ++asked;
        return std::nullopt;
      },
      .ended = [](std::size_t, EndedJob) { ADD_FAILURE() << "no job was asked for"; },
  });
  EXPECT_FALSE(interrupted);
  EXPECT_EQ(asked, 1);
}

}  // namespace
}  // namespace Quillan::Cli
