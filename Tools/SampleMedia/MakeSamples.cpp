// quillan_make_samples: writes one sample audio file, or the demo's set of them. Run without arguments for usage.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "SampleMedia/SampleClip.h"
#include "SampleMedia/SampleMedia.h"

namespace {

constexpr char kUsage[] =
    "usage: quillan_make_samples [--signal tone|noise|silence] [--channels N] [--rate HZ] [--seconds S]\n"
    "                            [--frequency HZ] [--amplitude A] [--seed N] FILE.wav|.flac|.aiff\n"
    "       quillan_make_samples [--seconds S] [--size WxH] CLIP.mkv|.mp4|.mov\n"
    "           (2-second shots: still, pan, fade in, fade out; a second of silence in every third shot)\n"
    "       quillan_make_samples --demo FOLDER [--long-seconds S]\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace Quillan::Samples;
  SampleRequest request;
  try {
    request = ParseSampleArguments(std::vector<std::string>(argv + 1, argv + argc));
  } catch (std::exception const& error) {
    std::cerr << "quillan_make_samples: " << error.what() << "\n" << kUsage;
    return 2;
  }
  try {
    if (request.demoFolder.empty()) {
      if (IsClipPath(request.file)) {
        WriteClip(request.file, StandardClip(request.waveform.seconds, request.width, request.height));
      } else {
        WriteSample(request.file, request.waveform);
      }
      return 0;
    }
    std::filesystem::create_directories(request.demoFolder);
    for (NamedSample const& sample : DemoSamples(request.longSeconds)) {
      WriteSample(request.demoFolder / sample.name, sample.waveform);
      std::cout << (request.demoFolder / sample.name).string() << "\n";
    }
    for (auto const& [name, seconds] : DemoClipNames()) {
      WriteClip(request.demoFolder / name, StandardClip(seconds, 640, 360));
      std::cout << (request.demoFolder / name).string() << "\n";
    }
    return 0;
  } catch (std::exception const& error) {
    std::cerr << "quillan_make_samples: " << error.what() << "\n";
    return 1;
  }
}
