// The host layer: the Java interop Clojure programmers write daily, answered by kelp itself.
// (Math/abs x), Math/PI, (System/currentTimeMillis), (Thread/sleep 10), (Integer/parseInt "1"),
// (.toUpperCase s), (.-field obj), (StringBuilder. "a"), (class x), (instance? String x), java.util.UUID, ...
// Anything else is a clear error: "kelp has no class java.awt.Frame".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelp/data/value.hpp"
#include "kelp/rt/fn.hpp"

namespace kelp::rt::host {

// A class as a value: what (class x) answers and what `String` evaluates to. Prints as its name.
class HostClass final : public Object {
 public:
  HostClass(std::string name, const HostClass* super);
  const std::string& name() const { return name_; }   // "java.lang.String"
  std::string_view simple_name() const;               // "String"
  const HostClass* super() const { return super_; }
  std::string_view type_name() const override { return "java.lang.Class"; }

 private:
  std::string name_;
  const HostClass* super_;
};

// The class a name stands for ("String", "java.lang.String", "Math", "clojure.lang.PersistentVector",
// "Exception"), or nil when kelp has none. Simple names resolve for java.lang and the classes Clojure imports by
// default.
Value find_class(std::string_view name);
// The classes every namespace maps by their simple names without an import (java.lang's and the few others
// Clojure imports by default), as (symbol, class) pairs.
std::vector<std::pair<Value, Value>> default_imports();
// Whether a name the compiler could not resolve reads as a full Java class name (a package, then a capitalised
// class: java.awt.Frame) that kelp does not have; then missing_class_message says so: "kelp has no class
// java.awt.Frame" (the JVM's ClassNotFoundException for it).
bool names_missing_class(std::string_view name);
std::string missing_class_message(std::string_view name);
// The class of any value ((class 1) is java.lang.Long); nil for nil.
Value class_of(const Value& v);
// (instance? c x), following superclasses and the interfaces kelp knows (clojure.lang.IFn, java.util.Map, ...).
bool is_instance(const Value& cls, const Value& x);

// (Class/member args...): the function implementing a static method, resolved once by the compiler; nil when the
// class has no such method (the compiler then reports "No matching method abs found taking 3 args for class
// java.lang.Math" at the call, or "Unable to find static field: X in class Y" for a field).
Value static_method(const Value& cls, std::string_view member);
// Class/FIELD: the value of a static field; nullopt-like nil-with-flag via found.
Value static_field(const Value& cls, std::string_view field, bool* found);
// (.method target args...): dispatches on the target's class at each call. Throws IllegalArgumentException
// "No matching method toUpperCase found taking 1 args for class java.lang.Long" when there is none.
Value invoke_method(const Value& target, std::string_view method, Args args);
// Java's toString for any value: what str makes of it (a string's own text, a class as "class java.lang.String", a
// StringBuilder's contents, an exception as "java.lang.Exception: message"), but nil as "null".
std::string to_string(const Value& v);
// The toString of the host layer's own objects (Kind::Host: classes, StringBuilder, writers), appended to out;
// false for an object whose text is Object's default "Class@hash", which the caller then writes.
bool append_object_string(std::string& out, const Value& v);

// What a host collection prints as (Clojure prints java.util lists as vectors and maps as maps): a snapshot of
// its contents, or nullopt for anything else.
std::optional<Value> printed_as(const Value& v);

// (.-field target)
Value get_field(const Value& target, std::string_view field);
// (Class. args...) / (new Class args...)
Value construct(const Value& cls, Args args);

// A class a library adds at start-up (java.io.File and the file streams): its constructors, the methods of objects
// whose type_name() is its name, its static members and its objects' toString. Each hook answers false (or nil) for
// what it does not have. Added only while kelp installs its libraries, before any thread runs.
struct ClassExtension {
  std::string name;   // "java.io.File"
  std::string super;  // "java.lang.Object"; a class the host layer already knows
  bool (*construct)(Args args, Value* out) = nullptr;
  bool (*call)(const Value& target, std::string_view method, Args args, Value* out) = nullptr;
  Value (*static_member)(std::string_view member) = nullptr;
  bool (*to_string)(const Value& v, std::string& out) = nullptr;
  Value (*static_field)(std::string_view field, bool* found) = nullptr;  // *found false when it has none
};
void add_class(ClassExtension ext);

}  // namespace kelp::rt::host
