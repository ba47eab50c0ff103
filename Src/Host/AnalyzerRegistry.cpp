#include "Host/AnalyzerRegistry.h"

#include "Host/AnalyzerRegistryImpl.h"
#include "zelcore/Singletons.h"

namespace Quillan {

namespace {

std::shared_ptr<AnalyzerRegistryImpl> const& DefaultRegistryImpl() {
  static std::shared_ptr<AnalyzerRegistryImpl> const registry = [] {
    auto created = std::make_shared<AnalyzerRegistryImpl>();
    std::weak_ptr<AnalyzerRegistryImpl> weak = created;
    zelcore::config::AddTerminationForSingleton("Quillan.AnalyzerRegistry.DefaultRegistry", [weak] {
      if (auto registry = weak.lock()) registry->Clear();
    });
    return created;
  }();
  return registry;
}

}  // namespace

AnalyzerRegistry::~AnalyzerRegistry() = default;

std::shared_ptr<AnalyzerRegistry> AnalyzerRegistry::GetDefaultRegistry() { return DefaultRegistryImpl(); }

std::vector<RegisteredAnalyzer> GetRegisteredAnalyzers() { return DefaultRegistryImpl()->GetRegisteredAnalyzers(); }

int RegisterAnalyzer(Guid const& id, AnalyzerType type, AnalyzerFactory factory) {
  return AnalyzerRegistry::GetDefaultRegistry()->RegisterAnalyzer(id, type, std::move(factory));
}

bool UpdateAnalyzerType(Guid const& id, AnalyzerType from, AnalyzerType to) {
  return AnalyzerRegistry::GetDefaultRegistry()->UpdateAnalyzerType(id, from, to);
}

}  // namespace Quillan
