#pragma once

#include <any>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "BE/Clip.h"
#include "Foundation/Future.h"
#include "Host/IAnalyzerHost.h"
#include "quillan/ProgressDisplay.h"
#include "zelappsupport/ProgressItem.h"

namespace Quillan::Cli {

// One job the runner asks the host for.
struct JobRequest {
  std::size_t id = 0;  // the caller's own number for it, handed back when it ends
  zelcore::InterfaceRef<BE::IClip> clip;
  zelcore::utility::Guid analyzer;
  std::any parameter;
  std::string label;                   // what its progress bar says
  std::optional<double> mediaSeconds;  // the length of its media, for the speed; empty when unknown
};

// How a job ended: the host's future of it (ended), or what kept it from starting.
struct EndedJob {
  zelcore::async::Future<std::any> future = {};
  std::exception_ptr failure = nullptr;  // set when there is no future: the host refused or did not answer
};

// Runs analysis jobs through a host with at most `limit` analysing at once, and hands each back as it ends. Its work
// is constant per event (a job requested, started, progressed or ended), whatever the number of jobs: it keeps only
// the jobs in flight, learns of ends from the jobs' futures rather than by looking, and requests jobs in batches.
// One thread (the caller's) drives it; only the end notices come from other threads.
class JobRunner {
 public:
  struct Handlers {
    // The next job to request, or nothing when there are no more. Called on the caller's thread, lazily, so that
    // the work of admitting a file happens when its first job is due.
    std::function<std::optional<JobRequest>()> next = {};
    // Called with each ended job on the thread of a worker, in parallel with others: for the work of reading its
    // result, which should not queue behind the caller's thread. May be empty.
    std::function<void(std::size_t id, EndedJob const& job)> prepare = {};
    // Called with each ended job on the caller's thread, in the order they end, after `prepare`.
    std::function<void(std::size_t id, EndedJob job)> ended = {};
    // Whether an ended job was answered without analysing its media (from a store, say); asked on the caller's thread
    // after `ended`. While jobs are, the runner asks for many at a time: their order costs nothing, and every round of
    // requests costs thread switches. May be empty (never).
    std::function<bool(std::size_t id)> answeredWithoutAnalysis = {};
    // Called on the caller's thread once the jobs that ended so far are handed over, before it waits again: for
    // output held back meanwhile. May be empty.
    std::function<void()> caughtUp = {};
  };

  // `total` is the number of jobs `next` will yield (for the display's count); `draw` shows bars on `display`.
  JobRunner(IAnalyzerHost& host, std::size_t limit, std::size_t total, ProgressDisplay& display);
  JobRunner(JobRunner const&) = delete;
  JobRunner& operator=(JobRunner const&) = delete;

  // Runs every job until all have ended, or until the user interrupts (SIGINT, SIGTERM, SIGHUP): then the running
  // jobs are cancelled through their progress items (or terminated) and waited for, and no more are requested.
  // Returns whether it was interrupted. Handlers are done when it returns.
  bool Run(Handlers const& handlers);

 private:
  struct InFlight {
    JobRequest request;
    zelcore::async::Future<std::any> future;
    std::shared_ptr<zelappsupport::utility::ProgressItem> item;
    std::optional<std::chrono::steady_clock::time_point> startedAt = std::nullopt;
  };
  // Where the workers leave the ids of ended jobs for the caller's thread.
  class EndQueue {
   public:
    void Push(std::size_t id);
    // Waits until an id is there or `deadline` passes; then takes them all.
    std::vector<std::size_t> TakeAll(std::chrono::steady_clock::time_point deadline);

   private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<std::size_t> ids_;  // guarded by mutex_
  };

  // Requests up to `room` jobs; returns false once `next` has run dry.
  bool RequestBatch(Handlers const& handlers, std::size_t room);
  void Watch(std::size_t id, Handlers const& handlers);
  void CancelRunning();
  void Draw();

  IAnalyzerHost& host_;
  std::size_t const limit_;
  std::size_t const total_;
  ProgressDisplay& display_;
  std::shared_ptr<zelcore::async::AsyncExecutor> executor_;
  std::shared_ptr<EndQueue> const endQueue_ = std::make_shared<EndQueue>();
  std::unordered_map<std::size_t, InFlight> inFlight_;
  std::vector<std::pair<std::size_t, EndedJob>> refused_;  // requests that ended before they started
  std::size_t window_;  // how many jobs may be in flight: the limit, or more while jobs are answered without analysis
  std::size_t ended_ = 0;
  bool cancelled_ = false;
};

}  // namespace Quillan::Cli
