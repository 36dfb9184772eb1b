// Functions and calling.
//
// Everything callable goes through call(): functions (Fn), and the values Clojure lets you call — keywords,
// symbols, maps, sets, vectors and vars. Arguments travel as a contiguous array.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "kelp/data/value.hpp"

namespace kelp::rt {

using Args = std::span<const Value>;

class Fn : public Object {
 public:
  Fn() : Object(Kind::Fn, META) {}
  explicit Fn(Value meta) : Object(Kind::Fn, META), meta_(std::move(meta)) {}
  virtual Value invoke(Args args) const = 0;
  // (apply f fixed... more): the default realises `more` and calls invoke; a variadic function can bind its rest
  // parameter to what is left of `more` without realising it, so (apply f (range)) works for (fn [a & xs] ...).
  virtual Value apply_to(Args fixed, const Value& more) const;
  // The name shown in arity errors and stack traces: "user/f", "clojure.core/map", "user/eval12/fn--13".
  virtual std::string display_name() const = 0;
  // Macros are functions whose var is marked :macro; the function itself does not know.
  Value meta() const override { return meta_; }
  std::string_view type_name() const override { return "clojure.lang.AFunction"; }

 protected:
  Value meta_;
};

// A function written in C++. min_args..max_args (max -1: variadic) are checked before the body runs.
using NativeBody = Value (*)(Args args);

class NativeFn final : public Fn {
 public:
  NativeFn(std::string name, int min_args, int max_args, NativeBody body);
  NativeFn(std::string name, int min_args, int max_args, std::function<Value(Args)> body);
  Value invoke(Args args) const override;
  std::string display_name() const override { return name_; }
  Value with_meta(const Value& m) const override;

 private:
  std::string name_;
  int min_, max_;
  NativeBody body_ = nullptr;
  std::function<Value(Args)> closure_;
};

Value make_native(std::string name, int min_args, int max_args, NativeBody body);
Value make_native(std::string name, int min_args, int max_args, std::function<Value(Args)> body);
template <class F>
  requires std::is_convertible_v<F, NativeBody>
Value make_native(std::string name, int min_args, int max_args, F body) {
  return make_native(std::move(name), min_args, max_args, static_cast<NativeBody>(body));
}

// "Wrong number of args (N) passed to: NAME" (clojure.lang.ArityException, an IllegalArgumentException).
[[noreturn]] void throw_arity(size_t n, std::string_view name);

// Calls f with the arguments. Throws ClassCastException "class X cannot be cast to class clojure.lang.IFn" for
// values that cannot be called.
Value call(const Value& f, Args args);
inline Value call(const Value& f) { return call(f, Args{}); }
Value call(const Value& f, std::initializer_list<Value> args);
// (apply f a b more): the fixed arguments followed by the elements of a final sequence.
Value apply(const Value& f, Args fixed, const Value& more);
bool is_callable(const Value& v);  // ifn?
inline bool is_fn(const Value& v) { return v.is(Kind::Fn); }

}  // namespace kelp::rt
