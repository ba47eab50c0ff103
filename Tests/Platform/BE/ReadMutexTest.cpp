#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "BE/Backend.h"
#include "BE/ReadMutex.h"
#include "BE/Result.h"
#include "zelcore/ZelException.h"

namespace BE {
namespace {

using namespace std::chrono_literals;

// One thread that runs the calls given to it in order, so a lock can be taken and released on the same thread
// across several steps of a test.
class Worker {
 public:
  Worker() : thread_([this] { Run(); }) {}
  ~Worker() {
    Post([this] { done_ = true; });
    thread_.join();
  }

  template <class F>
  auto Post(F call) -> std::future<decltype(call())> {
    auto task = std::make_shared<std::packaged_task<decltype(call())()>>(std::move(call));
    auto future = task->get_future();
    {
      std::lock_guard lock(mutex_);
      calls_.push_back([task] { (*task)(); });
    }
    ready_.notify_one();
    return future;
  }
  template <class F>
  auto Call(F call) {
    return Post(std::move(call)).get();
  }

 private:
  void Run() {
    while (!done_) {
      std::function<void()> call;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !calls_.empty(); });
        call = std::move(calls_.front());
        calls_.pop_front();
      }
      call();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> calls_;
  bool done_ = false;  // touched on the worker thread only
  std::thread thread_;
};

bool WaitUntil(std::function<bool()> const& condition) {
  auto const deadline = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(ReadMutexTest, ReadersShareAndWritersExclude) {
  ReadMutex mutex;
  Worker other;
  ASSERT_TRUE(mutex.Lock(nullptr));
  EXPECT_TRUE(other.Call([&] { return mutex.TryLock(); }));
  EXPECT_FALSE(other.Call([&] { return mutex.TryLockWrite(); }));  // it holds the read lock itself
  other.Call([&] { mutex.Unlock(); });
  EXPECT_FALSE(other.Call([&] { return mutex.TryLockWrite(); }));  // this thread still reads
  mutex.Unlock();

  ASSERT_TRUE(other.Call([&] { return mutex.TryLockWrite(); }));
  EXPECT_FALSE(mutex.TryLock());
  auto const now = std::chrono::steady_clock::now();
  EXPECT_FALSE(mutex.Lock(&now));
  EXPECT_FALSE(mutex.TryLockWrite());
  other.Call([&] { mutex.UnlockWrite(); });
  EXPECT_TRUE(mutex.TryLock());
  mutex.Unlock();
  EXPECT_TRUE(mutex.TryLockWrite());
  mutex.UnlockWrite();
}

TEST(ReadMutexTest, WaitingWriterHoldsOffNewReadersButNotReentry) {
  ReadMutex mutex;
  Worker writer, reader;
  mutex.Lock(nullptr);
  auto written = writer.Post([&] { mutex.LockWrite(); });
  ASSERT_TRUE(WaitUntil([&] { return mutex.WaitingWriterCountForTesting() == 1; }));
  EXPECT_FALSE(reader.Call([&] { return mutex.TryLock(); }));
  auto const soon = std::chrono::steady_clock::now() + 1ms;
  EXPECT_FALSE(reader.Call([&] {
    bool const locked = mutex.Lock(&soon);
    if (locked) mutex.Unlock();  // keeps a failing run from hanging the writer
    return locked;
  }));
  EXPECT_TRUE(mutex.TryLock());  // re-entry does not wait behind the writer
  mutex.Unlock();
  EXPECT_EQ(written.wait_for(0s), std::future_status::timeout);
  mutex.Unlock();
  written.get();
  EXPECT_FALSE(reader.Call([&] { return mutex.TryLock(); }));
  writer.Call([&] { mutex.UnlockWrite(); });
  EXPECT_TRUE(reader.Call([&] { return mutex.TryLock(); }));
  reader.Call([&] { mutex.Unlock(); });
}

TEST(ReadMutexTest, LockOrderAndNesting) {
  ReadMutex mutex;
  Worker other;
  mutex.Lock(nullptr);
  try {
    mutex.LockWrite();
    ADD_FAILURE() << "expected a lock-order error";
  } catch (zelcore::config::zel_exception const& e) {
    EXPECT_EQ(e.GetResult(), kResultLockOrder);
  }
  EXPECT_FALSE(mutex.TryLockWrite());
  mutex.Unlock();

  // The writer may read and write again; a read taken inside the write lock outlives it as a plain read.
  mutex.LockWrite();
  mutex.LockWrite();
  mutex.Lock(nullptr);
  mutex.UnlockWrite();
  mutex.UnlockWrite();
  EXPECT_TRUE(other.Call([&] { return mutex.TryLock(); }));
  other.Call([&] { mutex.Unlock(); });
  EXPECT_FALSE(other.Call([&] { return mutex.TryLockWrite(); }));
  mutex.Unlock();
  EXPECT_TRUE(other.Call([&] { return mutex.TryLockWrite(); }));
  other.Call([&] { mutex.UnlockWrite(); });

  EXPECT_EQ(&GetBackendReadLock(), &GetBackendReadLock());
}

TEST(ReadMutexTest, ReadersNeverSeeHalfAWrite) {
  ReadMutex mutex;
  int first = 0, second = 0;  // guarded by mutex
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        WriteLock lock(mutex);
        ++first;
        ++second;
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ReadLock lock(mutex);
        ReadLock again(mutex);
        if (first != second) ++torn;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(first, 6000);
}

}  // namespace
}  // namespace BE
