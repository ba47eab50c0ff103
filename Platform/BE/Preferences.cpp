#include "BE/Preferences.h"

#include <mutex>

#include "BE/Detail/UserDirectories.h"
#include "zelcore/TextConversions.h"

namespace BE {
namespace {

class Preferences final : public IPreferences, public zelcore::classref::ClassStatics<Preferences> {
 public:
  ZEL_INTERFACE_NAME("BE::detail::Preferences")

  void* QueryMap(std::string_view name) override {
    return zelcore::classref::QueryMapOf<Preferences, IPreferences>(this, name);
  }

  // IPreferences:
  std::wstring GetAnalyzerCacheDirectory() const override {
    {
      std::lock_guard lock(mutex_);
      if (!analyzerCacheDirectory_.empty()) return analyzerCacheDirectory_;
    }
    return zelcore::text::UTF8ToWstring(GetDefaultAnalyzerCacheDirectory().string());
  }

  void SetAnalyzerCacheDirectory(std::wstring const& directory) override {
    std::lock_guard lock(mutex_);
    analyzerCacheDirectory_ = directory;
  }

 private:
  mutable std::mutex mutex_;
  std::wstring analyzerCacheDirectory_;  // empty for the default; guarded by mutex_
};

}  // namespace

InterfaceRef<IPreferences> CreatePreferences() {
  return InterfaceRef<IPreferences>(Preferences::AllocateClassInstance());
}

std::filesystem::path GetDefaultAnalyzerCacheDirectory() { return detail::UserCacheDirectory() / "AnalyzerCache"; }

}  // namespace BE
