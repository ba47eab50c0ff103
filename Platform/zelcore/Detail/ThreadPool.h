#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "zelcore/Detail/ExecutorNode.h"
#include "zelcore/Executor.h"

namespace zelcore::async::detail {

// A fixed set of threads taking tasks from one FIFO queue under one mutex. An idle worker first watches the queue
// for a moment (one worker at a time), then sleeps on a condition variable; a worker is woken only when no worker
// watches for the new task and one is asleep and not already being woken, so a busy pool costs a push and a pop
// per task. Thread-safe. Destroying it stops and joins its threads (destroying unrun tasks); it
// must not be destroyed from one of its own tasks.
class ThreadPool final : public AsyncExecutor, public ExecutorNode {
 public:
  explicit ThreadPool(std::size_t threadCount);
  ~ThreadPool() override;

  // AsyncExecutor:
  bool Execute(Task task) override;
  void Pause() override;
  void Resume() override;
  void Shutdown() override;
  bool IsShutdown() const override;
  bool IsRunningOnCurrentThread() const override;
  void Drain() override;

 private:
  void WorkerLoop();
  // Watches the queue, unlocked, for up to 50 us: a task posted meanwhile starts without a wake-up.
  void SpinForWork(std::unique_lock<std::mutex>& lock);
  bool IsDrainedLocked() const;
  void NotifyIfDrainedLocked();

  std::mutex mutex_;
  std::condition_variable workAvailable_;
  std::condition_variable drained_;
  std::deque<Task> queue_;              // guarded by mutex_
  std::size_t running_ = 0;             // guarded by mutex_: tasks taken by workers and not yet finished
  std::size_t destroying_ = 0;          // guarded by mutex_: tasks taken off by Shutdown and not yet destroyed
  std::size_t drainWaiters_ = 0;        // guarded by mutex_
  std::size_t sleeping_ = 0;            // guarded by mutex_: workers waiting on workAvailable_
  std::size_t wakingUp_ = 0;            // guarded by mutex_: of those, how many were notified and have not woken yet
  bool stopping_ = false;               // guarded by mutex_
  std::atomic<std::size_t> queued_{0};  // written under mutex_: queue_.size(), for a spinning worker to watch
  bool spinning_ = false;               // guarded by mutex_: whether a worker watches queued_
  std::vector<std::thread> threads_;
};

}  // namespace zelcore::async::detail
