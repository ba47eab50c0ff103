#include "zelscripting/ScriptObject.h"

#include <cstring>

namespace zelscripting {

std::uint64_t HashAddress(void const* address) noexcept {
  static_assert(sizeof(address) == 8, "the identity hash covers a 64-bit address");
  std::uint64_t value = 0;
  std::memcpy(&value, &address, sizeof(value));
  std::uint64_t hash = 14695981039346656037ull;
  for (int i = 0; i < 8; ++i) {
    hash ^= (value >> (8 * i)) & 0xFFu;
    hash *= 1099511628211ull;
  }
  return hash;
}

ScriptObjectBase::ScriptObjectBase() = default;
ScriptObjectBase::~ScriptObjectBase() = default;

void ScriptObjectBase::AddRef() const noexcept { referenceCount_.fetch_add(1, std::memory_order_relaxed); }

void ScriptObjectBase::Release() const noexcept {
  // acq_rel: every earlier use of the object through another reference happens before its destruction.
  if (referenceCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

int ScriptObjectBase::GetContextHdl() const { return contextHandle_; }

std::string const& ScriptObjectBase::GetClassName() const { return className_; }

bool ScriptObjectBase::IsSameObject(ScriptObjectBase const& other) const { return this == &other; }

std::uint64_t ScriptObjectBase::GetIdentityHash() const { return HashAddress(this); }

ScriptObject::~ScriptObject() = default;

NativeObject::~NativeObject() = default;

ScriptCastInterfaceUnknownRef::~ScriptCastInterfaceUnknownRef() = default;

ScriptObjectMessageRouter::ScriptObjectMessageRouter(std::string routerName) : routerName_(std::move(routerName)) {}
ScriptObjectMessageRouter::~ScriptObjectMessageRouter() = default;
std::string const& ScriptObjectMessageRouter::GetRouterName() const { return routerName_; }

ReferenceOwner::~ReferenceOwner() = default;

}  // namespace zelscripting
