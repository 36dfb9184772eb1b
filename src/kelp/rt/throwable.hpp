// Exceptions as values.
//
// A Throwable is an ordinary value whose class is one of a small hierarchy mirroring the Java names Clojure
// programmers write in `catch` (Throwable > Exception > RuntimeException > IllegalArgumentException, ...).
// Throwing unwinds the C++ stack with a Thrown carrying the value.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"

namespace kelp::rt {

// One class of the exception hierarchy.
struct ExceptionClass {
  std::string name;                   // the full name: "java.lang.IllegalArgumentException"
  const ExceptionClass* super = nullptr;
  std::string_view simple_name() const;  // "IllegalArgumentException"
};

// The class for a full or simple name ("java.lang.Exception", "Exception", "clojure.lang.ExceptionInfo",
// "ExceptionInfo"), or null when kelp has no such exception class.
const ExceptionClass* exception_class(std::string_view name);
// True when cls is ancestor or ancestor's subclass.
bool is_subclass(const ExceptionClass* cls, const ExceptionClass* ancestor);
// Every known exception class (for `class`, `instance?` and the host layer).
const std::vector<const ExceptionClass*>& exception_classes();

// One line of a stack trace, as the runtime knows it when the exception is made.
struct TraceElement {
  std::string fn;     // "user/f"
  std::string file;   // "" when unknown
  int line = 0;
};

class Throwable final : public Object {
 public:
  Throwable(const ExceptionClass* cls, Value message, Value data, Value cause);
  const ExceptionClass& cls() const { return *cls_; }
  const Value& message() const { return message_; }  // a string or nil
  const Value& data() const { return data_; }        // ex-data: a map for ExceptionInfo, otherwise nil
  const Value& cause() const { return cause_; }
  const std::vector<TraceElement>& trace() const { return trace_; }
  // The trace is filled once, by whoever throws first (the runtime records its call stack).
  void set_trace(std::vector<TraceElement> t) const { trace_ = std::move(t); }
  std::string_view type_name() const override { return cls_->name; }

 private:
  const ExceptionClass* cls_;
  Value message_, data_, cause_;
  mutable std::vector<TraceElement> trace_;
};

// The C++ exception that carries a thrown value through the C++ stack.
class Thrown : public std::exception {
 public:
  explicit Thrown(Value ex) : ex_(std::move(ex)) {}
  const Value& value() const { return ex_; }
  const char* what() const noexcept override;

 private:
  Value ex_;
  mutable std::string what_;
};

// Makes an exception value. cls must be a known class name (full or simple).
Value make_throwable(std::string_view cls, std::string_view message, Value data = {}, Value cause = {});
Value make_throwable(const ExceptionClass* cls, Value message, Value data = {}, Value cause = {});
// (ex-info msg data cause)
Value make_ex_info(std::string_view message, Value data, Value cause = {});

// Throws a new exception of the named class with a message.
[[noreturn]] void throw_error(std::string_view cls, std::string_view message);
[[noreturn]] void throw_value(Value ex);
// Shorthands for the common ones.
[[noreturn]] void throw_illegal_argument(std::string_view message);
[[noreturn]] void throw_illegal_state(std::string_view message);
[[noreturn]] void throw_class_cast(std::string_view message);
[[noreturn]] void throw_unsupported(std::string_view message);
[[noreturn]] void throw_arithmetic(std::string_view message);
[[noreturn]] void throw_index_out_of_bounds(std::string_view message);
[[noreturn]] void throw_null_pointer(std::string_view message);

// Any exception in flight (Thrown, the data layer's ValueError, a reader error, std::bad_alloc, any
// std::exception) as an exception value, so `catch` and the top level see one kind of thing.
Value as_throwable(std::exception_ptr e);

inline bool is_throwable(const Value& v) { return v.is(Kind::Throwable); }
inline const Throwable& throwable(const Value& v) { return v.as<Throwable>(); }
bool is_instance(const Value& ex, const ExceptionClass* cls);

}  // namespace kelp::rt
