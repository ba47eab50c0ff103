// Feeds arbitrary bytes to the example analyzers' media reader as a file: whatever FFmpeg makes of them, the reader
// must decode its audio and its pictures to the end or fail with a clear error, never crash or leak.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "AnalyzerMedia/Detail/MediaReader.h"
#include "AnalyzerMedia/FfmpegLog.h"
#include "Analyzers/Detail/Progress.h"
#include "zelcore/ZelException.h"

namespace {

using Quillan::Examples::detail::MediaReader;
using Quillan::Examples::detail::Progress;

// The input as a file in memory, with a path the reader can open.
class MemoryFile {
 public:
  MemoryFile(std::uint8_t const* data, std::size_t size) : descriptor_(::memfd_create("media", MFD_CLOEXEC)) {
    for (std::size_t done = 0; descriptor_ >= 0 && done < size;) {
      ssize_t const wrote = ::write(descriptor_, data + done, size - done);
      if (wrote <= 0) break;
      done += static_cast<std::size_t>(wrote);
    }
  }
  ~MemoryFile() { ::close(descriptor_); }
  std::string Path() const { return "/proc/self/fd/" + std::to_string(descriptor_); }
  bool Ok() const { return descriptor_ >= 0; }

 private:
  int descriptor_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  Quillan::Examples::detail::InstallFfmpegLogPolicy();
  Quillan::Examples::detail::LimitFfmpegAllocations();
  MemoryFile const file(data, size);
  if (!file.Ok()) return 0;
  Progress const quiet(nullptr);
  try {
    MediaReader reader(file.Path(), Quillan::Examples::MediaInput::Probe::kAudio);
    reader.SelectAudio(MediaReader::kBestStream);
    float sum = 0;
    reader.ReadAudio(quiet, [&](std::span<float const> samples, std::size_t) {
      for (float const sample : samples) sum += sample;
    });
  } catch (zelcore::config::zel_exception const&) {
  }
  try {
    MediaReader reader(file.Path(), Quillan::Examples::MediaInput::Probe::kVideo);
    // A file without pictures is not applicable, a failure like any other here.
    reader.SelectVideo(MediaReader::kBestStream, 64);
    std::uint64_t sum = 0;
    reader.ReadVideo(quiet, [&](MediaReader::Picture const& picture) {
      for (std::uint8_t const luma : picture.luma) sum += luma;
    });
  } catch (zelcore::config::zel_exception const&) {
  }
  return 0;
}
