// A value or an error, which the caller must look at.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "support/panic.h"

namespace vestra {

/// The value of an operation that succeeds with nothing to give back.
struct Unit {
  friend constexpr bool operator==(Unit, Unit) = default;
};

template <class T>
struct Ok {
  explicit Ok(T v) : value(std::move(v)) {}
  T value;
};
template <>
struct Ok<Unit> {
  Ok() = default;
  explicit Ok(Unit) {}
  Unit value;
};
// clang-format off
Ok() -> Ok<Unit>;
// clang-format on
template <class T>
Ok(T) -> Ok<T>;

template <class E>
struct Err {
  explicit Err(E e) : error(std::move(e)) {}
  E error;
};
template <class E>
Err(E) -> Err<E>;

/// Either the value of type T or the error of type E. The error's text form, found as
/// `text_form(const E&)`, is what `unwrap` and `expect` put into their fatal error.
template <class T, class E>
class [[nodiscard]] Result {
 public:
  template <class U>
  requires std::is_constructible_v<T, U&&> Result(Ok<U> ok)
      : state_(std::in_place_index<0>, std::move(ok.value)) {}
  template <class F>
  requires std::is_constructible_v<E, F&&> Result(Err<F> err)
      : state_(std::in_place_index<1>, std::move(err.error)) {}

  bool is_ok() const noexcept { return state_.index() == 0; }
  bool is_err() const noexcept { return state_.index() == 1; }
  explicit operator bool() const noexcept { return is_ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  E& error() & { return std::get<1>(state_); }
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

  /// The value; an error is a fatal error naming it.
  T unwrap(SourceLocation where = SourceLocation::current()) && {
    return std::move(*this).expect("called `Result::unwrap()` on an `Err` value", where);
  }

  /// The value; an error is the fatal error "<message>: <text form of the error>".
  T expect(std::string_view message, SourceLocation where = SourceLocation::current()) && {
    if (is_err()) {
      std::string text(message);
      text += ": ";
      text += text_form(error());
      panic(std::move(text), where);
    }
    return std::get<0>(std::move(state_));
  }

 private:
  std::variant<T, E> state_;
};

/// The value of an optional that must be present.
template <class T>
T unwrap(std::optional<T> value, SourceLocation where = SourceLocation::current()) {
  if (!value) panic_static("called `Option::unwrap()` on a `None` value", where);
  return std::move(*value);
}

}  // namespace vestra
