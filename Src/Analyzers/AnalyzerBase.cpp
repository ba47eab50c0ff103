#include "Analyzers/AnalyzerBase.h"

#include <exception>
#include <utility>

#include "DataStoreAdaptors/ResultCodes.h"
#include "Foundation/CompoundFuture.h"
#include "zelcore/ZelException.h"

namespace Quillan::Analyzers {
namespace {

using zelcore::Blob;
using zelcore::async::Future;
using zelcore::config::zel_exception;

// The analyzer's default asks for what the host also uses: the media the project plays now.
BE::ProxyHandling ToProjectProxyHandling(ProxyHandling handling) {
  switch (static_cast<std::int32_t>(handling)) {
    case 0:
      return BE::ProxyHandling::kCurrent;
    case 1:
      return BE::ProxyHandling::kOriginal;
    case 2:
      return BE::ProxyHandling::kProxy;
    default:
      return BE::ProxyHandling::kOriginal;
  }
}

// The analyzer whose TryGetSerializedParameter runs on this thread, and whether its call reached
// AnalyzerBase::GetSerializedParameter, which then answers "no parameter" instead of throwing.
thread_local AnalyzerBase const* tProbedAnalyzer = nullptr;
thread_local bool tReachedBase = false;

template <class T>
Future<T> NoDataStore(char const* message) {
  return zelcore::async::MakeExceptionalFuture<T>(std::make_exception_ptr(zel_exception(message, kResultUnavailable)));
}

}  // namespace

AnalyzerBase::AnalyzerBase() = default;

// The fields go in reverse order: parameters, media, clip, dataStore, host.
AnalyzerBase::~AnalyzerBase() = default;

std::optional<std::size_t> AnalyzerBase::GetMaxJobCount() const { return std::nullopt; }

ProxyHandling AnalyzerBase::GetProxyHandling() const { return ProxyHandling::kDefault; }

ImmutableString AnalyzerBase::GetSerializedParameter() const {
  if (tProbedAnalyzer == this) {
    tReachedBase = true;
    return ImmutableString();
  }
  throw zel_exception("", kResultNotImplemented);
}

std::optional<ImmutableString> AnalyzerBase::TryGetSerializedParameter() const {
  // Restores the probe of an outer call (an override that asks another analyzer) however this one ends.
  struct Probe {
    AnalyzerBase const* const outer = tProbedAnalyzer;
    bool const outerReached = tReachedBase;
    ~Probe() {
      tProbedAnalyzer = outer;
      tReachedBase = outerReached;
    }
  } const probe;
  tProbedAnalyzer = this;
  tReachedBase = false;
  ImmutableString parameter = GetSerializedParameter();
  if (tReachedBase) return std::nullopt;
  return parameter;
}

void* AnalyzerBase::QueryMap(std::string_view name) {
  return zelcore::classref::QueryMapOf<AnalyzerBase, IAnalyzer, IAnalyzerParameter>(this, name);
}

void AnalyzerBase::Initialize(zelcore::InterfaceWeakRef<IAnalyzerHost>&& host,
                              zelcore::InterfaceRef<IDataStoreAdaptor>&& dataStore,
                              zelcore::InterfaceRef<BE::IClip>&& clip, std::any&& parameters) {
  this->host = std::move(host);
  this->dataStore = std::move(dataStore);
  this->clip = std::move(clip);
  media = BE::GetClipMedia(this->clip, ToProjectProxyHandling(GetProxyHandling()));
  this->parameters = std::move(parameters);
  parameters.reset();  // a moved-from std::any need not be empty
}

Target AnalyzerBase::GetTargetObject() const {
  switch (GetTargetObjectType()) {
    case TargetObjectType::kClip:
      if (!clip || clip.get() == nullptr) throw zel_exception("", kResultTargetMissing);
      return Target(std::in_place_index<0>, clip);
    case TargetObjectType::kMedia:
      if (!media || media.get() == nullptr) throw zel_exception("", kResultTargetMissing);
      return Target(std::in_place_index<1>, media);
  }
  throw zel_exception("", kResultNotImplemented);
}

ImmutableString AnalyzerBase::SerializedParameter() const {
  return parameters.has_value() ? GetSerializedParameter() : ImmutableString();
}

Future<Blob> AnalyzerBase::LoadCachedData(ImmutableString const& key) const {
  if (!dataStore) return NoDataStore<Blob>("Analyzer does not implement a data store for reading cache-data!");
  ImmutableString const parameter = SerializedParameter();
  Guid const analyzerGuid = GetAnalyzerGuid();
  Target const target = GetTargetObject();
  return dataStore->LoadDataWithKey(target, analyzerGuid, parameter, key);
}

Future<void> AnalyzerBase::SaveDataToCache(ImmutableString const& key, Blob const& blob) const {
  if (!dataStore) return NoDataStore<void>("Analyzer does not implement a data store for saving cache-data!");
  ImmutableString const parameter = SerializedParameter();
  Guid const analyzerGuid = GetAnalyzerGuid();
  Target const target = GetTargetObject();
  return dataStore->SaveDataWithKey(target, analyzerGuid, parameter, key, blob);
}

Future<AnalyzerBase::CachedData> AnalyzerBase::LoadAllCachedData() const {
  auto const collector = zelcore::async::CompoundFuture::Create(nullptr);
  std::unordered_map<ImmutableString, Future<Blob>> pending;
  for (ImmutableString const& key : GetCacheKeys()) {
    Future<Blob> load = LoadCachedData(key);
    pending.try_emplace(key, load);  // a repeated key keeps its first load
    collector->Add(load);
  }
  Future<void> const all = collector->Close();
  // The collector fails when any load fails, so the map is built only from loads that all have a value.
  return all.OnSuccessWithExecutor(all.GetExecutor(), [pending = std::move(pending)] {
    CachedData data;
    for (auto const& [key, load] : pending) data.emplace(key, load.Get());
    return data;
  });
}

Future<void> AnalyzerBase::SaveAllDataToCache(CachedData const& data) const {
  auto const collector = zelcore::async::CompoundFuture::Create(nullptr);
  for (auto const& [key, blob] : data) collector->Add(SaveDataToCache(key, blob));
  return collector->Close();
}

}  // namespace Quillan::Analyzers
