// The managed cache store beside its baselines:
//   - a load served by the memory tier, through LoadDataWithKey until the future is ready (goal: under 5 us), beside
//     the project model's content-state lookup that every load makes, and a mutex-guarded hash-map lookup;
//   - a load of a 64 KiB item served by the disk tier with the memory tier cold (goal: at most twice a plain read()
//     of a 64 KiB file);
//   - 10,000 saves of 1 KiB items until every one is on disk (goal: at least 20,000 items per second), beside the
//     same rows inserted with SQLite directly in one transaction;
//   - a prune of the least recently used half of 10,000 items of 4 KiB, and a clear of them, each until the space is
//     back with the file system, beside the same deletions with SQLite alone (goal: at most twice as long).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/DataStoreAdaptorUtils.h"
#include "DataStoreAdaptors/ManagedDataStoreAdaptor.h"
#include "MF/DiskCacheManager.h"
#include "zelcore/TextConversions.h"

namespace {

using Quillan::ManagedDataStoreAdaptor;
using Quillan::Target;
using zelcore::Blob;
using zelcore::InterfaceRef;
using zelcore::utility::Guid;
using zelcore::utility::ImmutableString;

constexpr std::size_t kDiskItemBytes = 64 << 10;
constexpr std::size_t kPutItemBytes = 1 << 10;
constexpr int kPutCount = 10000;
constexpr std::size_t kPruneItemBytes = 4 << 10;
constexpr int kPruneCount = 10000;
Guid const kAnalyzer = *Guid::FromString("b0000000-0000-4000-8000-0000000000be");

// A folder for the run, removed at the end.
class Scratch {
 public:
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "managed-cache-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::filesystem::path const& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

Scratch& ScratchFolder() {
  static Scratch scratch;
  return scratch;
}

std::filesystem::path FreshFolder(std::string const& name) {
  static std::atomic<int> counter{0};
  auto path = ScratchFolder().path() / (name + std::to_string(counter++));
  std::filesystem::create_directories(path);
  return path;
}

Blob MakeBlob(std::size_t size, unsigned seed) {
  auto blob = zelcore::allocator::RecycledMemory::Create(size);
  for (std::size_t i = 0; i < size; ++i) blob->data()[i] = static_cast<std::uint8_t>(i * 31 + seed);
  return blob;
}

Target MediaTarget() {
  auto path = ScratchFolder().path() / "media.wav";
  std::ofstream(path, std::ios::binary) << "benchmark media";
  // An old file: the project model fingerprints a file again while its time stamp is too recent to trust.
  std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
  return BE::ProjectFactory::CreateMedia(zelcore::text::UTF8ToUTF16(path.string()));
}

InterfaceRef<Quillan::IDataStoreAdaptor> OpenStore(std::filesystem::path const& folder, std::uint64_t memoryBytes) {
  return ManagedDataStoreAdaptor::CreateForTesting(ImmutableString::Create(folder.string()), memoryBytes);
}

// Polls, so that the time measured ends when the future does and not when a sleeping thread wakes up.
void WaitUntilReady(zelcore::async::UntypedFuture const& future) {
  while (!future.IsReady()) {
  }
}

// Each iteration's latency, for the median: on a busy machine a few preempted iterations dominate the mean.
class Latencies {
 public:
  explicit Latencies(benchmark::State& state) : state_(state) {}
  ~Latencies() {
    if (samples_.empty()) return;
    auto const middle = samples_.begin() + static_cast<std::ptrdiff_t>(samples_.size() / 2);
    std::nth_element(samples_.begin(), middle, samples_.end());
    state_.counters["median_us"] = *middle;
  }

  template <class F>
  void Measure(F&& f) {
    auto const start = std::chrono::steady_clock::now();
    f();
    samples_.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }

