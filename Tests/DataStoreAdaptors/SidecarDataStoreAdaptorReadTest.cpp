// How the sidecar store reads a file: a save leaves alone a file it could not read, a load's memory is bounded by a
// setting, concurrent reads of one file share one read, and the temporary file of a save fits beside any sidecar.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "BE/Backend.h"
#include "BE/ProjectFactory.h"
#include "BE/Properties.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"
#include "DataStoreAdaptors/SidecarFile.h"
#include "DataStoreAdaptors/SidecarMaxLoadBytes.h"
#include "Host/AnalyzerCacheLocation.h"
#include "Support/BlobTestUtils.h"
#include "Support/FutureTestUtils.h"
#include "Support/TempDirectory.h"
#include "zelcore/TextConversions.h"

namespace Quillan {
namespace {

using testsupport::Await;
using testsupport::AwaitFailure;
using testsupport::BlobText;
using testsupport::MakeBlob;
using testsupport::MessageOf;
using testsupport::ReadFile;
using testsupport::ResultOf;
using testsupport::Text;
using testsupport::WriteFile;
using zelcore::InterfaceRef;
namespace fs = std::filesystem;

Guid const kFirst = *Guid::FromString("5eadbeef-0000-4000-8000-000000000001");
Guid const kSecond = *Guid::FromString("5eadbeef-0000-4000-8000-000000000002");

// A store whose save reads the file through a hook that can fail the way a disk or the allocator does.
class HookedStore : public SidecarDataStoreAdaptor {
 public:
  std::function<void()> failRead;  // throws, or empty

  // A save to the sidecar of `media` (a store made this way has no extension of its own).
  zelcore::async::Future<void> Save(InterfaceRef<BE::IMedia> const& media, Guid const& analyzer,
                                    std::string const& value) {
    auto const location = ResolveSidecarLocation(media, kDefaultSidecarExtension);
    return SaveDataForDataSource(location->dataSourceId, analyzer, Text(""), Text("k"), location->sidecarPath,
                                 MakeBlob(value));
  }

 protected:
  std::shared_ptr<SideCarSerializationData> DeserializeFromSideCarFileSync(fs::path const& path) const override {
    if (failRead) failRead();
    return SidecarDataStoreAdaptor::DeserializeFromSideCarFileSync(path);
  }
};

// A store that counts its writes, holds a write while the test asks it to, and refuses to write a file that holds the
// value "poison".
class GatedStore : public HookedStore {
 public:
  void Hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
    }
    changed_.notify_all();
  }
  int Writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
  }
  // Writes by every store of this class.
  static int AllWrites() { return allWrites.load(); }
  // Waits (boundedly) until `count` writes have started.
  bool AwaitWrites(int count) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return writes_ >= count; });
  }

 protected:
  bool SerializeToSideCarFileSync(fs::path const& path,
                                  std::shared_ptr<SideCarSerializationData> const& data) const override {
    {
      std::unique_lock lock(mutex_);
      ++writes_;
      ++allWrites;
      changed_.notify_all();
      changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !held_; });
    }
    for (auto const& [itemKey, item] : data->items) {
      for (auto const& [valueKey, blob] : item.values) {
        if (BlobText(blob) == "poison") return false;
      }
    }
    return SidecarDataStoreAdaptor::SerializeToSideCarFileSync(path, data);
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  mutable int writes_ = 0;  // guarded by mutex_
  bool held_ = false;       // guarded by mutex_
  static inline std::atomic<int> allWrites{0};
};

// A store that keeps its sidecars elsewhere (here in memory), through the two file operations alone; or, with
// `passThrough`, reads the real files through the store's own reader.
class ElsewhereStore : public SidecarDataStoreAdaptor {
 public:
  explicit ElsewhereStore(ParameterHashHandling handling = kExactParameterHash)
      : SidecarDataStoreAdaptor(kDefaultSidecarExtension, handling) {}

  bool passThrough = false;
  bool readsNothing = false;  // the reader returns null
  mutable std::mutex mutex;
  mutable std::map<fs::path, zelcore::Blob> files;  // guarded by mutex
  mutable int reads = 0;                            // guarded by mutex

