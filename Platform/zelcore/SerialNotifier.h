#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "zelcore/Logging.h"

namespace zelcore {

// A list of callbacks that hear events one at a time, in the order in which the events were queued, without the
// owner's lock held while they run.
//
// The owner keeps its own state and this notifier under one std::mutex and passes the lock it holds to every call;
// so an event is queued in the same critical section as the change it reports. Deliver releases the lock around
// each call. Only one thread delivers at a time: a thread that finds another one delivering leaves its events to
// it, so every callback hears every event in queue order, and a callback that causes further events (or adds or
// removes callbacks) does not deadlock.
//
// A callback hears only the events queued after it was added. Once Remove has returned, the callback is never
// called again: Remove waits for a call running on another thread, but not for one on its own thread (a callback
// that removes itself). An exception thrown by a callback is logged under `logName` and delivery goes on.
template <class... Args>
class SerialNotifier {
 public:
  using Callback = std::function<void(Args const&...)>;
  using Id = std::uint64_t;

  explicit SerialNotifier(char const* logName) : logName_(logName) {}

  // Requires the owner's lock.
  Id Add(Callback callback) {
    auto entry = std::make_shared<Entry>();
    entry->callback = std::move(callback);
    entry->since = lastEvent_;
    Id const id = ++lastId_;
    entries_.emplace(id, std::move(entry));
    return id;
  }

  // Takes the callback out of the list. Returns it, so that the owner destroys it after unlocking, or an empty
  // optional when `id` is unknown. The callback comes back empty when it is running on this thread (it is then
  // destroyed once that call is over). May release and retake `lock` while it waits.
  std::optional<Callback> Remove(std::unique_lock<std::mutex>& lock, Id id) {
    auto const found = entries_.find(id);
    if (found == entries_.end()) return std::nullopt;
    std::shared_ptr<Entry> entry = std::move(found->second);
    entries_.erase(found);
    entry->removed = true;
    if (running_ == entry && deliverer_ == std::this_thread::get_id()) return Callback();
    callEnded_.wait(lock, [&] { return running_ != entry; });
    return std::move(entry->callback);
  }

  // Requires the owner's lock.
  void Enqueue(Args... args) { queue_.push_back({++lastEvent_, std::tuple<Args...>(std::move(args)...)}); }

  // Whether the newest queued event, not yet delivered, satisfies `predicate` (given the event's arguments).
  // Requires the owner's lock.
  template <class Predicate>
  bool LastQueuedIs(Predicate&& predicate) const {
    return !queue_.empty() && std::apply(predicate, queue_.back().args);
  }

  // Delivers the queued events unless another thread is delivering them already. Requires the owner's lock, which
  // is released around every callback call and held again on return.
  void Deliver(std::unique_lock<std::mutex>& lock) {
    if (delivering_) return;
    delivering_ = true;
    deliverer_ = std::this_thread::get_id();
    while (!queue_.empty()) {
      Event event = std::move(queue_.front());
      queue_.pop_front();
      std::vector<std::shared_ptr<Entry>> listeners;
      listeners.reserve(entries_.size());
      for (auto const& [id, entry] : entries_) {
        if (entry->since < event.serial) listeners.push_back(entry);
      }
      for (auto const& entry : listeners) {
        if (entry->removed) continue;  // removed by an earlier callback of this round
        running_ = entry;
        lock.unlock();
        try {
          std::apply(entry->callback, event.args);
        } catch (...) {
          zelcore::logging::LogException(std::current_exception(), logName_);
        }
        lock.lock();
        running_.reset();
        callEnded_.notify_all();
      }
      // The snapshot may hold the last reference to a callback that removed itself; destroy it unlocked.
      lock.unlock();
      listeners.clear();
      lock.lock();
    }
    delivering_ = false;
    deliverer_ = std::thread::id();
  }

  bool Empty() const { return entries_.empty(); }

 private:
  struct Entry {
    Callback callback;
    std::uint64_t since = 0;  // the serial of the last event queued before it was added
    bool removed = false;
  };
  struct Event {
    std::uint64_t serial;
    std::tuple<Args...> args;
  };

  char const* const logName_;
  // All guarded by the owner's mutex.
  std::map<Id, std::shared_ptr<Entry>> entries_;  // in the order they were added
  std::deque<Event> queue_;
  Id lastId_ = 0;
  std::uint64_t lastEvent_ = 0;
  bool delivering_ = false;
  std::thread::id deliverer_;
  std::shared_ptr<Entry> running_;  // the entry being called by the deliverer, if any
  std::condition_variable callEnded_;
};

}  // namespace zelcore
