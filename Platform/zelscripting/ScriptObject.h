#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "zelcore/ClassRef.h"
#include "zelscripting/Export.h"

namespace zelscripting {

// A reference-counting smart pointer for objects that count their own references (AddRef/Release). A new object
// starts with no reference; the first IntrusivePtr to it takes one. Copying a pointer adds a reference, destroying
// it releases one. One pointer object is not itself synchronised; the count is.
template <class T>
class IntrusivePtr {
 public:
  using element_type = T;

  IntrusivePtr() noexcept = default;
  IntrusivePtr(std::nullptr_t) noexcept {}
  explicit IntrusivePtr(T* object) noexcept : object_(object) {
    if (object_) object_->AddRef();
  }
  IntrusivePtr(IntrusivePtr const& other) noexcept : IntrusivePtr(other.object_) {}
  IntrusivePtr(IntrusivePtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  IntrusivePtr(IntrusivePtr<U> const& other) noexcept : IntrusivePtr(static_cast<T*>(other.get())) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  IntrusivePtr(IntrusivePtr<U>&& other) noexcept : object_(other.Detach()) {}
  ~IntrusivePtr() {
    if (object_) object_->Release();
  }

  IntrusivePtr& operator=(IntrusivePtr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }

  T* get() const noexcept { return object_; }
  T* operator->() const noexcept { return object_; }
  T& operator*() const noexcept { return *object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void reset() noexcept { IntrusivePtr().swap(*this); }
  void swap(IntrusivePtr& other) noexcept { std::swap(object_, other.object_); }

  // Gives up the pointer without releasing its reference.
  T* Detach() noexcept { return std::exchange(object_, nullptr); }

  template <class U>
  friend bool operator==(IntrusivePtr const& a, IntrusivePtr<U> const& b) noexcept {
    return a.get() == b.get();
  }
  friend bool operator==(IntrusivePtr const& a, std::nullptr_t) noexcept { return a.get() == nullptr; }

 private:
  T* object_ = nullptr;
};

// `pointer` seen as a T, or an empty pointer when the object is not a T.
template <class T, class U>
IntrusivePtr<T> DynamicPointerCast(IntrusivePtr<U> const& pointer) {
  return IntrusivePtr<T>(dynamic_cast<T*>(pointer.get()));
}

// 64-bit FNV-1a over the eight bytes of `address`, lowest byte first: the identity hash of script objects.
ZELSCRIPTING_EXPORT std::uint64_t HashAddress(void const* address) noexcept;

class ScriptObjectDefinitionBase;

// The native side of an object that scripts hold. It counts its references itself (atomically), so a script
// engine can share it without a control block, and it remembers the script context and the class it was made
// for. Made only by a class definition (ScriptObjectDefinitionBase::CreateInstance), which sets context and class
// before anyone else sees the object; both are immutable afterwards. Reference counting is thread-safe; the rest
// is up to each class.
class ZELSCRIPTING_EXPORT ScriptObjectBase {
 public:
  ScriptObjectBase();
  ScriptObjectBase(ScriptObjectBase const&) = delete;
  ScriptObjectBase& operator=(ScriptObjectBase const&) = delete;
  virtual ~ScriptObjectBase();

  void AddRef() const noexcept;
  // Destroys the object with the last reference.
  void Release() const noexcept;

  // The handle of the script context the object lives in (ScriptContexts); 0 before a definition made it.
  int GetContextHdl() const;
  // The name of the class definition that made the object, e.g. "AnalyzerHost".
  std::string const& GetClassName() const;

  // Identity as scripts see it (`a.equals(b)`, `a.hashCode()`): by default the same native object and the hash of
  // its address. Objects that stand for another native object compare and hash by that object instead.
  virtual bool IsSameObject(ScriptObjectBase const& other) const;
  virtual std::uint64_t GetIdentityHash() const;

 private:
  friend class ScriptObjectDefinitionBase;

  mutable std::atomic<std::size_t> referenceCount_{0};
  int contextHandle_ = 0;
  std::string className_;
};

// Base of every object of a script class.
class ZELSCRIPTING_EXPORT ScriptObject : public ScriptObjectBase {
 public:
  ~ScriptObject() override;
};

// Base of native values handed to scripts by shared_ptr, without a class of their own (NativePromise is one).
class ZELSCRIPTING_EXPORT NativeObject {
 public:
  virtual ~NativeObject();
};

// Implemented by script objects that can give a native value of type T (a GUID object gives its Guid).
template <class T>
class ZELSCRIPTING_EXPORT ScriptCastInterface {
 public:
  virtual ~ScriptCastInterface() = default;
  // Stores the value into `out` and returns true; false (and `out` unchanged) when the object holds none.
  virtual bool TryGetValue(T& out) const = 0;
};

// Implemented by script objects that stand for an object of the core object model.
class ZELSCRIPTING_EXPORT ScriptCastInterfaceUnknownRef {
 public:
  virtual ~ScriptCastInterfaceUnknownRef();
  // The object as UnknownBase; false while unbound or once it is gone.
  virtual bool TryGetUnknownRef(zelcore::InterfaceRef<zelcore::classref::UnknownBase>& out) const = 0;
};

// A script object that routes messages under a name; the name identifies the class to message listeners.
class ZELSCRIPTING_EXPORT ScriptObjectMessageRouter {
 public:
  explicit ScriptObjectMessageRouter(std::string routerName);
  virtual ~ScriptObjectMessageRouter();
  std::string const& GetRouterName() const;

 private:
  std::string const routerName_;
};

// A script object that refers to a native object without owning it.
class ZELSCRIPTING_EXPORT ReferenceOwner {
 public:
  virtual ~ReferenceOwner();
  // The object referred to; expired once it is gone, empty while unbound.
  virtual std::weak_ptr<zelcore::classref::UnknownBase> GetReferencedObject() const = 0;
};

}  // namespace zelscripting
