#include "zelcore/Messaging.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "zelcore/Executor.h"
#include "zelcore/Logging.h"
#include "zelcore/ZelException.h"

namespace zelcore::messaging {
namespace {

// One listener's subscription and its queue of messages. At most one delivery task per subscription is
// queued or running (`scheduled`), which keeps its messages in order and its listener single-threaded.
struct Subscription {
  explicit Subscription(Listener listener) : listener(std::move(listener)) {}

  Listener const listener;
  // Held while the listener runs, so Unsubscribe from another thread waits for the call to end; recursive so
  // a listener may unsubscribe itself. Taken before `mutex`.
  std::recursive_mutex deliveryMutex;
  std::mutex mutex;
  std::deque<MessagePtr> pending;  // guarded by mutex
  bool scheduled = false;          // guarded by mutex
  bool active = true;              // guarded by mutex
};

// Messages delivered by one task before it yields its pool thread to other work.
constexpr int kDeliveriesPerTask = 16;

class Bus {
 public:
  SubscriptionID Subscribe(TargetID const& target, Listener listener) {
    auto subscription = std::make_shared<Subscription>(std::move(listener));
    std::unique_lock lock(mutex_);
    SubscriptionID const id = nextId_++;
    byTarget_[target].emplace_back(id, std::move(subscription));
    targetOf_.emplace(id, target);
    return id;
  }

  std::shared_ptr<Subscription> Remove(SubscriptionID id) {
    std::unique_lock lock(mutex_);
    auto const target = targetOf_.find(id);
    if (target == targetOf_.end()) return nullptr;
    auto const list = byTarget_.find(target->second);
    targetOf_.erase(target);
    std::shared_ptr<Subscription> removed;
    auto& subscriptions = list->second;
    for (auto it = subscriptions.begin(); it != subscriptions.end(); ++it) {
      if (it->first == id) {
        removed = std::move(it->second);
        subscriptions.erase(it);
        break;
      }
    }
    if (subscriptions.empty()) byTarget_.erase(list);
    return removed;
  }

  std::vector<std::shared_ptr<Subscription>> SubscriptionsOf(TargetID const& target) const {
    std::shared_lock lock(mutex_);
    std::vector<std::shared_ptr<Subscription>> result;
    auto const list = byTarget_.find(target);
    if (list == byTarget_.end()) return result;
    result.reserve(list->second.size());
    for (auto const& entry : list->second) result.push_back(entry.second);
    return result;
  }

 private:
  mutable std::shared_mutex mutex_;
  SubscriptionID nextId_ = 1;  // guarded by mutex_
  // Guarded by mutex_. Each target's subscriptions in subscription order.
  std::unordered_map<TargetID, std::vector<std::pair<SubscriptionID, std::shared_ptr<Subscription>>>> byTarget_;
  std::unordered_map<SubscriptionID, TargetID> targetOf_;  // guarded by mutex_
};

// Never destroyed: deliveries may still run on pool threads while statics are torn down at exit.
Bus& GetBus() {
  static Bus* bus = new Bus;
  return *bus;
}

void Deliver(std::shared_ptr<Subscription> const& subscription);

void Schedule(std::shared_ptr<Subscription> subscription) {
  Subscription& s = *subscription;
  if (async::GetDefaultExecutor()->Execute([subscription = std::move(subscription)] { Deliver(subscription); })) {
    return;
  }
  // The pool is shut down: nothing will deliver, so drop what waits rather than keep it forever.
  std::deque<MessagePtr> dropped;
  std::lock_guard lock(s.mutex);
  s.scheduled = false;
  dropped.swap(s.pending);
}

void Deliver(std::shared_ptr<Subscription> const& subscription) {
  Subscription& s = *subscription;
  for (int delivered = 0;; ++delivered) {
    std::lock_guard delivery(s.deliveryMutex);
    MessagePtr message;
    {
      std::lock_guard lock(s.mutex);
      if (!s.active || s.pending.empty()) {
        s.scheduled = false;
        return;
      }
      if (delivered == kDeliveriesPerTask) break;  // still scheduled: the next task takes over
      message = std::move(s.pending.front());
      s.pending.pop_front();
    }
    try {
      s.listener(message);
    } catch (...) {
      logging::LogException(std::current_exception(), "zelcore::messaging listener");
    }
  }
  Schedule(subscription);
}

}  // namespace

SubscriptionID Subscribe(TargetID const& target, Listener listener) {
  if (!listener) config::DoThrowNullPtrException("zelcore::messaging::Listener");
  return GetBus().Subscribe(target, std::move(listener));
}

bool Unsubscribe(SubscriptionID id) {
  std::shared_ptr<Subscription> const subscription = GetBus().Remove(id);
  if (!subscription) return false;
  std::deque<MessagePtr> dropped;  // destroyed after the locks are released
  std::lock_guard delivery(subscription->deliveryMutex);
  std::lock_guard lock(subscription->mutex);
  subscription->active = false;
  dropped.swap(subscription->pending);
  return true;
}

std::size_t AsyncBroadcastMessagePtr(TargetID const& target, MessagePtr message) {
  if (!message) config::DoThrowNullPtrException("zelcore::messaging::Message");
  std::size_t posted = 0;
  for (auto& subscription : GetBus().SubscriptionsOf(target)) {
    bool schedule = false;
    {
      std::lock_guard lock(subscription->mutex);
      if (!subscription->active) continue;
      subscription->pending.push_back(message);
      ++posted;
      schedule = !std::exchange(subscription->scheduled, true);
    }
    if (schedule) Schedule(std::move(subscription));
  }
  return posted;
}

}  // namespace zelcore::messaging
