#pragma once

#include <memory>

#include "zelappsupport/ProgressItem.h"

#include "Analyzers/ExampleAnalyzers.h"

namespace Quillan::Examples::detail {

// Reports a computation's progress to the job's progress item and tells it when the user has cancelled.
// Without an item (the caller asked for no progress) it reports nothing and is never cancelled.
class QUILLAN_EXAMPLES_EXPORT Progress {
 public:
  explicit Progress(std::shared_ptr<zelappsupport::utility::ProgressItem> item) : item_(std::move(item)) {}

  // Sets the item's progress to `fraction` (0 to 1). Throws zel_exception kResultJobCancelled once the user has
  // cancelled the item, so that the computation stops where it is.
  void Update(double fraction) const;

 private:
  std::shared_ptr<zelappsupport::utility::ProgressItem> item_;
};

}  // namespace Quillan::Examples::detail
