#include "FileAnalysis.h"

#include <algorithm>
#include <utility>

#include "DataStoreAdaptors/ResultCodes.h"
#include "Foundation/InlineExecutor.h"
#include "zelcore/ZelException.h"

namespace Quillan::Node {
namespace {

using zelcore::async::Future;

// As wide as the host's own analysis executor: real analyzers compute on the pool's threads.
std::size_t ExecutorWidth() { return std::max<std::size_t>(1, zelcore::async::CPUCount() / 4); }

}  // namespace

FileAnalysis::FileAnalysis(zelcore::InterfaceRef<IAnalyzerHost> host, zelcore::InterfaceRef<BE::IClip> clip,
                           std::vector<zelcore::utility::Guid> analyzers, std::any parameter)
    : host_(std::move(host)),
      clip_(std::move(clip)),
      parameter_(std::move(parameter)),
      executor_(zelcore::async::CreateSubExecutor(zelcore::async::GetDefaultExecutor(), ExecutorWidth())),
      startsPending_(analyzers.size()),
      unfinished_(analyzers.size()) {
  outcomes_.reserve(analyzers.size());
  for (auto const& analyzer : analyzers) outcomes_.push_back(Outcome{analyzer, false, 0, {}});
}

FileAnalysis::~FileAnalysis() {
  // Never leave a paused executor behind: its parent would keep its queued runners.
  executor_->Shutdown();
}

void FileAnalysis::Start(Completion completion) {
  {
    std::lock_guard lock(mutex_);
    completion_ = std::move(completion);
  }
  std::size_t const count = outcomes_.size();
  if (count == 0) {
    Finish(std::unique_lock(mutex_));
    return;
  }
  executor_->Pause();
  AnalysisOptions const options{AnalysisOptions::kNoProgress, 0};
  for (std::size_t i = 0; i < count; ++i) {
    Future<Started> started;
    try {
      started = host_->AnalyzeClipWithAnalyzer(clip_, outcomes_[i].analyzer, parameter_, options, executor_);
    } catch (...) {
      started = zelcore::async::MakeExceptionalFuture<Started>(std::current_exception());
    }
    zelcore::async::IgnoreExceptionsFuture(started).OnSuccessWithExecutor(
        zelcore::async::GetInlineExecutor(), [self = shared_from_this(), i, started] { self->OnStarted(i, started); });
  }
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
  if (failure) RecordFailure(index, failure);
  lock.unlock();
  if (lastStart) executor_->Resume();
  if (failure) {
    Finish(std::unique_lock(mutex_));
    return;
  }
  zelcore::async::IgnoreExceptionsFuture(job).OnSuccessWithExecutor(
      zelcore::async::GetInlineExecutor(), [self = shared_from_this(), index, job] { self->OnJobEnded(index, job); });
}

void FileAnalysis::OnJobEnded(std::size_t index, zelcore::async::UntypedFuture const& job) {
  std::unique_lock lock(mutex_);
  if (job.HasValue()) {
    outcomes_[index].done = true;
  } else {
    RecordFailure(index, job.GetException());
  }
  Finish(std::move(lock));
}

void FileAnalysis::RecordFailure(std::size_t index, std::exception_ptr const& failure) {
  Outcome& outcome = outcomes_[index];
  outcome.done = false;
  outcome.code = static_cast<std::int32_t>(zelcore::config::ExtractResultFromException(failure));
  outcome.message = zelcore::config::ExtractMessageFromException(failure);
}

void FileAnalysis::Finish(std::unique_lock<std::mutex> lock) {
  if (unfinished_ > 0 && --unfinished_ > 0) return;
  Completion completion = std::exchange(completion_, nullptr);
  std::vector<Outcome> outcomes = outcomes_;
  lock.unlock();
  if (completion) completion(std::move(outcomes));
}

void FileAnalysis::Stop() {
  host_->TerminateAnalysisJobsForClip(clip_);
  executor_->Shutdown();
}

}  // namespace Quillan::Node