 protected:
  std::shared_ptr<SideCarSerializationData> DeserializeFromSideCarFileSync(fs::path const& path) const override {
    std::lock_guard lock(mutex);
    ++reads;
    if (passThrough) return SidecarDataStoreAdaptor::DeserializeFromSideCarFileSync(path);
    if (readsNothing) return nullptr;
    auto const file = files.find(path);
    if (file == files.end()) throw zelcore::config::zel_exception("Sidecar file not found", kResultSidecarFileNotFound);
    return SidecarDataStoreAdaptorSerialization::DeserializeDataStoreFromBinary(file->second);
  }
  bool SerializeToSideCarFileSync(fs::path const& path,
                                  std::shared_ptr<SideCarSerializationData> const& data) const override {
    if (passThrough) return SidecarDataStoreAdaptor::SerializeToSideCarFileSync(path, data);
    auto const bytes = SidecarDataStoreAdaptorSerialization::SerializeDataStoreToBinary(data);
    std::lock_guard lock(mutex);
    files[path] = bytes;
    return true;
  }
};

// The files in `folder` but the test's settings.
std::set<std::string> EntriesOf(fs::path const& folder) {
  std::set<std::string> names;
  for (auto const& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().native());
  names.erase("properties");
  return names;
}

// Makes `file` look an hour old: settled, so that its reads may be shared.
void Age(fs::path const& file) {
  timespec const anHourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), anHourAgo, 0), 0);
}

class SidecarDataStoreAdaptorReadTest : public testing::Test {
 protected:
  SidecarDataStoreAdaptorReadTest() {
    properties_->SetFilePath(directory_ / "properties");
    WriteFile(directory_ / "take.wav", "audio");
  }
  ~SidecarDataStoreAdaptorReadTest() override { properties_->SetFilePath(previousSettings_); }

  void SetBound(int bytes) {
    ASSERT_TRUE(properties_->WriteValue(kPrefsSidecarMaxLoadBytes, BE::SerializeableValue<int>(bytes), true));
  }
  zelcore::async::Future<zelcore::Blob> Load(Guid const& analyzer, InterfaceRef<IDataStoreAdaptor> const& store) {
    return store->LoadDataWithKey(media_, analyzer, Text(""), Text("k"));
  }

  testsupport::TempDirectory directory_;
  InterfaceRef<BE::IProperties> const properties_ = InterfaceRef<BE::IProperties>::Query(BE::GetBackend());
  fs::path const previousSettings_ = properties_->GetFilePath();
  InterfaceRef<BE::IMedia> const media_ =
      BE::ProjectFactory::CreateMedia(zelcore::text::PathBytesToUTF16((directory_ / "take.wav").native()));
  fs::path const sidecar_ = directory_ / "take.qvmi";
  InterfaceRef<IDataStoreAdaptor> const store_ =
      SidecarDataStoreAdaptor::CreateWithDefaultExtension(SidecarDataStoreAdaptor::kExactParameterHash);
};

// Only a missing or undecodable file is replaced; one that could not be read keeps every analyzer's results.
TEST_F(SidecarDataStoreAdaptorReadTest, ASaveThatCannotReadTheFileLeavesItWhole) {
  Await(store_->SaveDataWithKey(media_, kFirst, Text(""), Text("k"), MakeBlob("first's")));
  Await(store_->SaveDataWithKey(media_, kSecond, Text(""), Text("k"), MakeBlob("second's")));
  std::string const before = ReadFile(sidecar_);
  struct Case {
    char const* name;
    std::function<void()> fail;
    char const* why;
  };
  Case const cases[] = {
      {"an I/O error",
       [] {
         throw zelcore::config::zel_exception("Sidecar file could not be read: EIO", zelcore::config::kResultFileRead);
       },
       "could not be read: Sidecar file could not be read: EIO"},
      {"a system error", [] { throw std::system_error(EIO, std::generic_category(), "pread"); }, "pread"},
      {"no memory", [] { throw std::bad_alloc(); }, "not enough memory"},
      {"a file over the bound", [] { throw SidecarFile::TooLarge("Sidecar file is larger than the bound"); },
       "larger than the bound"},
  };
  auto const hooked = std::make_shared<HookedStore>();
  for (Case const& c : cases) {
    hooked->failRead = c.fail;
    auto const failure = AwaitFailure(hooked->Save(media_, kFirst, "new"));
    EXPECT_EQ(ResultOf(failure), kResultSidecarWriteFailed) << c.name;
    EXPECT_THAT(MessageOf(failure), testing::StartsWith("Sidecar file could not be written to: ")) << c.name;
    EXPECT_THAT(MessageOf(failure), testing::HasSubstr(c.why)) << c.name;
    EXPECT_EQ(ReadFile(sidecar_), before) << c.name;
    EXPECT_EQ(EntriesOf(directory_.path()), (std::set<std::string>{"take.qvmi", "take.wav"})) << c.name;
  }
  EXPECT_EQ(BlobText(Await(Load(kFirst, store_))), "first's");
  EXPECT_EQ(BlobText(Await(Load(kSecond, store_))), "second's");

  // A file that is no sidecar at all is replaced, as before.
  hooked->failRead = [] { throw SidecarDataStoreAdaptorSerialization::SideCarFormatError("damaged"); };
  Await(hooked->Save(media_, kFirst, "new"));
  EXPECT_EQ(BlobText(Await(Load(kFirst, store_))), "new");
  EXPECT_EQ(MessageOf(AwaitFailure(Load(kSecond, store_))), "Analyzer Item not found in cache");
}

