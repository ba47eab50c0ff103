#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace zelcore {

// A move-only std::function: holds callables that own move-only state (promises, unique handles).
//
// Callables of up to kInlineSize bytes that move without throwing live inside the object, so wrapping them
// allocates nothing; larger ones go to the heap. Executors queue millions of small tasks, which is why.
template <class Signature>
class UniqueFunction;

template <class R, class... Args>
class UniqueFunction<R(Args...)> {
 public:
  static constexpr std::size_t kInlineSize = 6 * sizeof(void*);

  UniqueFunction() = default;
  UniqueFunction(std::nullptr_t) {}
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, UniqueFunction> &&
                                              std::is_invocable_r_v<R, std::decay_t<F>&, Args...>>>
  UniqueFunction(F&& f) {
    using Stored = std::decay_t<F>;
    if constexpr (IsInline<Stored>()) {
      ::new (static_cast<void*>(storage_)) Stored(std::forward<F>(f));
      ops_ = &kInlineOps<Stored>;
    } else {
      *reinterpret_cast<Stored**>(storage_) = new Stored(std::forward<F>(f));
      ops_ = &kHeapOps<Stored>;
    }
  }

  UniqueFunction(UniqueFunction&& other) noexcept : ops_(other.ops_) {
    if (ops_) {
      ops_->move(storage_, &other.storage_);
      other.ops_ = nullptr;
    }
  }
  UniqueFunction& operator=(UniqueFunction&& other) noexcept {
    if (this != &other) {
      Reset();
      if (other.ops_) {
        other.ops_->move(storage_, &other.storage_);
        ops_ = std::exchange(other.ops_, nullptr);
      }
    }
    return *this;
  }
  UniqueFunction& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }
  ~UniqueFunction() { Reset(); }

  R operator()(Args... args) { return ops_->call(storage_, std::forward<Args>(args)...); }
  explicit operator bool() const { return ops_ != nullptr; }

 private:
  struct Ops {
    R (*call)(void* storage, Args&&... args);
    // Moves the callable from `from` into the empty `to` and leaves `from` empty.
    void (*move)(void* to, void* from) noexcept;
    void (*destroy)(void* storage) noexcept;
  };

  template <class F>
  static constexpr bool IsInline() {
    return sizeof(F) <= kInlineSize && alignof(F) <= alignof(std::max_align_t) &&
           std::is_nothrow_move_constructible_v<F>;
  }

  template <class F>
  static constexpr Ops kInlineOps{
      [](void* storage, Args&&... args) -> R { return (*static_cast<F*>(storage))(std::forward<Args>(args)...); },
      [](void* to, void* from) noexcept {
        ::new (to) F(std::move(*static_cast<F*>(from)));
        static_cast<F*>(from)->~F();
      },
      [](void* storage) noexcept { static_cast<F*>(storage)->~F(); }};

  template <class F>
  static constexpr Ops kHeapOps{
      [](void* storage, Args&&... args) -> R { return (**static_cast<F**>(storage))(std::forward<Args>(args)...); },
      [](void* to, void* from) noexcept { *static_cast<F**>(to) = std::exchange(*static_cast<F**>(from), nullptr); },
      [](void* storage) noexcept { delete *static_cast<F**>(storage); }};

  void Reset() noexcept {
    if (auto const* ops = std::exchange(ops_, nullptr)) ops->destroy(storage_);
  }

  Ops const* ops_ = nullptr;
  alignas(std::max_align_t) unsigned char storage_[kInlineSize];
};

}  // namespace zelcore
