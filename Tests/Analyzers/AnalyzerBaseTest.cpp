#include "Analyzers/AnalyzerBase.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include <map>
#include <string>
#include <vector>

#include "BE/Backend.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"
#include "Support/FutureTestUtils.h"
#include "Support/TempDirectory.h"

namespace Quillan::Analyzers {
namespace {

using testsupport::Await;
using testsupport::AwaitEnd;
using testsupport::AwaitFailure;
using testsupport::MessageOf;
using testsupport::ResultOf;
using zelcore::Blob;
using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelcore::async::Promise;
using zelcore::config::zel_exception;

Guid const kAnalyzerGuid = Guid::CreateUnique();

// An in-memory store that answers loads on the default executor, as real stores do, and records every request.
// Saves can be held back until the test releases them.
class FakeStore : public IDataStoreAdaptor, public zelcore::classref::ClassStatics<FakeStore> {
 public:
  ZEL_INTERFACE_NAME("Test::FakeStore")
  struct Request {
    Target target;
    ImmutableString parameter;
  };
  static constexpr Result kMissCode = 0x10000001;

  void* QueryMap(std::string_view name) override {
    return zelcore::classref::QueryMapOf<FakeStore, IDataStoreAdaptor>(this, name);
  }
  Future<void> SaveDataWithKey(Target const& target, Guid const& guid, ImmutableString const& parameter,
                               ImmutableString const& key, Blob const& blob) override {
    EXPECT_EQ(guid, kAnalyzerGuid);
    saves.push_back({target, parameter});
    values[key.ToUTF8String()] = blob;
    Promise<void> promise;
    if (holdSaves) {
      heldSaves.push_back(promise);
    } else {
      promise.Fulfill();
    }
    return promise.GetFuture();
  }
  Future<Blob> LoadDataWithKey(Target const& target, Guid const& guid, ImmutableString const& parameter,
                               ImmutableString const& key) const override {
    EXPECT_EQ(guid, kAnalyzerGuid);
    loads.push_back({target, parameter});
    auto const found = values.find(key.ToUTF8String());
    Blob const blob = found == values.end() ? nullptr : found->second;
    Promise<Blob> promise;
    zelcore::async::CallAsync(zelcore::async::GetDefaultExecutor(), [promise, blob]() mutable {
      blob ? promise.Fulfill(blob) : promise.Fail(std::make_exception_ptr(zel_exception("missing", kMissCode)));
    });
    return promise.GetFuture();
  }
  bool IsDataNotFoundInCache(std::exception_ptr const& e) const override { return ResultOf(e) == kMissCode; }

  // Used on the test's thread only.
  std::map<std::string, Blob> values;
  mutable std::vector<Request> loads;
  std::vector<Request> saves;
  bool holdSaves = false;
  std::vector<Promise<void>> heldSaves;
};

// An analyzer whose overrides the test sets, with the protected operations opened up.
class TestAnalyzer : public AnalyzerBase, public zelcore::classref::ClassStatics<TestAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Test::TestAnalyzer")

  Guid GetAnalyzerGuid() const override { return kAnalyzerGuid; }
  TargetObjectType GetTargetObjectType() const override { return targetType; }
  ProxyHandling GetProxyHandling() const override {
    parametersSetBeforeProxyHandling = parameters.has_value();
    return proxyHandling ? *proxyHandling : AnalyzerBase::GetProxyHandling();
  }
  ImmutableString GetSerializedParameter() const override {
    ++serializeCalls;
    if (!serializes) return AnalyzerBase::GetSerializedParameter();
    return ImmutableString::Create(std::any_cast<std::string>(parameters));
  }
  Future<std::any> StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const&,
                                 AnalysisOptions const&) override {
    return zelcore::async::MakeReadyFuture(std::any());
  }
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create("Test analyzer"); }
  CacheKeys GetCacheKeys() const override { return keys; }

  using AnalyzerBase::dataStore;
  using AnalyzerBase::GetTargetObject;
  using AnalyzerBase::Initialize;
  using AnalyzerBase::LoadAllCachedData;
  using AnalyzerBase::LoadCachedData;
  using AnalyzerBase::media;
  using AnalyzerBase::parameters;
  using AnalyzerBase::SaveAllDataToCache;
  using AnalyzerBase::SaveDataToCache;

  TargetObjectType targetType = TargetObjectType::kClip;
  std::optional<ProxyHandling> proxyHandling;
  bool serializes = true;
  CacheKeys keys;
  mutable int serializeCalls = 0;
  mutable bool parametersSetBeforeProxyHandling = false;
};

