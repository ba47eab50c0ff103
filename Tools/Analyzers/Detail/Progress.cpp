#include "Analyzers/Detail/Progress.h"

#include "DataStoreAdaptors/ResultCodes.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples::detail {

void Progress::Update(double fraction) const {
  if (!item_) return;
  if (item_->IsCancelRequested()) throw zelcore::config::zel_exception("Analysis cancelled", kResultJobCancelled);
  item_->SetProgress(fraction);
}

}  // namespace Quillan::Examples::detail
