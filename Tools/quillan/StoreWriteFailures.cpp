#include "quillan/StoreWriteFailures.h"

#include <filesystem>
#include <iostream>
#include <utility>

#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"
#include "quillan/TextTable.h"
#include "zelcore/TextConversions.h"

namespace Quillan::Cli {

StoreWriteFailures::StoreWriteFailures(AnalyzerHost& host)
    : managed_(zelcore::InterfaceRef<ManagedDataStoreAdaptor>::Query(host.GetManagedDataStore())) {
  SidecarDataStoreAdaptor::SetWriteFailureObserver(
      [this](std::filesystem::path const& path, std::string const& message) {
        sidecar_.Add(Printable(zelcore::text::Std8ToUTF8String(path.native())) + ": " + message);
      });
  if (managed_)
    managed_->SetRefusalObserver([this](std::string const& reason) { managedRefusals_.Add(Printable(reason)); });
}

StoreWriteFailures::~StoreWriteFailures() {
  SidecarDataStoreAdaptor::SetWriteFailureObserver(nullptr);
  if (managed_) managed_->SetRefusalObserver(nullptr);
}

void StoreWriteFailures::Report() const {
  sidecar_.Report("could not be saved to a sidecar file");
  managedRefusals_.Report("could not be stored in the managed cache");
}

void StoreWriteFailures::Tally::Add(std::string text) {
  std::lock_guard lock(mutex_);
  if (count_++ == 0) first_ = std::move(text);
}

void StoreWriteFailures::Tally::Report(char const* what) const {
  std::lock_guard lock(mutex_);
  if (count_ == 0) return;
  std::cerr << "quillan: " << count_ << (count_ == 1 ? " result " : " results ") << what
            << " and will be computed again next time (first: " << first_ << ")\n";
}

}  // namespace Quillan::Cli
