#include "zelcore/Detail/ThreadPool.h"

#include <pthread.h>

#include <cassert>
#include <chrono>
#include <thread>
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
    queued_.store(queue_.size(), std::memory_order_release);
    // A watching worker takes the first task itself.
    bool const watched = spinning_ && queue_.size() == 1;
    if (!paused_.load(std::memory_order_relaxed) && !watched && sleeping_ > wakingUp_) {
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
    queued_.store(0, std::memory_order_relaxed);
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
  bool mayWatch = true;  // once per idle spell, so a worker that found nothing goes to sleep
  for (;;) {
    if (stopping_) return;
    if (queue_.empty() || paused_.load(std::memory_order_relaxed)) {
      if (mayWatch && !spinning_ && !paused_.load(std::memory_order_relaxed)) {
        mayWatch = false;
        spinning_ = true;
        SpinForWork(lock);
        spinning_ = false;
        continue;
      }
      ++sleeping_;
      workAvailable_.wait(lock);
      --sleeping_;
      // A spurious wakeup may take a notified worker's place; undercounting only costs an extra notify.
      if (wakingUp_ > 0) --wakingUp_;
      continue;
    }
    Task task = std::move(queue_.front());
    queue_.pop_front();
    queued_.store(queue_.size(), std::memory_order_relaxed);
    ++running_;
    mayWatch = true;
    lock.unlock();
    RunTask(task);
    lock.lock();
    --running_;
    NotifyIfDrainedLocked();
  }
}

void ThreadPool::SpinForWork(std::unique_lock<std::mutex>& lock) {
  // Waking a sleeping thread costs tens of microseconds on a virtual machine, more than most tasks take; a task
  // posted while a worker watches starts without that wake-up (and its poster skips the notify). Only one
  // worker watches, and it yields as it does, so idle spinning never takes every core.
  constexpr auto kSpinTime = std::chrono::microseconds(50);
  lock.unlock();
  auto const until = std::chrono::steady_clock::now() + kSpinTime;
  while (queued_.load(std::memory_order_acquire) == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::yield();
  }
  lock.lock();
}

}  // namespace zelcore::async::detail
