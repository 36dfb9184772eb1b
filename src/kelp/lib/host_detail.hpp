// The host layer's pieces shared between the class registry, the static members and the instance methods.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "kelp/data/value.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/host.hpp"

namespace kelp::rt::host::detail {

// A mutable character buffer (java.lang.StringBuilder). Like Java's, it is not meant for sharing between threads;
// a mutex keeps a misuse from corrupting memory all the same.
class StringBuilder final : public Object {
 public:
  explicit StringBuilder(std::string s = {}) : Object(Kind::Host, 0), buf_(std::move(s)) {}
  std::string str() const;
  void append(std::string_view s);
  template <class F>
  void edit(F&& f) {
    std::lock_guard lock(mutex_);
    f(buf_);
  }
  std::string_view type_name() const override { return "java.lang.StringBuilder"; }

 private:
  mutable std::mutex mutex_;
  std::string buf_;
};

inline bool is_string_builder(const Value& v) {
  return v.is(Kind::Host) && v.as<Object>().type_name() == "java.lang.StringBuilder";
}
inline bool is_class(const Value& v) { return v.is(Kind::Host) && dynamic_cast<const HostClass*>(v.obj()); }
inline const HostClass& as_class(const Value& v) { return static_cast<const HostClass&>(*v.obj()); }

// The static members of a class by its full name: a method as a function value, or nil.
Value find_static_method(const std::string& cls, std::string_view member);
Value find_static_field(const std::string& cls, std::string_view field, bool* found);
// The instance methods, tried by the target's kind; nullopt-like: sets *found false when there is none.
Value call_method(const Value& target, std::string_view method, Args args, bool* found);
Value construct_instance(const HostClass& cls, Args args, bool* found);

[[noreturn]] void throw_no_method(std::string_view method, size_t nargs, std::string_view cls);
[[noreturn]] void throw_no_class(std::string_view name);

}  // namespace kelp::rt::host::detail
