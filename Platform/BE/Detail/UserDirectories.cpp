#include "BE/Detail/UserDirectories.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

namespace BE::detail {
namespace {

char const* NonEmptyEnvironment(char const* name) {
  char const* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

std::filesystem::path HomeDirectory() {
  if (char const* home = NonEmptyEnvironment("HOME")) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && *found->pw_dir != '\0') {
    return found->pw_dir;
  }
  // No home at all (a service account): keep working in the temporary folder.
  std::error_code error;
  return std::filesystem::temp_directory_path(error);
}

// `override` as given when set; else "quillan" under the XDG base directory `xdgVariable` (ignored unless
// absolute, as the XDG rules say), else under `fallback` in the home folder.
std::filesystem::path QuillanDirectory(char const* overrideVariable, char const* xdgVariable, char const* fallback) {
  if (char const* directory = NonEmptyEnvironment(overrideVariable)) return directory;
  if (char const* base = NonEmptyEnvironment(xdgVariable)) {
    std::filesystem::path path(base);
    if (path.is_absolute()) return path / "quillan";
  }
  return HomeDirectory() / fallback / "quillan";
}

}  // namespace

std::filesystem::path UserConfigDirectory() {
  return QuillanDirectory("QUILLAN_CONFIG_DIR", "XDG_CONFIG_HOME", ".config");
}

std::filesystem::path UserCacheDirectory() { return QuillanDirectory("QUILLAN_CACHE_DIR", "XDG_CACHE_HOME", ".cache"); }

}  // namespace BE::detail