 private:
  benchmark::State& state_;
  std::vector<double> samples_;
};

void FlushToDisk(InterfaceRef<Quillan::IDataStoreAdaptor> const& store) {
  auto const& managed = static_cast<ManagedDataStoreAdaptor&>(*store);
  WaitUntilReady(managed.GetCacheChainForTesting()->Flush());
}

void BM_MemoryTierHit(benchmark::State& state) {
  Target const media = MediaTarget();
  auto store = OpenStore(FreshFolder("memory"), MF::kDefaultMemoryCacheBytes);
  ImmutableString const parameter = ImmutableString::Create("window=1024");
  ImmutableString const key = ImmutableString::Create("peaks");
  WaitUntilReady(store->SaveDataWithKey(media, kAnalyzer, parameter, key, MakeBlob(kPutItemBytes, 1)));
  FlushToDisk(store);
  Latencies latencies(state);
  for (auto _ : state) {
    latencies.Measure([&] {
      auto future = store->LoadDataWithKey(media, kAnalyzer, parameter, key);
      WaitUntilReady(future);
      benchmark::DoNotOptimize(future.Get());
    });
  }
}

// Part of every load: the project model's content state of the target, which names the entry.
void BM_MemoryBaseline_ContentStateGuid(benchmark::State& state) {
  Target const media = MediaTarget();
  Latencies latencies(state);
  for (auto _ : state) latencies.Measure([&] { benchmark::DoNotOptimize(Quillan::GetContentStateGuid(media)); });
}

// Baseline: what a bare in-memory cache costs per lookup of an already-built key.
void BM_MemoryBaseline_MutexMapLookup(benchmark::State& state) {
  std::mutex mutex;
  std::unordered_map<std::string, Blob> map;
  std::string const key =
      Quillan::GenerateCacheKey(kAnalyzer, ImmutableString::Create("window=1024"), ImmutableString::Create("peaks"))
          .ToUTF8String();
  map.emplace(key, MakeBlob(kPutItemBytes, 1));
  for (auto _ : state) {
    std::lock_guard<std::mutex> lock(mutex);
    benchmark::DoNotOptimize(map.find(key)->second);
  }
}

void BM_DiskTierHit64KiB(benchmark::State& state) {
  Target const media = MediaTarget();
  // A memory tier that keeps nothing: every load goes to disk.
  auto store = OpenStore(FreshFolder("disk"), 1);
  ImmutableString const parameter = ImmutableString::Create("");
  ImmutableString const key = ImmutableString::Create("frames");
  WaitUntilReady(store->SaveDataWithKey(media, kAnalyzer, parameter, key, MakeBlob(kDiskItemBytes, 2)));
  FlushToDisk(store);
  Latencies latencies(state);
  for (auto _ : state) {
    latencies.Measure([&] {
      auto future = store->LoadDataWithKey(media, kAnalyzer, parameter, key);
      WaitUntilReady(future);
      if (future.Get()->size() != kDiskItemBytes) state.SkipWithError("wrong item");
    });
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kDiskItemBytes));
}

void BM_DiskBaseline_Read64KiBFile(benchmark::State& state) {
  auto const path = FreshFolder("file") / "item.bin";
  Blob const content = MakeBlob(kDiskItemBytes, 2);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<char const*>(content->data()), kDiskItemBytes);
  Latencies latencies(state);
  for (auto _ : state) {
    latencies.Measure([&] {
      auto blob = zelcore::allocator::RecycledMemory::Create(kDiskItemBytes);
      int const fd = open(path.c_str(), O_RDONLY);
      ssize_t const count = read(fd, blob->data(), kDiskItemBytes);
      close(fd);
      if (count != static_cast<ssize_t>(kDiskItemBytes)) state.SkipWithError("short read");
      benchmark::DoNotOptimize(blob);
    });
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kDiskItemBytes));
}

void BM_Save10000Items1KiB(benchmark::State& state) {
  Target const media = MediaTarget();
  std::vector<ImmutableString> keys;
  for (int i = 0; i < kPutCount; ++i) keys.push_back(ImmutableString::Create("item" + std::to_string(i)));
  Blob const blob = MakeBlob(kPutItemBytes, 3);
  ImmutableString const parameter = ImmutableString::Create("");
  std::vector<zelcore::async::Future<void>> saves(kPutCount);
  for (auto _ : state) {
    state.PauseTiming();
    auto store = OpenStore(FreshFolder("puts"), MF::kDefaultMemoryCacheBytes);
    state.ResumeTiming();
    for (int i = 0; i < kPutCount; ++i) saves[i] = store->SaveDataWithKey(media, kAnalyzer, parameter, keys[i], blob);
    for (auto const& save : saves) WaitUntilReady(save);
    FlushToDisk(store);
    state.PauseTiming();
    saves.assign(kPutCount, {});
    store.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kPutCount);
}

