#include "Host/AnalyzerRegistry.h"

#include "Host/AnalyzerRegistryImpl.h"
#include "zelcore/Singletons.h"

namespace Quillan {

AnalyzerRegistry::~AnalyzerRegistry() = default;

std::shared_ptr<AnalyzerRegistry> AnalyzerRegistry::GetDefaultRegistry() {
  static std::shared_ptr<AnalyzerRegistry> const registry = [] {
    auto created = std::make_shared<AnalyzerRegistryImpl>();
    std::weak_ptr<AnalyzerRegistryImpl> weak = created;
    zelcore::config::AddTerminationForSingleton("Quillan.AnalyzerRegistry.DefaultRegistry", [weak] {
      if (auto registry = weak.lock()) registry->Clear();
    });
    return std::shared_ptr<AnalyzerRegistry>(std::move(created));
  }();
  return registry;
}

int RegisterAnalyzer(Guid const& id, AnalyzerType type, AnalyzerFactory factory) {
  return AnalyzerRegistry::GetDefaultRegistry()->RegisterAnalyzer(id, type, std::move(factory));
}

bool UpdateAnalyzerType(Guid const& id, AnalyzerType from, AnalyzerType to) {
  return AnalyzerRegistry::GetDefaultRegistry()->UpdateAnalyzerType(id, from, to);
}

}  // namespace Quillan
