#include "FileAnalysis.h"

#include <algorithm>
#include <utility>

#include "Analyzers/AnalyzerBase.h"
#include "Analyzers/ExampleAnalyzers.h"
#include "Analyzers/ResultDescription.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Foundation/InlineExecutor.h"
#include "Host/AnalyzerRegistry.h"
#include "zelappsupport/ProgressItem.h"
#include "zelcore/ZelException.h"

namespace Quillan::Node {
namespace {

using zelcore::async::Future;

// How often the progress of running jobs is looked at: often enough for a smooth bar, rarely enough to cost nothing.
constexpr std::int64_t kProgressPollMilliseconds = 50;

// As wide as the host's own analysis executor: real analyzers compute on the pool's threads.
std::size_t ExecutorWidth() { return std::max<std::size_t>(1, zelcore::async::CPUCount() / 4); }

std::vector<std::any> ParametersOf(std::vector<FileAnalysis::Request> const& requests) {
  std::vector<std::any> parameters;
  for (auto const& request : requests) parameters.push_back(request.parameter);
  return parameters;
}

}  // namespace

FileAnalysis::FileAnalysis(zelcore::InterfaceRef<IAnalyzerHost> host, zelcore::InterfaceRef<BE::IClip> clip,
                           std::vector<Request> requests, bool watched)
    : host_(std::move(host)),
      clip_(std::move(clip)),
      parameters_(ParametersOf(requests)),
      executor_(zelcore::async::CreateSubExecutor(zelcore::async::GetDefaultExecutor(), ExecutorWidth())),
      watched_(watched),
      startsPending_(requests.size()),
      unfinished_(requests.size()),
      items_(requests.size()),
      reported_(requests.size(), -1.0) {
  outcomes_.reserve(requests.size());
  for (auto const& request : requests)
    outcomes_.push_back(Outcome{request.analyzer, false, 0, {}, std::nullopt, std::nullopt});
}

FileAnalysis::~FileAnalysis() {
  // Never leave a paused executor behind: its parent would keep its queued runners.
  executor_->Shutdown();
}

void FileAnalysis::Start(Completion completion, ProgressReport report) {
  bool const polled = static_cast<bool>(report);
  {
    std::lock_guard lock(mutex_);
    completion_ = std::move(completion);
    report_ = std::move(report);
  }
  std::size_t const count = outcomes_.size();
  if (count == 0) {
    Finish(std::unique_lock(mutex_));
    return;
  }
  executor_->Pause();
  // Any mode but kNoProgress gets each job's progress item.
  AnalysisOptions const options{watched_ ? 0 : AnalysisOptions::kNoProgress, 0};
  for (std::size_t i = 0; i < count; ++i) {
    Future<Started> started;
    try {
      started = host_->AnalyzeClipWithAnalyzer(clip_, outcomes_[i].analyzer, parameters_[i], options, executor_);
    } catch (...) {
      started = zelcore::async::MakeExceptionalFuture<Started>(std::current_exception());
    }
    zelcore::async::IgnoreExceptionsFuture(started).OnSuccessWithExecutor(
        zelcore::async::GetInlineExecutor(), [self = shared_from_this(), i, started] { self->OnStarted(i, started); });
  }
  if (polled) Poll();
}

void FileAnalysis::OnStarted(std::size_t index, Future<Started> const& started) {
  std::exception_ptr failure = started.GetException();
  Future<std::any> job;
  if (!failure) {
    job = std::get<0>(started.Get()).Lock();
    if (!job) {
      // Only a request merged into a job that had already ended gets here.
      failure = std::make_exception_ptr(
          zelcore::config::zel_exception("The job ended before its outcome could be read", kResultUnavailable));
    }
  }
  std::unique_lock lock(mutex_);
  bool const lastStart = --startsPending_ == 0;
  if (failure) {
    RecordFailure(index, failure);
  } else {
    items_[index] = std::get<1>(started.Get());
  }
  bool const cancel = aborted_ && items_[index] && items_[index]->IsCancelable();
  lock.unlock();
  // Aborted while the host was starting it.
  if (cancel) items_[index]->RequestCancel();
  if (lastStart) executor_->Resume();
  if (failure) {
    Finish(std::unique_lock(mutex_));
    return;
  }
  zelcore::async::IgnoreExceptionsFuture(job).OnSuccessWithExecutor(
      zelcore::async::GetInlineExecutor(), [self = shared_from_this(), index, job] { self->OnJobEnded(index, job); });
}

void FileAnalysis::OnJobEnded(std::size_t index, Future<std::any> const& job) {
  std::optional<ResultDescription> description;
  std::optional<zelcore::Blob> blob;
  if (job.HasValue()) {
    description = Describe(index, job.Get());
    blob = BlobOf(job.Get());
  }
  std::unique_lock lock(mutex_);
  if (job.HasValue()) {
    outcomes_[index].done = true;
    outcomes_[index].description = std::move(description);
    outcomes_[index].blob = std::move(blob);
    ReportLocked(index, 1.0);
  } else {
    RecordFailure(index, job.GetException());
  }
  Finish(std::move(lock));
}

std::optional<zelcore::Blob> FileAnalysis::BlobOf(std::any const& value) {
  if (auto const* result = std::any_cast<Examples::ExampleResult>(&value)) return result->blob;
  if (auto const* bytes = std::any_cast<zelcore::Blob>(&value)) return *bytes;
  return std::nullopt;
}

std::optional<ResultDescription> FileAnalysis::Describe(std::size_t index, std::any const& value) const {
  std::optional<zelcore::Blob> const bytes = BlobOf(value);
  if (!bytes) return std::nullopt;
  zelcore::Blob const& blob = *bytes;
  // outcomes_[index].analyzer never changes after construction.
  zelcore::utility::Guid const id = outcomes_[index].analyzer;
  zelcore::InterfaceRef<IAnalyzer> analyzer;
  std::string name = id.AsUTF8String();
  zelcore::utility::ImmutableString key;
  try {
    AnalyzerFactory const factory = AnalyzerRegistry::GetDefaultRegistry()->GetAnalyzerFactory(id);
    analyzer = factory(clip_, parameters_[index], zelcore::InterfaceWeakRef<IAnalyzerHost>(host_));
    if (auto const base = zelcore::InterfaceRef<Analyzers::AnalyzerBase>::Query(analyzer)) {
      if (!base->GetAnalyzerName().empty()) name = base->GetAnalyzerName().ToUTF8String();
      // The job's value is the result filed under its first key.
      auto const keys = base->GetCacheKeys();
      if (!keys.empty()) key = keys.front();
    }
  } catch (...) {
    // Described by its size, as an analyzer that cannot describe itself.
  }
  return DescribeAnalyzerResult(analyzer, name, key, blob);
}

void FileAnalysis::RecordFailure(std::size_t index, std::exception_ptr const& failure) {
  Outcome& outcome = outcomes_[index];
  outcome.done = false;
  outcome.code = zelcore::config::ExtractResultFromException(failure);
  outcome.message = zelcore::config::ExtractMessageFromException(failure);
}

void FileAnalysis::Finish(std::unique_lock<std::mutex> lock) {
  if (unfinished_ > 0 && --unfinished_ > 0) return;
  Completion completion = std::exchange(completion_, nullptr);
  report_ = nullptr;
  std::vector<Outcome> outcomes = outcomes_;
  lock.unlock();
  if (completion) completion(std::move(outcomes));
}

void FileAnalysis::ReportLocked(std::size_t index, double fraction) {
  if (!report_ || fraction <= reported_[index]) return;
  reported_[index] = fraction;
  report_(index, fraction);
}

void FileAnalysis::Poll() {
  {
    std::lock_guard lock(mutex_);
    if (!report_) return;
    for (std::size_t i = 0; i < items_.size(); ++i) {
      // A job that ended reported its 1 already; its item may still read less.
      if (items_[i] && !outcomes_[i].done) ReportLocked(i, std::min(items_[i]->GetProgress(), 0.999));
    }
  }
  std::weak_ptr<FileAnalysis> const weak = weak_from_this();
  zelcore::async::CallAsync(
      zelcore::async::GetDefaultExecutor(),
      [weak] {
        if (auto const self = weak.lock()) self->Poll();
      },
      kProgressPollMilliseconds);
}

void FileAnalysis::Abort() {
  std::vector<IAnalyzerHost::ProgressItemPtr> items;
  {
    std::lock_guard lock(mutex_);
    if (std::exchange(aborted_, true)) return;
    items = items_;
  }
  for (auto const& item : items) {
    if (item && item->IsCancelable()) item->RequestCancel();
  }
  // Jobs without an item to cancel (not started yet, or of analyzers that cannot be cancelled) end now.
  host_->TerminateAnalysisJobsForClip(clip_);
}

bool FileAnalysis::Aborted() const {
  std::lock_guard lock(mutex_);
  return aborted_;
}

void FileAnalysis::Stop() {
  host_->TerminateAnalysisJobsForClip(clip_);
  executor_->Shutdown();
}

}  // namespace Quillan::Node
