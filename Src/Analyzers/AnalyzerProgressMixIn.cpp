#include "Analyzers/AnalyzerProgressMixIn.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <typeinfo>
#include <utility>

#include "BE/Clip.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "zelcore/ZelException.h"

namespace Quillan::Analyzers {
namespace {

using zelcore::InterfaceRef;
using zelcore::InterfaceWeakRef;
using zelcore::classref::UnknownBase;

std::string DemangledName(std::type_info const& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                   std::free);
  return status == 0 && demangled ? std::string(demangled.get()) : std::string(type.name());
}

}  // namespace

// The cancel handler: fails the job the mix-in was last given and asks the host to terminate the clip's job of the
// analyzer. It keeps the analyzer and the host only weakly, so a late cancel of an outliving item does nothing.
// Made while the analyzer is being built, before any shared pointer owns it, it learns its analyzer when the item
// is made (GetProgressItem), which is before anyone can cancel.
class AnalyzerProgressMixIn::CancelJob {
 public:
  CancelJob(std::weak_ptr<zelcore::classref::SharedAsVirtualBase> mixIn, InterfaceWeakRef<IAnalyzerHost> host,
            InterfaceRef<BE::IClip> clip, zelcore::utility::Guid const& analyzerGuid, std::any parameters)
      : mixIn_(std::move(mixIn)),
        host_(std::move(host)),
        clip_(std::move(clip)),
        analyzerGuid_(analyzerGuid),
        parameters_(std::move(parameters)) {}

  // Whether it was ever given an owner (an expired one counts: the analyzer is gone, and cancelling does nothing).
  bool IsBound() const {
    std::weak_ptr<zelcore::classref::SharedAsVirtualBase> const none;
    return mixIn_.owner_before(none) || none.owner_before(mixIn_);
  }
  void Bind(std::weak_ptr<zelcore::classref::SharedAsVirtualBase> mixIn) { mixIn_ = std::move(mixIn); }

  bool operator()() const {
    auto const object = std::dynamic_pointer_cast<UnknownBase>(mixIn_.lock());
    auto const mixIn = InterfaceRef<AnalyzerProgressMixIn>::Query(InterfaceRef<UnknownBase>(object));
    if (!mixIn) return false;
    auto const host = host_.Lock();
    if (!host) return false;
    zelcore::async::Future<std::any> const job = mixIn->LockAnalysisJob();
    // A job that has already ended keeps its outcome.
    if (job) job.Fail(std::make_exception_ptr(zelcore::config::zel_exception("", kResultJobCancelled)));
    host->TerminateAnalysisJobForClipWithAnalyzer(clip_, analyzerGuid_, parameters_);
    return true;
  }

 private:
  std::weak_ptr<zelcore::classref::SharedAsVirtualBase> mixIn_;  // set before the handler is handed out
  InterfaceWeakRef<IAnalyzerHost> const host_;
  InterfaceRef<BE::IClip> const clip_;
  zelcore::utility::Guid const analyzerGuid_;
  std::any const parameters_;
};

AnalyzerProgressMixIn::AnalyzerProgressMixIn() = default;

AnalyzerProgressMixIn::~AnalyzerProgressMixIn() {
  // No other thread can reach the mix-in any more; the fields then go in reverse order: job, progressItem,
  // itemName, category, cancelHandler.
  if (progressItem && removalHandling == kRemoveItemOnDestruction && category) {
    category->RemoveProgressItem(progressItem);
  }
}

void AnalyzerProgressMixIn::InitializeProgressMixIn(InterfaceWeakRef<IAnalyzerHost> const& host,
                                                    InterfaceRef<BE::IClip> const& clip, std::any const& parameters,
                                                    zelcore::utility::Guid const& analyzerGuid,
                                                    std::shared_ptr<ProgressCategory> const& category,
                                                    UTF8String const& itemName, ProgressCancelHandling cancelHandling,
                                                    ProgressRemovalHandling removalHandling) {
  if (cancelHandling == kTerminateJobOnCancel) {
    // Called from the analyzer's constructor there is no owning shared pointer yet; GetProgressItem binds it then.
    cancelHandler = CancelJob(GetWeakReference(), host, clip, analyzerGuid, parameters);
  }
  this->removalHandling =
      removalHandling == kRemoveItemOnDestruction ? kRemoveItemOnDestruction : kKeepItemOnDestruction;
  this->category = category;
  this->itemName = itemName;
}

std::shared_ptr<AnalyzerProgressMixIn::ProgressItem> AnalyzerProgressMixIn::GetProgressItem() const {
  std::lock_guard lock(mutex);
  if (!progressItem) {
    if (!category) zelcore::config::DoThrowNullPtrException("zelappsupport::utility::ProgressCategory");
    auto item = category->CreateProgressItem(itemName);
    if (auto* const cancelJob = cancelHandler.target<CancelJob>(); cancelJob && !cancelJob->IsBound()) {
      cancelJob->Bind(const_cast<AnalyzerProgressMixIn*>(this)->GetWeakReference());
    }
    if (cancelHandler) {
      item->SetProgressItemCancelationNotificationFxn(
          [handler = cancelHandler](std::shared_ptr<ProgressItem> const&) { return handler(); });
    }
    progressItem = std::move(item);
  }
  return progressItem;
}

AnalyzerProgressMixIn::operator InterfaceRef<UnknownBase>() {
  return InterfaceRef<UnknownBase>(GetSharedFromThis<UnknownBase>());
}

void AnalyzerProgressMixIn::SetAnalysisJob(zelcore::async::Future<std::any> const& job) {
  zelcore::async::WeakFuture<std::any> handle(job);
  std::lock_guard lock(mutex);
  this->job = std::move(handle);
}

zelcore::async::Future<std::any> AnalyzerProgressMixIn::LockAnalysisJob() const {
  zelcore::async::WeakFuture<std::any> handle;
  {
    std::lock_guard lock(mutex);
    handle = job;
  }
  // Locked outside the mutex: a future that ends up as the last handle may run anything when it goes.
  return handle.Lock();
}

void* AnalyzerProgressMixIn::QueryMap(std::string_view name) {
  return zelcore::classref::QueryMapOf<AnalyzerProgressMixIn, IAnalyzerProgress, IAnalyzerProgressPrivate>(this, name);
}

std::string AnalyzerProgressMixIn::GetUnknownTypeName() const {
  static std::string const name = DemangledName(typeid(AnalyzerProgressMixIn));
  return name;
}

}  // namespace Quillan::Analyzers
