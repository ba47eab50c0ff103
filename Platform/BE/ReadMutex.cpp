#include "BE/ReadMutex.h"

#include <algorithm>
#include <cassert>
#include <vector>

#include "BE/Result.h"
#include "zelcore/ZelException.h"

namespace BE {
namespace {

// What the current thread holds of one mutex. Kept per thread so that re-entry needs no shared state and never
// waits.
struct Hold {
  ReadMutex const* mutex;
  int reads = 0;
  int writes = 0;
  bool counted = false;  // the thread is one of the mutex's readers_
};

thread_local std::vector<Hold> tHolds;

Hold& HoldOf(ReadMutex const* mutex) {
  auto found = std::find_if(tHolds.begin(), tHolds.end(), [&](Hold const& hold) { return hold.mutex == mutex; });
  if (found != tHolds.end()) return *found;
  return tHolds.emplace_back(Hold{mutex});
}

void ForgetIfFree(ReadMutex const* mutex) {
  std::erase_if(tHolds, [&](Hold const& hold) { return hold.mutex == mutex && hold.reads == 0 && hold.writes == 0; });
}

}  // namespace

ReadMutex::ReadMutex() = default;

ReadMutex::~ReadMutex() = default;

bool ReadMutex::WaitForRead(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point const* deadline) {
  auto const mayRead = [this] { return !writing_ && waitingWriters_ == 0; };
  if (deadline == nullptr) {
    changed_.wait(lock, mayRead);
    return true;
  }
  return changed_.wait_until(lock, *deadline, mayRead);
}

bool ReadMutex::Lock(std::chrono::steady_clock::time_point const* deadline) {
  Hold& hold = HoldOf(this);
  if (hold.reads > 0 || hold.writes > 0) {
    ++hold.reads;
    return true;
  }
  {
    std::unique_lock lock(mutex_);
    if (!WaitForRead(lock, deadline)) {
      ForgetIfFree(this);
      return false;
    }
    ++readers_;
  }
  hold.counted = true;
  ++hold.reads;
  return true;
}

bool ReadMutex::TryLock() {
  Hold& hold = HoldOf(this);
  if (hold.reads > 0 || hold.writes > 0) {
    ++hold.reads;
    return true;
  }
  {
    std::lock_guard lock(mutex_);
    if (writing_ || waitingWriters_ > 0) {
      ForgetIfFree(this);
      return false;
    }
    ++readers_;
  }
  hold.counted = true;
  ++hold.reads;
  return true;
}

void ReadMutex::Unlock() {
  Hold& hold = HoldOf(this);
  assert(hold.reads > 0 && "ReadMutex::Unlock without Lock on this thread");
  if (hold.reads == 0) return;
  if (--hold.reads > 0) return;
  if (hold.counted) {
    hold.counted = false;
    std::lock_guard lock(mutex_);
    if (--readers_ == 0) changed_.notify_all();
  }
  ForgetIfFree(this);
}

void ReadMutex::LockWrite() {
  Hold& hold = HoldOf(this);
  if (hold.writes > 0) {
    ++hold.writes;
    return;
  }
  if (hold.reads > 0) {
    throw zelcore::config::zel_exception("The project's write lock was asked for while this thread holds its read lock",
                                         kResultLockOrder);
  }
  {
    std::unique_lock lock(mutex_);
    ++waitingWriters_;
    changed_.wait(lock, [this] { return !writing_ && readers_ == 0; });
    --waitingWriters_;
    writing_ = true;
  }
  ++hold.writes;
}

bool ReadMutex::TryLockWrite() {
  Hold& hold = HoldOf(this);
  if (hold.writes > 0) {
    ++hold.writes;
    return true;
  }
  bool acquired = false;
  if (hold.reads == 0) {
    std::lock_guard lock(mutex_);
    acquired = !writing_ && readers_ == 0;
    writing_ = writing_ || acquired;
  }
  if (acquired) {
    ++hold.writes;
  } else {
    ForgetIfFree(this);
  }
  return acquired;
}

void ReadMutex::UnlockWrite() {
  Hold& hold = HoldOf(this);
  assert(hold.writes > 0 && "ReadMutex::UnlockWrite without LockWrite on this thread");
  if (hold.writes == 0) return;
  if (--hold.writes > 0) return;
  {
    std::lock_guard lock(mutex_);
    writing_ = false;
    // A read lock taken inside the write lock outlives it: the thread becomes an ordinary reader.
    if (hold.reads > 0) {
      ++readers_;
      hold.counted = true;
    }
    changed_.notify_all();
  }
  ForgetIfFree(this);
}

std::size_t ReadMutex::WaitingWriterCountForTesting() const {
  std::lock_guard lock(mutex_);
  return waitingWriters_;
}

}  // namespace BE
