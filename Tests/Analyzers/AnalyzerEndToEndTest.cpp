#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Analyzers/AnalyzerBase.h"
#include "Analyzers/AnalyzerProgressMixIn.h"
#include "Analyzers/ClipPreparation.h"
#include "BE/Backend.h"
#include "BE/Preferences.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/DefaultAnalyzerDatastore.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerCacheLocation.h"
#include "Host/AnalyzerHost.h"
#include "Support/FutureTestUtils.h"
#include "Support/TempDirectory.h"

namespace Quillan::Analyzers {
namespace {

using testsupport::AwaitFailure;
using zelappsupport::utility::ProgressCategory;
using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelcore::async::Promise;

Guid const kDigestId = Guid::CreateUnique();
ImmutableString const kKey = ImmutableString::Create("digest");
// The test's statics are never destroyed: the host's threads outlive the test and may still be building an analyzer
// when the process exits.
auto const& gCategory =
    *new std::shared_ptr<ProgressCategory>(ProgressCategory::Create(zelappsupport::utility::ToUTF8String("Analysis")));

// Polls `condition` until it holds; false after a generous deadline.
template <class Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 30000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
    if (condition()) return true;
  }
  return false;
}

// What the analyzers did, in order ("computed:<digest>", "cached:<digest>"), and the jobs held open.
struct Journal {
  std::mutex mutex;
  std::vector<std::string> entries;                                         // guarded by mutex
  std::vector<std::pair<Promise<std::any>, InterfaceRef<IAnalyzer>>> held;  // guarded by mutex

  template <class F>
  auto Locked(F f) {
    std::lock_guard lock(mutex);
    return f();
  }
  void Add(std::string entry) {
    Locked([&] { entries.push_back(std::move(entry)); });
  }
  // Entry `index` once it has come; empty when it does not.
  std::string Entry(std::size_t index) {
    Eventually([&] { return Locked([&] { return entries.size() > index; }); });
    return Locked([&] { return entries.size() > index ? entries[index] : std::string(); });
  }
};
Journal& gJournal = *new Journal;