InterfaceRef<BE::IClip> MakeClip(InterfaceRef<BE::IMedia> proxy = {}) {
  auto const media = BE::ProjectFactory::CreateMedia(u"/nonexistent/interview.mov", {.proxy = proxy});
  return BE::ProjectFactory::CreateClip(media, BE::kMediaType_Video);
}

// An analyzer initialised with a fake store, the clip and `parameters`.
std::pair<InterfaceRef<TestAnalyzer>, InterfaceRef<FakeStore>> MakeAnalyzer(
    std::any parameters, TargetObjectType targetType = TargetObjectType::kClip,
    InterfaceRef<BE::IClip> clip = MakeClip()) {
  auto analyzer = TestAnalyzer::CreateClassRef();
  auto store = FakeStore::CreateClassRef();
  analyzer->targetType = targetType;
  analyzer->Initialize({}, InterfaceRef<IDataStoreAdaptor>(store), std::move(clip), std::move(parameters));
  return {analyzer, store};
}

ImmutableString Key(char const* text) { return ImmutableString::Create(text); }

Blob MakeBlob(std::uint8_t byte) {
  auto blob = zelcore::allocator::RecycledMemory::Create(1);
  blob->data()[0] = byte;
  return blob;
}

template <class Call>
Result ThrownResult(Call&& call) {
  try {
    call();
  } catch (zel_exception const& e) {
    EXPECT_STREQ(e.what(), "");
    return e.GetResult();
  }
  return 0;
}

TEST(AnalyzerBaseTest, TellsItsParameterWithoutThrowingWhenItHasNone) {
  // The host asks through IAnalyzerParameter; an analyzer that defers to AnalyzerBase for "no parameter" answers
  // empty without an exception, one that serializes answers its text, and a real error still propagates.
  auto const probe = [](TestAnalyzer& analyzer) {
    auto* const parameter = static_cast<IAnalyzerParameter*>(analyzer.QueryMap(IAnalyzerParameter::InterfaceName()));
    EXPECT_NE(parameter, nullptr);
    return parameter->TryGetSerializedParameter();
  };
  auto const withNone = MakeAnalyzer(std::any()).first;
  withNone->serializes = false;
  EXPECT_EQ(probe(*withNone), std::nullopt);
  EXPECT_EQ(withNone->serializeCalls, 1);
  // The throwing call keeps its contract, also right after a probe on this thread.
  EXPECT_EQ(ThrownResult([&] { withNone->GetSerializedParameter(); }), kResultNotImplemented);

  EXPECT_EQ(probe(*MakeAnalyzer(std::string("bins=8")).first), Key("bins=8"));
  // any_cast to std::string throws: an error, not "no parameter".
  EXPECT_THROW(probe(*MakeAnalyzer(7).first), std::bad_any_cast);
  EXPECT_EQ(ThrownResult([&] { withNone->GetSerializedParameter(); }), kResultNotImplemented);
}

TEST(AnalyzerBaseTest, QueryMapAndInitialize) {
  auto analyzer = TestAnalyzer::CreateClassRef();
  analyzer->serializes = false;
  EXPECT_EQ(ThrownResult([&] { analyzer->GetSerializedParameter(); }), kResultNotImplemented);
  EXPECT_EQ(analyzer->QueryMap("Quillan::IAnalyzer"), static_cast<IAnalyzer*>(analyzer.get()));
  EXPECT_EQ(analyzer->QueryMap("Quillan::Analyzers::AnalyzerBase"), static_cast<AnalyzerBase*>(analyzer.get()));

  auto store = InterfaceRef<IDataStoreAdaptor>(FakeStore::CreateClassRef());
  auto clip = MakeClip();
  auto const keptStore = store;
  auto const keptClip = clip;
  std::any parameters = std::string("p");
  analyzer->Initialize({}, std::move(store), std::move(clip), std::move(parameters));
  EXPECT_EQ(analyzer->dataStore, keptStore);
  EXPECT_EQ(std::get<0>(analyzer->GetTargetObject()), keptClip);
  EXPECT_EQ(analyzer->media, keptClip->GetMedia());
  EXPECT_EQ(std::any_cast<std::string>(analyzer->parameters), "p");
  EXPECT_FALSE(analyzer->parametersSetBeforeProxyHandling);  // GetProxyHandling ran before the parameters were set
  EXPECT_FALSE(store || clip || parameters.has_value());     // the arguments were moved from
}

