#include "Analyzers/Detail/MediaModule.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <string>

#include "DataStoreAdaptors/ResultCodes.h"
#include "zelcore/ZelException.h"

namespace Quillan::Examples {
namespace detail {
namespace {

constexpr char kMediaModuleFile[] = QUILLAN_MEDIA_MODULE_FILE;  // libquillan_example_media.so.<SOVERSION>

// What the program chose before the module opened, applied as it opens. Never destroyed: jobs may still load while
// the process exits.
struct ModuleState {
  std::mutex mutex;
  std::atomic<MediaModule const*> module{nullptr};  // set once, under mutex
  bool ffmpegLog = false;                           // guarded by mutex
  bool boundAllocations = false;                    // guarded by mutex
};
ModuleState& State() {
  static auto* const state = new ModuleState;
  return *state;
}

// The module beside this library, wherever it was installed or loaded from.
std::filesystem::path ModulePath() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void const*>(&LoadMediaModule), &info) == 0 || info.dli_fname == nullptr) {
    throw zelcore::config::zel_exception("The example analyzers cannot tell where their library is",
                                         kResultUnavailable);
  }
  return std::filesystem::path(info.dli_fname).parent_path() / kMediaModuleFile;
}

MediaModule const& Open() {
  std::filesystem::path const path = ModulePath();
  // Never closed: results, threads and FFmpeg's callbacks of the module live as long as the process.
  void* const handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  char const* const error = handle ? nullptr : ::dlerror();
  void* const entry = handle ? ::dlsym(handle, kMediaModuleEntry) : nullptr;
  if (entry == nullptr) {
    throw zelcore::config::zel_exception("Cannot open the example analyzers' media module " + path.string() + ": " +
                                             (error ? error : "it has no entry point"),
                                         kResultUnavailable);
  }
  return *reinterpret_cast<MediaModule const* (*)()>(entry)();
}

// Keeps the program's choice `flag` for the module to carry out as it opens, and carries it out now when it is open.
void Choose(bool ModuleState::*flag, void (MediaModule::*carryOut)() const) {
  ModuleState& state = State();
  std::lock_guard lock(state.mutex);
  state.*flag = true;
  if (MediaModule const* module = state.module.load()) (module->*carryOut)();
}

}  // namespace

MediaModule const& LoadMediaModule() {
  ModuleState& state = State();
  if (MediaModule const* module = state.module.load(std::memory_order_acquire)) return *module;
  std::lock_guard lock(state.mutex);
  if (MediaModule const* module = state.module.load(std::memory_order_relaxed)) return *module;
  MediaModule const& module = Open();
  if (state.ffmpegLog) module.UseFfmpegLogForErrors();
  if (state.boundAllocations) module.BoundFfmpegAllocations();
  state.module.store(&module, std::memory_order_release);
  return module;
}

}  // namespace detail

void UseFfmpegLogForErrors() {
  detail::Choose(&detail::ModuleState::ffmpegLog, &detail::MediaModule::UseFfmpegLogForErrors);
}

void BoundFfmpegAllocations() {
  detail::Choose(&detail::ModuleState::boundAllocations, &detail::MediaModule::BoundFfmpegAllocations);
}

std::optional<double> MediaDurationSeconds(std::filesystem::path const& file) {
  return detail::LoadMediaModule().Duration(file);
}

void SetVideoDecoderThreadsForTesting(int threads) { detail::LoadMediaModule().SetVideoDecoderThreads(threads); }

AudioDecodeCounts GetAudioDecodeCountsForTesting() { return detail::LoadMediaModule().DecodeCounts(); }

}  // namespace Quillan::Examples
