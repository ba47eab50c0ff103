// The pictures library against what a user would otherwise run or could not do faster: a contact strip beside
// FFmpeg's own one-command contact sheet of the same pictures, and a waveform picture beside encoding a blank PNG of
// the same size with Cairo (the floor that any drawing adds to).
#include <benchmark/benchmark.h>
#include <cairo.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "Pictures/ContactStrip.h"
#include "Pictures/WaveformImage.h"
#include "SampleMedia/SampleClip.h"
#include "Support/BaselineRatio.h"

namespace {

namespace fs = std::filesystem;

fs::path Folder() {
  fs::path const folder = fs::temp_directory_path() / "quillan-pictures-bench-1";
  fs::create_directories(folder);
  return folder;
}

// One minute of 720p MPEG-4 Part 2, cut every two seconds: 30 scenes. Made once and kept between runs.
fs::path Clip720p() {
  fs::path const path = Folder() / "cuts-720p-1min.mp4";
  if (!fs::exists(path)) {
    fs::path const part = Folder() / "part-cuts-720p-1min.mp4";
    Quillan::Samples::WriteClip(part, Quillan::Samples::StandardClip(60, 1280, 720));
    fs::rename(part, path);
  }
  return path;
}

void BM_ContactStripVsFfmpegTile(benchmark::State& state) {
  fs::path const clip = Clip720p();
  Quillan::Samples::ClipPlan const plan = Quillan::Samples::StandardClip(60, 1280, 720);
  Quillan::Examples::Scenes scenes;
  std::string select = "eq(n\\,0)";
  for (std::uint64_t const frame : Quillan::Samples::KnownCuts(plan)) {
    scenes.cuts.push_back({frame, static_cast<double>(frame) / plan.framesPerSecond, 50});
    select += "+eq(n\\," + std::to_string(frame) + ")";
  }
  // The same pictures at the same height, tiled 8 across into one PNG by one ffmpeg command.
  std::string const command = "ffmpeg -nostdin -hide_banner -loglevel error -y -an -i " + clip.string() +
                              " -vf \"select='" + select + "',scale=-2:120,tile=8x4\" -frames:v 1 " +
                              (Folder() / "ffmpeg-tile.png").string() + " >/dev/null 2>&1";
  fs::path const ours = Folder() / "strip.png";
  benchsupport::MeasureAgainstBaseline(
      state, [&] { Quillan::Pictures::WriteContactStrip(ours, clip, scenes, {}); },
      [&] {
        if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
      });
}

void BM_WaveformPngVsBlankPng(benchmark::State& state) {
  // Ten minutes of stereo audio at 256 samples per peak.
  Quillan::Examples::PeakEnvelope envelope;
  envelope.channelCount = 2;
  envelope.samplesPerPeak = 256;
  envelope.sampleRate = 48000;
  envelope.frameCount = 48000ull * 600;
  for (std::uint64_t i = 0; i * 256 < envelope.frameCount; ++i) {
    float const left = static_cast<float>(std::fabs(std::sin(static_cast<double>(i) / 500)));
    float const right = static_cast<float>(i % 97) / 97;
    for (float const peak : {-left, left, -right / 2, right}) envelope.peaks.push_back(peak);
  }
  Quillan::Pictures::WaveformImageOptions const options;
  benchsupport::MeasureAgainstBaseline(
      state, [&] { benchmark::DoNotOptimize(Quillan::Pictures::DrawWaveformPng(envelope, options)); },
      [&] {
        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, options.width, options.height);
        std::size_t bytes = 0;
        cairo_surface_write_to_png_stream(
            surface,
            [](void* closure, unsigned char const*, unsigned int length) {
              *static_cast<std::size_t*>(closure) += length;
              return CAIRO_STATUS_SUCCESS;
            },
            &bytes);
        cairo_surface_destroy(surface);
        benchmark::DoNotOptimize(bytes);
      });
}

BENCHMARK(BM_ContactStripVsFfmpegTile)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_WaveformPngVsBlankPng)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