// Digests its media file, through the cache that the user's cache-location setting chooses. With the parameter
// "hold" its job runs until the test ends it.
class DigestAnalyzer : public AnalyzerBase,
                       public AnalyzerProgressMixIn,
                       public zelcore::classref::ClassStatics<DigestAnalyzer> {
 public:
  ZEL_INTERFACE_NAME("Test::DigestAnalyzer")
  using zelcore::classref::ClassStatics<DigestAnalyzer>::CreateClassRef;

  static InterfaceRef<IAnalyzer> Create(InterfaceRef<BE::IClip> const& clip, std::any const& parameter,
                                        zelcore::InterfaceWeakRef<IAnalyzerHost> const& host) {
    auto analyzer = CreateClassRef();
    auto store = CreateDefaultAnalyzerDatastore(GetDefaultCacheLocation(), host.Lock(), false);
    analyzer->Initialize(zelcore::InterfaceWeakRef<IAnalyzerHost>(host), std::move(store),
                         InterfaceRef<BE::IClip>(clip), std::any(parameter));
    analyzer->InitializeProgressMixIn(host, clip, parameter, kDigestId, gCategory,
                                      zelappsupport::utility::ToUTF8String("Digest"), kTerminateJobOnCancel,
                                      kRemoveItemOnDestruction);
    return InterfaceRef<IAnalyzer>(analyzer);
  }

  Guid GetAnalyzerGuid() const override { return kDigestId; }
  TargetObjectType GetTargetObjectType() const override { return TargetObjectType::kMedia; }
  ImmutableString GetSerializedParameter() const override {
    if (!parameters.has_value()) return AnalyzerBase::GetSerializedParameter();
    return ImmutableString::Create(std::any_cast<std::string>(parameters));
  }
  ImmutableString GetAnalyzerName() const override { return ImmutableString::Create("Digest"); }
  CacheKeys GetCacheKeys() const override { return {kKey}; }
  void* QueryMap(std::string_view name) override {
    if (void* found = AnalyzerProgressMixIn::QueryMap(name)) return found;
    return AnalyzerBase::QueryMap(name);
  }

  Future<std::any> StartAnalysis(std::shared_ptr<zelcore::async::AsyncExecutor> const& executor,
                                 AnalysisOptions const&) override {
    auto self = GetSharedFromThis<DigestAnalyzer>();
    if (parameters.has_value()) {
      Promise<std::any> promise;
      gJournal.Locked([&] { gJournal.held.emplace_back(promise, InterfaceRef<IAnalyzer>(self)); });
      return promise.GetFuture();
    }
    auto cached = LoadCachedData(kKey).OnSuccessWithExecutor(executor, [](zelcore::Blob const& blob) {
      gJournal.Add("cached:" + std::string(reinterpret_cast<char const*>(blob->data()), blob->size()));
      return std::any();
    });
    return zelcore::async::HandleExceptionFuture(cached, [self, executor](std::exception_ptr const& e) {
      if (!self->dataStore->IsDataNotFoundInCache(e)) std::rethrow_exception(e);
      std::string const digest = self->Digest();
      auto blob = zelcore::allocator::RecycledMemory::Create(digest.size());
      std::memcpy(blob->data(), digest.data(), digest.size());
      // Where nothing is written the save fails; the result stands all the same.
      return zelcore::async::IgnoreExceptionsFuture(self->SaveDataToCache(kKey, blob))
          .OnSuccessWithExecutor(executor, [digest] {
            gJournal.Add("computed:" + digest);
            return std::any();
          });
    });
  }

 private:
  // FNV-1a of the media file.
  std::string Digest() const {
    std::string const bytes = testsupport::ReadFile(std::filesystem::path(media->GetFilePath()));
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (char const c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return std::to_string(hash);
  }
};

// The backend's settings in a file of the test's own.
struct ScopedSettingsFile {
  explicit ScopedSettingsFile(std::filesystem::path const& file) { properties->SetFilePath(file); }
  ~ScopedSettingsFile() { properties->SetFilePath(previous); }
  InterfaceRef<BE::IProperties> const properties = InterfaceRef<BE::IProperties>::Query(BE::GetBackend());
  std::filesystem::path const previous = properties->GetFilePath();
};

TEST(AnalyzerEndToEndTest, CacheLocationDecidesWhereResultsGoAndCancelEndsTheJob) {
  static int const registered = RegisterAnalyzer(kDigestId, AnalyzerType{7}, &DigestAnalyzer::Create);
  ASSERT_EQ(registered, 0);
  testsupport::TempDirectory directory;
  ScopedSettingsFile settings(directory / "properties");
  // The default host makes its managed store where the preferences say, once per process: point them here first.
  BE::GetBackend()->GetPreferences()->SetAnalyzerCacheDirectory((directory / "cache").wstring());
  InterfaceRef<IAnalyzerHost> const host = GetAnalyzerHost();
  ASSERT_TRUE(host);
  AnalysisOptions const options{0, 0};

  struct Case {
    int location;
    bool inSidecar, inManaged;
  };
  for (Case const c : {Case{0, true, false}, Case{1, false, true}, Case{2, false, false}, Case{7, false, false}}) {
    SCOPED_TRACE(c.location);
    auto const path = directory / ("tone" + std::to_string(c.location) + ".wav");
    testsupport::WriteFile(path, testsupport::RandomBytes(4096, c.location));
    auto const media = BE::ProjectFactory::CreateMedia(path.u16string());
    auto const clip = CreateClipToAnalyzeMedia(
        {}, BE::ProjectFactory::CreateMasterClip({.media = media, .audioChannelCounts = {2, 1}}), BE::kMediaType_Audio);
    ASSERT_TRUE(SetDefaultCacheLocation(static_cast<AnalyzerCacheLocation>(c.location)));

    std::size_t const first = gJournal.Locked([] { return gJournal.entries.size(); });
    testsupport::Await(host->AnalyzeClipWithAnalyzer(clip, kDigestId, {}, options, nullptr));
    std::string const computed = gJournal.Entry(first);
    ASSERT_EQ(computed.rfind("computed:", 0), 0u);
    EXPECT_EQ(std::filesystem::exists(directory / ("tone" + std::to_string(c.location) + ".qvmi")), c.inSidecar);
    auto const managed = host->GetManagedDataStore()->LoadDataWithKey(media, kDigestId, {}, kKey);
    EXPECT_EQ(AwaitFailure(managed) == nullptr, c.inManaged);

    testsupport::Await(host->AnalyzeClipWithAnalyzer(clip, kDigestId, {}, options, nullptr));
    bool const served = c.inSidecar || c.inManaged;
    EXPECT_EQ(gJournal.Entry(first + 1), (served ? "cached:" : "computed:") + computed.substr(9));
  }

  // A running job, cancelled through its progress item.
  auto const clip = BE::ProjectFactory::CreateClip(
      BE::ProjectFactory::CreateMedia((directory / "tone0.wav").u16string()), BE::kMediaType_Audio);
  auto const started =
      testsupport::Await(host->AnalyzeClipWithAnalyzer(clip, kDigestId, std::string("hold"), options, nullptr));
  // Named, not bound: clang 14 cannot capture a structured binding.
  auto const& weakJob = std::get<0>(started);
  auto const& item = std::get<1>(started);
  ASSERT_TRUE(Eventually([] { return gJournal.Locked([] { return !gJournal.held.empty(); }); }));
  Future<std::any> const job = weakJob.Lock();
  ASSERT_TRUE(item && item->RequestCancel());
  EXPECT_EQ(testsupport::ResultOf(AwaitFailure(job)), kResultJobCancelled);
  // The cancel has asked the host to terminate the job once it reports its result; counting after that waits for the
  // termination, since the host takes requests in order.
  EXPECT_TRUE(Eventually([&] { return item->GetCancelationResult() == true; }));
  EXPECT_TRUE(Eventually([&] { return testsupport::Await(host->CountJobs(kDigestId)) == 0; }));

  // Without a host, cancelling does nothing.
  auto const unmanaged = InterfaceRef<IAnalyzerProgress>::Query(CreateUnmanagedAnalyzer(clip, kDigestId, {}));
  ASSERT_TRUE(unmanaged);
  auto const lonelyItem = unmanaged->GetProgressItem();
  lonelyItem->RequestCancel();
  EXPECT_TRUE(Eventually([&] { return lonelyItem->GetCancelationResult() == false; }));
  gJournal.Locked([] { return std::exchange(gJournal.held, {}); });  // ended outside the lock
}

}  // namespace
}  // namespace Quillan::Analyzers
