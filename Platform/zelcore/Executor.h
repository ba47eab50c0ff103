#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "zelcore/Export.h"
#include "zelcore/UniqueFunction.h"

namespace zelcore::async {

using Task = UniqueFunction<void()>;

// Runs tasks. Every operation may be called from any thread, including from a task of the same executor.
//
// Pause: no task of this executor starts until Resume; running tasks finish.
// Shutdown: new tasks are refused, queued tasks that have not started are destroyed without running (so
// promises they hold break), running tasks finish. Shutdown never waits for tasks of the same executor.
class ZELCORE_EXPORT AsyncExecutor : public std::enable_shared_from_this<AsyncExecutor> {
 public:
  virtual ~AsyncExecutor();

  // Queues `task`. False when the executor is shut down; the task is then destroyed without running.
  virtual bool Execute(Task task) = 0;
  virtual void Pause() = 0;
  virtual void Resume() = 0;
  virtual void Shutdown() = 0;
  virtual bool IsShutdown() const = 0;
  // True while the calling thread runs a task of this executor (for sequence checks).
  virtual bool IsRunningOnCurrentThread() const = 0;
  // Blocks until this executor and every sub-executor of it have neither queued nor running tasks,
  // including tasks queued while it waits. Must not be called from a task of this executor.
  virtual void Drain() = 0;
};

// An executor that runs its tasks on a parent executor: at most `width` at a time, or as many as the parent
// allows when greedy. It keeps its own FIFO queue, so it pauses and shuts down independently of the parent.
class ZELCORE_EXPORT AsyncThreadedSubExecutor : public AsyncExecutor {};

// The process's shared pool of CPUCount() threads (at least 2).
ZELCORE_EXPORT std::shared_ptr<AsyncExecutor> GetDefaultExecutor();
// A sub-executor of the default pool without a width of its own.
ZELCORE_EXPORT std::shared_ptr<AsyncThreadedSubExecutor> CreateGreedySubExecutor();
// A sub-executor that runs at most `width` (at least 1) of its tasks at a time on `parent`.
ZELCORE_EXPORT std::shared_ptr<AsyncThreadedSubExecutor> CreateSubExecutor(
    std::shared_ptr<AsyncExecutor> const& parent, std::size_t width);
// The process-wide executor for work that must finish before the application quits: the application's
// shutdown call drains it (and its sub-executors) before singletons are torn down.
ZELCORE_EXPORT std::shared_ptr<AsyncExecutor> CreatePreTerminationExecutor();

// Queues `task` on `executor` after `delayMilliseconds` (0: at once). Returns whether it was queued; a delayed
// task that the executor refuses when its time comes is destroyed without running.
ZELCORE_EXPORT bool CallAsync(std::shared_ptr<AsyncExecutor> const& executor, Task task,
                              std::int64_t delayMilliseconds = 0);

// The number of logical processors.
ZELCORE_EXPORT std::size_t CPUCount();

namespace details {
template <class Rep, class Period>
constexpr std::int64_t DurationToInteger(std::chrono::duration<Rep, Period> duration) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}
}  // namespace details

}  // namespace zelcore::async
