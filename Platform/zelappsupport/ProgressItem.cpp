#include "zelappsupport/ProgressItem.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <utility>

#include "zelappsupport/ProgressCategory.h"
#include "zelcore/Executor.h"
#include "zelcore/Logging.h"

namespace zelappsupport::utility {

ProgressItem::ProgressItem(UTF8String name, std::weak_ptr<ProgressCategory> category)
    : name_(std::move(name)), category_(std::move(category)) {}

ProgressItem::~ProgressItem() = default;

std::shared_ptr<ProgressCategory> ProgressItem::GetCategory() const {
  auto category = category_.lock();
  if (category && !category->IsListed(*this)) category.reset();
  return category;
}

void ProgressItem::SetProgress(double fraction) {
  if (std::isnan(fraction)) throw std::invalid_argument("ProgressItem::SetProgress: the fraction is NaN");
  fraction = std::clamp(fraction, 0.0, 1.0);
  {
    std::lock_guard lock(mutex_);
    if (progress_ == fraction) return;
    progress_ = fraction;
  }
  ReportChange();
}

double ProgressItem::GetProgress() const {
  std::lock_guard lock(mutex_);
  return progress_;
}

void ProgressItem::SetStatusText(UTF8String text) {
  {
    std::lock_guard lock(mutex_);
    if (statusText_ == text) return;
    statusText_.swap(text);
  }
  ReportChange();
}

UTF8String ProgressItem::GetStatusText() const {
  std::lock_guard lock(mutex_);
  return statusText_;
}

void ProgressItem::SetProgressItemCancelationNotificationFxn(CancelationNotificationFxn fxn) {
  std::unique_lock lock(mutex_);
  cancelFxn_.swap(fxn);
  lock.unlock();  // the old function is destroyed unlocked: it may hold anything
}

bool ProgressItem::IsCancelable() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(cancelFxn_);
}

bool ProgressItem::RequestCancel() {
  CancelationNotificationFxn fxn;
  {
    std::lock_guard lock(mutex_);
    if (cancelRequested_) return false;
    cancelRequested_ = true;
    fxn = cancelFxn_;
  }
  ReportChange();
  if (!fxn) {
    RecordCancelationResult(false);
    return true;
  }
  auto notify = [self = shared_from_this(), fxn = std::move(fxn)] {
    bool result = false;
    try {
      result = fxn(self);
    } catch (...) {
      zelcore::logging::LogException(std::current_exception(), "zelappsupport::utility::ProgressItem::RequestCancel");
    }
    self->RecordCancelationResult(result);
  };
  if (!zelcore::async::CallAsync(zelcore::async::GetDefaultExecutor(), notify)) notify();
  return true;
}

bool ProgressItem::IsCancelRequested() const {
  std::lock_guard lock(mutex_);
  return cancelRequested_;
}

std::optional<bool> ProgressItem::GetCancelationResult() const {
  std::lock_guard lock(mutex_);
  return cancelationResult_;
}

void ProgressItem::RecordCancelationResult(bool result) {
  {
    std::lock_guard lock(mutex_);
    cancelationResult_ = result;
  }
  ReportChange();
}

void ProgressItem::ReportChange() {
  if (auto category = category_.lock()) category->ItemChanged(shared_from_this());
}

}  // namespace zelappsupport::utility
