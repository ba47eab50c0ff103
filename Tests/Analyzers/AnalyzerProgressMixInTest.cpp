#include "Analyzers/AnalyzerProgressMixIn.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Support/FutureTestUtils.h"

namespace Quillan::Analyzers {
namespace {

using namespace std::chrono_literals;
using zelappsupport::utility::ProgressCategory;
using zelappsupport::utility::ProgressItem;
using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelcore::async::Promise;

class MockHost : public IAnalyzerHost {
 public:
  MOCK_METHOD(Future<std::vector<JobFuture>>, AnalyzeClip, (InterfaceRef<BE::IClip> const&, AnalysisOptions const&),
              (override));
  // gmock cannot make a Matcher<std::any const&> with clang 14 (std::any's converting constructor asks whether the
  // still incomplete matcher is copyable): the parameter reaches the mocked calls by pointer.
  Future<std::tuple<JobFuture, ProgressItemPtr>> AnalyzeClipWithAnalyzer(
      InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId, std::any const& parameter,
      AnalysisOptions const& options, std::shared_ptr<zelcore::async::AsyncExecutor> const& executor) override {
    return AnalyzeWithParameter(clip, analyzerId, &parameter, options, executor);
  }
  MOCK_METHOD((Future<std::tuple<JobFuture, ProgressItemPtr>>), AnalyzeWithParameter,
              (InterfaceRef<BE::IClip> const&, Guid const&, std::any const*, AnalysisOptions const&,
               std::shared_ptr<zelcore::async::AsyncExecutor> const&));
  MOCK_METHOD(InterfaceRef<IDataStoreAdaptor>, GetManagedDataStore, (), (override));
  MOCK_METHOD(void, TerminateAnalysisJobsForClip, (InterfaceRef<BE::IClip> const&), (override));
  void TerminateAnalysisJobForClipWithAnalyzer(InterfaceRef<BE::IClip> const& clip, Guid const& analyzerId,
                                               std::any const& parameter) override {
    TerminateWithParameter(clip, analyzerId, &parameter);
  }
  MOCK_METHOD(void, TerminateWithParameter, (InterfaceRef<BE::IClip> const&, Guid const&, std::any const*));
  MOCK_METHOD(Future<std::size_t>, CountJobs, (Guid const&), (override));
  MOCK_METHOD(Future<std::vector<Future<std::any>>>, GetRunningAnalyzerJobs, (Guid const&), (override));
  void* QueryMap(std::string_view name) override { return zelcore::classref::QueryMapOf<IAnalyzerHost>(this, name); }
};

using enum AnalyzerProgressMixIn::ProgressCancelHandling;
using enum AnalyzerProgressMixIn::ProgressRemovalHandling;
using ProgressCancelHandling = AnalyzerProgressMixIn::ProgressCancelHandling;
using ProgressRemovalHandling = AnalyzerProgressMixIn::ProgressRemovalHandling;

struct Fixture {
  std::shared_ptr<MockHost> host = std::make_shared<MockHost>();
  InterfaceRef<BE::IClip> clip =
      BE::ProjectFactory::CreateClip(BE::ProjectFactory::CreateMedia(u"/absent/a.wav"), BE::kMediaType_Audio);
  Guid analyzer = Guid::CreateUnique();
  std::shared_ptr<ProgressCategory> category = ProgressCategory::Create({});

