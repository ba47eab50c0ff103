#include "DataStoreAdaptors/CompoundDataStoreAdaptor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include "BE/Media.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "Support/FutureTestUtils.h"
#include "zelcore/DebugDatabase.h"

namespace Quillan {
namespace {

using testsupport::Await;
using testsupport::AwaitFailure;
using testsupport::MessageOf;
using testsupport::ResultOf;
using zelcore::Blob;
using zelcore::InterfaceRef;
using zelcore::async::Future;
using zelcore::config::zel_exception;

// An in-memory store whose loads and saves can be made to fail, asynchronously or at once.
class FakeStore : public IDataStoreAdaptor, public zelcore::classref::ClassStatics<FakeStore> {
 public:
  ZEL_INTERFACE_NAME("Test::FakeStore")
  enum class Behaviour { kWork, kFail, kThrow, kCancel };

  void* QueryMap(std::string_view name) override {
    return zelcore::classref::QueryMapOf<FakeStore, IDataStoreAdaptor>(this, name);
  }

  Future<void> SaveDataWithKey(Target const&, Guid const&, ImmutableString const&, ImmutableString const& key,
                               Blob const& blob) override {
    ++saves;
    if (auto failed = Misbehave<void>()) return *failed;
    std::lock_guard lock(mutex);
    values[key] = blob;
    return zelcore::async::MakeReadyFuture();
  }

  Future<Blob> LoadDataWithKey(Target const&, Guid const&, ImmutableString const&,
                               ImmutableString const& key) const override {
    ++loads;
    if (auto failed = Misbehave<Blob>()) return *failed;
    std::lock_guard lock(mutex);
    auto const found = values.find(key);
    if (found == values.end()) {
      return zelcore::async::MakeExceptionalFuture<Blob>(std::make_exception_ptr(zel_exception("", missCode)));
    }
    return zelcore::async::MakeReadyFuture(found->second);
  }

  bool IsDataNotFoundInCache(std::exception_ptr const& e) const override { return ResultOf(e) == missCode; }

  Behaviour behaviour = Behaviour::kWork;
  Result missCode = 0x10000001;
  mutable std::atomic<int> loads{0};
  std::atomic<int> saves{0};
  mutable std::mutex mutex;
  std::map<ImmutableString, Blob> values;

