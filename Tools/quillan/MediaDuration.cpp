#include "quillan/MediaDuration.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace Quillan::Cli {

std::optional<double> MediaDuration(std::filesystem::path const& path) {
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) != 0) return std::nullopt;
  std::optional<double> seconds;
  if (context->duration == AV_NOPTS_VALUE) avformat_find_stream_info(context, nullptr);
  if (context->duration != AV_NOPTS_VALUE && context->duration > 0) {
    seconds = static_cast<double>(context->duration) / AV_TIME_BASE;
  }
  avformat_close_input(&context);
  return seconds;
}

}  // namespace Quillan::Cli