TEST(AnalyzerBaseTest, ProxyHandlingChoosesTheMedia) {
  auto const proxy = BE::ProjectFactory::CreateMedia(u"/nonexistent/interview_proxy.mov");
  struct {
    std::int32_t handling;
    bool proxiesEnabled, expectProxy;
  } const cases[] = {
      {0, false, false}, {0, true, true},  // 0 asks for the media the project uses now, following its proxy switch
      {1, true, false},                    // 1 is the original
      {2, false, true},                    // 2 is the proxy
      {7, true, false},                    // anything else is the original
  };
  for (auto const& c : cases) {
    BE::GetBackend()->SetProxiesEnabled(c.proxiesEnabled);
    auto clip = MakeClip(proxy);
    auto const original = clip->GetMedia();
    auto analyzer = TestAnalyzer::CreateClassRef();
    analyzer->proxyHandling = static_cast<ProxyHandling>(c.handling);
    analyzer->Initialize({}, {}, std::move(clip), {});
    EXPECT_EQ(analyzer->media, c.expectProxy ? proxy : original) << c.handling << " " << c.proxiesEnabled;
  }
  BE::GetBackend()->SetProxiesEnabled(false);
  auto analyzer = TestAnalyzer::CreateClassRef();
  analyzer->Initialize({}, {}, {}, {});  // an empty clip gives an empty media, not an error
  EXPECT_FALSE(analyzer->media);
}

TEST(AnalyzerBaseTest, SerializedParameterReachesTheStoreOnlyWhenThereAreParameters) {
  auto [plain, plainStore] = MakeAnalyzer({});
  Await(plain->SaveDataToCache(Key("k"), MakeBlob(1)));
  EXPECT_EQ(Await(plain->LoadCachedData(Key("k")))->data()[0], 1);
  EXPECT_EQ(plain->serializeCalls, 0);
  EXPECT_TRUE(plainStore->loads.at(0).parameter.empty() && plainStore->saves.at(0).parameter.empty());

  // Named, not bound: clang 14 cannot capture a structured binding.
  auto made = MakeAnalyzer(std::string("gain=3"));
  auto const& withParameters = made.first;
  auto const& store = made.second;
  Await(withParameters->SaveDataToCache(Key("k"), MakeBlob(1)));
  EXPECT_EQ(store->saves.at(0).parameter, Key("gain=3"));

  // Parameters without an overriding GetSerializedParameter: thrown at once, the store never asked.
  withParameters->serializes = false;
  withParameters->keys = {Key("k")};
  EXPECT_EQ(ThrownResult([&] { withParameters->LoadCachedData(Key("k")); }), kResultNotImplemented);
  EXPECT_EQ(ThrownResult([&] { withParameters->SaveDataToCache(Key("k"), MakeBlob(1)); }), kResultNotImplemented);
  EXPECT_EQ(ThrownResult([&] { withParameters->LoadAllCachedData(); }), kResultNotImplemented);
  EXPECT_TRUE(store->loads.empty() && store->saves.size() == 1);
}