 private:
  template <class T>
  std::optional<Future<T>> Misbehave() const {
    switch (behaviour) {
      case Behaviour::kWork:
        return std::nullopt;
      case Behaviour::kFail:
        return zelcore::async::MakeExceptionalFuture<T>(std::make_exception_ptr(zel_exception("broken", 0x10000002)));
      case Behaviour::kThrow:
        throw zel_exception("thrown", 0x10000003);
      case Behaviour::kCancel: {
        zelcore::async::Promise<T> promise;
        promise.GetFuture().Cancel();
        return promise.GetFuture();
      }
    }
    return std::nullopt;
  }
};

Blob MakeBlob(std::uint8_t byte) {
  auto blob = zelcore::allocator::RecycledMemory::Create(1);
  blob->data()[0] = byte;
  return blob;
}

ImmutableString const kKey = ImmutableString::Create("key");
Guid const kCompoundAnalyzer = Guid::CreateUnique();
Target const kNoTarget = InterfaceRef<BE::IMedia>();

Future<Blob> Load(InterfaceRef<IDataStoreAdaptor> const& store) {
  return store->LoadDataWithKey(kNoTarget, kCompoundAnalyzer, ImmutableString(), kKey);
}
Future<void> Save(InterfaceRef<IDataStoreAdaptor> const& store, Blob const& blob) {
  return store->SaveDataWithKey(kNoTarget, kCompoundAnalyzer, ImmutableString(), kKey, blob);
}

TEST(CompoundDataStoreAdaptorTest, LoadFallsThroughEveryFailureToTheFirstHit) {
  for (auto behaviour : {FakeStore::Behaviour::kWork, FakeStore::Behaviour::kFail, FakeStore::Behaviour::kCancel}) {
    auto a = FakeStore::CreateClassRef(), b = FakeStore::CreateClassRef(), c = FakeStore::CreateClassRef();
    a->behaviour = behaviour;  // a plain miss, a real error or a cancellation: all move on
    b->values[kKey] = MakeBlob(2);
    c->values[kKey] = MakeBlob(3);
    auto const compound = CompoundDataStoreAdaptor::Create({a, b, c}, {});
    EXPECT_EQ(Await(Load(compound))->data()[0], 2);
    EXPECT_EQ(c->loads, 0);
  }
}

TEST(CompoundDataStoreAdaptorTest, ExhaustedListsFailWithTheirOwnError) {
  auto a = FakeStore::CreateClassRef(), b = FakeStore::CreateClassRef();
  b->behaviour = FakeStore::Behaviour::kFail;
  for (auto const& reads : {CompoundDataStoreAdaptor::Adaptors{}, CompoundDataStoreAdaptor::Adaptors{a, b}}) {
    auto const compound = CompoundDataStoreAdaptor::Create(reads, {});
    auto const failure = AwaitFailure(Load(compound));
    EXPECT_EQ(ResultOf(failure), kResultUnavailable);
    EXPECT_EQ(MessageOf(failure), "Read adaptors exhausted");
    EXPECT_TRUE(compound->IsDataNotFoundInCache(failure));
  }
  for (auto const& writes : {CompoundDataStoreAdaptor::Adaptors{}, CompoundDataStoreAdaptor::Adaptors{b, b}}) {
    auto const failure = AwaitFailure(Save(CompoundDataStoreAdaptor::Create({}, writes), MakeBlob(1)));
    EXPECT_EQ(ResultOf(failure), kResultUnavailable);
    EXPECT_EQ(MessageOf(failure), "Write adaptors exhausted");
  }
}

TEST(CompoundDataStoreAdaptorTest, SaveWritesToTheFirstStoreThatAccepts) {
  auto a = FakeStore::CreateClassRef(), b = FakeStore::CreateClassRef(), c = FakeStore::CreateClassRef();
  auto const compound = CompoundDataStoreAdaptor::Create({}, {a, b, c});
  Await(Save(compound, MakeBlob(1)));
  EXPECT_EQ(a->values.size(), 1u);
  EXPECT_EQ(b->saves, 0);

  a->behaviour = FakeStore::Behaviour::kFail;
  Await(Save(compound, MakeBlob(2)));
  EXPECT_EQ(b->values.at(kKey)->data()[0], 2);
  EXPECT_EQ(c->saves, 0);
}

TEST(CompoundDataStoreAdaptorTest, SynchronousThrowsAndEmptyMembers) {
  auto thrower = FakeStore::CreateClassRef(), working = FakeStore::CreateClassRef();
  thrower->behaviour = FakeStore::Behaviour::kThrow;
  working->values[kKey] = MakeBlob(1);

  // The first member's throw leaves the call; a later member's throw fails the future and stops the walk.
  EXPECT_THROW(Load(CompoundDataStoreAdaptor::Create({thrower, working}, {})), zel_exception);
  auto missing = FakeStore::CreateClassRef();
  auto const failure = AwaitFailure(Load(CompoundDataStoreAdaptor::Create({missing, thrower, working}, {})));
  EXPECT_EQ(MessageOf(failure), "thrown");
  EXPECT_EQ(working->loads, 0);

  InterfaceRef<IDataStoreAdaptor> const empty;
  auto const withEmpty = CompoundDataStoreAdaptor::Create({empty}, {empty});
  EXPECT_THROW(Load(withEmpty), zel_exception);
  EXPECT_THROW(Save(withEmpty, MakeBlob(1)), zel_exception);
  EXPECT_THROW(withEmpty->IsDataNotFoundInCache(std::make_exception_ptr(zel_exception("", 1))), zel_exception);
  EXPECT_EQ(ResultOf(AwaitFailure(Load(CompoundDataStoreAdaptor::Create({missing, empty}, {})))),
            zelcore::config::kResultNullPointer);
}

TEST(CompoundDataStoreAdaptorTest, NotFoundAsksTheReadAdaptorsOnly) {
  auto reader = FakeStore::CreateClassRef(), writer = FakeStore::CreateClassRef();
  reader->missCode = 0x10000010;
  writer->missCode = 0x10000020;
  auto const compound = CompoundDataStoreAdaptor::Create({reader}, {writer});
  auto failure = [](Result code) { return std::make_exception_ptr(zel_exception("", code)); };
  EXPECT_TRUE(compound->IsDataNotFoundInCache(failure(kResultNotCached)));
  EXPECT_TRUE(compound->IsDataNotFoundInCache(failure(kResultUnavailable)));
  EXPECT_TRUE(compound->IsDataNotFoundInCache(failure(0x10000010)));
  EXPECT_FALSE(compound->IsDataNotFoundInCache(failure(0x10000020)));
  EXPECT_FALSE(compound->IsDataNotFoundInCache(failure(kResultSidecarWriteFailed)));

  auto const ref = InterfaceRef<CompoundDataStoreAdaptor>::Query(compound);
  ASSERT_TRUE(ref);
  EXPECT_EQ(ref->GetReadAdaptors().size(), 1u);
}

// The switch is read once per process, so each case runs in a process of its own.
TEST(CompoundDataStoreAdaptorDeathTest, IgnoreSwitchIsFixedAtTheFirstLoad) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto& debug = zelcore::debug::DebugDatabase::Instance();
  EXPECT_EXIT(
      {
        debug.SetEntry(kIgnoreAnalyzerCacheEntry, "true");
        auto store = FakeStore::CreateClassRef();
        store->values[kKey] = MakeBlob(1);
        auto const compound = CompoundDataStoreAdaptor::Create({store}, {});
        auto const first = AwaitFailure(Load(compound));
        debug.SetEntry(kIgnoreAnalyzerCacheEntry, "false");
        auto const second = AwaitFailure(Load(compound));
        bool const ok = ResultOf(first) == kResultNotCached && MessageOf(first).empty() &&
                        ResultOf(second) == kResultNotCached && compound->IsDataNotFoundInCache(second) &&
                        store->loads == 0;
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        auto store = FakeStore::CreateClassRef();
        store->values[kKey] = MakeBlob(1);
        auto const compound = CompoundDataStoreAdaptor::Create({store}, {});
        bool const servedBefore = Await(Load(compound))->data()[0] == 1;
        debug.SetEntry(kIgnoreAnalyzerCacheEntry, "true");
        bool const servedAfter = Await(Load(compound))->data()[0] == 1;
        std::exit(servedBefore && servedAfter ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace Quillan
