#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"
#include "Host/AnalyzerHost.h"

namespace Quillan::Cli {

// Results that no store kept during its lifetime, told to the user once at the end rather than once per save: sidecar
// files that could not be written, and results the managed cache refused (it says why; the compound store in front of
// it only says that no store took them). Observes the stores from its construction to its destruction; one at a time.
// The stores report from any thread.
class StoreWriteFailures {
 public:
  explicit StoreWriteFailures(AnalyzerHost& host);
  ~StoreWriteFailures();
  StoreWriteFailures(StoreWriteFailures const&) = delete;
  StoreWriteFailures& operator=(StoreWriteFailures const&) = delete;

  // One line on stderr for each kind of failure that happened: how many, and the first.
  void Report() const;

 private:
  class Tally {
   public:
    void Add(std::string text);
    void Report(char const* what) const;

   private:
    mutable std::mutex mutex_;
    std::size_t count_ = 0;  // guarded by mutex_
    std::string first_;      // guarded by mutex_
  };

  zelcore::InterfaceRef<ManagedDataStoreAdaptor> const managed_;
  Tally sidecar_;
  Tally managedRefusals_;
};

}  // namespace Quillan::Cli