// Baseline: the same rows written with SQLite alone, in one transaction (WAL, synchronous=NORMAL).
void BM_SaveBaseline_SqliteOneTransaction(benchmark::State& state) {
  Blob const blob = MakeBlob(kPutItemBytes, 3);
  for (auto _ : state) {
    state.PauseTiming();
    auto const path = FreshFolder("sqlite") / "plain.db";
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE items(first TEXT, second TEXT, data BLOB, PRIMARY KEY(first, second));",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO items VALUES(?1, ?2, ?3)", -1, &insert, nullptr);
    state.ResumeTiming();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < kPutCount; ++i) {
      std::string const second = "item" + std::to_string(i);
      sqlite3_bind_text(insert, 1, "source", -1, SQLITE_STATIC);
      sqlite3_bind_text(insert, 2, second.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_blob(insert, 3, blob->data(), static_cast<int>(blob->size()), SQLITE_STATIC);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    state.PauseTiming();
    sqlite3_finalize(insert);
    sqlite3_close(db);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kPutCount);
}

// A folder with kPruneCount items of kPruneItemBytes, written through the disk cache.
struct FilledCache {
  std::shared_ptr<MF::DataCache> cache;
  std::shared_ptr<MF::DiskCacheManager::ManagedDirectory> directory;
};

FilledCache FillCache() {
  FilledCache filled;
  filled.cache = MF::CreateDataCacheInFilesystemAndManageDirectory(
      ImmutableString::Create(FreshFolder("prune").string()), filled.directory, true, true, false);
  Blob const blob = MakeBlob(kPruneItemBytes, 5);
  ImmutableString const first = ImmutableString::Create("source");
  for (int i = 0; i < kPruneCount; ++i) {
    filled.cache->PutItem(first, ImmutableString::Create("item" + std::to_string(i)), blob, false);
  }
  WaitUntilReady(filled.cache->Flush());
  return filled;
}

void BM_PruneHalfOf10000Items(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    FilledCache filled = FillCache();
    std::uint64_t const half = filled.directory->GetStatistics().usedBytes / 2;
    state.ResumeTiming();
    MF::DiskCacheRemoval const removal = filled.directory->PruneItems({std::nullopt, half});
    state.PauseTiming();
    if (removal.items < kPruneCount / 2 - 1 || !removal.spaceReturned) state.SkipWithError("pruned too little");
    filled = {};
    state.ResumeTiming();
  }
}

void BM_ClearOf10000Items(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    FilledCache filled = FillCache();
    state.ResumeTiming();
    MF::DiskCacheRemoval const removal = filled.directory->RemoveAllItems();
    state.PauseTiming();
    if (removal.items != kPruneCount || !removal.spaceReturned) state.SkipWithError("cleared too little");
    filled = {};
    state.ResumeTiming();
  }
}

