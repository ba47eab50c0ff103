#include "Host/AnalyzerRegistryImpl.h"

#include <algorithm>

#include "DataStoreAdaptors/ResultCodes.h"

namespace Quillan {
namespace {
constexpr std::size_t kInitialBuckets = 8;
}

AnalyzerRegistryImpl::AnalyzerRegistryImpl() : factories_(kInitialBuckets), guidsByType_(kInitialBuckets) {
  factories_.max_load_factor(1.0f);
  guidsByType_.max_load_factor(1.0f);
}

int AnalyzerRegistryImpl::RegisterAnalyzer(Guid const& id, AnalyzerType type, AnalyzerFactory factory) {
  if (id.IsNull() || !factory) return static_cast<int>(kResultRegistrationRefused);
  std::lock_guard lock(mutex_);
  if (factories_.try_emplace(id, std::move(factory)).second) guidsByType_[type].insert(id);
  return static_cast<int>(kResultRegistrationAccepted);
}

bool AnalyzerRegistryImpl::UpdateAnalyzerType(Guid const& id, AnalyzerType from, AnalyzerType to) {
  std::lock_guard lock(mutex_);
  if (guidsByType_[from].erase(id) == 0) return false;
  guidsByType_[to].insert(id);
  return true;
}

std::vector<AnalyzerFactory> AnalyzerRegistryImpl::GetAnalyzerFactories(AnalyzerType type) {
  std::lock_guard lock(mutex_);
  std::vector<AnalyzerFactory> result;
  result.reserve(factories_.size());
  auto const guids = guidsByType_.find(type);
  if (guids == guidsByType_.end()) return result;
  for (Guid const& id : guids->second) {
    auto const factory = factories_.find(id);
    if (factory == factories_.end()) throw zelcore::config::zel_exception("", kResultAnalyzerNotRegistered);
    result.push_back(factory->second);
  }
  return result;
}

AnalyzerFactory AnalyzerRegistryImpl::GetAnalyzerFactory(Guid const& id) {
  std::lock_guard lock(mutex_);
  auto const factory = factories_.find(id);
  if (factory == factories_.end()) throw zelcore::config::zel_exception("", kResultAnalyzerNotRegistered);
  return factory->second;
}

std::vector<RegisteredAnalyzer> AnalyzerRegistryImpl::GetRegisteredAnalyzers() {
  std::vector<RegisteredAnalyzer> result;
  {
    std::lock_guard lock(mutex_);
    result.reserve(factories_.size());
    for (auto const& [type, guids] : guidsByType_) {
      for (Guid const& id : guids) result.push_back({id, type});
    }
  }
  std::sort(result.begin(), result.end(),
            [](RegisteredAnalyzer const& a, RegisteredAnalyzer const& b) { return a.id < b.id; });
  return result;
}

void AnalyzerRegistryImpl::Clear() {
  // Destroy the factories outside the lock: a factory's captures may call back into the registry as they go.
  std::unordered_map<Guid, AnalyzerFactory> factories;
  {
    std::lock_guard lock(mutex_);
    factories.swap(factories_);
    guidsByType_.clear();
  }
}

}  // namespace Quillan
