// Result of an operation that answers a value or a failure sentence, for module edges that never throw.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace kelp {

struct Failure {
  std::string message;  // a whole sentence, for the person reading it
  int line = 0;         // 1-based position, when the failure has one (0 otherwise)
  int column = 0;
};

template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}          // NOLINT: implicit on purpose
  Result(Failure failure) : v_(std::move(failure)) {}  // NOLINT
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  const T& value() const { return std::get<0>(v_); }
  T& value() { return std::get<0>(v_); }
  const T& operator*() const { return value(); }
  const T* operator->() const { return &value(); }
  const Failure& failure() const { return std::get<1>(v_); }

 private:
  std::variant<T, Failure> v_;
};

}  // namespace kelp
