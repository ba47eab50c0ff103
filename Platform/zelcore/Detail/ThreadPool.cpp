#include "zelcore/Detail/ThreadPool.h"

#include <pthread.h>

#include <cassert>
#include <utility>

namespace zelcore::async::detail {

ThreadPool::ThreadPool(std::size_t threadCount) : ExecutorNode(nullptr) {
  threads_.reserve(threadCount);
  for (std::size_t i = 0; i < threadCount; ++i) threads_.emplace_back([this] { WorkerLoop(); });
}

ThreadPool::~ThreadPool() {
  std::deque<Task> unrun;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    shutdown_.store(true, std::memory_order_release);
    unrun.swap(queue_);
  }
  workAvailable_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool ThreadPool::Execute(Task task) {
  if (!task || shutdown_.load(std::memory_order_acquire)) return false;
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (shutdown_.load(std::memory_order_relaxed)) return false;  // `task` is destroyed after the unlock
    queue_.push_back(std::move(task));
    if (!paused_.load(std::memory_order_relaxed) && sleeping_ > wakingUp_) {
      ++wakingUp_;
      wake = true;
    }
  }
  if (wake) workAvailable_.notify_one();
  return true;
}

void ThreadPool::Pause() {
  std::lock_guard lock(mutex_);
  paused_.store(true, std::memory_order_relaxed);
  NotifyIfDrainedLocked();
}

void ThreadPool::Resume() {
  {
    std::lock_guard lock(mutex_);
    paused_.store(false, std::memory_order_relaxed);
    wakingUp_ = sleeping_;
  }
  workAvailable_.notify_all();
}

void ThreadPool::Shutdown() {
  std::deque<Task> unrun;
  {
    std::lock_guard lock(mutex_);
    shutdown_.store(true, std::memory_order_release);
    unrun.swap(queue_);
    destroying_ += unrun.size();
  }
  std::size_t const count = unrun.size();
  unrun.clear();
  std::lock_guard lock(mutex_);
  destroying_ -= count;
  NotifyIfDrainedLocked();
}

bool ThreadPool::IsShutdown() const { return shutdown_.load(std::memory_order_acquire); }

bool ThreadPool::IsRunningOnCurrentThread() const { return IsCurrent(); }

void ThreadPool::Drain() {
  assert(!IsRunningOnCurrentThread() && "Drain from a task of the same pool would wait for itself");
  std::unique_lock lock(mutex_);
  ++drainWaiters_;
  drained_.wait(lock, [this] { return IsDrainedLocked(); });
  --drainWaiters_;
}

bool ThreadPool::IsDrainedLocked() const {
  return running_ == 0 && destroying_ == 0 && (queue_.empty() || paused_.load(std::memory_order_relaxed));
}

void ThreadPool::NotifyIfDrainedLocked() {
  if (drainWaiters_ > 0 && IsDrainedLocked()) drained_.notify_all();
}

void ThreadPool::WorkerLoop() {
  pthread_setname_np(pthread_self(), "zelcore.pool");
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopping_) return;
    if (queue_.empty() || paused_.load(std::memory_order_relaxed)) {
      ++sleeping_;
      workAvailable_.wait(lock);
      --sleeping_;
      // A spurious wakeup may take a notified worker's place; undercounting only costs an extra notify.
      if (wakingUp_ > 0) --wakingUp_;
      continue;
    }
    Task task = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    lock.unlock();
    RunTask(task);
    lock.lock();
    --running_;
    NotifyIfDrainedLocked();
  }
}

}  // namespace zelcore::async::detail
