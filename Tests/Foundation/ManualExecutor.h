#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

#include "zelcore/Executor.h"

namespace zelcore::async::test_support {

// An executor that only queues: tests run its tasks on their own thread with RunAll, so the order of events is
// theirs to choose. Shutdown refuses new tasks and destroys queued ones unrun; `refusing` refuses them without a
// shutdown.
class ManualExecutor final : public AsyncExecutor {
 public:
  bool Execute(Task task) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shutdown_ || refusing) return false;
    tasks_.push_back(std::move(task));
    return true;
  }

  // Runs queued tasks, including those queued meanwhile; returns how many ran.
  std::size_t RunAll() {
    std::size_t ran = 0;
    for (;;) {
      Task task;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (tasks_.empty()) return ran;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
      ++ran;
    }
  }

  void Pause() override {}
  void Resume() override {}
  void Shutdown() override {
    std::deque<Task> dropped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      shutdown_ = true;
      dropped.swap(tasks_);
    }
  }
  bool IsShutdown() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return shutdown_;
  }
  bool IsRunningOnCurrentThread() const override { return false; }
  void Drain() override { RunAll(); }

  std::atomic<bool> refusing = false;

 private:
  mutable std::mutex mutex_;
  std::deque<Task> tasks_;  // guarded by mutex_
  bool shutdown_ = false;   // guarded by mutex_
};

}  // namespace zelcore::async::test_support
