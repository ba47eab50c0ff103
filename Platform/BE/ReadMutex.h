#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "BE/Export.h"

namespace BE {

// The project model's reader/writer lock. Readers hold it shared (Lock/Unlock) while they look at several
// objects and need them to stay consistent; the project model's own changes (actions, audio assignments,
// proxies) hold it exclusively (LockWrite/UnlockWrite).
//
// Guarantees:
// - Any number of threads may hold the read lock at once; the write lock excludes every other holder.
// - A waiting writer keeps new readers out, so writers are not starved.
// - Both locks are re-entrant on one thread: a thread that holds the read lock may take it again even while a
//   writer waits, and the write-lock holder may take either lock again.
// - Taking the write lock while this thread holds only the read lock would deadlock; it throws a zel_exception
//   kResultLockOrder instead.
// Thread-safe; each Unlock must run on the thread that took the lock.
class BE_EXPORT ReadMutex {
 public:
  ReadMutex();
  ~ReadMutex();
  ReadMutex(ReadMutex const&) = delete;
  ReadMutex& operator=(ReadMutex const&) = delete;

  // Takes the lock shared. With a null `deadline` it waits as long as needed and returns true; otherwise it gives
  // up at `deadline` and returns false without holding the lock.
  bool Lock(std::chrono::steady_clock::time_point const* deadline);
  // Takes the lock shared if that needs no waiting.
  bool TryLock();
  void Unlock();

  void LockWrite();
  // Takes the write lock if that needs no waiting; false also when this thread holds only the read lock.
  bool TryLockWrite();
  void UnlockWrite();

  std::size_t WaitingWriterCountForTesting() const;

 private:
  bool WaitForRead(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point const* deadline);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t readers_ = 0;         // threads holding the read lock; guarded by mutex_
  std::size_t waitingWriters_ = 0;  // guarded by mutex_
  bool writing_ = false;            // guarded by mutex_
};

// Holds `mutex`'s read lock for a scope.
class ReadLock {
 public:
  explicit ReadLock(ReadMutex& mutex) : mutex_(mutex) { mutex_.Lock(nullptr); }
  ~ReadLock() { mutex_.Unlock(); }
  ReadLock(ReadLock const&) = delete;
  ReadLock& operator=(ReadLock const&) = delete;

 private:
  ReadMutex& mutex_;
};

// Holds `mutex`'s write lock for a scope.
class WriteLock {
 public:
  explicit WriteLock(ReadMutex& mutex) : mutex_(mutex) { mutex_.LockWrite(); }
  ~WriteLock() { mutex_.UnlockWrite(); }
  WriteLock(WriteLock const&) = delete;
  WriteLock& operator=(WriteLock const&) = delete;

 private:
  ReadMutex& mutex_;
};

}  // namespace BE
