#include "kelp/lib/seq_array.hpp"

#include <cmath>

#include "kelp/data/number.hpp"
#include "kelp/lib/num_ops.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/seq_install.hpp"
#include "kelp/lib/seq_util.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::lib {

using namespace seqs;
using rt::Args;

JavaArray::JavaArray(std::string type, std::vector<Value> items)
    : Object(Kind::Host, COUNTED), type_(std::move(type)), items_(std::move(items)) {}

bool JavaArray::each(FunctionRef<bool(const Value&)> f) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (!f(items_[i])) return false;
  return true;
}

Value JavaArray::seq() const { return items_.empty() ? NIL : seq_of(make_vector(items_)); }

const Value& JavaArray::at(int64_t i) const {
  if (i < 0 || i >= count())
    rt::throw_error("java.lang.ArrayIndexOutOfBoundsException",
                    "Index " + std::to_string(i) + " out of bounds for length " + std::to_string(count()));
  return items_[static_cast<size_t>(i)];
}

void JavaArray::set(int64_t i, Value v) const {
  at(i);
  items_[static_cast<size_t>(i)] = std::move(v);
}

const JavaArray* as_array(const Value& v) {
  return v.is(Kind::Host) ? dynamic_cast<const JavaArray*>(v.obj()) : nullptr;
}

namespace {

const JavaArray& array_arg(const Value& v) {
  if (const JavaArray* a = as_array(v)) return *a;
  rt::throw_illegal_argument("Argument is not an array");
}

// What an element of a primitive array holds when stored: the JVM's widening and narrowing of numbers.
Value coerce(char element, const Value& v) {
  switch (element) {
    case 'J': case 'I': case 'S': case 'B':
      if (v.is_double()) return Value::integer(static_cast<int64_t>(std::trunc(v.as_double())));
      if (v.is_char()) return Value::integer(static_cast<int64_t>(v.as_char()));
      return Value::integer(long_arg(v));
    case 'D': case 'F':
      if (v.is_int()) return Value::real(static_cast<double>(v.as_int()));
      if (v.is_double()) return v;
      return Value::real(num::to_double(v));
    case 'C':
      if (v.is_int()) return Value::character(static_cast<char32_t>(v.as_int()));
      return v;
    default: return v;
  }
}

Value zero_of(char element) {
  switch (element) {
    case 'J': case 'I': case 'S': case 'B': return Value::integer(0);
    case 'D': case 'F': return Value::real(0.0);
    case 'C': return Value::character(0);
    case 'Z': return FALSE_V();
    default: return NIL;
  }
}

Value make_array(std::string type, std::vector<Value> items) {
  return Value::adopt(new JavaArray(std::move(type), std::move(items)));
}

// (x-array size-or-seq) and (x-array size init-or-seq), as int-array and friends take them.
Value primitive_array(const char* type, Args a) {
  char element = type[1];
  std::vector<Value> items;
  const Value& first = a[0];
  if (a.size() == 1 && !first.is_int() && !first.is_double()) {
    fold(first, [&](const Value& x) { items.push_back(coerce(element, x)); return true; });
    return make_array(type, std::move(items));
  }
  int64_t n = long_arg(first);
  if (n < 0) rt::throw_error("java.lang.NegativeArraySizeException", std::to_string(n));
  items.assign(static_cast<size_t>(n), zero_of(element));
  if (a.size() == 2) {
    if (a[1].is_obj() && (a[1].has(COLL) || a[1].has(SEQ))) {
      size_t i = 0;
      fold(a[1], [&](const Value& x) {
        if (i >= items.size()) return false;
        items[i++] = coerce(element, x);
        return true;
      });
    } else {
      for (Value& x : items) x = coerce(element, a[1]);
    }
  }
  return make_array(type, std::move(items));
}

// The array class for elements of a class: Long/TYPE makes "[J", String makes "[Ljava.lang.String;".
std::string array_type_for(const Value& cls) {
  static const std::pair<const char*, const char*> primitives[] = {
      {"long", "[J"}, {"int", "[I"}, {"short", "[S"}, {"byte", "[B"}, {"double", "[D"},
      {"float", "[F"}, {"char", "[C"}, {"boolean", "[Z"}};
  if (cls.is(Kind::Host)) {
    if (const auto* c = dynamic_cast<const rt::host::HostClass*>(cls.obj())) {
      for (const auto& [name, type] : primitives)
        if (c->name() == name) return type;
      return "[L" + c->name() + ";";
    }
  }
  return "[Ljava.lang.Object;";
}

// The class of a value, for into-array's element type.
std::string element_class(const Value& v) {
  if (v.is_nil()) return "java.lang.Object";
  return std::string(type_name(v));
}

std::vector<Value> items_of(const Value& coll) {
  if (const JavaArray* arr = as_array(coll)) return arr->items();
  return to_vector(coll);
}

// The constructor of arrays of element E ("J" for long-array, ...).
template <char E>
Value primitive_of(Args a) {
  static const char type[3] = {'[', E, '\0'};
  return primitive_array(type, a);
}

template <char E>
void define_primitive(rt::Namespace* ns, const char* name, const char* doc) {
  def_native(ns, name, 1, 2, primitive_of<E>, "([size-or-seq] [size init-val-or-seq])", doc);
}

}  // namespace

