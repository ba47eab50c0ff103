#include "zelappsupport/ProgressCategory.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>

namespace zelappsupport::utility {

ProgressCategory::ProgressCategory(UTF8String name)
    : name_(std::move(name)), notifier_("zelappsupport::utility::ProgressCategory listener") {}

ProgressCategory::~ProgressCategory() = default;

std::shared_ptr<ProgressCategory> ProgressCategory::Create(UTF8String name) {
  return std::shared_ptr<ProgressCategory>(new ProgressCategory(std::move(name)));
}

std::shared_ptr<ProgressItem> ProgressCategory::CreateProgressItem(UTF8String const& name) {
  std::shared_ptr<ProgressItem> item(new ProgressItem(name, weak_from_this()));
  std::unique_lock lock(mutex_);
  item->listed_ = true;
  items_.push_back(item);
  notifier_.Enqueue(ProgressEvent::kItemCreated, item);
  notifier_.Deliver(lock);
  return item;
}

bool ProgressCategory::RemoveProgressItem(std::shared_ptr<ProgressItem> const& item) {
  if (!item || item->category_.lock().get() != this) return false;
  std::unique_lock lock(mutex_);
  if (!item->listed_) return false;
  item->listed_ = false;
  items_.erase(std::find(items_.begin(), items_.end(), item));
  notifier_.Enqueue(ProgressEvent::kItemRemoved, item);
  notifier_.Deliver(lock);
  return true;
}

std::vector<std::shared_ptr<ProgressItem>> ProgressCategory::GetProgressItems() const {
  std::lock_guard lock(mutex_);
  return items_;
}

ProgressCategory::ListenerId ProgressCategory::AddListener(Listener listener) {
  if (!listener) throw std::invalid_argument("ProgressCategory::AddListener: empty listener");
  std::lock_guard lock(mutex_);
  return notifier_.Add(std::move(listener));
}

bool ProgressCategory::RemoveListener(ListenerId id) {
  std::optional<decltype(notifier_)::Callback> removed;
  {
    std::unique_lock lock(mutex_);
    removed = notifier_.Remove(lock, id);
  }
  return removed.has_value();  // destroyed unlocked
}

void ProgressCategory::ItemChanged(std::shared_ptr<ProgressItem> item) {
  std::unique_lock lock(mutex_);
  if (!item->listed_) return;  // removed: listeners have heard the last of it
  bool const alreadyQueued =
      notifier_.LastQueuedIs([&](ProgressEvent event, std::shared_ptr<ProgressItem> const& queued) {
        return event == ProgressEvent::kItemChanged && queued == item;
      });
  if (!alreadyQueued) notifier_.Enqueue(ProgressEvent::kItemChanged, std::move(item));
  notifier_.Deliver(lock);
}

bool ProgressCategory::IsListed(ProgressItem const& item) const {
  std::lock_guard lock(mutex_);
  return item.listed_;
}

}  // namespace zelappsupport::utility
