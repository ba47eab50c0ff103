#include "zelcore/Detail/Timer.h"

#include <pthread.h>

#include <algorithm>
#include <utility>

namespace zelcore::async::detail {

Timer& Timer::Instance() {
  // Never destroyed: delayed tasks may be scheduled while statics are torn down at exit.
  static Timer* timer = new Timer;
  return *timer;
}

Timer::Timer() : thread_([this] { Loop(); }) {}

bool Timer::RunsLater(Entry const& a, Entry const& b) {
  if (a.deadline != b.deadline) return a.deadline > b.deadline;
  return a.sequence > b.sequence;
}

void Timer::Schedule(std::shared_ptr<AsyncExecutor> executor, Task task, Clock::time_point deadline) {
  bool earliest = false;
  {
    std::lock_guard lock(mutex_);
    heap_.push_back(Entry{deadline, sequence_++, std::move(executor), std::move(task)});
    std::push_heap(heap_.begin(), heap_.end(), &RunsLater);
    earliest = heap_.front().sequence == sequence_ - 1;
  }
  if (earliest) changed_.notify_one();
}

void Timer::Loop() {
  pthread_setname_np(pthread_self(), "zelcore.timer");
  std::vector<Entry> due;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (heap_.empty()) {
      changed_.wait(lock);
      continue;
    }
    Clock::time_point const now = Clock::now();
    // A copy: the heap may reallocate while we wait.
    Clock::time_point const next = heap_.front().deadline;
    if (next > now) {
      changed_.wait_until(lock, next);
      continue;
    }
    while (!heap_.empty() && heap_.front().deadline <= now) {
      std::pop_heap(heap_.begin(), heap_.end(), &RunsLater);
      due.push_back(std::move(heap_.back()));
      heap_.pop_back();
    }
    lock.unlock();
    // Refused tasks are destroyed by Execute, and executors released, outside the timer's lock.
    for (Entry& entry : due) entry.executor->Execute(std::move(entry.task));
    due.clear();
    lock.lock();
  }
}

}  // namespace zelcore::async::detail
