#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "zelcore/Detail/ExecutorNode.h"
#include "zelcore/Executor.h"

namespace zelcore::async::detail {

// Runs its own FIFO queue on a parent executor through "runners": parent tasks that take tasks from the queue
// and run them. At most `width` runners exist at once, each running one task at a time, so at most `width`
// tasks run at once. A runner runs at most kMaxBatch tasks, then hands a successor to the parent to stay fair
// to the parent's other work. A width-1 runner takes its whole batch under one lock, so a serial executor
// costs one lock round and one parent post per batch rather than per task.
//
// Before each task a runner checks the pause and shutdown flags of this executor and the pause flags of its
// ancestors: tasks it took but did not start go back to the front of the queue (or are destroyed after a
// shutdown), and when an ancestor is paused the runner hands itself back to its parent, which holds it.
//
// A runner owns a reference to the executor, so tasks handed to the parent run even after every other
// reference is gone. A runner that the parent destroys unrun (the parent was shut down) shuts this executor
// down. Thread-safe.
class SubExecutor final : public AsyncThreadedSubExecutor, public ExecutorNode {
 public:
  static constexpr std::size_t kGreedy = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t kMaxBatch = 64;

  // `width` is kGreedy for no limit of its own. With `resumesOnDrain`, Drain first resumes this executor and
  // every sub-executor below it.
  static std::shared_ptr<SubExecutor> Create(std::shared_ptr<AsyncExecutor> parent, std::size_t width,
                                             bool resumesOnDrain = false);
  ~SubExecutor() override;

  // AsyncExecutor:
  bool Execute(Task task) override;
  void Pause() override;
  void Resume() override;
  void Shutdown() override;
  bool IsShutdown() const override;
  bool IsRunningOnCurrentThread() const override;
  void Drain() override;

 private:
  class Runner;

  SubExecutor(std::shared_ptr<AsyncExecutor> parent, ExecutorNode* parentNode, std::size_t width, bool resumesOnDrain);

  void PostRunners(std::size_t count);
  void RunBatch(std::shared_ptr<SubExecutor> self);
  void OnRunnerDropped();
  // Destroys tasks taken off the queue (and counted in destroying_) outside the lock.
  void DestroyUnrun(std::vector<Task>& unrun);
  void TakeQueueLocked(std::vector<Task>& unrun);
  bool IsDrainedLocked() const;
  void NotifyIfDrainedLocked();
  void ResumeTree();

  std::shared_ptr<AsyncExecutor> const parent_;
  std::size_t const width_;
  bool const resumesOnDrain_;

  std::mutex mutex_;
  std::condition_variable drained_;
  std::deque<Task> queue_;        // guarded by mutex_
  std::size_t runners_ = 0;       // guarded by mutex_: runners queued on or running on the parent
  std::size_t destroying_ = 0;    // guarded by mutex_: tasks taken off to be destroyed unrun, not yet destroyed
  std::size_t drainWaiters_ = 0;  // guarded by mutex_
};

}  // namespace zelcore::async::detail
