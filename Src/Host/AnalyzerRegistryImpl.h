#pragma once

#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "Host/AnalyzerRegistry.h"

namespace Quillan {

// The registry's one implementation. A recursive mutex guards both tables; factories are copied out under it
// and called by the caller after it is released, so a factory may call back into the registry.
// Invariant: every GUID of the type table has a factory, and is filed under exactly one type.
class QUILLAN_EXPORT AnalyzerRegistryImpl : public AnalyzerRegistry {
 public:
  AnalyzerRegistryImpl();

  // AnalyzerRegistry:
  int RegisterAnalyzer(Guid const& id, AnalyzerType type, AnalyzerFactory factory) override;
  bool UpdateAnalyzerType(Guid const& id, AnalyzerType from, AnalyzerType to) override;
  std::vector<AnalyzerFactory> GetAnalyzerFactories(AnalyzerType type) override;
  AnalyzerFactory GetAnalyzerFactory(Guid const& id) override;

  // Every GUID of the type table with its type, in GUID order.
  std::vector<RegisteredAnalyzer> GetRegisteredAnalyzers();

  // Empties both tables, releasing every factory. The registry stays usable.
  void Clear();

 private:
  std::recursive_mutex mutex_;
  std::unordered_map<Guid, AnalyzerFactory> factories_;                     // guarded by mutex_
  std::unordered_map<AnalyzerType, std::unordered_set<Guid>> guidsByType_;  // guarded by mutex_
};

}  // namespace Quillan
