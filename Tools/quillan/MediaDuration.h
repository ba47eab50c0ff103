#pragma once

#include <filesystem>
#include <optional>

namespace Quillan::Cli {

// The playing time of the media file at `path` in seconds, as its container states it (FFmpeg's demuxers); empty
// when the file is no media FFmpeg can open, refers to other files, or states none. Opens the file as MediaInput does
// and reads its header, and further only when the header states no duration.
std::optional<double> MediaDuration(std::filesystem::path const& path);

}  // namespace Quillan::Cli
