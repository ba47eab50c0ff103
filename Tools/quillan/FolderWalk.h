#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace Quillan::Cli {

// Calls `visit` with every entry of `folder` (with `recursive`, of all its subfolders too), passing over what cannot
// be read for want of permission. `visit` returns false for a folder that is not to be walked into. Throws
// CommandFailure when the folder cannot be read.
void WalkFolder(std::string const& folder, bool recursive,
                std::function<bool(std::filesystem::directory_entry const&)> const& visit);

}  // namespace Quillan::Cli