TEST(AnalyzerBaseTest, MissingStoreFailsThroughTheFutureAndMissingTargetThrows) {
  auto analyzer = TestAnalyzer::CreateClassRef();
  analyzer->Initialize({}, {}, MakeClip(), {});
  auto const loadFailure = AwaitFailure(analyzer->LoadCachedData(Key("k")));
  EXPECT_EQ(ResultOf(loadFailure), kResultUnavailable);
  EXPECT_EQ(MessageOf(loadFailure), "Analyzer does not implement a data store for reading cache-data!");
  auto const saveFailure = AwaitFailure(analyzer->SaveDataToCache(Key("k"), MakeBlob(1)));
  EXPECT_EQ(ResultOf(saveFailure), kResultUnavailable);
  EXPECT_EQ(MessageOf(saveFailure), "Analyzer does not implement a data store for saving cache-data!");
  EXPECT_TRUE(Await(analyzer->LoadAllCachedData()).empty());  // no keys: no store needed

  struct {
    std::int32_t targetType;
    bool withClip;
    Result expected;
  } const cases[] = {
      {0, false, kResultTargetMissing},
      {1, false, kResultTargetMissing},  // Initialize left the media empty
      {5, true, kResultNotImplemented},
  };
  for (auto const& c : cases) {
    auto made = MakeAnalyzer({}, static_cast<TargetObjectType>(c.targetType),
                             c.withClip ? MakeClip() : InterfaceRef<BE::IClip>());
    auto const& bad = made.first;
    auto const& store = made.second;
    bad->keys = {Key("k")};
    EXPECT_EQ(ThrownResult([&] { bad->LoadCachedData(Key("k")); }), c.expected);
    EXPECT_EQ(ThrownResult([&] { bad->SaveDataToCache(Key("k"), MakeBlob(1)); }), c.expected);
    EXPECT_EQ(ThrownResult([&] { bad->LoadAllCachedData(); }), c.expected);
    EXPECT_EQ(ThrownResult([&] { bad->SaveAllDataToCache({{Key("k"), MakeBlob(1)}}); }), c.expected);
    EXPECT_TRUE(store->loads.empty() && store->saves.empty());
  }

  auto [onMedia, store] = MakeAnalyzer({}, TargetObjectType::kMedia);
  Await(onMedia->SaveDataToCache(Key("k"), MakeBlob(1)));
  EXPECT_EQ(std::get<1>(store->saves.at(0).target), onMedia->media);
}

TEST(AnalyzerBaseTest, LoadAllCachedDataLoadsEveryKeyAndFailsAsAWhole) {
  auto [analyzer, store] = MakeAnalyzer({});
  store->values = {{"a", MakeBlob(1)}, {"b", MakeBlob(2)}};
  analyzer->keys = {Key("a"), Key("b"), Key("a")};
  auto const data = Await(analyzer->LoadAllCachedData());
  EXPECT_EQ(store->loads.size(), 3u);  // the repeated key is loaded again...
  ASSERT_EQ(data.size(), 2u);          // ...and kept once
  EXPECT_EQ(data.at(Key("a"))->data()[0], 1);
  EXPECT_EQ(data.at(Key("b"))->data()[0], 2);

  analyzer->keys = {Key("a"), Key("missing"), Key("b")};
  EXPECT_TRUE(store->IsDataNotFoundInCache(AwaitFailure(analyzer->LoadAllCachedData())));
}

TEST(AnalyzerBaseTest, SaveAllDataToCacheIssuesEverySaveBeforeAwaitingAny) {
  auto [analyzer, store] = MakeAnalyzer({});
  store->holdSaves = true;
  auto const saved = analyzer->SaveAllDataToCache({{Key("a"), MakeBlob(1)}, {Key("b"), MakeBlob(2)}});
  ASSERT_EQ(store->heldSaves.size(), 2u);
  store->heldSaves[0].Fulfill();
  EXPECT_FALSE(saved.IsReady());  // waits for every save
  store->heldSaves[1].Fulfill();
  EXPECT_TRUE(AwaitEnd(saved) && saved.HasValue());
}

