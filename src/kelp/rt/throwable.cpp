#include "kelp/rt/throwable.hpp"

#include <new>
#include <unordered_map>

#include "kelp/data/error.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/read/reader.hpp"

namespace kelp::rt {

namespace {

// name, parent (by full name). Parents come before children.
constexpr std::pair<const char*, const char*> CLASS_TABLE[] = {
    {"java.lang.Throwable", nullptr},
    {"java.lang.Exception", "java.lang.Throwable"},
    {"java.lang.Error", "java.lang.Throwable"},
    {"java.lang.RuntimeException", "java.lang.Exception"},
    {"java.lang.IllegalArgumentException", "java.lang.RuntimeException"},
    {"java.lang.NumberFormatException", "java.lang.IllegalArgumentException"},
    {"clojure.lang.ArityException", "java.lang.IllegalArgumentException"},
    {"java.util.regex.PatternSyntaxException", "java.lang.IllegalArgumentException"},
    {"java.util.IllegalFormatException", "java.lang.IllegalArgumentException"},
    {"java.util.UnknownFormatConversionException", "java.util.IllegalFormatException"},
    {"java.util.IllegalFormatConversionException", "java.util.IllegalFormatException"},
    {"java.util.MissingFormatArgumentException", "java.util.IllegalFormatException"},
    {"java.lang.IllegalStateException", "java.lang.RuntimeException"},
    {"java.lang.ClassCastException", "java.lang.RuntimeException"},
    {"java.lang.NullPointerException", "java.lang.RuntimeException"},
    {"java.lang.ArithmeticException", "java.lang.RuntimeException"},
    {"java.lang.IndexOutOfBoundsException", "java.lang.RuntimeException"},
    {"java.lang.ArrayIndexOutOfBoundsException", "java.lang.IndexOutOfBoundsException"},
    {"java.lang.StringIndexOutOfBoundsException", "java.lang.IndexOutOfBoundsException"},
    {"java.lang.UnsupportedOperationException", "java.lang.RuntimeException"},
    {"java.util.NoSuchElementException", "java.lang.RuntimeException"},
    {"java.util.ConcurrentModificationException", "java.lang.RuntimeException"},
    {"java.time.DateTimeException", "java.lang.RuntimeException"},
    {"java.time.format.DateTimeParseException", "java.time.DateTimeException"},
    {"clojure.lang.ExceptionInfo", "java.lang.RuntimeException"},
    {"clojure.lang.LispReader$ReaderException", "java.lang.RuntimeException"},
    {"clojure.lang.Compiler$CompilerException", "java.lang.RuntimeException"},
    {"java.util.concurrent.CancellationException", "java.lang.IllegalStateException"},
    {"java.lang.InterruptedException", "java.lang.Exception"},
    {"java.lang.CloneNotSupportedException", "java.lang.Exception"},
    {"java.util.concurrent.ExecutionException", "java.lang.Exception"},
    {"java.util.concurrent.TimeoutException", "java.lang.Exception"},
    {"java.io.IOException", "java.lang.Exception"},
    {"java.io.FileNotFoundException", "java.io.IOException"},
    {"java.io.EOFException", "java.io.IOException"},
    {"java.lang.ReflectiveOperationException", "java.lang.Exception"},
    {"java.lang.ClassNotFoundException", "java.lang.ReflectiveOperationException"},
    {"java.lang.NoSuchFieldException", "java.lang.ReflectiveOperationException"},
    {"java.lang.NoSuchMethodException", "java.lang.ReflectiveOperationException"},
    {"java.lang.AssertionError", "java.lang.Error"},
    {"java.lang.VirtualMachineError", "java.lang.Error"},
    {"java.lang.StackOverflowError", "java.lang.VirtualMachineError"},
    {"java.lang.OutOfMemoryError", "java.lang.VirtualMachineError"},
    {"java.lang.LinkageError", "java.lang.Error"},
    {"java.lang.ExceptionInInitializerError", "java.lang.LinkageError"},
    {"java.lang.IncompatibleClassChangeError", "java.lang.LinkageError"},
    {"java.lang.IllegalAccessError", "java.lang.IncompatibleClassChangeError"},
    {"java.lang.NoClassDefFoundError", "java.lang.LinkageError"},
    {"java.util.MissingFormatWidthException", "java.util.IllegalFormatException"},
    {"java.util.FormatFlagsConversionMismatchException", "java.util.IllegalFormatException"},
    {"java.util.IllegalFormatPrecisionException", "java.util.IllegalFormatException"},
    {"java.util.IllegalFormatFlagsException", "java.util.IllegalFormatException"},
    {"java.util.DuplicateFormatFlagsException", "java.util.IllegalFormatException"},
    {"java.io.UncheckedIOException", "java.lang.RuntimeException"},
    {"java.lang.SecurityException", "java.lang.RuntimeException"},
    {"java.lang.NegativeArraySizeException", "java.lang.RuntimeException"},
    {"java.lang.ArrayStoreException", "java.lang.RuntimeException"},
    {"java.lang.ThreadDeath", "java.lang.Error"},
};

struct Registry {
  std::vector<const ExceptionClass*> all;
  std::unordered_map<std::string_view, const ExceptionClass*> by_name;  // full and simple names

