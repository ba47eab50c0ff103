// The example analyzers against the tools people would otherwise run: FFmpeg's own filters, aubio and sha256sum, each
// as a whole command on the same file, our side through the quillan tool with its caches out of the way.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "SampleMedia/SampleClip.h"
#include "SampleMedia/SampleMedia.h"
#include "Support/BaselineRatio.h"

namespace {

namespace fs = std::filesystem;

// Made once and kept between runs (each under a name that says what it holds): the clip takes a while to encode.
fs::path MediaFolder() {
  fs::path const folder = fs::temp_directory_path() / "quillan-media-bench-1";
  fs::create_directories(folder);
  return folder;
}

template <class Write>
fs::path Prepared(std::string const& name, Write&& write) {
  fs::path const path = MediaFolder() / name;
  if (fs::exists(path)) return path;
  fs::path const part = MediaFolder() / ("part-" + name);
  write(part);
  fs::rename(part, path);
  return path;
}

// Ten minutes of stereo 48 kHz 16-bit noise (115 MB).
fs::path LongWav() {
  return Prepared("noise-10min.wav", [](fs::path const& path) {
    Quillan::Samples::WriteSample(path, {Quillan::Samples::Signal::kNoise, 2, 48000, 600, 440, 0.3, 5});
  });
}

// One minute of 1080p MPEG-4 Part 2 with AAC, cut every two seconds.
fs::path Clip1080p() {
  return Prepared("cuts-1080p-1min.mp4", [](fs::path const& path) {
    Quillan::Samples::WriteClip(path, Quillan::Samples::StandardClip(60, 1920, 1080));
  });
}

// Two minutes of a stereo 44.1 kHz drum loop at 120 BPM (a decaying low sine on every beat, a burst of noise between),
// written by ffmpeg.
fs::path DrumLoop() {
  return Prepared("drums-120bpm-2min.wav", [](fs::path const& path) {
    std::string const kick = "0.8*sin(2*PI*(50+100*exp(-mod(t,0.5)*30))*mod(t,0.5))*exp(-mod(t,0.5)*12)";
    std::string const hat = "0.25*(random(0)*2-1)*exp(-mod(t+0.25,0.5)*60)";
    std::string const command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i \"aevalsrc='" + kick + "+" + hat + "|" +
                                kick + "+" + hat + "':s=44100:d=120\" -f wav " + path.string();
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
  });
}

void Run(std::string const& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// The quillan tool, computing afresh and storing nothing.
std::string Quillan(std::string const& analyzer, fs::path const& file) {
  fs::path const home = MediaFolder() / "home";
  return std::string(QUILLAN_TOOL_PATH) + " --cache-dir " + (home / "cache").string() + " --config-dir " +
         (home / "config").string() + " --debug ZELSE.IgnoreAnalyzerCache=true analyze --no-progress " +
         "--cache-location read-only --analyzer " + analyzer + " " + file.string();
}

std::string Ffmpeg(std::string const& options, fs::path const& file) {
  return "ffmpeg -nostdin -hide_banner -i " + file.string() + " " + options + " -f null -";
}

// CPU seconds (user and system) that finished child processes have used so far.
double ChildCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  auto const seconds = [](timeval const& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall time, and CPU time besides: both sides may use a second core (our true peak runs on a thread of its own).
void BM_LoudnessVsFfmpegEbur128(benchmark::State& state) {
  fs::path const file = LongWav();
  double oursCpu = 0, baselineCpu = 0;
  auto const timed = [](double& total, std::string const& command) {
    double const before = ChildCpuSeconds();
    Run(command);
    total += ChildCpuSeconds() - before;
  };
  benchsupport::MeasureAgainstBaseline(
      state, [&] { timed(oursCpu, Quillan("loudness", file)); },
      [&] { timed(baselineCpu, Ffmpeg("-af ebur128=peak=true", file)); });
  state.counters["ours_cpu_s"] = oursCpu / static_cast<double>(state.iterations());
  state.counters["baseline_cpu_s"] = baselineCpu / static_cast<double>(state.iterations());
  state.counters["cpu_ratio"] = oursCpu / baselineCpu;
}

void BM_ScenesVsFfmpegScdet(benchmark::State& state) {
  fs::path const file = Clip1080p();
  // Both read the pictures only.
  benchsupport::MeasureAgainstBaseline(
      state, [&] { Run(Quillan("scenes", file)); }, [&] { Run(Ffmpeg("-an -vf scdet", file)); });
}

void BM_SilenceVsFfmpegSilencedetect(benchmark::State& state) {
  fs::path const file = LongWav();
  benchsupport::MeasureAgainstBaseline(
      state, [&] { Run(Quillan("silence", file)); }, [&] { Run(Ffmpeg("-af silencedetect", file)); });
}

void BM_DigestVsSha256sum(benchmark::State& state) {
  fs::path const file = LongWav();
  benchsupport::MeasureAgainstBaseline(
      state, [&] { Run(Quillan("digest", file)); }, [&] { Run("sha256sum " + file.string()); });
}

void BM_BlackVsFfmpegBlackdetect(benchmark::State& state) {
  fs::path const file = Clip1080p();
  benchsupport::MeasureAgainstBaseline(
      state, [&] { Run(Quillan("black", file)); }, [&] { Run(Ffmpeg("-an -vf blackdetect", file)); });
}

void BM_FreezeVsFfmpegFreezedetect(benchmark::State& state) {
  fs::path const file = Clip1080p();
  benchsupport::MeasureAgainstBaseline(
      state, [&] { Run(Quillan("freeze", file)); }, [&] { Run(Ffmpeg("-an -vf freezedetect", file)); });
}

// aubio's own beat tracker on the same file (the aubio command of the aubio-tools package).
void BM_BeatsVsAubioBeat(benchmark::State& state) {
  if (std::system("command -v aubio >/dev/null 2>&1") != 0) {
    state.SkipWithError("the aubio command (aubio-tools) is not installed");
    return;
  }
  fs::path const file = DrumLoop();
  benchsupport::MeasureAgainstBaseline(
      state, [&] { Run(Quillan("beats", file)); }, [&] { Run("aubio beat " + file.string()); });
}

BENCHMARK(BM_LoudnessVsFfmpegEbur128)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ScenesVsFfmpegScdet)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SilenceVsFfmpegSilencedetect)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DigestVsSha256sum)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_BlackVsFfmpegBlackdetect)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FreezeVsFfmpegFreezedetect)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BeatsVsAubioBeat)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
