#pragma once

#include <any>
#include <cstddef>
#include <list>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "Analyzers/IAnalyzer.h"
#include "BE/Clip.h"
#include "BE/Media.h"
#include "DataStoreAdaptors/IDataStoreAdaptor.h"
#include "Foundation/Export.h"
#include "Foundation/Future.h"
#include "Host/IAnalyzerHost.h"
#include "zelcore/ClassRef.h"
#include "zelcore/RecycledMemory.h"

namespace Quillan::Analyzers {

// The common part of an analyzer, for analyzer modules to derive from (public header). It keeps the host, the data
// store, the clip, the clip's media and the parameters the factory was given, chooses the analysis target, and reads
// and writes the analyzer's cached results through the data store, one key at a time or all keys at once.
//
// A concrete analyzer calls Initialize once while its factory builds it, and implements GetAnalyzerGuid,
// GetTargetObjectType, StartAnalysis, GetAnalyzerName and GetCacheKeys (and GetSerializedParameter when it takes
// parameters). After Initialize the fields are only read: the cache operations are const and may be called from
// any thread at the same time. There is no lock.
//
// It answers IAnalyzerParameter for its subclasses: the host learns that an analyzer takes no parameter without an
// exception, whether the subclass leaves GetSerializedParameter alone or calls this class's version for that case.
class QUILLAN_EXPORT AnalyzerBase : public IAnalyzer, public IAnalyzerParameter {
 public:
  ZEL_INTERFACE_NAME("Quillan::Analyzers::AnalyzerBase")

  using CacheKeys = std::list<ImmutableString>;
  using CachedData = std::unordered_map<ImmutableString, zelcore::Blob>;

  AnalyzerBase();
  ~AnalyzerBase() override;

  // IAnalyzer:
  // No limit.
  std::optional<std::size_t> GetMaxJobCount() const override;
  // ProxyHandling::kDefault: the media the project uses now.
  ProxyHandling GetProxyHandling() const override;
  // Throws zel_exception kResultNotImplemented (no message): an analyzer with parameters must override it.
  ImmutableString GetSerializedParameter() const override;

  // IAnalyzerParameter:
  // Calls GetSerializedParameter; empty, without an exception, where that reaches this class's version.
  std::optional<ImmutableString> TryGetSerializedParameter() const override;

  // The analyzer's name for people, in UTF-8 ("EBU R128 loudness"); the command-line tool shows it. The library
  // itself never calls it.
  virtual ImmutableString GetAnalyzerName() const = 0;
  // The keys of all cached results of this analyzer; LoadAllCachedData loads exactly these, in this order.
  virtual CacheKeys GetCacheKeys() const = 0;

  // UnknownBase: answers "Quillan::Analyzers::AnalyzerBase", "Quillan::IAnalyzer" and "Quillan::IAnalyzerParameter"
  // with the object itself.
  void* QueryMap(std::string_view name) override;

 protected:
  // Takes the factory's arguments, once, before the analyzer is handed out: stores host, store and clip, then sets
  // `media` to the clip's media as GetProxyHandling() (called before `parameters` is set) asks, then stores the
  // parameters. The arguments are left empty.
  void Initialize(zelcore::InterfaceWeakRef<IAnalyzerHost>&& host, zelcore::InterfaceRef<IDataStoreAdaptor>&& dataStore,
                  zelcore::InterfaceRef<BE::IClip>&& clip, std::any&& parameters);

  // The clip (kClip) or its media (kMedia) as a store target. Throws zel_exception kResultTargetMissing when that
  // reference is empty and kResultNotImplemented for another target type.
  Target GetTargetObject() const;

  // The cache operations below file results under the target, GetAnalyzerGuid() and the serialized parameter (empty
  // without parameters; GetSerializedParameter() otherwise). Without a data store they return a future failed with
  // kResultUnavailable. Errors of the serialized parameter, the GUID and the target are thrown at once; the store's
  // failures, a miss included, come unchanged through the future (tell a miss with dataStore's
  // IsDataNotFoundInCache).
  zelcore::async::Future<zelcore::Blob> LoadCachedData(ImmutableString const& key) const;
  // Loads every key of GetCacheKeys() (a repeated key is loaded again and kept once). Fails as a whole when any key
  // fails, with the failure of the first such key in GetCacheKeys() order; no partial map. An empty key list gives
  // an empty map, even without a data store.
  zelcore::async::Future<CachedData> LoadAllCachedData() const;
  zelcore::async::Future<void> SaveDataToCache(ImmutableString const& key, zelcore::Blob const& blob) const;
  // Files the result under `contentState`, the target's content state as the analysis read it (for a media read
  // through an open file, BE::GetContentStateOfOpenFile), instead of the state the stores would find for the target
  // when they get to it. A file replaced after the read thus leaves the result with the content it was computed
  // from, never with the new content. The stores are given the target with that state and otherwise unchanged (the
  // media's path, the clip's edits). A null state is a target without a content state: not cached.
  zelcore::async::Future<void> SaveDataToCache(ImmutableString const& key, zelcore::Blob const& blob,
                                               Guid const& contentState) const;
  // Issues every save before awaiting any; completes when all have ended, and fails with the failure of the first
  // failed save (in the map's order) if any failed. An empty map completes at once.
  zelcore::async::Future<void> SaveAllDataToCache(CachedData const& data) const;
  // The same, every result filed under `contentState` as SaveDataToCache(key, blob, contentState) files it.
  zelcore::async::Future<void> SaveAllDataToCache(CachedData const& data, Guid const& contentState) const;

  zelcore::InterfaceWeakRef<IAnalyzerHost> host;
  zelcore::InterfaceRef<IDataStoreAdaptor> dataStore;
  zelcore::InterfaceRef<BE::IClip> clip;
  zelcore::InterfaceRef<BE::IMedia> media;
  std::any parameters;

 private:
  ImmutableString SerializedParameter() const;
};

}  // namespace Quillan::Analyzers
