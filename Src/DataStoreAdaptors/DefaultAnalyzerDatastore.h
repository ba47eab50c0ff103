#pragma once

#include "DataStoreAdaptors/IDataStoreAdaptor.h"
#include "Foundation/Export.h"
#include "Host/AnalyzerCacheLocation.h"
#include "Host/IAnalyzerHost.h"
#include "zelcore/ClassRef.h"

namespace Quillan {

// The store an analyzer normally caches into (public header): a CompoundDataStoreAdaptor over a new sidecar store
// and the host's managed store, read and written as `location` says:
//
//   location   managed store   reads              writes
//   0          set             sidecar, managed   sidecar
//   0          empty           sidecar            sidecar
//   1          set             managed, sidecar   managed
//   1          empty           sidecar            nowhere
//   2          either          sidecar[, managed] nowhere
//   other      either          sidecar            nowhere
//
// An empty `host` (an unmanaged analyzer) has no managed store. A save that goes nowhere fails with
// kResultUnavailable, "Write adaptors exhausted". With `allowAnyParameterHash` a sidecar load that misses the exact
// parameter takes a result stored under another one; the managed store never does. May be called from any thread.
QUILLAN_EXPORT zelcore::InterfaceRef<IDataStoreAdaptor> CreateDefaultAnalyzerDatastore(
    AnalyzerCacheLocation const& location, zelcore::InterfaceRef<IAnalyzerHost> const& host,
    bool allowAnyParameterHash);

}  // namespace Quillan