  Registry() {
    for (const auto& [name, parent] : CLASS_TABLE) {
      auto* c = new ExceptionClass{name, parent ? by_name.at(parent) : nullptr};
      all.push_back(c);
      by_name.emplace(c->name, c);
      by_name.emplace(c->simple_name(), c);
    }
  }
};

// Never destroyed: threads still unwinding when the process exits may look classes up.
const Registry& registry() {
  static const Registry* r = new Registry();
  return *r;
}

}  // namespace

std::string_view ExceptionClass::simple_name() const {
  std::string_view n = name;
  size_t dot = n.rfind('.');
  return dot == std::string_view::npos ? n : n.substr(dot + 1);
}

const ExceptionClass* exception_class(std::string_view name) {
  const auto& r = registry();
  auto it = r.by_name.find(name);
  return it == r.by_name.end() ? nullptr : it->second;
}

bool is_subclass(const ExceptionClass* cls, const ExceptionClass* ancestor) {
  for (; cls; cls = cls->super)
    if (cls == ancestor) return true;
  return false;
}

const std::vector<const ExceptionClass*>& exception_classes() { return registry().all; }

Throwable::Throwable(const ExceptionClass* cls, Value message, Value data, Value cause)
    : Object(Kind::Throwable, 0),
      cls_(cls),
      message_(std::move(message)),
      data_(std::move(data)),
      cause_(std::move(cause)) {}

const char* Thrown::what() const noexcept {
  if (what_.empty()) {
    if (ex_.is(Kind::Throwable)) {
      const auto& t = ex_.as<Throwable>();
      what_ = t.cls().name;
      if (t.message().is(Kind::String)) {
        what_ += ": ";
        what_ += str_view(t.message());
      }
    } else {
      what_ = "thrown value";
    }
  }
  return what_.c_str();
}

namespace {
const ExceptionClass* class_or_runtime(std::string_view cls) {
  const ExceptionClass* c = exception_class(cls);
  return c ? c : exception_class("java.lang.RuntimeException");
}
}  // namespace

Value make_throwable(const ExceptionClass* cls, Value message, Value data, Value cause) {
  return Value::adopt(new Throwable(cls, std::move(message), std::move(data), std::move(cause)));
}

Value make_throwable(std::string_view cls, std::string_view message, Value data, Value cause) {
  return make_throwable(class_or_runtime(cls), make_string(message), std::move(data), std::move(cause));
}

Value make_ex_info(std::string_view message, Value data, Value cause) {
  if (data.is_nil()) data = empty_map();
  return make_throwable(exception_class("clojure.lang.ExceptionInfo"), make_string(message), std::move(data),
                        std::move(cause));
}

void throw_value(Value ex) { throw Thrown(std::move(ex)); }
void throw_error(std::string_view cls, std::string_view message) { throw Thrown(make_throwable(cls, message)); }
void throw_illegal_argument(std::string_view m) { throw_error("java.lang.IllegalArgumentException", m); }
void throw_illegal_state(std::string_view m) { throw_error("java.lang.IllegalStateException", m); }
void throw_class_cast(std::string_view m) { throw_error("java.lang.ClassCastException", m); }
void throw_unsupported(std::string_view m) { throw_error("java.lang.UnsupportedOperationException", m); }
void throw_arithmetic(std::string_view m) { throw_error("java.lang.ArithmeticException", m); }
void throw_index_out_of_bounds(std::string_view m) { throw_error("java.lang.IndexOutOfBoundsException", m); }
void throw_null_pointer(std::string_view m) { throw_error("java.lang.NullPointerException", m); }

Value as_throwable(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const Thrown& t) {
    return t.value();
  } catch (const ValueError& v) {
    return make_throwable(v.java_class(), v.what());
  } catch (const read::ReadError& r) {
    Value data = make_map({keyword("clojure.error", "line"), Value::integer(r.line),
                           keyword("clojure.error", "column"), Value::integer(r.column)});
    return make_throwable(exception_class("clojure.lang.LispReader$ReaderException"), make_string(r.what()),
                          std::move(data));
  } catch (const std::bad_alloc&) {
    return make_throwable("java.lang.OutOfMemoryError", "Java heap space");
  } catch (const std::exception& x) {
    return make_throwable("java.lang.RuntimeException", x.what());
  } catch (...) {
    return make_throwable("java.lang.RuntimeException", "unknown error");
  }
}

bool is_instance(const Value& ex, const ExceptionClass* cls) {
  return ex.is(Kind::Throwable) && is_subclass(&ex.as<Throwable>().cls(), cls);
}

}  // namespace kelp::rt
