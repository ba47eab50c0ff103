#include "quillan/JobRunner.h"

#include <algorithm>
#include <utility>

#include "DataStoreAdaptors/ResultCodes.h"
#include "Foundation/FutureExceptions.h"
#include "Host/AnalysisOptions.h"
#include "quillan/InterruptWatch.h"
#include "zelcore/Executor.h"

namespace Quillan::Cli {
namespace {

using Clock = std::chrono::steady_clock;

// How often the bars are redrawn and an interrupt is looked for.
constexpr auto kPollInterval = std::chrono::milliseconds(100);
// While jobs are answered without analysis, the runner keeps up to this many times the limit in flight.
constexpr std::size_t kQuickAnswersWindowFactor = 32;
// While jobs are answered without analysis, a new batch is asked for once this share of the window is free (4: a
// quarter; a half measured the same on a folder of cached clips).
constexpr std::size_t kBatchShare = 4;
// The host answers a request from its serial executor within microseconds; this only guards against a hang.
constexpr auto kRequestDeadline = std::chrono::seconds(60);

}  // namespace

void JobRunner::EndQueue::Push(std::size_t id) {
  {
    std::lock_guard lock(mutex_);
    ids_.push_back(id);
  }
  ready_.notify_one();
}

std::vector<std::size_t> JobRunner::EndQueue::TakeAll(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  ready_.wait_until(lock, deadline, [this] { return !ids_.empty(); });
  return std::exchange(ids_, {});
}

JobRunner::JobRunner(IAnalyzerHost& host, std::size_t limit, std::size_t total, ProgressDisplay& display)
    : host_(host), limit_(std::max<std::size_t>(1, limit)), total_(total), display_(display), window_(limit_) {}

bool JobRunner::Run(Handlers const& handlers) {
  // As wide as the limit. While jobs analyse, no more are asked for than may run: one asked for early would wait in
  // this executor's queue behind those whose loads happened to end first, and the smallest files would no longer
  // start first.
  executor_ = zelcore::async::CreateSubExecutor(zelcore::async::GetDefaultExecutor(), limit_);
  bool more = true;
  auto nextDraw = Clock::now();
  for (;;) {
    if (!cancelled_ && InterruptWatch::Requested()) {
      cancelled_ = true;
      display_.Note("interrupted; cancelling the running jobs");
      CancelRunning();
    }
    // While jobs are answered without analysis, they are asked for a quarter of the window or more at a time: every
    // batch pauses the executor and waits for the host to take its jobs, a round trip between threads that a batch
    // of one would pay for each job. Jobs that analyse are asked for as soon as one ends, to keep the limit busy.
    std::size_t const room = window_ - std::min(window_, inFlight_.size());
    std::size_t const least = window_ > limit_ ? window_ / kBatchShare : 1;
    if (more && !cancelled_ && room > 0 && room >= least) more = RequestBatch(handlers, room);
    if (!refused_.empty()) {
      for (auto& [id, job] : std::exchange(refused_, {})) {
        if (handlers.prepare) handlers.prepare(id, job);
        handlers.ended(id, std::move(job));
        ++ended_;
      }
      if (handlers.caughtUp) handlers.caughtUp();
    }
    if (inFlight_.empty()) {
      more = more && !cancelled_;
      if (!more) break;
      continue;
    }
    std::vector<std::size_t> const endedNow = endQueue_->TakeAll(Clock::now() + kPollInterval);
    bool allQuick = !endedNow.empty();
    for (std::size_t const id : endedNow) {
      auto node = inFlight_.extract(id);
      handlers.ended(id, EndedJob{.future = std::move(node.mapped().future)});
      allQuick = allQuick && handlers.answeredWithoutAnalysis && handlers.answeredWithoutAnalysis(id);
      ++ended_;
    }
    if (!endedNow.empty()) {
      window_ = allQuick ? std::min(window_ * 2, limit_ * kQuickAnswersWindowFactor) : limit_;
      if (handlers.caughtUp) handlers.caughtUp();
    }
    if (auto const now = Clock::now(); now >= nextDraw) {
      Draw();
      nextDraw = now + kPollInterval;
    }
  }
  // A cancelled job ends before its analyzer has noticed; wait for the analyzers to stop, and refuse the start of any
  // job that the host would still take from its queue.
  executor_->Drain();
  executor_->Shutdown();
  executor_->Drain();
  return cancelled_;
}

bool JobRunner::RequestBatch(Handlers const& handlers, std::size_t room) {
  struct Pending {
    JobRequest request;
    zelcore::async::Future<std::tuple<IAnalyzerHost::JobFuture, IAnalyzerHost::ProgressItemPtr>> started;
  };
  std::vector<Pending> pending;
  bool more = true;
  // Paused meanwhile, so that no job can end (and the host drop its only reference to it) before the runner holds
  // its future.
  executor_->Pause();
  for (std::size_t asked = 0; asked < room; ++asked) {
    std::optional<JobRequest> request = handlers.next();
    if (!request) {
      more = false;
      break;
    }
    try {
      auto started = host_.AnalyzeClipWithAnalyzer(request->clip, request->analyzer, request->parameter,
                                                   AnalysisOptions{.progressMode = 0, .allowXRefClips = 0}, executor_);
      pending.push_back(Pending{.request = std::move(*request), .started = std::move(started)});
    } catch (...) {
      refused_.emplace_back(request->id, EndedJob{.failure = std::current_exception()});
    }
  }
  auto const deadline = Clock::now() + kRequestDeadline;
  for (Pending& entry : pending) {
    std::exception_ptr failure;
    if (!zelcore::async::WaitForUntypedUntil(entry.started, deadline, true)) {
      failure = std::make_exception_ptr(
          zelcore::config::zel_exception("The analyzer host did not answer", kResultUnavailable));
    } else if (!entry.started.HasValue()) {
      failure = entry.started.GetException();
    }
    zelcore::async::Future<std::any> future;
    IAnalyzerHost::ProgressItemPtr item;
    if (!failure) {
      auto const& [weakJob, progressItem] = entry.started.Get();
      future = weakJob.Lock();
      item = progressItem;
    }
    if (!future && !failure) failure = std::make_exception_ptr(zelcore::async::BrokenPromiseException());
    std::size_t const id = entry.request.id;
    if (failure) {
      refused_.emplace_back(id, EndedJob{.failure = failure});
      continue;
    }
    inFlight_.emplace(id, InFlight{.request = std::move(entry.request), .future = future, .item = std::move(item)});
    Watch(id, handlers);
  }
  executor_->Resume();
  return more;
}

void JobRunner::Watch(std::size_t id, Handlers const& handlers) {
  // Tells the caller's thread once, whether the worker ran it or it went unrun (its state was dropped, say); in the
  // latter case `prepare` runs wherever the notice is let go.
  struct Notice {
    Notice(std::shared_ptr<EndQueue> queue, std::size_t id, Handlers const& handlers,
           zelcore::async::Future<std::any> future)
        : queue(std::move(queue)), id(id), handlers(handlers), future(std::move(future)) {}
    Notice(Notice const&) = delete;
    Notice& operator=(Notice const&) = delete;
    ~Notice() {
      if (!prepared && handlers.prepare) handlers.prepare(id, EndedJob{.future = future});
      queue->Push(id);
    }
    void operator()() {
      if (handlers.prepare) handlers.prepare(id, EndedJob{.future = future});
      prepared = true;
    }

    std::shared_ptr<EndQueue> const queue;
    std::size_t const id;
    Handlers const& handlers;
    zelcore::async::Future<std::any> const future;
    bool prepared = false;
  };
  auto notice = std::make_shared<Notice>(endQueue_, id, handlers, inFlight_.at(id).future);
  zelcore::async::WhenEnded(notice->future, executor_, [notice] { (*notice)(); });
}

void JobRunner::CancelRunning() {
  for (auto& [id, job] : inFlight_) {
    if (job.item && job.item->IsCancelable()) {
      job.item->RequestCancel();
    } else {
      job.future.Cancel();
      host_.TerminateAnalysisJobForClipWithAnalyzer(job.request.clip, job.request.analyzer, job.request.parameter);
    }
  }
}

void JobRunner::Draw() {
  auto const now = Clock::now();
  std::vector<JobProgress> running;
  for (auto& [id, job] : inFlight_) {
    double const fraction = job.item ? job.item->GetProgress() : 0.0;
    if (!job.startedAt && fraction > 0) job.startedAt = now;
    if (!job.startedAt) continue;
    running.push_back(JobProgress{.label = job.request.label,
                                  .fraction = fraction,
                                  .startedAt = *job.startedAt,
                                  .mediaSeconds = job.request.mediaSeconds});
  }
  std::sort(running.begin(), running.end(),
            [](JobProgress const& a, JobProgress const& b) { return a.startedAt < b.startedAt; });
  display_.Update(running, ended_, total_);
}

}  // namespace Quillan::Cli
