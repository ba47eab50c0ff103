#include "BE/Backend.h"

#include <atomic>

namespace BE {
namespace {

class Backend final : public IBackend, public zelcore::classref::ClassStatics<Backend> {
 public:
  ZEL_INTERFACE_NAME("BE::detail::Backend")

  Backend() : properties_(CreateProperties(GetDefaultPropertiesFilePath())), preferences_(CreatePreferences()) {}

  void* QueryMap(std::string_view name) override {
    // The properties are an object of their own; the backend keeps them alive, so a reference to the backend
    // may stand for them.
    if (name == IProperties::InterfaceName()) return properties_.get();
    return zelcore::classref::QueryMapOf<Backend, IBackend>(this, name);
  }

  // IBackend:
  InterfaceRef<IPreferences> GetPreferences() const override { return preferences_; }
  bool AreProxiesEnabled() const override { return proxiesEnabled_.load(std::memory_order_acquire); }
  void SetProxiesEnabled(bool enabled) override {
    WriteLock writeLock(GetBackendReadLock());
    proxiesEnabled_.store(enabled, std::memory_order_release);
  }

 private:
  InterfaceRef<IProperties> const properties_;
  InterfaceRef<IPreferences> const preferences_;
  std::atomic<bool> proxiesEnabled_{false};
};

}  // namespace

InterfaceRef<IBackend> GetBackend() {
  // Never destroyed: other libraries' statics may still reach the backend while the process exits.
  static auto* const backend = new InterfaceRef<IBackend>(Backend::AllocateClassInstance());
  return *backend;
}

ReadMutex& GetBackendReadLock() {
  static auto* const mutex = new ReadMutex;
  return *mutex;
}

}  // namespace BE
