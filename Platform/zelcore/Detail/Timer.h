#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "zelcore/Executor.h"

namespace zelcore::async::detail {

// The process's one timer thread: it keeps delayed tasks in a heap ordered by deadline (then by the order they
// were scheduled) and hands each to its executor when its time comes, outside its lock. It is created on
// first use and never destroyed, so its thread simply waits when the process exits. Thread-safe.
class Timer {
 public:
  using Clock = std::chrono::steady_clock;

  static Timer& Instance();

  // Queues `task` on `executor` at `deadline`; if the executor refuses it then, it is destroyed unrun.
  void Schedule(std::shared_ptr<AsyncExecutor> executor, Task task, Clock::time_point deadline);

 private:
  struct Entry {
    Clock::time_point deadline;
    std::uint64_t sequence;
    std::shared_ptr<AsyncExecutor> executor;
    Task task;
  };
  // Heap order: the earliest deadline, then the lowest sequence, on top.
  static bool RunsLater(Entry const& a, Entry const& b);

  Timer();
  void Loop();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Entry> heap_;     // guarded by mutex_
  std::uint64_t sequence_ = 0;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace zelcore::async::detail
