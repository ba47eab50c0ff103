#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "zelappsupport/Export.h"
#include "zelappsupport/ProgressItem.h"
#include "zelcore/SerialNotifier.h"

namespace zelappsupport::utility {

// What a category's listener hears about one of its items.
enum class ProgressEvent : std::int32_t {
  kItemCreated = 0,
  kItemChanged = 1,  // progress, status text, cancel request or cancelation result; read the item for the values
  kItemRemoved = 2,
};

// A group of progress items shown together (for example all analysis jobs), and the place where a display listens
// to them: it hears every item as it is created, changes and is removed.
//
// Thread-safe. Listeners hear the events of a category one at a time, in the order in which they happened, without
// any lock of the library held. They run on the thread that caused an event, or on one that was delivering earlier
// events of the category at that moment (which then delivers the new ones too). A listener may create, change and
// remove items and add or remove listeners, itself included. Bursts of changes of one item may reach listeners as
// one kItemChanged. An exception thrown by a listener is logged and the others still hear the event.
class ZELAPPSUPPORT_EXPORT ProgressCategory : public std::enable_shared_from_this<ProgressCategory> {
 public:
  using Listener = std::function<void(ProgressEvent, std::shared_ptr<ProgressItem> const&)>;
  using ListenerId = std::uint64_t;

  static std::shared_ptr<ProgressCategory> Create(UTF8String name);

  ProgressCategory(ProgressCategory const&) = delete;
  ProgressCategory& operator=(ProgressCategory const&) = delete;
  ~ProgressCategory();

  UTF8String const& GetName() const { return name_; }

  // A new item listed in this category; listeners hear kItemCreated.
  std::shared_ptr<ProgressItem> CreateProgressItem(UTF8String const& name);
  // Takes the item out of the category; listeners hear kItemRemoved and nothing more of it. The item itself lives
  // on with its holders. Returns false, and does nothing, for a null item or one this category does not list.
  bool RemoveProgressItem(std::shared_ptr<ProgressItem> const& item);
  // The listed items, oldest first.
  std::vector<std::shared_ptr<ProgressItem>> GetProgressItems() const;

  // Adds a listener, which hears the events that happen after this returns; GetProgressItems gives what is already
  // there. Throws std::invalid_argument for an empty listener.
  ListenerId AddListener(Listener listener);
  // Removes a listener; false for an unknown id. Once this returns the listener is never called again: it waits for
  // a call running on another thread, but not for one on the calling thread (a listener that removes itself).
  bool RemoveListener(ListenerId id);

 private:
  friend class ProgressItem;

  explicit ProgressCategory(UTF8String name);

  void ItemChanged(std::shared_ptr<ProgressItem> item);
  bool IsListed(ProgressItem const& item) const;

  UTF8String const name_;

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<ProgressItem>> items_;                                // guarded by mutex_
  zelcore::SerialNotifier<ProgressEvent, std::shared_ptr<ProgressItem>> notifier_;  // guarded by mutex_
};

}  // namespace zelappsupport::utility
