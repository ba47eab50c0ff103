#include "Host/AnalyzerModule.h"

#include <dlfcn.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <optional>

namespace Quillan {
namespace {

using EntryPoint = int (*)();

std::string HexCode(int code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(code));
  return text;
}

}  // namespace

void LoadAnalyzerModule(std::string const& path) {
  static std::mutex mutex;
  // Modules whose entry point has run, with why it failed: a module is never asked to register twice, and a failed one
  // fails every load, not only the first.
  static auto* const entered = new std::map<void*, std::optional<std::string>>;
  std::string const file = path.find('/') == std::string::npos ? "./" + path : path;
  std::lock_guard lock(mutex);
  void* const handle = dlopen(file.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) {
    char const* const reason = dlerror();
    throw AnalyzerModuleError("cannot load analyzer module " + path + ": " + (reason ? reason : "unknown error"));
  }
  if (auto const found = entered->find(handle); found != entered->end()) {
    if (found->second) throw AnalyzerModuleError(*found->second);
    return;
  }
  std::optional<std::string>& failure = (*entered)[handle];
  auto const entry = reinterpret_cast<EntryPoint>(dlsym(handle, "QuillanRegisterAnalyzers"));
  if (entry == nullptr) return;  // registered by static constructors as it loaded
  std::string const prefix = "analyzer module " + path + " could not register its analyzers: ";
  int code = 0;
  try {
    code = entry();
  } catch (std::exception const& e) {
    failure = prefix + e.what();
  } catch (...) {
    failure = prefix + "unknown exception";
  }
  if (!failure && code != 0) failure = prefix + "result " + HexCode(code);
  if (failure) throw AnalyzerModuleError(*failure);
}

}  // namespace Quillan