// The size decides before anything is allocated: a sparse file just under the format's limit costs nothing to
// refuse, and a save leaves it alone.
TEST_F(SidecarDataStoreAdaptorReadTest, ASidecarOverTheBoundIsRefusedWithoutReadingIt) {
  WriteFile(sidecar_, "");
  fs::resize_file(sidecar_, SidecarDataStoreAdaptorSerialization::kMaxSideCarBufferSize);
  auto const reads = SidecarFile::GetReadCountsForTesting().reads;

  auto const loaded = AwaitFailure(Load(kFirst, store_));
  EXPECT_THAT(MessageOf(loaded), testing::HasSubstr("SidecarMaxLoadBytes"));
  EXPECT_THAT(MessageOf(loaded), testing::HasSubstr("at most " + std::to_string(kDefaultSidecarMaxLoadBytes)));
  EXPECT_FALSE(store_->IsDataNotFoundInCache(loaded));
  auto const saved = AwaitFailure(store_->SaveDataWithKey(media_, kFirst, Text(""), Text("k"), MakeBlob("v")));
  EXPECT_EQ(ResultOf(saved), kResultSidecarWriteFailed);
  EXPECT_THAT(MessageOf(saved), testing::HasSubstr("SidecarMaxLoadBytes"));
  EXPECT_EQ(SidecarFile::GetReadCountsForTesting().reads, reads);
  struct stat status {};
  ASSERT_EQ(::stat(sidecar_.c_str(), &status), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(status.st_size), SidecarDataStoreAdaptorSerialization::kMaxSideCarBufferSize);
  EXPECT_LT(status.st_blocks, 64) << "the save wrote into the file";
}

// The bound is the user's: a sidecar over it is refused, under it read; a bound that is no bound is an error.
TEST_F(SidecarDataStoreAdaptorReadTest, TheBoundIsASetting) {
  Await(store_->SaveDataWithKey(media_, kFirst, Text(""), Text("k"), MakeBlob(std::string(200 << 10, 'r'))));
  std::string const before = ReadFile(sidecar_);
  struct Case {
    int bound;
    bool loads;
  };
  for (Case const c : {Case{64 << 10, false}, Case{static_cast<int>(before.size()) - 1, false},
                       Case{static_cast<int>(before.size()), true}, Case{1 << 30, true}}) {
    SetBound(c.bound);
    EXPECT_EQ(GetSidecarMaxLoadBytes(), static_cast<std::uint64_t>(c.bound));
    if (c.loads) {
      EXPECT_EQ(BlobText(Await(Load(kFirst, store_))).size(), std::size_t{200 << 10}) << c.bound;
      Await(store_->SaveDataWithKey(media_, kSecond, Text(""), Text("k"), MakeBlob("v")));
      WriteFile(sidecar_, before);
      continue;
    }
    EXPECT_THAT(MessageOf(AwaitFailure(Load(kFirst, store_))), testing::HasSubstr("SidecarMaxLoadBytes")) << c.bound;
    auto const saved = AwaitFailure(store_->SaveDataWithKey(media_, kSecond, Text(""), Text("k"), MakeBlob("v")));
    EXPECT_EQ(ResultOf(saved), kResultSidecarWriteFailed) << c.bound;
    EXPECT_EQ(ReadFile(sidecar_), before) << c.bound;
  }
  SetBound(std::numeric_limits<int>::max());
  EXPECT_EQ(GetSidecarMaxLoadBytes(), SidecarDataStoreAdaptorSerialization::kMaxSideCarBufferSize);

  SetBound(1000);
  auto const load = AwaitFailure(Load(kFirst, store_));
  EXPECT_THAT(MessageOf(load), testing::HasSubstr("SidecarMaxLoadBytes"));
  EXPECT_THAT(MessageOf(load), testing::HasSubstr("at least 65536"));
  std::string const now = ReadFile(sidecar_);
  auto const saved = AwaitFailure(store_->SaveDataWithKey(media_, kSecond, Text(""), Text("k"), MakeBlob("x")));
  EXPECT_EQ(ResultOf(saved), kResultSidecarWriteFailed);
  EXPECT_EQ(ReadFile(sidecar_), now);
}

