#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "zelappsupport/Export.h"

namespace zelappsupport::utility {

// UTF-8 text as the application's progress display takes it.
using UTF8String = std::basic_string<unsigned char>;

inline UTF8String ToUTF8String(std::string_view text) { return UTF8String(text.begin(), text.end()); }
inline std::string ToStdString(UTF8String const& text) { return std::string(text.begin(), text.end()); }

class ProgressCategory;

// One piece of work shown in the application's progress display: a name, a progress fraction and a status text set
// by whoever does the work, and a cancel request that the user makes and the worker hears through its cancelation
// notification function. Made by ProgressCategory::CreateProgressItem; while the item is listed in its category,
// every change is reported to the category's listeners.
//
// Thread-safe. The cancelation notification function runs on the default executor, never on the thread that asks to
// cancel, so a display may ask from its own callbacks.
class ZELAPPSUPPORT_EXPORT ProgressItem : public std::enable_shared_from_this<ProgressItem> {
 public:
  // Called once when the user asks to cancel the item. Returns whether the work will stop.
  using CancelationNotificationFxn = std::function<bool(std::shared_ptr<ProgressItem> const&)>;

  ProgressItem(ProgressItem const&) = delete;
  ProgressItem& operator=(ProgressItem const&) = delete;
  ~ProgressItem();

  UTF8String const& GetName() const { return name_; }
  // The category that lists the item; null once the item has been removed or the category is gone.
  std::shared_ptr<ProgressCategory> GetCategory() const;

  // Sets the fraction done, clamped to [0, 1]. Throws std::invalid_argument for NaN and keeps the old value.
  void SetProgress(double fraction);
  // 0 for a new item.
  double GetProgress() const;
  void SetStatusText(UTF8String text);
  UTF8String GetStatusText() const;

  // Sets (or, with an empty function, clears) the function that hears the cancel request. A request already made
  // does not reach a function set later.
  void SetProgressItemCancelationNotificationFxn(CancelationNotificationFxn fxn);
  // Whether a cancelation notification function is set, so that asking to cancel can stop the work.
  bool IsCancelable() const;

  // Asks to cancel the work. Only the first request counts (returns true); it is recorded at once and its
  // notification function is called on the default executor, whose result is then recorded. Without a function
  // the result is false at once. Listeners hear of the request and of the result.
  bool RequestCancel();
  bool IsCancelRequested() const;
  // What the notification function answered; empty until a request has been answered.
  std::optional<bool> GetCancelationResult() const;

 private:
  friend class ProgressCategory;

  ProgressItem(UTF8String name, std::weak_ptr<ProgressCategory> category);

  void RecordCancelationResult(bool result);
  // Tells the category's listeners that the item has changed, if it is still listed.
  void ReportChange();

  UTF8String const name_;
  std::weak_ptr<ProgressCategory> const category_;

  mutable std::mutex mutex_;
  double progress_ = 0;                    // guarded by mutex_
  UTF8String statusText_;                  // guarded by mutex_
  CancelationNotificationFxn cancelFxn_;   // guarded by mutex_
  bool cancelRequested_ = false;           // guarded by mutex_
  std::optional<bool> cancelationResult_;  // guarded by mutex_
  bool listed_ = false;                    // guarded by the category's mutex, not mutex_
};

}  // namespace zelappsupport::utility
