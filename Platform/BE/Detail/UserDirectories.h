#pragma once

#include <filesystem>

namespace BE::detail {

// Quillan's folder for settings: $QUILLAN_CONFIG_DIR, else $XDG_CONFIG_HOME/quillan, else ~/.config/quillan.
std::filesystem::path UserConfigDirectory();
// Quillan's folder for caches: $QUILLAN_CACHE_DIR, else $XDG_CACHE_HOME/quillan, else ~/.cache/quillan.
std::filesystem::path UserCacheDirectory();

}  // namespace BE::detail