// Loads from many stores at once of one file that has not changed for a while: one read, one buffer.
TEST_F(SidecarDataStoreAdaptorReadTest, ConcurrentLoadsOfOneFileReadItOnce) {
  Await(store_->SaveDataWithKey(media_, kFirst, Text(""), Text("k"), MakeBlob("settled")));
  Age(sidecar_);
  constexpr int kThreads = 8;
  auto const reads = SidecarFile::GetReadCountsForTesting().reads;
  std::vector<zelcore::Blob> blobs(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto const store =
          SidecarDataStoreAdaptor::CreateWithDefaultExtension(SidecarDataStoreAdaptor::kExactParameterHash);
      blobs[t] = Await(Load(kFirst, store));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(SidecarFile::GetReadCountsForTesting().reads, reads + 1);
  for (auto const& blob : blobs) EXPECT_EQ(BlobText(blob), "settled");

  // A new version of the file is read afresh while the old buffer is still held.
  Await(store_->SaveDataWithKey(media_, kFirst, Text(""), Text("k"), MakeBlob("changed")));
  EXPECT_EQ(BlobText(Await(Load(kFirst, store_))), "changed");
  EXPECT_EQ(BlobText(blobs.front()), "settled");
}

// The analyzers of one media load their results one after another: a settled sidecar is read once for all of them,
// and read again once it changes, whoever changed it.
TEST_F(SidecarDataStoreAdaptorReadTest, LoadsOneAfterAnotherReadASettledSidecarOnce) {
  Await(store_->SaveDataWithKey(media_, kFirst, Text(""), Text("k"), MakeBlob("first's")));
  Await(store_->SaveDataWithKey(media_, kSecond, Text(""), Text("k"), MakeBlob("second's")));
  Age(sidecar_);
  auto const reads = SidecarFile::GetReadCountsForTesting().reads;
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(BlobText(Await(Load(kFirst, store_))), "first's");
    EXPECT_EQ(BlobText(Await(Load(kSecond, store_))), "second's");
  }
  EXPECT_EQ(SidecarFile::GetReadCountsForTesting().reads, reads + 1);

  // Rewritten in place by another program, size and modification time kept: its change time tells.
  std::string bytes = ReadFile(sidecar_);
  std::size_t const at = bytes.find("first's");
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, 7, "FIRST's");
  {
    std::ofstream file(sidecar_, std::ios::binary | std::ios::in | std::ios::out);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  Age(sidecar_);
  EXPECT_EQ(BlobText(Await(Load(kFirst, store_))), "FIRST's");
  EXPECT_EQ(BlobText(Await(Load(kSecond, store_))), "second's");
  EXPECT_EQ(SidecarFile::GetReadCountsForTesting().reads, reads + 2);

  // A save of this process: the new file is read (the save's own read counts too).
  Await(store_->SaveDataWithKey(media_, kSecond, Text(""), Text("k"), MakeBlob("second's new")));
  EXPECT_EQ(BlobText(Await(Load(kSecond, store_))), "second's new");
  EXPECT_EQ(BlobText(Await(Load(kFirst, store_))), "FIRST's");
}