// The stores are handed the target at the state given, whatever the target's own state is now; the rest of the
// target is its own. A null state is a target without one.
TEST(AnalyzerBaseTest, SaveUnderAContentStateHandsTheStoresTheTargetAtThatState) {
  Guid const read = Guid::CreateUnique();
  for (TargetObjectType const type : {TargetObjectType::kClip, TargetObjectType::kMedia}) {
    SCOPED_TRACE(static_cast<int>(type));
    auto [analyzer, store] = MakeAnalyzer({}, type);
    ASSERT_TRUE(AwaitEnd(analyzer->SaveDataToCache(Key("k"), MakeBlob(7), read)));
    ASSERT_TRUE(AwaitEnd(analyzer->SaveDataToCache(Key("k"), MakeBlob(8), Guid())));
    ASSERT_TRUE(AwaitEnd(analyzer->SaveAllDataToCache({{Key("a"), MakeBlob(1)}, {Key("b"), MakeBlob(2)}}, read)));
    ASSERT_EQ(store->saves.size(), 4u);
    EXPECT_EQ(GetContentStateGuid(store->saves[2].target), read);
    EXPECT_EQ(GetContentStateGuid(store->saves[3].target), read);
    Target const& pinned = store->saves[0].target;
    ASSERT_EQ(pinned.index(), type == TargetObjectType::kClip ? 0u : 1u);
    EXPECT_EQ(GetContentStateGuid(pinned), read);
    if (type == TargetObjectType::kMedia) {
      EXPECT_EQ(std::get<1>(pinned)->GetFilePath(), analyzer->media->GetFilePath());
    } else {
      EXPECT_EQ(std::get<0>(pinned)->GetMedia(), std::get<0>(analyzer->GetTargetObject())->GetMedia());
    }
    if (type == TargetObjectType::kClip) {
      EXPECT_TRUE(GetContentStateGuid(store->saves[1].target).IsNull());  // as for a clip whose media is offline
      continue;
    }
    try {
      GetContentStateGuid(store->saves[1].target);
      ADD_FAILURE() << "a media with a null state has no identity";
    } catch (zel_exception const& e) {
      EXPECT_EQ(e.GetResult(), kResultNotCached);
    }
  }
}

// A media file replaced by another between the analyzer's read and its save: the result is filed under the content
// it was computed from, in each store, and the new content finds nothing.
TEST(AnalyzerBaseTest, AResultReadBeforeTheFileWasReplacedStaysWithTheContentItWasReadFrom) {
  testsupport::TempDirectory dir;
  auto const path = dir / "take.wav";
  std::vector<char> const first = testsupport::RandomBytes(200'000, 11);
  struct Case {
    char const* name;
    InterfaceRef<IDataStoreAdaptor> store;
  } const cases[] = {
      {"sidecar", SidecarDataStoreAdaptor::CreateWithDefaultExtension(SidecarDataStoreAdaptor::kExactParameterHash)},
      {"managed",
       ManagedDataStoreAdaptor::CreateForTesting(ImmutableString::Create((dir / "cache").string()), 1 << 20)},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::WriteFile(path, first);
    auto analyzer = TestAnalyzer::CreateClassRef();
    analyzer->targetType = TargetObjectType::kMedia;
    analyzer->Initialize(
        {}, InterfaceRef<IDataStoreAdaptor>(c.store),
        BE::ProjectFactory::CreateClip(BE::ProjectFactory::CreateMedia(path.u16string()), BE::kMediaType_Audio), {});

    // The analysis: the file read to its end, and the state of what was read taken through the same descriptor.
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::vector<char> bytes(first.size() + 1);
    ASSERT_EQ(::read(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(first.size()));
    Guid readState;
    ASSERT_EQ(BE::GetContentStateOfOpenFile(fd, readState), BE::kMetadataStatusOk);
    ::close(fd);
    auto blob = zelcore::allocator::RecycledMemory::Create(first.size());
    std::memcpy(blob->data(), bytes.data(), first.size());

    // Another program renames a different file over it before the result is saved.
    testsupport::WriteFile(dir / "replacement.wav", testsupport::RandomBytes(200'000, 12));
    std::filesystem::rename(dir / "replacement.wav", path);
    Await(analyzer->SaveDataToCache(Key("result"), blob, readState));

    std::exception_ptr const miss = AwaitFailure(analyzer->LoadCachedData(Key("result")));
    EXPECT_TRUE(c.store->IsDataNotFoundInCache(miss)) << MessageOf(miss);
    // The first content back (a copy: another file, the same content state) finds its result.
    testsupport::WriteFile(dir / "copy.wav", first);
    std::filesystem::rename(dir / "copy.wav", path);
    Blob const found = Await(analyzer->LoadCachedData(Key("result")));
    ASSERT_TRUE(found);
    EXPECT_EQ(std::string(reinterpret_cast<char const*>(found->data()), found->size()),
              std::string(first.begin(), first.end()));
  }
}

}  // namespace
}  // namespace Quillan::Analyzers
