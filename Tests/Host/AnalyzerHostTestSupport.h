#pragma once

#include <gtest/gtest.h>

#include <any>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Analyzers/IAnalyzer.h"
#include "BE/Clip.h"
#include "BE/Media.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/IDataStoreAdaptor.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Foundation/Future.h"
#include "Host/AnalyzerHost.h"
#include "Host/AnalyzerRegistryImpl.h"
#include "Support/FutureTestUtils.h"
#include "Support/TempDirectory.h"
#include "zelappsupport/ProgressCategory.h"
#include "zelappsupport/ProgressItem.h"
#include "zelcore/ZelException.h"

// Analyzers, clips and a store for tests of the analyzer host.
namespace hosttest {

using Quillan::AnalysisOptions;
using Quillan::AnalyzerHost;
using Quillan::Guid;
using Quillan::IAnalyzer;
using Quillan::ImmutableString;
using Quillan::TargetObjectType;
using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelcore::async::Promise;

constexpr std::chrono::seconds kDeadline{30};

// Polls `condition` until it holds; false after a generous deadline.
template <class Condition>
bool WaitUntil(Condition condition) {
  auto const deadline = std::chrono::steady_clock::now() + kDeadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// A store that holds nothing: the host only keeps and hands it out.
class NullDataStore : public Quillan::IDataStoreAdaptor {
 public:
  Future<void> SaveDataWithKey(Quillan::Target const&, Guid const&, ImmutableString const&, ImmutableString const&,
                               zelcore::Blob const&) override {
    return zelcore::async::MakeExceptionalFuture<void>(Miss());
  }
  Future<zelcore::Blob> LoadDataWithKey(Quillan::Target const&, Guid const&, ImmutableString const&,
                                        ImmutableString const&) const override {
    return zelcore::async::MakeExceptionalFuture<zelcore::Blob>(Miss());
  }
  bool IsDataNotFoundInCache(std::exception_ptr const&) const override { return true; }
  void* QueryMap(std::string_view name) override {
    return zelcore::classref::QueryMapOf<Quillan::IDataStoreAdaptor>(this, name);
  }

 private:
  static std::exception_ptr Miss() {
    return std::make_exception_ptr(zelcore::config::zel_exception("", Quillan::kResultNotCached));
  }
};

// Media files on disk (so their clips are online) and clips of them.
class Project {
 public:
  explicit Project(std::size_t mediaCount) {
    for (std::size_t i = 0; i < mediaCount; ++i) {
      auto const path = directory_ / ("media" + std::to_string(i) + ".bin");
      std::ofstream(path) << "media " << i;
      media_.push_back(BE::ProjectFactory::CreateMedia(path.u16string()));
    }
  }

  InterfaceRef<BE::IMedia> const& Media(std::size_t index) const { return media_.at(index); }
  // A new clip of media `index`, outside any master clip.
  InterfaceRef<BE::IClip> NewClip(std::size_t index = 0) const {
    return BE::ProjectFactory::CreateClip(Media(index), BE::kMediaType_Video);
  }
  // A media whose file does not exist.
  InterfaceRef<BE::IMedia> OfflineMedia() const {
    return BE::ProjectFactory::CreateMedia((directory_ / "missing.bin").u16string());
  }

 private:
  testsupport::TempDirectory directory_;
  std::vector<InterfaceRef<BE::IMedia>> media_;
};

// One StartAnalysis call that a test analyzer received.
struct StartedJob {
  void const* clip;
  std::string parameter;
  Promise<std::any> promise;
  // How many jobs the lab had ended when this one started.
  std::size_t endedBefore;
};

// Collects the StartAnalysis calls of the analyzers it made and ends their jobs when told. Thread-safe.
class AnalyzerLab {
 public:
  std::shared_ptr<zelappsupport::utility::ProgressCategory> const category =
      zelappsupport::utility::ProgressCategory::Create(zelappsupport::utility::ToUTF8String("Analysis"));
  std::atomic<int> progressItemRequests{0};
  std::atomic<int> analysisJobsSet{0};

  // Returns the future of the analyzer's result.
  Future<std::any> Start(void const* clip, std::string parameter) {
    std::lock_guard lock(mutex_);
    started_.push_back(StartedJob{clip, std::move(parameter), Promise<std::any>(), ended_});
    changed_.notify_all();
    return started_.back().promise.GetFuture();
  }

  // Waits until `count` jobs have started; false after a generous deadline.
  bool WaitForStarts(std::size_t count) {
    std::unique_lock lock(mutex_);
    bool const reached = changed_.wait_for(lock, kDeadline, [&] { return started_.size() >= count; });
    EXPECT_TRUE(reached) << "only " << started_.size() << " of " << count << " jobs started";
    return reached;
  }

  std::size_t StartCount() {
    std::lock_guard lock(mutex_);
    return started_.size();
  }
  void const* StartedClip(std::size_t index) {
    std::lock_guard lock(mutex_);
    return started_.at(index).clip;
  }
  std::string StartedParameter(std::size_t index) {
    std::lock_guard lock(mutex_);
    return started_.at(index).parameter;
  }
  std::size_t EndedBeforeStart(std::size_t index) {
    std::lock_guard lock(mutex_);
    return started_.at(index).endedBefore;
  }

  void Finish(std::size_t index, std::any value) { PromiseOf(index).Fulfill(std::move(value)); }
  void Fail(std::size_t index, Quillan::Result code) {
    PromiseOf(index).Fail(std::make_exception_ptr(zelcore::config::zel_exception("", code)));
  }

 private:
  // Counts the job as ended before it ends, so that a job started by its end sees it.
  Promise<std::any> PromiseOf(std::size_t index) {
    std::lock_guard lock(mutex_);
    ++ended_;
    return started_.at(index).promise;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<StartedJob> started_;  // guarded by mutex_
  std::size_t ended_ = 0;            // guarded by mutex_
};

struct AnalyzerTraits {
  Guid id = Guid::CreateUnique();
  std::optional<std::size_t> limit;
  TargetObjectType targetType = TargetObjectType::kClip;
  // The job ends at once with the parameter as its value, rather than when the lab is told.
  bool endsAtOnce = false;
  bool withProgress = false;
  // What GetAnalyzerGuid answers, when not `id`.
  std::optional<Guid> reportedId;

  AnalyzerTraits& Limit(std::size_t count) {
    limit = count;
    return *this;
  }
  AnalyzerTraits& Targeting(TargetObjectType type) {
    targetType = type;
    return *this;
  }
  AnalyzerTraits& EndingAtOnce() {
    endsAtOnce = true;
    return *this;
  }
  AnalyzerTraits& WithProgress() {
    withProgress = true;
    return *this;
  }
  AnalyzerTraits& Reporting(Guid const& id) {
    reportedId = id;
    return *this;
  }
};

// An analyzer whose parameter, when given, is a std::string; without one, GetSerializedParameter throws
// kResultNotImplemented as analyzers without parameters do.
class TestAnalyzer : public IAnalyzer, public Quillan::IAnalyzerProgress, public Quillan::IAnalyzerProgressPrivate {
 public:
  TestAnalyzer(AnalyzerTraits const& traits, std::shared_ptr<AnalyzerLab> lab, InterfaceRef<BE::IClip> clip,
               std::any const& parameter)
      : traits_(traits), lab_(std::move(lab)), clip_(std::move(clip)) {
    if (parameter.has_value()) parameter_ = std::any_cast<std::string>(parameter);
  }

  std::optional<std::size_t> GetMaxJobCount() const override { return traits_.limit; }
  Guid GetAnalyzerGuid() const override { return traits_.reportedId.value_or(traits_.id); }
  TargetObjectType GetTargetObjectType() const override { return traits_.targetType; }
  Quillan::ProxyHandling GetProxyHandling() const override { return Quillan::ProxyHandling::kDefault; }
  ImmutableString GetSerializedParameter() const override {
    if (!parameter_) throw zelcore::config::zel_exception("", Quillan::kResultNotImplemented);
    return ImmutableString::Create(*parameter_);
  }
  Future<std::any> StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const&,
                                 AnalysisOptions const&) override {
    if (traits_.endsAtOnce) return zelcore::async::MakeReadyFuture(std::any(parameter_.value_or("")));
    return lab_->Start(clip_.get(), parameter_.value_or(""));
  }

  std::shared_ptr<zelappsupport::utility::ProgressItem> GetProgressItem() const override {
    ++lab_->progressItemRequests;
    std::lock_guard lock(mutex_);
    if (!progressItem_) progressItem_ = lab_->category->CreateProgressItem(zelappsupport::utility::ToUTF8String("job"));
    return progressItem_;
  }
  void SetAnalysisJob(Future<std::any> const&) override { ++lab_->analysisJobsSet; }

  void* QueryMap(std::string_view name) override {
    bool const isProgress = name == Quillan::IAnalyzerProgress::InterfaceName() ||
                            name == Quillan::IAnalyzerProgressPrivate::InterfaceName();
    if (isProgress && !traits_.withProgress) return nullptr;
    return zelcore::classref::QueryMapOf<IAnalyzer, Quillan::IAnalyzerProgress, Quillan::IAnalyzerProgressPrivate>(
        this, name);
  }

 private:
  AnalyzerTraits const traits_;
  std::shared_ptr<AnalyzerLab> const lab_;
  InterfaceRef<BE::IClip> const clip_;
  std::optional<std::string> parameter_;
  mutable std::mutex mutex_;
  mutable std::shared_ptr<zelappsupport::utility::ProgressItem> progressItem_;  // guarded by mutex_
};

inline Quillan::AnalyzerFactory MakeFactory(AnalyzerTraits const& traits, std::shared_ptr<AnalyzerLab> const& lab) {
  return [traits, lab](InterfaceRef<BE::IClip> const& clip, std::any const& parameter,
                       zelcore::InterfaceWeakRef<Quillan::IAnalyzerHost> const&) {
    return InterfaceRef<IAnalyzer>(std::make_shared<TestAnalyzer>(traits, lab, clip, parameter));
  };
}

inline InterfaceRef<AnalyzerHost> MakeHost(std::shared_ptr<Quillan::AnalyzerRegistry> registry) {
  return AnalyzerHost::Create(std::move(registry),
                              InterfaceRef<Quillan::IDataStoreAdaptor>(std::make_shared<NullDataStore>()));
}

inline constexpr AnalysisOptions kWithProgress{0, 0};
inline constexpr AnalysisOptions kNoProgress{AnalysisOptions::kNoProgress, 0};

}  // namespace hosttest