// Saves of one file that wait behind a slow one are written together, in one replace; when that fails, each is saved
// alone, so that only the value that failed the file fails.
TEST_F(SidecarDataStoreAdaptorReadTest, SavesThatWaitTogetherAreWrittenInOneReplace) {
  auto const store = std::make_shared<GatedStore>();
  std::vector<Guid> analyzers;
  for (int i = 0; i < 5; ++i)
    analyzers.push_back(*Guid::FromString("5eadbeef-0000-4000-8000-00000000010" + std::to_string(i)));
  struct Round {
    char const* name;
    int poisoned;       // which waiting save holds the poison, or -1
    int waitingWrites;  // writes after the held one
  } const rounds[] = {{"clean", -1, 1}, {"one poisoned", 2, 1 + 4}};
  for (Round const& round : rounds) {
    SCOPED_TRACE(round.name);
    int const before = store->Writes();
    store->Hold();
    auto const held = store->Save(media_, kFirst, std::string("held ") + round.name);
    ASSERT_TRUE(store->AwaitWrites(before + 1));
    std::vector<zelcore::async::Future<void>> waiting;
    for (int i = 0; i < 4; ++i) {
      waiting.push_back(
          store->Save(media_, analyzers[i], i == round.poisoned ? "poison" : round.name + std::to_string(i)));
    }
    store->Release();
    Await(held);
    for (int i = 0; i < 4; ++i) {
      if (i == round.poisoned) {
        EXPECT_EQ(ResultOf(AwaitFailure(waiting[i])), kResultSidecarWriteFailed);
      } else {
        Await(waiting[i]);
      }
    }
    EXPECT_EQ(store->Writes(), before + 1 + round.waitingWrites);
    EXPECT_EQ(BlobText(Await(Load(kFirst, store_))), std::string("held ") + round.name);
    for (int i = 0; i < 4; ++i) {
      if (i == round.poisoned) continue;
      EXPECT_EQ(BlobText(Await(Load(analyzers[i], store_))), round.name + std::to_string(i)) << i;
    }
  }
  EXPECT_EQ(ResultOf(AwaitFailure(Load(analyzers[4], store_))), kResultSidecarEntryNotFound);
}

// Every analyzer has a store of its own: saves of one file asked of several stores of a class while it is being
// written wait for that write and then go together, in one replace; each ends only once its value is in the file.
TEST_F(SidecarDataStoreAdaptorReadTest, SavesOfOneFileFromSeveralStoresShareAReplace) {
  constexpr int kStores = 5;
  std::vector<std::shared_ptr<GatedStore>> stores;
  std::vector<zelcore::async::Future<void>> saves;
  int const before = GatedStore::AllWrites();
  for (int i = 0; i < kStores; ++i) {
    stores.push_back(std::make_shared<GatedStore>());
    if (i == 0) stores.front()->Hold();
    saves.push_back(stores.back()->Save(media_,
                                        *Guid::FromString("5eadbeef-0000-4000-8000-00000000020" + std::to_string(i)),
                                        "value " + std::to_string(i)));
    if (i == 0) {
      ASSERT_TRUE(stores.front()->AwaitWrites(1));
    }
  }
  stores.front()->Release();
  for (int i = 0; i < kStores; ++i) {
    Await(saves[i]);
    Guid const analyzer = *Guid::FromString("5eadbeef-0000-4000-8000-00000000020" + std::to_string(i));
    EXPECT_EQ(BlobText(Await(Load(analyzer, store_))), "value " + std::to_string(i));
  }
  EXPECT_EQ(GatedStore::AllWrites() - before, 2);
}

// Reads of a file written just now are shared only while they run: eight threads that meet one read get its one
// buffer; a read after it reads again.
TEST_F(SidecarDataStoreAdaptorReadTest, ReadsInFlightAreSharedEvenForAFreshFile) {
  Await(store_->SaveDataWithKey(media_, kFirst, Text(""), Text("k"), MakeBlob(std::string(1 << 20, 'f'))));
  constexpr int kThreads = 8;
  auto const before = SidecarFile::GetReadCountsForTesting();
  bool joined = false;
  SidecarFile::SetBeforeReadForTesting([&] {
    // Hold the first read until the others wait for it; bounded, so a fault fails the test instead of hanging it.
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (SidecarFile::GetReadCountsForTesting().sharedWaits < before.sharedWaits + kThreads - 1) {
      if (std::chrono::steady_clock::now() > deadline) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    joined = true;
  });
  std::vector<zelcore::Blob> buffers(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] { buffers[t] = SidecarFile::Read(sidecar_, kDefaultSidecarMaxLoadBytes); });
  }
  for (auto& thread : threads) thread.join();
  SidecarFile::SetBeforeReadForTesting(nullptr);
  EXPECT_TRUE(joined);
  EXPECT_EQ(SidecarFile::GetReadCountsForTesting().reads, before.reads + 1);
  for (auto const& buffer : buffers) EXPECT_EQ(buffer, buffers.front());
  EXPECT_EQ(SidecarFile::Read(sidecar_, kDefaultSidecarMaxLoadBytes)->size(), buffers.front()->size());
  EXPECT_EQ(SidecarFile::GetReadCountsForTesting().reads, before.reads + 2);
}

