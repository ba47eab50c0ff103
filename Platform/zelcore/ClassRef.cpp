#include "zelcore/ClassRef.h"

#include <cxxabi.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <typeinfo>
#include <unordered_map>

namespace zelcore::classref {
namespace {

struct LiveCounts {
  std::mutex mutex;
  std::unordered_map<std::string, std::size_t> byClass;  // guarded by mutex
};

// Never destroyed: objects may die while other statics are torn down.
LiveCounts& GetLiveCounts() {
  static LiveCounts* counts = new LiveCounts;
  return *counts;
}

}  // namespace

SharedAsVirtualBase::~SharedAsVirtualBase() = default;

std::string UnknownBase::GetUnknownTypeName() const {
  char const* mangled = typeid(*this).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}

void ClassWatcher::AddObject(std::shared_ptr<UnknownBase> const&, std::string_view className) {
  auto& counts = GetLiveCounts();
  std::lock_guard lock(counts.mutex);
  ++counts.byClass[std::string(className)];
}

void ClassWatcher::RemoveObject(std::string_view className) {
  auto& counts = GetLiveCounts();
  std::lock_guard lock(counts.mutex);
  auto const found = counts.byClass.find(std::string(className));
  if (found != counts.byClass.end() && found->second > 0) --found->second;
}

std::size_t ClassWatcher::LiveObjectCount(std::string_view className) {
  auto& counts = GetLiveCounts();
  std::lock_guard lock(counts.mutex);
  auto const found = counts.byClass.find(std::string(className));
  return found == counts.byClass.end() ? 0 : found->second;
}

}  // namespace zelcore::classref
