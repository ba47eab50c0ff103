#include "Analyzers/AnalyzerBase.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// A media's metadata whose content state is fixed at the state a reader saw; other metadata paths are the media's
// own.
class PinnedMediaInfo final : public BE::IMediaMetaData, public zelcore::classref::ClassStatics<PinnedMediaInfo> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Analyzers::PinnedMediaInfo")

  PinnedMediaInfo(Guid const& state, zelcore::InterfaceRef<BE::IMediaMetaData> own) : state_(state), own_(own) {}

  void* QueryMap(std::string_view name) override {
    return zelcore::classref::QueryMapOf<PinnedMediaInfo, BE::IMediaMetaData>(this, name);
  }

  // BE::IMediaMetaData:
  int GetContentAndMetadataStateGuid(std::string_view metadataPath, Guid& stateGuid) const override {
    if (metadataPath == "/") {
      if (state_.IsNull()) return BE::kMetadataStatusMediaUnavailable;
      stateGuid = state_;
      return BE::kMetadataStatusOk;
    }
    return own_ ? own_->GetContentAndMetadataStateGuid(metadataPath, stateGuid) : BE::kMetadataStatusUnknownPath;
  }

 private:
  Guid const state_;
  zelcore::InterfaceRef<BE::IMediaMetaData> const own_;
};

// The media as a store sees it, at the content state a reader saw: the same file path (so the sidecar lies beside
// the same file) and proxy, with PinnedMediaInfo as its media info.
class PinnedMedia final : public BE::IMedia, public zelcore::classref::ClassStatics<PinnedMedia> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Analyzers::PinnedMedia")

  PinnedMedia(zelcore::InterfaceRef<BE::IMedia> media, Guid const& state)
      : media_(std::move(media)),
        info_(PinnedMediaInfo::CreateClassRef(
            state, zelcore::InterfaceRef<BE::IMediaMetaData>::Query(media_->GetMediaInfo()))) {}

  void* QueryMap(std::string_view name) override {
    return zelcore::classref::QueryMapOf<PinnedMedia, BE::IMedia>(this, name);
  }

  // BE::IMedia:
  std::u16string GetFilePath() const override { return media_->GetFilePath(); }
  zelcore::InterfaceRef<zelcore::classref::UnknownBase> GetMediaInfo() const override { return info_; }
  zelcore::InterfaceRef<BE::IMedia> GetProxyMedia() const override { return media_->GetProxyMedia(); }
  void SetProxyMedia(zelcore::InterfaceRef<BE::IMedia> const& proxy) override { media_->SetProxyMedia(proxy); }

 private:
  zelcore::InterfaceRef<BE::IMedia> const media_;
  zelcore::InterfaceRef<PinnedMediaInfo> const info_;
};

// The clip as a store sees it, at the content state an analyzer saw; everything else is the clip's own. It answers
// only BE::IClip.
class PinnedClip final : public BE::IClip, public zelcore::classref::ClassStatics<PinnedClip> {
 public:
  ZEL_INTERFACE_NAME("Quillan::Analyzers::PinnedClip")

  PinnedClip(zelcore::InterfaceRef<BE::IClip> clip, Guid const& state) : clip_(std::move(clip)), state_(state) {}

  void* QueryMap(std::string_view name) override {
    return zelcore::classref::QueryMapOf<PinnedClip, BE::IClip>(this, name);
  }

  // BE::IClip:
  int GetContentStateGuid(Guid& stateGuid) const override {
    if (state_.IsNull()) return BE::kMetadataStatusMediaUnavailable;
    stateGuid = state_;
    return BE::kMetadataStatusOk;
  }
  zelcore::InterfaceRef<zelcore::classref::UnknownBase> GetMasterClip() const override {
    return clip_->GetMasterClip();
  }
  zelcore::InterfaceRef<BE::IMedia> GetMedia() const override { return clip_->GetMedia(); }
  Guid GetMediaType() const override { return clip_->GetMediaType(); }
  zelcore::InterfaceRef<BE::IClip> Copy() const override { return clip_->Copy(); }
  BE::ClipAction CreateInPointAction(std::int64_t const& time) const override {
    return clip_->CreateInPointAction(time);
  }
  BE::ClipAction CreateOutPointAction(std::int64_t const& time) const override {
    return clip_->CreateOutPointAction(time);
  }
  std::optional<std::int64_t> GetInPoint() const override { return clip_->GetInPoint(); }
  std::optional<std::int64_t> GetOutPoint() const override { return clip_->GetOutPoint(); }
  std::vector<BE::ClipAction> GetEditHistory() const override { return clip_->GetEditHistory(); }

 private:
  zelcore::InterfaceRef<BE::IClip> const clip_;
  Guid const state_;
};

// `target` as the stores see it with its content state fixed at `state`.
Target PinContentState(Target const& target, Guid const& state) {
  if (target.index() == 1) {
    return Target(std::in_place_index<1>, PinnedMedia::CreateClassRef(std::get<1>(target), state));
  }
  return Target(std::in_place_index<0>, PinnedClip::CreateClassRef(std::get<0>(target), state));
}

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

Future<void> AnalyzerBase::SaveDataToCache(ImmutableString const& key, Blob const& blob,
                                           Guid const& contentState) const {
  if (!dataStore) return NoDataStore<void>("Analyzer does not implement a data store for saving cache-data!");
  ImmutableString const parameter = SerializedParameter();
  Guid const analyzerGuid = GetAnalyzerGuid();
  Target const target = PinContentState(GetTargetObject(), contentState);
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

Future<void> AnalyzerBase::SaveAllDataToCache(CachedData const& data, Guid const& contentState) const {
  auto const collector = zelcore::async::CompoundFuture::Create(nullptr);
  for (auto const& [key, blob] : data) collector->Add(SaveDataToCache(key, blob, contentState));
  return collector->Close();
}

}  // namespace Quillan::Analyzers
