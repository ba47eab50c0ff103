// The quillan tool over whole folders of short files, as a library of clips is analysed: every result cached, and
// every result computed afresh. The baseline is the least any run must do: stat every media file and read every
// sidecar whole (cached), or read every media file whole (computed).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <any>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "Analyzers/ExampleAnalyzers.h"
#include "BE/ProjectFactory.h"
#include "DataStoreAdaptors/ResultCodes.h"
#include "Host/AnalysisOptions.h"
#include "Host/AnalyzerHost.h"
#include "Support/BaselineRatio.h"
#include "zelcore/Executor.h"

namespace {

namespace fs = std::filesystem;

fs::path BenchFolder() { return fs::temp_directory_path() / "quillan-folder-bench-1"; }

// One second of stereo 48 kHz 16-bit sound, a tone of its own per file so that every file has content of its own.
void WriteClip(fs::path const& path, int index) {
  constexpr std::uint32_t kRate = 48000;
  constexpr std::uint32_t kBytes = kRate * 4;
  auto const le = [](std::uint32_t value, int size) {
    std::string bytes;
    for (int i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
  };
  std::string file = "RIFF" + le(36 + kBytes, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(2, 2) + le(kRate, 4) +
                     le(kRate * 4, 4) + le(4, 2) + le(16, 2) + "data" + le(kBytes, 4);
  double const frequency = 110.0 + index % 2000;
  for (std::uint32_t i = 0; i < kRate; ++i) {
    auto const sample = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * frequency * i / kRate));
    std::string const bytes = le(static_cast<std::uint16_t>(sample), 2);
    file += bytes + bytes;
  }
  std::ofstream(path, std::ios::binary) << file;
}

// A folder of `count` clips, made once and kept between runs.
fs::path Library(int count) {
  fs::path const folder = BenchFolder() / ("clips-" + std::to_string(count));
  // Beside the folder, not in it: the runs would take it for a file to analyse.
  fs::path const complete = BenchFolder() / ("clips-" + std::to_string(count) + ".complete");
  if (fs::exists(complete)) return folder;
  fs::create_directories(folder);
  for (int i = 0; i < count; ++i) WriteClip(folder / ("clip" + std::to_string(i) + ".wav"), i);
  std::ofstream(complete) << count;
  return folder;
}

void Run(std::string const& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// The six analyzers that every figure of this benchmark has been measured with, so that figures stay comparable as
// the module gains analyzers.
constexpr char kAnalyzers[] = "-a digest -a peaks -a loudness -a scenes -a silence -a beats ";
constexpr double kAnalyzerCount = 6;

std::string Quillan(std::string const& arguments) {
  fs::path const home = BenchFolder() / "home";
  return std::string(QUILLAN_TOOL_PATH) + " --cache-dir " + (home / "cache").string() + " --config-dir " +
         (home / "config").string() + " analyze --no-progress --format ndjson " + kAnalyzers + arguments;
}

std::vector<fs::path> MediaOf(fs::path const& folder) {
  std::vector<fs::path> media;
  for (auto const& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == ".wav") media.push_back(entry.path());
  }
  return media;
}

// Reads the whole file at `path`; returns the bytes read.
std::size_t ReadWhole(fs::path const& path, std::vector<char>& buffer) {
  int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path.string());
  std::size_t total = 0;
  for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;) total += static_cast<std::size_t>(got);
  ::close(fd);
  return total;
}

