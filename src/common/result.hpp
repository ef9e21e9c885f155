// A value or an error, returned by every operation that can fail.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace velno {

template <class E>
struct Failure {
  E error;
};

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}
  Result(Failure<E> f) : v_(std::in_place_index<1>, std::move(f.error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return std::get<0>(v_); }
  const T& value() const& { assert(ok()); return std::get<0>(v_); }
  T&& value() && { assert(ok()); return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  E& error() & { assert(!ok()); return std::get<1>(v_); }
  const E& error() const& { assert(!ok()); return std::get<1>(v_); }
  E&& error() && { assert(!ok()); return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : e_(std::in_place, std::move(error)), failed_(true) {}
  Result(Failure<E> f) : e_(std::in_place, std::move(f.error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  void value() const { assert(ok()); }

  E& error() & { assert(!ok()); return *e_; }
  const E& error() const& { assert(!ok()); return *e_; }
  E&& error() && { assert(!ok()); return std::move(*e_); }

 private:
  std::optional<E> e_;
  bool failed_ = false;
};

}  // namespace velno

// Returns the error of `expr` from the enclosing function when it failed.
#define VELNO_TRY(expr)                                   \
  do {                                                    \
    auto velno_try_r_ = (expr);                           \
    if (!velno_try_r_.ok()) return std::move(velno_try_r_).error(); \
  } while (0)

#define VELNO_CONCAT_INNER_(a, b) a##b
#define VELNO_CONCAT_(a, b) VELNO_CONCAT_INNER_(a, b)
// Declares `decl` from the value of `expr`, or returns its error.
#define VELNO_TRY_ASSIGN(decl, expr) VELNO_TRY_ASSIGN_IMPL_(VELNO_CONCAT_(velno_r_, __LINE__), decl, expr)
#define VELNO_TRY_ASSIGN_IMPL_(tmp, decl, expr)           \
  auto tmp = (expr);                                      \
  if (!tmp.ok()) return std::move(tmp).error();           \
  decl = std::move(tmp).value()
