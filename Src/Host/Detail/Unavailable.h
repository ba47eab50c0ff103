#pragma once

#include <exception>

#include "DataStoreAdaptors/ResultCodes.h"
#include "zelcore/ZelException.h"

namespace Quillan::detail {

// The failure of a refused clip, an analyzer that could not be built, and a host that is gone.
inline std::exception_ptr Unavailable() {
  return std::make_exception_ptr(zelcore::config::zel_exception("", kResultUnavailable));
}

}  // namespace Quillan::detail
