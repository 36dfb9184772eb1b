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

// A java.lang.Thread as (Thread/currentThread) answers it: a name to show.
class ThreadHandle final : public Object {
 public:
  explicit ThreadHandle(std::string name) : Object(Kind::Host, 0), name_(std::move(name)) {}
  const std::string& name() const { return name_; }
  std::string_view type_name() const override { return "java.lang.Thread"; }

 private:
  std::string name_;
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
// java.util's ArrayList and HashMap: their methods (false when the target is neither or has no such method) and
// constructors (*found false when cls is neither or the arguments fit no constructor).
bool call_collection_method(const Value& target, std::string_view method, Args args, Value* out);
Value construct_collection(const std::string& cls, Args args, bool* found);
// Their toString ("[1, 2]", "{k=1}") appended to out; false for other values.
bool append_collection_string(std::string& out, const Value& v);
// java.util.Collections' static methods (sort, reverse, max, min, frequency).
Value collections_static(std::string_view method, Args args);
// java.util.Arrays/sort and /fill.
Value arrays_sort(Args args);
Value arrays_fill(Args args);

[[noreturn]] void throw_no_method(std::string_view method, size_t nargs, std::string_view cls);
[[noreturn]] void throw_no_class(std::string_view name);

}  // namespace kelp::rt::host::detail