// A derived store's reader is what loads read: a store that keeps its sidecars elsewhere saves and loads there, and
// a reader that finds nothing makes a miss.
TEST_F(SidecarDataStoreAdaptorReadTest, LoadsGoThroughADerivedStoresReader) {
  auto const elsewhere = std::make_shared<ElsewhereStore>();
  InterfaceRef<IDataStoreAdaptor> const store(elsewhere);
  Await(store->SaveDataWithKey(media_, kFirst, Text(""), Text("k"), MakeBlob("kept elsewhere")));
  EXPECT_FALSE(fs::exists(sidecar_));
  EXPECT_EQ(elsewhere->files.count(sidecar_), 1u);
  EXPECT_EQ(BlobText(Await(Load(kFirst, store))), "kept elsewhere");
  EXPECT_EQ(MessageOf(AwaitFailure(Load(kSecond, store))), "Analyzer Item not found in cache");
  EXPECT_EQ(elsewhere->reads, 3);  // the save's read and the two loads'

  elsewhere->readsNothing = true;
  auto const nothing = AwaitFailure(Load(kFirst, store));
  EXPECT_EQ(MessageOf(nothing), "Cache not found");
  EXPECT_EQ(ResultOf(nothing), kResultSidecarEntryNotFound);
  EXPECT_TRUE(store->IsDataNotFoundInCache(nothing));
  EXPECT_EQ(elsewhere->reads, 4);
}

// The lookup in a derived store's container answers as the store's own lookup in the file does, under both
// parameter handlings.
TEST_F(SidecarDataStoreAdaptorReadTest, ADerivedStoresLookupAnswersAsTheStoresOwn) {
  Await(store_->SaveDataWithKey(media_, kFirst, Text("p1"), Text("k"), MakeBlob("one")));
  Await(store_->SaveDataWithKey(media_, kFirst, Text(""), Text("k2"), MakeBlob("two")));
  struct Case {
    Guid analyzer;
    char const* parameter;
    char const* key;
    char const* exact;  // the blob, or the failure's message
    char const* any;
  };
  Case const cases[] = {
      {kFirst, "p1", "k", "one", "one"},
      {kFirst, "", "k2", "two", "two"},
      {kFirst, "p2", "k", "Value not found in cache", "one"},
      {kFirst, "p1", "k3", "Value not found in cache", "Value not found in cache"},
      {kSecond, "p1", "k", "Analyzer Item not found in cache", "Analyzer Item not found in cache"},
      {kFirst, "p1", "", "The cache key may not be null", "The cache key may not be null"},
      {kSecond, "p1", "", "Analyzer Item not found in cache", "Analyzer Item not found in cache"},
      {kFirst, "p1", "(", "Value not found in cache", "Cache key pattern does not compile"},
  };
  auto const outcome = [](zelcore::async::Future<zelcore::Blob> const& future) {
    testsupport::AwaitEnd(future);
    return future.HasException() ? MessageOf(future.GetException()) : BlobText(future.Get());
  };
  for (auto const handling :
       {SidecarDataStoreAdaptor::kExactParameterHash, SidecarDataStoreAdaptor::kAllowAnyParameterHash}) {
    auto const own = SidecarDataStoreAdaptor::CreateWithDefaultExtension(handling);
    auto const derived = std::make_shared<ElsewhereStore>(handling);
    derived->passThrough = true;
    InterfaceRef<IDataStoreAdaptor> const throughReader(derived);
    for (Case const& c : cases) {
      std::string const expected = handling == SidecarDataStoreAdaptor::kExactParameterHash ? c.exact : c.any;
      auto const load = [&](InterfaceRef<IDataStoreAdaptor> const& store) {
        return outcome(store->LoadDataWithKey(media_, c.analyzer, Text(c.parameter), Text(c.key)));
      };
      EXPECT_THAT(load(own), testing::StartsWith(expected)) << handling << " " << c.parameter << "/" << c.key;
      EXPECT_THAT(load(throughReader), testing::StartsWith(expected)) << handling << " " << c.parameter << "/" << c.key;
    }
    EXPECT_EQ(derived->reads, static_cast<int>(std::size(cases)));
  }
}

}  // namespace
}  // namespace Quillan
