#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace zelcore {

// A move-only std::function: holds callables that own move-only state (promises, unique handles).
template <class Signature>
class UniqueFunction;

template <class R, class... Args>
class UniqueFunction<R(Args...)> {
 public:
  UniqueFunction() = default;
  UniqueFunction(std::nullptr_t) {}
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, UniqueFunction> &&
                                              std::is_invocable_r_v<R, std::decay_t<F>&, Args...>>>
  UniqueFunction(F&& f) : callable_(std::make_unique<Model<std::decay_t<F>>>(std::forward<F>(f))) {}

  UniqueFunction(UniqueFunction&&) noexcept = default;
  UniqueFunction& operator=(UniqueFunction&&) noexcept = default;

  R operator()(Args... args) { return callable_->Call(std::forward<Args>(args)...); }
  explicit operator bool() const { return callable_ != nullptr; }

 private:
  struct Concept {
    virtual ~Concept() = default;
    virtual R Call(Args... args) = 0;
  };
  template <class F>
  struct Model final : Concept {
    explicit Model(F&& f) : f(std::move(f)) {}
    explicit Model(F const& f) : f(f) {}
    R Call(Args... args) override { return f(std::forward<Args>(args)...); }
    F f;
  };

  std::unique_ptr<Concept> callable_;
};

}  // namespace zelcore