// Baselines: the same rows in a database of the same settings, written with SQLite alone; then the oldest half
// deleted (or all rows), and the space given back, in as few statements as SQLite takes.
void RunSqliteRemovalBaseline(benchmark::State& state, char const* removal) {
  Blob const blob = MakeBlob(kPruneItemBytes, 5);
  for (auto _ : state) {
    state.PauseTiming();
    auto const path = FreshFolder("sqlite-prune") / "plain.db";
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA page_size=16384; PRAGMA auto_vacuum=INCREMENTAL; PRAGMA journal_mode=WAL;"
                 "PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE items(id INTEGER PRIMARY KEY, first TEXT, second TEXT, last_use INTEGER, data BLOB,"
                 "  UNIQUE(first, second));"
                 "CREATE INDEX items_by_last_use ON items(last_use);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO items(first, second, last_use, data) VALUES('source', ?1, ?2, ?3)", -1, &insert,
                       nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < kPruneCount; ++i) {
      std::string const second = "item" + std::to_string(i);
      sqlite3_bind_text(insert, 1, second.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(insert, 2, i);
      sqlite3_bind_blob(insert, 3, blob->data(), static_cast<int>(blob->size()), SQLITE_STATIC);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(insert);
    state.ResumeTiming();
    sqlite3_exec(db, removal, nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    state.PauseTiming();
    sqlite3_close(db);
    state.ResumeTiming();
  }
}

void BM_PruneBaseline_SqliteDeleteOldestHalf(benchmark::State& state) {
  RunSqliteRemovalBaseline(state,
                           "DELETE FROM items WHERE id IN (SELECT id FROM items ORDER BY last_use LIMIT 5000);"
                           "PRAGMA incremental_vacuum;");
}

void BM_ClearBaseline_SqliteDeleteAllAndVacuum(benchmark::State& state) {
  RunSqliteRemovalBaseline(state, "DELETE FROM items; VACUUM;");
}

BENCHMARK(BM_MemoryTierHit);
BENCHMARK(BM_MemoryBaseline_ContentStateGuid);
BENCHMARK(BM_MemoryBaseline_MutexMapLookup);
BENCHMARK(BM_DiskTierHit64KiB);
BENCHMARK(BM_DiskBaseline_Read64KiBFile);
BENCHMARK(BM_Save10000Items1KiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SaveBaseline_SqliteOneTransaction)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PruneHalfOf10000Items)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_PruneBaseline_SqliteDeleteOldestHalf)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ClearOf10000Items)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ClearBaseline_SqliteDeleteAllAndVacuum)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// Keeps each benchmark's mean real time per iteration, in nanoseconds, for the ratios.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(std::vector<Run> const& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (Run const& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      nanoseconds[run.benchmark_name()] = run.real_accumulated_time / static_cast<double>(run.iterations) * 1e9;
      if (auto const median = run.counters.find("median_us"); median != run.counters.end()) {
        medianMicroseconds[run.benchmark_name()] = median->second.value;
      }
    }
  }

  std::map<std::string, double> nanoseconds;
  std::map<std::string, double> medianMicroseconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto const find = [](std::map<std::string, double> const& values, char const* name) {
    for (auto const& [each, value] : values) {
      if (each.rfind(name, 0) == 0) return value;
    }
    return 0.0;
  };
  auto const mean = [&](char const* name) { return find(reporter.nanoseconds, name) / 1e3; };
  auto const median = [&](char const* name) { return find(reporter.medianMicroseconds, name); };

  if (mean("BM_MemoryTierHit") > 0) {
    std::printf(
        "memory-tier hit: median %.2f us, mean %.2f us per load (goal < 5 us); the project model's content state of "
        "the target, part of every load: median %.2f us, mean %.2f us\n",
        median("BM_MemoryTierHit"), mean("BM_MemoryTierHit"), median("BM_MemoryBaseline_ContentStateGuid"),
        mean("BM_MemoryBaseline_ContentStateGuid"));
  }
  if (mean("BM_DiskTierHit64KiB") > 0 && mean("BM_DiskBaseline_Read64KiBFile") > 0) {
    std::printf(
        "disk-tier hit of 64 KiB vs read() of a 64 KiB file: median %.2f us vs %.2f us, ratio %.2f; mean %.2f us vs "
        "%.2f us, ratio %.2f (goal <= 2)\n",
        median("BM_DiskTierHit64KiB"), median("BM_DiskBaseline_Read64KiBFile"),
        median("BM_DiskTierHit64KiB") / median("BM_DiskBaseline_Read64KiBFile"), mean("BM_DiskTierHit64KiB"),
        mean("BM_DiskBaseline_Read64KiBFile"), mean("BM_DiskTierHit64KiB") / mean("BM_DiskBaseline_Read64KiBFile"));
  }
  double const saves = mean("BM_Save10000Items1KiB");
  double const sqlite = mean("BM_SaveBaseline_SqliteOneTransaction");
  if (saves > 0) {
    double const itemsPerSecond = kPutCount / (saves / 1e6);
    double const sqliteItemsPerSecond = sqlite > 0 ? kPutCount / (sqlite / 1e6) : 0.0;
    std::printf(
        "10,000 saves of 1 KiB until on disk: %.0f items/s (goal >= 20000); SQLite alone in one transaction %.0f "
        "items/s: ratio %.2f\n",
        itemsPerSecond, sqliteItemsPerSecond, sqliteItemsPerSecond > 0 ? itemsPerSecond / sqliteItemsPerSecond : 0.0);
  }
  for (auto const& [ours, baseline, what] :
       {std::tuple{"BM_PruneHalfOf10000Items", "BM_PruneBaseline_SqliteDeleteOldestHalf",
                   "prune of the least recently used half of 10,000 items of 4 KiB"},
        std::tuple{"BM_ClearOf10000Items", "BM_ClearBaseline_SqliteDeleteAllAndVacuum",
                   "clear of 10,000 items of 4 KiB"}}) {
    if (mean(ours) > 0 && mean(baseline) > 0) {
      std::printf("%s, space returned: %.1f ms; SQLite alone: %.1f ms; ratio %.2f (goal <= 2)\n", what,
                  mean(ours) / 1e3, mean(baseline) / 1e3, mean(ours) / mean(baseline));
    }
  }
  benchmark::Shutdown();
  return 0;
}
