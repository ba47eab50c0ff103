#include "quillan/MediaDuration.h"

#include "Analyzers/MediaInput.h"
#include "zelcore/ZelException.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace Quillan::Cli {

std::optional<double> MediaDuration(std::filesystem::path const& path) {
  try {
    Examples::MediaInput input(path);
    AVFormatContext const* format = input.Format();
    // A duration needs no pictures: the probe opens audio decoders only.
    if (format->duration == AV_NOPTS_VALUE) input.ProbeStreams(Examples::MediaInput::Probe::kAudio);
    if (format->duration == AV_NOPTS_VALUE || format->duration <= 0) return std::nullopt;
    return static_cast<double>(format->duration) / AV_TIME_BASE;
  } catch (zelcore::config::zel_exception const&) {
    return std::nullopt;
  }
}

}  // namespace Quillan::Cli
