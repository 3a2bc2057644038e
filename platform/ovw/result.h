// result.h - error results of the OVw store: a code (OVW_ERR_*) and a readable detail.
#ifndef KESTARA_PLATFORM_OVW_RESULT_H
#define KESTARA_PLATFORM_OVW_RESULT_H

#include <string>
#include <utility>
#include <variant>

#include "OVw.h"

namespace kestara::ovw {

struct Error {
  int code = OVW_ERR_DB;
  std::string detail;
};

// Success, or an Error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)), failed_(true) {}  // NOLINT
  static Status Ok() { return Status(); }

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error &error() const { return error_; }

 private:
  Error error_;
  bool failed_ = false;
};

// A value or an Error.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}      // NOLINT(google-explicit-constructor)
  Result(Error error) : v_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T &value() { return std::get<0>(v_); }
  const T &value() const { return std::get<0>(v_); }
  T &operator*() { return value(); }
  T *operator->() { return &value(); }
  const Error &error() const { return std::get<1>(v_); }
  // Success, or the Error, without the value.
  Status status() const { return ok() ? Status::Ok() : Status(error()); }

 private:
  std::variant<T, Error> v_;
};

inline Error makeError(int code, std::string detail) { return Error{code, std::move(detail)}; }

}  // namespace kestara::ovw

// Evaluates a Status expression and returns its Error from the enclosing function on failure.
#define OVW_TRY(expr)                                \
  do {                                               \
    ::kestara::ovw::Status ovw_try_s_ = (expr);      \
    if (!ovw_try_s_.ok()) return ovw_try_s_.error(); \
  } while (0)

#define OVW_CONCAT_INNER_(a, b) a##b
#define OVW_CONCAT_(a, b) OVW_CONCAT_INNER_(a, b)

// Evaluates a Result expression: on failure returns its Error from the enclosing function, else
// declares `decl` (a type and a name) from its value, as in OVW_TRY_ASSIGN(Stmt stmt, ...).
#define OVW_TRY_ASSIGN(decl, expr) OVW_TRY_ASSIGN_(OVW_CONCAT_(ovw_try_r_, __LINE__), decl, expr)
#define OVW_TRY_ASSIGN_(tmp, decl, expr) \
  auto tmp = (expr);                     \
  if (!tmp.ok()) return tmp.error();     \
  decl = std::move(tmp.value())

#endif  // KESTARA_PLATFORM_OVW_RESULT_H
