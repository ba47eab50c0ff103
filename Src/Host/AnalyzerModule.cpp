#include "Host/AnalyzerModule.h"

#include <dlfcn.h>

#include <cstdio>
#include <mutex>
#include <set>

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
  static std::set<void*>* const entered = new std::set<void*>;  // modules whose entry point has run
  std::string const file = path.find('/') == std::string::npos ? "./" + path : path;
  std::lock_guard lock(mutex);
  void* const handle = dlopen(file.c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) {
    char const* const reason = dlerror();
    throw AnalyzerModuleError("cannot load analyzer module " + path + ": " + (reason ? reason : "unknown error"));
  }
  if (!entered->insert(handle).second) return;
  auto const entry = reinterpret_cast<EntryPoint>(dlsym(handle, "QuillanRegisterAnalyzers"));
  if (entry == nullptr) return;  // registered by static constructors as it loaded
  int code = 0;
  try {
    code = entry();
  } catch (std::exception const& e) {
    throw AnalyzerModuleError("analyzer module " + path + " could not register its analyzers: " + e.what());
  } catch (...) {
    throw AnalyzerModuleError("analyzer module " + path + " could not register its analyzers: unknown exception");
  }
  if (code != 0) {
    throw AnalyzerModuleError("analyzer module " + path + " could not register its analyzers: result " + HexCode(code));
  }
}

}  // namespace Quillan
