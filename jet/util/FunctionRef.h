// A non-owning reference to a callable, for callbacks made on hot paths: it
// never allocates, where a std::function holding a lambda that captures
// more than two references does, once for every call that passes it.
// The callable must outlive the reference (pass lambdas straight in).
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace jet {

template <typename Signature>
class FunctionRef;

template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
  public:
    FunctionRef() = default;  // refers to nothing: test before calling
    template <typename F,
              typename = std::enable_if_t<!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> &&
                                          std::is_invocable_r_v<R, F&, Args...>>>
    FunctionRef(F&& f) noexcept  // NOLINT(google-explicit-constructor): lambdas convert
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* o, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }
    explicit operator bool() const { return call_ != nullptr; }

  private:
    void* object_ = nullptr;
    R (*call_)(void*, Args...) = nullptr;
};

}  // namespace jet