  InterfaceRef<AnalyzerProgressMixIn> Make(ProgressCancelHandling cancel, ProgressRemovalHandling removal) {
    auto mixIn = AnalyzerProgressMixIn::CreateClassRef();
    mixIn->InitializeProgressMixIn(InterfaceRef<IAnalyzerHost>(host), clip, std::string("p"), analyzer, category,
                                   zelappsupport::utility::ToUTF8String("job"), cancel, removal);
    return mixIn;
  }
  void ExpectTerminations(int times) {
    auto const isParameter = [](std::any const* p) { return std::any_cast<std::string>(*p) == "p"; };
    EXPECT_CALL(*host, TerminateWithParameter(clip, analyzer, testing::Truly(isParameter))).Times(times);
  }
};

// What the cancel handler answered, once it has run.
std::optional<bool> CancelResult(std::shared_ptr<ProgressItem> const& item) {
  EXPECT_TRUE(item->RequestCancel());
  for (int i = 0; i < 30000 && !item->GetCancelationResult(); ++i) std::this_thread::sleep_for(1ms);
  return item->GetCancelationResult();
}

TEST(AnalyzerProgressMixInTest, CancelFailsTheNewestJobAndAsksTheHostOnlyWhileBothLive) {
  {  // One item, removed with the mix-in; cancel fails the newest job only.
    Fixture f;
    auto mixIn = f.Make(kTerminateJobOnCancel, kRemoveItemOnDestruction);
    auto const item = mixIn->GetProgressItem();
    EXPECT_EQ(mixIn->GetProgressItem(), item);
    EXPECT_EQ(f.category->GetProgressItems().size(), 1u);
    Promise<std::any> older, newer;
    Future<std::any> const olderJob = older.GetFuture(), newerJob = newer.GetFuture();
    mixIn->SetAnalysisJob(olderJob);
    mixIn->SetAnalysisJob(newerJob);
    f.ExpectTerminations(1);
    EXPECT_EQ(CancelResult(item), true);
    EXPECT_EQ(testsupport::ResultOf(newerJob.GetException()), kResultJobCancelled);
    EXPECT_FALSE(olderJob.IsReady());
    mixIn.reset();
    EXPECT_TRUE(f.category->GetProgressItems().empty());
  }
  {  // A completed job keeps its value; the host is still asked.
    Fixture f;
    auto const mixIn = f.Make(kTerminateJobOnCancel, kRemoveItemOnDestruction);
    auto const done = zelcore::async::MakeReadyFuture(std::any(5));
    mixIn->SetAnalysisJob(done);
    f.ExpectTerminations(1);
    EXPECT_EQ(CancelResult(mixIn->GetProgressItem()), true);
    EXPECT_EQ(std::any_cast<int>(done.Get()), 5);
  }
  {  // The analyzer is gone: nothing is called, and the kept item stays listed. Then the host is gone.
    Fixture f;
    auto mixIn = f.Make(kTerminateJobOnCancel, static_cast<AnalyzerProgressMixIn::ProgressRemovalHandling>(4));
    auto const item = mixIn->GetProgressItem();
    mixIn.reset();
    f.ExpectTerminations(0);
    EXPECT_EQ(CancelResult(item), false);
    EXPECT_EQ(f.category->GetProgressItems().size(), 1u);
    auto const orphan = f.Make(kTerminateJobOnCancel, kRemoveItemOnDestruction);
    f.host.reset();
    EXPECT_EQ(CancelResult(orphan->GetProgressItem()), false);
  }
  {  // Cancels ignored (any value but 0): no handler. An item never asked for is never made nor removed.
    Fixture f;
    int events = 0;
    f.category->AddListener([&](auto, auto const&) { ++events; });
    EXPECT_FALSE(f.Make(kIgnoreCancel, kRemoveItemOnDestruction)->GetProgressItem()->IsCancelable());
    auto const odd = static_cast<AnalyzerProgressMixIn::ProgressCancelHandling>(9);
    EXPECT_FALSE(f.Make(odd, kRemoveItemOnDestruction)->GetProgressItem()->IsCancelable());
    events = 0;
    f.Make(kTerminateJobOnCancel, kRemoveItemOnDestruction);
    EXPECT_EQ(events, 0);
  }
}

// Initialises its mix-in while it is built, before any shared pointer owns it.
class SelfInitialisingAnalyzer : public AnalyzerProgressMixIn {
 public:
  SelfInitialisingAnalyzer(Fixture& f, ProgressCancelHandling cancel) {
    InitializeProgressMixIn(InterfaceRef<IAnalyzerHost>(f.host), f.clip, std::string("p"), f.analyzer, f.category,
                            zelappsupport::utility::ToUTF8String("job"), cancel, kRemoveItemOnDestruction);
  }
};

TEST(AnalyzerProgressMixInTest, InitialisedWhileBuiltCancelsLikeOneInitialisedAfterwards) {
  Fixture f;
  auto analyzer = std::make_shared<SelfInitialisingAnalyzer>(f, kTerminateJobOnCancel);
  Promise<std::any> running;
  Future<std::any> const job = running.GetFuture();
  analyzer->SetAnalysisJob(job);
  auto const item = analyzer->GetProgressItem();
  EXPECT_TRUE(item->IsCancelable());
  f.ExpectTerminations(1);
  EXPECT_EQ(CancelResult(item), true);
  EXPECT_EQ(testsupport::ResultOf(job.GetException()), kResultJobCancelled);

  // Built this way too, it keeps neither itself nor the host alive through its item.
  auto const orphan = std::make_shared<SelfInitialisingAnalyzer>(f, kTerminateJobOnCancel)->GetProgressItem();
  EXPECT_EQ(CancelResult(orphan), false);
  EXPECT_FALSE(std::make_shared<SelfInitialisingAnalyzer>(f, kIgnoreCancel)->GetProgressItem()->IsCancelable());
}

}  // namespace
}  // namespace Quillan::Analyzers
