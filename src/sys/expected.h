// A value or an error, the one result type of the helper. Failures travel as
// values; nothing throws across modules.
#pragma once

#include <cassert>
#include <optional>
#include <utility>

namespace kestro {

/// Wraps an error so that it cannot be mistaken for a value of the same type.
template <typename E>
struct Failure {
  E error;
};

/// Marks `error` as the failure of an operation: `return fail(SpawnError{errno});`.
template <typename E>
Failure<E> fail(E error) {
  return Failure<E>{std::move(error)};
}

/// Holds either a T (success) or an E (failure).
template <typename T, typename E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  template <typename G>
  Expected(Failure<G> f) : error_(std::move(f.error)) {}  // NOLINT: implicit by design

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  /// The value; only when ok().
  const T& value() const {
    assert(ok() && "value() of a failed Expected");
    return *value_;  // NOLINT(bugprone-unchecked-optional-access): callers check ok() first
  }
  T& value() {
    assert(ok() && "value() of a failed Expected");
    return *value_;  // NOLINT(bugprone-unchecked-optional-access): callers check ok() first
  }
  /// The error; only when !ok().
  const E& error() const {
    assert(!ok() && "error() of a successful Expected");
    return error_;
  }

 private:
  std::optional<T> value_;
  E error_{};
};

/// Success without a value, or an E.
template <typename E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <typename G>
  Expected(Failure<G> f) : failed_(true), error_(std::move(f.error)) {}  // NOLINT: implicit

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  /// The error; only when !ok().
  const E& error() const {
    assert(!ok() && "error() of a successful Expected");
    return error_;
  }

 private:
  bool failed_ = false;
  E error_{};
};

}  // namespace kestro