void install_arrays(rt::Namespace* ns) {
  define_primitive<'J'>(ns, "long-array", "Creates an array of longs.");
  define_primitive<'I'>(ns, "int-array", "Creates an array of ints.");
  define_primitive<'S'>(ns, "short-array", "Creates an array of shorts.");
  define_primitive<'B'>(ns, "byte-array", "Creates an array of bytes.");
  define_primitive<'D'>(ns, "double-array", "Creates an array of doubles.");
  define_primitive<'F'>(ns, "float-array", "Creates an array of floats.");
  define_primitive<'C'>(ns, "char-array", "Creates an array of chars.");
  define_primitive<'Z'>(ns, "boolean-array", "Creates an array of booleans.");
  def_native(ns, "object-array", 1, 1, [](Args a) { return primitive_array("[Ljava.lang.Object;", a); },
             "([size-or-seq])", "Creates an array of objects.");
  def_native(ns, "to-array", 1, 1, [](Args a) { return make_array("[Ljava.lang.Object;", items_of(a[0])); },
             "([coll])", "Returns an array of Objects containing the contents of coll.");
  def_native(ns, "into-array", 1, 2, [](Args a) -> Value {
    std::vector<Value> items = items_of(a.back());
    std::string type = a.size() == 2 ? array_type_for(a[0])
                                     : (items.empty() ? "[Ljava.lang.Object;" : "[L" + element_class(items[0]) + ";");
    for (Value& x : items) x = coerce(type[1], x);
    return make_array(std::move(type), std::move(items));
  }, "([aseq] [type aseq])", "Returns an array with components set to the values in aseq.");
  def_native(ns, "make-array", 2, 2, [](Args a) {
    std::string type = array_type_for(a[0]);
    int64_t n = long_arg(a[1]);
    if (n < 0) rt::throw_error("java.lang.NegativeArraySizeException", std::to_string(n));
    return make_array(type, std::vector<Value>(static_cast<size_t>(n), zero_of(type[1])));
  }, "([type len])", "Creates and returns an array of instances of the specified class of the specified length.");
  def_native(ns, "alength", 1, 1, [](Args a) { return Value::integer(array_arg(a[0]).count()); }, "([array])",
             "Returns the length of the Java array.");
  def_native(ns, "aget", 2, -1, [](Args a) {
    Value v = array_arg(a[0]).at(long_arg(a[1]));
    for (size_t i = 2; i < a.size(); ++i) v = array_arg(v).at(long_arg(a[i]));
    return v;
  }, "([array idx] [array idx & idxs])", "Returns the value at the index/indices.");
  def_native(ns, "aset", 3, 3, [](Args a) {
    const JavaArray& arr = array_arg(a[0]);
    arr.set(long_arg(a[1]), coerce(arr.element(), a[2]));
    return a[2];
  }, "([array idx val])", "Sets the value at the index. Returns val.");
  def_native(ns, "aclone", 1, 1, [](Args a) {
    const JavaArray& arr = array_arg(a[0]);
    return make_array(std::string(arr.type_name()), arr.items());
  }, "([array])", "Returns a clone of the Java array.");
}

}  // namespace kelp::lib
