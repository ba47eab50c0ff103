#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "zelcore/Export.h"

namespace zelcore::classref {

// Root of every shared object. Objects live in std::shared_ptr and can hand out strong and weak
// references to themselves.
class ZELCORE_EXPORT SharedAsVirtualBase : public std::enable_shared_from_this<SharedAsVirtualBase> {
 public:
  virtual ~SharedAsVirtualBase();

  template <class T>
  std::shared_ptr<T> GetSharedFromThis() {
    return std::dynamic_pointer_cast<T>(shared_from_this());
  }
  template <class T>
  std::weak_ptr<T> GetWeakFromThis() {
    return GetSharedFromThis<T>();
  }
  std::weak_ptr<SharedAsVirtualBase> GetWeakReference() { return weak_from_this(); }
};

// Every object answers QueryMap: the address of its sub-object for an interface, named by the
// interface's qualified type name, or nullptr when it does not implement it.
struct ZELCORE_EXPORT UnknownBase : virtual SharedAsVirtualBase {
  virtual void* QueryMap(std::string_view interfaceName) = 0;
  // The object's qualified class name, for diagnostics. The default reads it from the type information.
  virtual std::string GetUnknownTypeName() const;
};

// Base of every interface.
struct ZELCORE_EXPORT Unknown : virtual UnknownBase {};

// Declares the qualified name under which an interface or class answers QueryMap.
#define ZEL_INTERFACE_NAME(name) \
  static constexpr std::string_view InterfaceName() { return name; }

// Answers QueryMap for `self` with each of `Interfaces` (each declaring ZEL_INTERFACE_NAME), and with
// "zelcore::classref::UnknownBase".
template <class... Interfaces, class Self>
void* QueryMapOf(Self* self, std::string_view name) {
  void* found = nullptr;
  ((found == nullptr && name == Interfaces::InterfaceName() ? (found = static_cast<Interfaces*>(self)) : nullptr), ...);
  if (found == nullptr && name == "zelcore::classref::UnknownBase") found = static_cast<UnknownBase*>(self);
  return found;
}

// A strong reference to an object seen through interface T.
template <class T>
class InterfaceRef {
 public:
  InterfaceRef() = default;
  InterfaceRef(std::nullptr_t) {}
  explicit InterfaceRef(std::shared_ptr<T> ptr) : ptr_(std::move(ptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  InterfaceRef(InterfaceRef<U> const& other) : ptr_(other.shared()) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  InterfaceRef(std::shared_ptr<U> ptr) : ptr_(std::move(ptr)) {}

  // `other` seen through T, found by QueryMap; empty when `other` is empty or does not implement T.
  template <class U>
  static InterfaceRef Query(InterfaceRef<U> const& other) {
    if (!other) return {};
    void* sub = other.get()->QueryMap(T::InterfaceName());
    if (sub == nullptr) return {};
    return InterfaceRef(std::shared_ptr<T>(other.shared(), static_cast<T*>(sub)));
  }

  T* get() const { return ptr_.get(); }
  T* operator->() const { return ptr_.get(); }
  T& operator*() const { return *ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  std::shared_ptr<T> const& shared() const { return ptr_; }
  void reset() { ptr_.reset(); }

  // Identity: the address of the whole object, whatever interface it is seen through.
  void const* Identity() const { return ptr_ ? dynamic_cast<void const*>(ptr_.get()) : nullptr; }

  template <class U>
  friend bool operator==(InterfaceRef const& a, InterfaceRef<U> const& b) {
    return a.Identity() == b.Identity();
  }
  friend bool operator==(InterfaceRef const& a, std::nullptr_t) { return !a; }

 private:
  std::shared_ptr<T> ptr_;
};

// A weak reference to an object seen through interface T; never keeps it alive.
template <class T>
class InterfaceWeakRef {
 public:
  InterfaceWeakRef() = default;
  InterfaceWeakRef(InterfaceRef<T> const& ref) : ptr_(ref.shared()) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  InterfaceWeakRef(InterfaceRef<U> const& ref) : ptr_(std::shared_ptr<T>(ref.shared())) {}
  explicit InterfaceWeakRef(std::weak_ptr<T> ptr) : ptr_(std::move(ptr)) {}

  InterfaceRef<T> Lock() const { return InterfaceRef<T>(ptr_.lock()); }
  bool expired() const { return ptr_.expired(); }
  void reset() { ptr_.reset(); }

 private:
  std::weak_ptr<T> ptr_;
};

// Hears of every object made through the class statics below, so tests and diagnostics can count the live
// objects of a class (a leaked analyzer or host shows up here). May be called from any thread.
class ZELCORE_EXPORT ClassWatcher {
 public:
  static void AddObject(std::shared_ptr<UnknownBase> const& object, std::string_view className);
  static void RemoveObject(std::string_view className);
  // Objects reported under `className` that are still alive.
  static std::size_t LiveObjectCount(std::string_view className);
};

// The class statics of the object model, for a class C that names itself with ZEL_INTERFACE_NAME:
//   AllocateClassInstance(args...)   a new instance, reported to ClassWatcher while it lives;
//   CreateClassRef(args...)          the same, as InterfaceRef<C>;
//   CreateInstanceRef(out, args...)  the same, stored into an InterfaceRef<UnknownBase>.
template <class C>
struct ClassStatics {
  template <class... Args>
  static std::shared_ptr<C> AllocateClassInstance(Args&&... args) {
    std::shared_ptr<C> instance(new C(std::forward<Args>(args)...), [](C* object) {
      delete object;
      ClassWatcher::RemoveObject(C::InterfaceName());
    });
    ClassWatcher::AddObject(instance, C::InterfaceName());
    return instance;
  }
  template <class... Args>
  static InterfaceRef<C> CreateClassRef(Args&&... args) {
    return InterfaceRef<C>(AllocateClassInstance(std::forward<Args>(args)...));
  }
  template <class... Args>
  static void CreateInstanceRef(InterfaceRef<UnknownBase>& out, Args&&... args) {
    out = InterfaceRef<UnknownBase>(std::shared_ptr<UnknownBase>(AllocateClassInstance(std::forward<Args>(args)...)));
  }
};

}  // namespace zelcore::classref

namespace zelcore {
using classref::InterfaceRef;
using classref::InterfaceWeakRef;
}  // namespace zelcore

template <class T>
struct std::hash<zelcore::classref::InterfaceRef<T>> {
  std::size_t operator()(zelcore::classref::InterfaceRef<T> const& ref) const noexcept {
    return std::hash<void const*>()(ref.Identity());
  }
};
