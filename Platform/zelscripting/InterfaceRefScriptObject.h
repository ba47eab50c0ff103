#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "zelcore/ClassRef.h"
#include "zelscripting/ScriptObject.h"

namespace zelscripting {

template <class T>
class InterfaceRefScriptObject;

// A script object that stands for an object of the core object model, seen through interface I, without owning it:
// it keeps a weak reference, so the object's life is not the script's business (ScriptingRefPreserver keeps it
// alive on behalf of scripts where that is wanted). Two such objects are the same for scripts when they stand for
// the same native object, and hash by its address.
//
// Bound once, before the object is handed to anyone (SetReference); not thread-safe until then, and immutable
// (so thread-safe) afterwards.
template <class I>
class InterfaceRefScriptObject<zelcore::InterfaceRef<I>> : public ScriptObject,
                                                           public ScriptObjectMessageRouter,
                                                           public ScriptCastInterface<zelcore::InterfaceRef<I>>,
                                                           public ScriptCastInterfaceUnknownRef,
                                                           public ReferenceOwner {
 public:
  explicit InterfaceRefScriptObject(std::string routerName) : ScriptObjectMessageRouter(std::move(routerName)) {}

  // Binds the object to `object` (which may be empty): keeps a weak reference and the hash of its address.
  void SetReference(zelcore::InterfaceRef<zelcore::classref::UnknownBase> const& object) {
    hostRef_ = object.shared();
    identityHash_ = HashAddress(object.Identity());
  }

  // The object seen through I; empty while unbound, once it is gone, or when it does not implement I.
  zelcore::InterfaceRef<I> GetReference() const {
    return zelcore::InterfaceRef<I>::Query(zelcore::InterfaceRef<zelcore::classref::UnknownBase>(hostRef_.lock()));
  }

  // ScriptObjectBase:
  bool IsSameObject(ScriptObjectBase const& other) const override {
    auto const* const same = dynamic_cast<InterfaceRefScriptObject const*>(&other);
    return same != nullptr && !hostRef_.owner_before(same->hostRef_) && !same->hostRef_.owner_before(hostRef_);
  }
  std::uint64_t GetIdentityHash() const override { return identityHash_; }

  // ScriptCastInterface:
  bool TryGetValue(zelcore::InterfaceRef<I>& out) const override {
    auto reference = GetReference();
    if (!reference) return false;
    out = std::move(reference);
    return true;
  }

  // ScriptCastInterfaceUnknownRef:
  bool TryGetUnknownRef(zelcore::InterfaceRef<zelcore::classref::UnknownBase>& out) const override {
    auto object = hostRef_.lock();
    if (!object) return false;
    out = zelcore::InterfaceRef<zelcore::classref::UnknownBase>(std::move(object));
    return true;
  }

  // ReferenceOwner:
  std::weak_ptr<zelcore::classref::UnknownBase> GetReferencedObject() const override { return hostRef_; }

 private:
  std::weak_ptr<zelcore::classref::UnknownBase> hostRef_;
  std::uint64_t identityHash_ = 0;
};

}  // namespace zelscripting
