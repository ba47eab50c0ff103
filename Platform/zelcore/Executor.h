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
// Pause: no task of this executor starts until Resume; running tasks finish. Pausing an executor also holds
// the tasks of its sub-executors, which run on it.
// Shutdown: new tasks are refused, queued tasks that have not started are destroyed without running (so
// promises they hold break), running tasks finish. Shutdown never waits for tasks of the same executor.
// A task destroyed without running is destroyed outside the executor's locks, so its destructor may call
// into executors. An exception escaping a task is logged (logging::LogException) and the executor goes on.
class ZELCORE_EXPORT AsyncExecutor : public std::enable_shared_from_this<AsyncExecutor> {
 public:
  virtual ~AsyncExecutor();

  // Queues `task`. False when the executor is shut down (the task is then destroyed without running) or the
  // task is empty.
  virtual bool Execute(Task task) = 0;
  virtual void Pause() = 0;
  virtual void Resume() = 0;
  virtual void Shutdown() = 0;
  virtual bool IsShutdown() const = 0;
  // True while the calling thread runs a task of this executor, or of one of its sub-executors (whose tasks
  // run inside tasks of their parent). For sequence checks.
  virtual bool IsRunningOnCurrentThread() const = 0;
  // Blocks until this executor and every sub-executor of it have neither queued nor running tasks,
  // including tasks queued while it waits. Tasks held by a pause of this executor or of a sub-executor do not
  // count (Drain does not wait for a Resume; the pre-termination executor resumes its tree first instead),
  // but while an ancestor is paused Drain waits for it to resume. Tasks still waiting in CallAsync's timer do
  // not count. Must not be called from a task of this executor or of a sub-executor.
  virtual void Drain() = 0;
};

// An executor that runs its tasks on a parent executor: at most `width` at a time, or as many as the parent
// allows when greedy. It keeps its own FIFO queue, so it pauses and shuts down independently of the parent.
// A width-1 sub-executor runs its tasks one after another in the order they were queued.
//
// It keeps its parent alive. While it has tasks to run, the runners it hands to its parent keep it alive, so
// dropping the last reference loses no queued task; only tasks held by its pause are destroyed unrun with it. When its
// parent is shut down it is shut down too: it refuses new tasks, and its queued tasks are destroyed unrun once the
// parent drops them. A paused parent holds its sub-executors' runners, and with them their references: resume or shut
// down a paused executor before dropping it.
class ZELCORE_EXPORT AsyncThreadedSubExecutor : public AsyncExecutor {};

// The process's shared pool of CPUCount() threads (at least 2), created on first use and never destroyed.
ZELCORE_EXPORT std::shared_ptr<AsyncExecutor> GetDefaultExecutor();
// A sub-executor of the default pool without a width of its own.
ZELCORE_EXPORT std::shared_ptr<AsyncThreadedSubExecutor> CreateGreedySubExecutor();
// A sub-executor that runs at most `width` (at least 1) of its tasks at a time on `parent`. Throws
// std::invalid_argument for a null parent or a zero width.
ZELCORE_EXPORT std::shared_ptr<AsyncThreadedSubExecutor> CreateSubExecutor(std::shared_ptr<AsyncExecutor> const& parent,
                                                                           std::size_t width);
// The process-wide executor for work that must finish before the application quits: the application's
// shutdown call drains it (and its sub-executors) before singletons are torn down. Every call returns the
// same greedy sub-executor of the default pool. Its Drain first resumes it and all its sub-executors, so
// that every queued task runs.
ZELCORE_EXPORT std::shared_ptr<AsyncExecutor> CreatePreTerminationExecutor();

// Queues `task` on `executor` after `delayMilliseconds` (0 or less: at once, through Execute). Returns whether
// it was queued: false for a null or shut-down executor. Delayed tasks wait in one process-wide timer thread,
// which holds a reference to the executor and queues them in deadline order (equal deadlines first come,
// first queued); a delayed task that the executor refuses when its time comes is destroyed without running.
ZELCORE_EXPORT bool CallAsync(std::shared_ptr<AsyncExecutor> const& executor, Task task,
                              std::int64_t delayMilliseconds = 0);

// The number of logical processors (at least 1).
ZELCORE_EXPORT std::size_t CPUCount();

namespace details {
template <class Rep, class Period>
constexpr std::int64_t DurationToInteger(std::chrono::duration<Rep, Period> duration) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}
}  // namespace details

}  // namespace zelcore::async