// The largest resident size of any child so far, in MB.
double ChildPeakMegabytes() {
  struct rusage usage {};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Every one of the example analyzers' results is in the sidecars: the tool against stat and read of every sidecar.
void BM_FolderAllCached(benchmark::State& state) {
  int const count = static_cast<int>(state.range(0));
  fs::path const folder = Library(count);
  Run(Quillan(folder.string()));  // computes what is not stored yet
  std::vector<fs::path> const media = MediaOf(folder);
  std::vector<char> buffer(1 << 20);
  benchsupport::MeasureAgainstBaseline(
      state, [&] { Run(Quillan(folder.string())); },
      [&] {
        std::size_t bytes = 0;
        for (fs::path const& file : media) {
          struct stat status {};
          ::stat(file.c_str(), &status);
          fs::path sidecar = file;
          bytes += ReadWhole(sidecar.replace_extension(".qvmi"), buffer);
        }
        benchmark::DoNotOptimize(bytes);
      });
  state.counters["results_per_s"] =
      benchmark::Counter(kAnalyzerCount * count * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["peak_rss_mb"] = ChildPeakMegabytes();
}
BENCHMARK(BM_FolderAllCached)
    ->Arg(500)
    ->Arg(1500)
    ->Arg(4500)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Every result computed afresh and stored over the old one (--force): the tool against reading every clip whole.
void BM_FolderAllComputed(benchmark::State& state) {
  int const count = static_cast<int>(state.range(0));
  fs::path const folder = Library(count);
  std::vector<fs::path> const media = MediaOf(folder);
  std::vector<char> buffer(1 << 20);
  benchsupport::MeasureAgainstBaseline(
      state, [&] { Run(Quillan("--force " + folder.string())); },
      [&] {
        std::size_t bytes = 0;
        for (fs::path const& file : media) bytes += ReadWhole(file, buffer);
        benchmark::DoNotOptimize(bytes);
      });
  state.counters["results_per_s"] =
      benchmark::Counter(kAnalyzerCount * count * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FolderAllComputed)->Arg(500)->Arg(1500)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The library's own share of a cached folder run: in this process, the default host answers every stored result of
// the folder through the example analyzers and their stores, every job requested at once, nothing printed. What the
// tool adds to it is its start (loading its libraries) and its output. No baseline: the tool's run is its neighbour.
void BM_FolderAllCachedInProcess(benchmark::State& state) {
  int const count = static_cast<int>(state.range(0));
  fs::path const folder = Library(count);
  Run(Quillan(folder.string()));  // computes what is not stored yet
  // The tool's folders, so that the content identities it recorded are found, as in its runs.
  fs::path const home = BenchFolder() / "home";
  ::setenv("QUILLAN_CACHE_DIR", (home / "cache").c_str(), 1);
  ::setenv("QUILLAN_CONFIG_DIR", (home / "config").c_str(), 1);
  auto const host = Quillan::GetAnalyzerHost();
  std::vector<zelcore::utility::Guid> analyzers;
  for (char const* name : {"digest", "peaks", "loudness", "scenes", "silence", "beats"}) {
    analyzers.push_back(*Quillan::Examples::FindExampleAnalyzer(name));
  }
  auto const executor = zelcore::async::CreateSubExecutor(zelcore::async::GetDefaultExecutor(), 1 << 20);
  auto const deadline = [] { return std::chrono::steady_clock::now() + std::chrono::minutes(5); };
  for (auto _ : state) {
    auto const start = std::chrono::steady_clock::now();
    std::vector<zelcore::async::Future<std::any>> jobs;
    for (fs::path const& file : MediaOf(folder)) {
      auto const clip =
          BE::ProjectFactory::CreateClip(BE::ProjectFactory::CreateMedia(file.u16string()), BE::kMediaType_Audio);
      executor->Pause();  // the host holds its jobs weakly: none may end before its future is held here
      std::vector<zelcore::async::Future<
          std::tuple<Quillan::IAnalyzerHost::JobFuture, Quillan::IAnalyzerHost::ProgressItemPtr>>>
          started;
      for (auto const& analyzer : analyzers) {
        started.push_back(host->AnalyzeClipWithAnalyzer(clip, analyzer, {}, Quillan::AnalysisOptions{0, 0}, executor));
      }
      for (auto const& one : started) {
        if (!zelcore::async::WaitForUntypedUntil(one, deadline(), true) || !one.HasValue()) {
          throw std::runtime_error("the host did not start a job");
        }
        jobs.push_back(std::get<0>(one.Get()).Lock());
      }
      executor->Resume();
    }
    for (auto const& job : jobs) {
      if (!zelcore::async::WaitForUntypedUntil(job, deadline(), true)) throw std::runtime_error("a job did not end");
      // Scenes on a sound: the stored "does not apply", an answer like a result.
      if (!job.HasValue() &&
          zelcore::config::ExtractResultFromException(job.GetException()) == Quillan::kResultNotApplicable) {
        continue;
      }
      if (!job.HasValue()) std::rethrow_exception(job.GetException());
      if (!std::any_cast<Quillan::Examples::ExampleResult>(job.Get()).fromCache) {
        throw std::runtime_error("a job computed its result instead of loading it");
      }
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["results_per_s"] =
      benchmark::Counter(kAnalyzerCount * count * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FolderAllCachedInProcess)->Arg(1500)->Iterations(4)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();
