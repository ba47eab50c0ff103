#pragma once

#include <filesystem>
#include <optional>

namespace Quillan::Cli {

// The playing time of the media file at `path` in seconds, as its container states it (FFmpeg's demuxers); empty
// when the file is no media FFmpeg can open or states none. Reads the file's header only.
std::optional<double> MediaDuration(std::filesystem::path const& path);

}  // namespace Quillan::Cli
