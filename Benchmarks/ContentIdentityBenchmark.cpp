// The content identity of media files: hashing a file on its first look against read() of the same file, and a
// warm analysis of many short files (every result cached) as a new process runs it, which finds each file's identity
// in the database, against the same run in a process that remembers every identity.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <any>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "BE/Backend.h"
#include "BE/Clip.h"
#include "BE/Media.h"
#include "BE/Preferences.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalyzerHost.h"
#include "SampleMedia/SampleMedia.h"
#include "Support/BaselineRatio.h"
#include "zelcore/Executor.h"

namespace {

namespace fs = std::filesystem;
using zelcore::InterfaceRef;
using zelcore::utility::Guid;

constexpr std::size_t kReadBufferBytes = 1 << 20;
constexpr std::uint64_t kLargeFileBytes = std::uint64_t{1} << 30;
constexpr int kShortFiles = 300;

fs::path BenchmarkFolder() {
  static fs::path const folder = [] {
    fs::path const path = fs::temp_directory_path() / ("quillan-identity-bench-" + std::to_string(::getpid()));
    fs::create_directories(path);
    return path;
  }();
  return folder;
}

// Removes the benchmark's files when the program ends.
struct FolderCleanup {
  fs::path const folder = BenchmarkFolder();
  ~FolderCleanup() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
} const folderCleanup;

InterfaceRef<BE::IMediaMetaData> MetadataOf(InterfaceRef<BE::IMedia> const& media) {
  return InterfaceRef<BE::IMediaMetaData>::Query(media->GetMediaInfo());
}

std::uint64_t ReadWhole(fs::path const& path) {
  int const fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path.string());
  std::vector<char> buffer(kReadBufferBytes);
  std::uint64_t total = 0;
  for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;) total += static_cast<std::uint64_t>(got);
  ::close(fd);
  return total;
}

void BM_IdentityOfOneGibibyteFileAgainstRead(benchmark::State& state) {
  fs::path const path = BenchmarkFolder() / "large.bin";
  if (!fs::exists(path)) {
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 engine(7);
    std::vector<std::uint64_t> chunk(kReadBufferBytes / sizeof(std::uint64_t));
    for (std::uint64_t written = 0; written < kLargeFileBytes; written += kReadBufferBytes) {
      for (auto& word : chunk) word = engine();
      out.write(reinterpret_cast<char const*>(chunk.data()), static_cast<std::streamsize>(kReadBufferBytes));
    }
  }
  ReadWhole(path);  // into the page cache
  // No folder to remember digests in, so that every look hashes.
  BE::GetBackend()->GetPreferences()->SetAnalyzerCacheDirectory((BenchmarkFolder() / "large.bin" / "x").wstring());
  auto const metadata = MetadataOf(BE::ProjectFactory::CreateMedia(path.u16string()));
  benchsupport::MeasureAgainstBaseline(
      state,
      [&] {
        BE::ForgetContentIdentitiesForTesting();
        Guid identity;
        if (metadata->GetContentAndMetadataStateGuid("/", identity) != BE::kMetadataStatusOk) {
          state.SkipWithError("no identity");
        }
        benchmark::DoNotOptimize(identity);
      },
      [&] { benchmark::DoNotOptimize(ReadWhole(path)); });
  double const gigabytes = static_cast<double>(kLargeFileBytes) / 1e9;
  state.counters["ours_GBps"] = gigabytes / (state.counters["ours_us"] / 1e6);
  state.counters["read_GBps"] = gigabytes / (state.counters["baseline_us"] / 1e6);
  BE::GetBackend()->GetPreferences()->SetAnalyzerCacheDirectory(L"");
}

// 300 one-second files, each analysed once by every example analyzer, so that the runs below find all of their
// results in the sidecars.
class WarmFiles {
 public:
  WarmFiles() {
    BE::GetBackend()->GetPreferences()->SetAnalyzerCacheDirectory((BenchmarkFolder() / "cache").wstring());
    for (int i = 0; i < kShortFiles; ++i) {
      fs::path const path = BenchmarkFolder() / ("short" + std::to_string(i) + ".wav");
      Quillan::Samples::Waveform waveform;
      waveform.frequency = 200.0 + i;
      Quillan::Samples::WriteSample(path, waveform);
      paths_.push_back(path);
    }
    for (std::string_view const name : Quillan::Examples::GetExampleAnalyzerNames()) {
      analyzers_.push_back(*Quillan::Examples::FindExampleAnalyzer(name));
    }
    // Stamps that have stood still long enough to be remembered.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Analyse(true);
  }

  // Analyses every file with every analyzer, as a new process would (its identities looked up in the database)
  // unless `remembered`; returns how many jobs computed their result rather than finding it cached (or failed).
  int Analyse(bool remembered) {
    if (!remembered) BE::ForgetContentIdentitiesForTesting();
    auto const host = Quillan::AnalyzerHost::GetDefaultInstance();
    auto const executor =
        zelcore::async::CreateSubExecutor(zelcore::async::GetDefaultExecutor(), zelcore::async::CPUCount());
    // Paused while the requests go in, so that every job is still there to be held.
    executor->Pause();
    std::vector<zelcore::async::Future<std::any>> jobs;
    for (fs::path const& path : paths_) {
      auto const clip =
          BE::ProjectFactory::CreateClip(BE::ProjectFactory::CreateMedia(path.u16string()), BE::kMediaType_Audio);
      for (Guid const& analyzer : analyzers_) {
        auto const started =
            host->AnalyzeClipWithAnalyzer(clip, analyzer, {}, Quillan::AnalysisOptions{0, 0}, executor);
        zelcore::async::WaitForUntypedUntil(started, std::chrono::steady_clock::now() + std::chrono::minutes(1), true);
        jobs.push_back(std::get<0>(started.Get()).Lock());
      }
    }
    executor->Resume();
    int computed = 0;
    for (auto const& job : jobs) {
      zelcore::async::WaitForUntypedUntil(job, std::chrono::steady_clock::now() + std::chrono::minutes(1), true);
      // A video analyzer on a sound answers "does not apply" from the store, as a failure of its job.
      if (!job.HasValue() &&
          zelcore::config::ExtractResultFromException(job.GetException()) == Quillan::kResultNotApplicable) {
        continue;
      }
      auto const* result = job.HasValue() ? std::any_cast<Quillan::Examples::ExampleResult>(&job.Get()) : nullptr;
      if (!result || !result->fromCache) ++computed;
    }
    executor->Shutdown();
    return computed;
  }

 private:
  std::vector<fs::path> paths_;
  std::vector<Guid> analyzers_;
};

void BM_WarmAnalysisOf300FilesInANewProcess(benchmark::State& state) {
  static WarmFiles files;
  int computed = 0;
  benchsupport::MeasureAgainstBaseline(
      state, [&] { computed += files.Analyse(false); }, [&] { computed += files.Analyse(true); });
  if (computed != 0) state.SkipWithError("a warm run computed results");
  state.counters["ours_us_per_file"] = state.counters["ours_us"] / kShortFiles;
  state.counters["baseline_us_per_file"] = state.counters["baseline_us"] / kShortFiles;
}

BENCHMARK(BM_IdentityOfOneGibibyteFileAgainstRead)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_WarmAnalysisOf300FilesInANewProcess)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
