#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "Analyzers/IAnalyzer.h"
#include "Foundation/Export.h"
#include "Foundation/Future.h"
#include "Host/IAnalyzerHost.h"
#include "zelappsupport/ProgressCategory.h"
#include "zelappsupport/ProgressItem.h"
#include "zelcore/ClassRef.h"
#include "zelcore/Guid.h"

namespace BE {
struct IClip;
}

namespace Quillan::Analyzers {

// Gives an analyzer a progress item in the application's progress display, and lets the user cancel the analyzer's
// job through it: cancelling fails the job's future with kResultJobCancelled and asks the host to terminate the job
// (public header).
//
// An analyzer derives from AnalyzerBase and this class and calls InitializeProgressMixIn once while it is built (from
// its constructor, or from its factory before it is handed out), with the clip and parameters its factory received
// and its own GUID: the host finds the job to terminate by these three. Its own
// QueryMap must forward the names of this class to AnalyzerProgressMixIn::QueryMap, and an analyzer that makes itself
// with ClassStatics picks its own trio with using-declarations, since this class has one too.
//
// The cancel handler holds only weak references to the analyzer and the host: an item that outlives either keeps
// neither alive, and cancelling it then does nothing. GetProgressItem and SetAnalysisJob may be called from any
// thread; the cancel handler runs on a thread of the progress library. The mutex orders them.
class QUILLAN_EXPORT AnalyzerProgressMixIn : public IAnalyzerProgress,
                                             public IAnalyzerProgressPrivate,
                                             public zelcore::classref::ClassStatics<AnalyzerProgressMixIn> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Analyzers::AnalyzerProgressMixIn")

  using ProgressCategory = zelappsupport::utility::ProgressCategory;
  using ProgressItem = zelappsupport::utility::ProgressItem;
  using UTF8String = zelappsupport::utility::UTF8String;

  // Every value other than kTerminateJobOnCancel acts as kIgnoreCancel.
  enum ProgressCancelHandling : std::int32_t {
    kTerminateJobOnCancel = 0,
    // The item gets no cancel handler.
    kIgnoreCancel = 1,
  };
  // Every value other than kRemoveItemOnDestruction acts as kKeepItemOnDestruction.
  enum ProgressRemovalHandling : std::int32_t {
    kRemoveItemOnDestruction = 0,
    kKeepItemOnDestruction = 1,
  };

  AnalyzerProgressMixIn();
  // Removes the item from its category when one was created and the removal handling asks for it.
  ~AnalyzerProgressMixIn() override;

  // Sets the cancel handler (unless cancelling is ignored), the removal handling, the category and the item's name.
  // Takes no lock: call it once, before the analyzer is shared.
  void InitializeProgressMixIn(zelcore::InterfaceWeakRef<IAnalyzerHost> const& host,
                               zelcore::InterfaceRef<BE::IClip> const& clip, std::any const& parameters,
                               zelcore::utility::Guid const& analyzerGuid,
                               std::shared_ptr<ProgressCategory> const& category, UTF8String const& itemName,
                               ProgressCancelHandling cancelHandling, ProgressRemovalHandling removalHandling);

  // IAnalyzerProgress:
  // The item, created in the category on the first call and the same one afterwards. Throws the null-pointer
  // exception naming the category when InitializeProgressMixIn gave none.
  std::shared_ptr<ProgressItem> GetProgressItem() const override;
  virtual operator zelcore::InterfaceRef<zelcore::classref::UnknownBase>();

  // IAnalyzerProgressPrivate:
  // Keeps a weak handle on `job`, replacing the earlier one; the cancel handler fails it.
  void SetAnalysisJob(zelcore::async::Future<std::any> const& job) override;

  // UnknownBase: answers the names of this class and of IAnalyzerProgress with the object itself, and that of
  // IAnalyzerProgressPrivate with its sub-object.
  void* QueryMap(std::string_view name) override;
  std::string GetUnknownTypeName() const override;

 private:
  class CancelJob;

  // The job last given to SetAnalysisJob; empty when its future no longer exists.
  zelcore::async::Future<std::any> LockAnalysisJob() const;

  // Bound to the owning shared pointer by the first GetProgressItem when InitializeProgressMixIn ran before there was
  // one (from the analyzer's constructor); guarded by mutex from then on.
  mutable std::function<bool()> cancelHandler;
  std::shared_ptr<ProgressCategory> category;
  UTF8String itemName;
  ProgressRemovalHandling removalHandling = kRemoveItemOnDestruction;
  mutable std::mutex mutex;
  mutable std::shared_ptr<ProgressItem> progressItem;  // guarded by mutex; empty until the first GetProgressItem
  zelcore::async::WeakFuture<std::any> job;            // guarded by mutex
};

}  // namespace Quillan::Analyzers
