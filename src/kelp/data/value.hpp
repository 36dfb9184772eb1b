// The one value type of the program: EDN data, wire messages after decoding, console results and every value
// of the kelp runtime.
//
// A Value is a 16-byte handle. nil, booleans, 64-bit integers, doubles and characters live inline; everything
// else is an immutable heap Object with an intrusive atomic reference count, so values are cheap to copy and
// safe to share between threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "kelp/data/alloc.hpp"
#include "kelp/data/function_ref.hpp"

namespace kelp {

class Value;

// Heap object kinds. The runtime appends its own kinds (functions, vars, atoms, ...) before Other.
enum class Kind : uint16_t {
  BigInt,      // arbitrary-precision integer (clojure.lang.BigInt): prints with an N
  Ratio,       // normalised ratio of big integers, denominator > 1
  BigDec,      // arbitrary-precision decimal: prints with an M
  String,
  Keyword,
  Symbol,
  List,        // persistent list (cons cells with a count); the empty list is a List of count 0
  Vector,
  ArrayMap,
  HashMap,
  HashSet,
  SortedMap,
  SortedSet,
  Inst,        // #inst: milliseconds since the epoch
  Uuid,        // #uuid
  Seq,         // any other sequence (vector seqs, map seqs, lazy sequences, ...)
  // The runtime's kinds.
  Pattern,     // a compiled regular expression
  Fn,          // anything made by fn* or a native function
  Var,
  Namespace,
  Throwable,   // an exception value
  Reference,   // atoms, volatiles, delays, promises, futures
  Reduced,
  Host,        // host objects: classes, writers, readers, string builders, ...
  Other,
};

// What a kind is, for equality and printing.
enum Trait : uint32_t {
  SEQUENTIAL = 1u << 0,  // equal to any other sequential value with equal elements in order
  MAP = 1u << 1,
  SET = 1u << 2,
  COUNTED = 1u << 3,
  NUMBER = 1u << 4,
  SEQ = 1u << 5,         // an ISeq: first/next
  COLL = 1u << 6,
  META = 1u << 7,        // carries metadata
  SORTED = 1u << 8,
};

class Object {
 public:
  Object(Kind kind, uint32_t traits) : kind_(kind), traits_(traits) {}
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object() = default;

  // Objects come from the small-object allocator; the virtual destructor hands the dynamic size to delete.
  static void* operator new(size_t bytes) { return small_alloc(bytes); }
  static void operator delete(void* p, size_t bytes) noexcept { small_free(p, bytes); }

  Kind kind() const { return kind_; }
  bool has(Trait t) const { return (traits_ & t) != 0; }

  void retain() const {
    if (!immortal()) rc_.fetch_add(1, std::memory_order_relaxed);
  }
  void release() const {
    if (immortal()) return;
    if (rc_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy();
  }
  uint32_t ref_count() const { return rc_.load(std::memory_order_relaxed); }
  // Immortal objects (interned keywords, empty collections) are never counted and never freed.
  void make_immortal() { rc_.store(IMMORTAL_RC, std::memory_order_relaxed); }
  bool immortal() const { return rc_.load(std::memory_order_relaxed) >= IMMORTAL_RC; }

  // Clojure's hasheq, cached after the first call.
  int32_t hash() const;

  // --- Behaviour a kind supplies. Defaults suit an opaque object compared by identity.
  virtual int32_t compute_hash() const;
  // Equality with another object of a kind that is neither sequential, a map, a set nor a number
  // (those categories are compared generically).
  virtual bool equiv_same_category(const Object& other) const { return this == &other; }
  virtual int64_t count() const { return 0; }
  // Visits the elements in order (a map's entries as two-element vectors); stops when f answers false.
  // Answers false when stopped early.
  virtual bool each(FunctionRef<bool(const Value&)> f) const;
  // Maps: visits key and value pairs in order.
  virtual bool each_entry(FunctionRef<bool(const Value&, const Value&)> f) const;
  // Maps and sets: the stored value for a key (the member itself for a set), or null when absent.
  virtual const Value* lookup(const Value& key) const;
  // The sequence of the elements, or nil when empty.
  virtual Value seq() const;
  virtual Value meta() const;
  // A copy carrying the given metadata; only kinds with the META trait support it.
  virtual Value with_meta(const Value& m) const;
  // The class name shown by #object[...] and in error messages.
  virtual std::string_view type_name() const;

 private:
  void destroy() const { delete this; }
  static constexpr uint32_t IMMORTAL_RC = 0x40000000u;

  mutable std::atomic<uint32_t> rc_{1};
  mutable std::atomic<int64_t> hash_{INT64_MIN};  // INT64_MIN: not yet computed
  const Kind kind_;
  const uint32_t traits_;
};

enum class Type : uint8_t { Nil, Bool, Int, Double, Char, Obj };

class Value {
 public:
  Value() : type_(Type::Nil) { u_.i = 0; }
  Value(std::nullptr_t) : Value() {}
  static Value boolean(bool b) { Value v; v.type_ = Type::Bool; v.u_.b = b; return v; }
  static Value integer(int64_t i) { Value v; v.type_ = Type::Int; v.u_.i = i; return v; }
  static Value real(double d) { Value v; v.type_ = Type::Double; v.u_.d = d; return v; }
  static Value character(char32_t c) { Value v; v.type_ = Type::Char; v.u_.c = c; return v; }
  // Takes ownership of one reference (a freshly made object has a count of one).
  static Value adopt(const Object* o) { Value v; if (o) { v.type_ = Type::Obj; v.u_.o = o; } return v; }
  // Shares an object that someone else owns.
  static Value share(const Object* o) { if (o) o->retain(); return adopt(o); }

  Value(const Value& other) : type_(other.type_), u_(other.u_) {
    if (type_ == Type::Obj) u_.o->retain();
  }
  Value(Value&& other) noexcept : type_(other.type_), u_(other.u_) { other.type_ = Type::Nil; }
  Value& operator=(const Value& other) {
    if (this != &other) { Value tmp(other); swap(tmp); }
    return *this;
  }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) { Value tmp(std::move(other)); swap(tmp); }
    return *this;
  }
  ~Value() { if (type_ == Type::Obj) u_.o->release(); }
  void swap(Value& other) noexcept { std::swap(type_, other.type_); std::swap(u_, other.u_); }

  Type type() const { return type_; }
  bool is_nil() const { return type_ == Type::Nil; }
  bool is_bool() const { return type_ == Type::Bool; }
  bool is_int() const { return type_ == Type::Int; }
  bool is_double() const { return type_ == Type::Double; }
  bool is_char() const { return type_ == Type::Char; }
  bool is_obj() const { return type_ == Type::Obj; }
  bool is(Kind k) const { return type_ == Type::Obj && u_.o->kind() == k; }
  bool has(Trait t) const { return type_ == Type::Obj && u_.o->has(t); }
  // Clojure truthiness: everything but nil and false.
  bool truthy() const { return !(type_ == Type::Nil || (type_ == Type::Bool && !u_.b)); }

  bool as_bool() const { return u_.b; }
  int64_t as_int() const { return u_.i; }
  double as_double() const { return u_.d; }
  char32_t as_char() const { return u_.c; }
  const Object* obj() const { return type_ == Type::Obj ? u_.o : nullptr; }
  template <class T> const T& as() const { return static_cast<const T&>(*u_.o); }

  // Identity: the same immediate, or the same object.
  bool identical(const Value& other) const {
    if (type_ != other.type_) return false;
    switch (type_) {
      case Type::Nil: return true;
      case Type::Bool: return u_.b == other.u_.b;
      case Type::Int: return u_.i == other.u_.i;
      case Type::Double: return u_.i == other.u_.i;  // bit pattern
      case Type::Char: return u_.c == other.u_.c;
      case Type::Obj: return u_.o == other.u_.o;
    }
    return false;
  }

 private:
  Type type_;
  union U {
    bool b;
    int64_t i;
    double d;
    char32_t c;
    const Object* o;
  } u_;
};

static_assert(sizeof(Value) == 16);

inline const Value NIL{};
inline Value TRUE_V() { return Value::boolean(true); }
inline Value FALSE_V() { return Value::boolean(false); }

// Clojure's = : numbers by category and value, sequential values element-wise, maps and sets by content,
// strings, symbols and tagged values by value, everything else by identity.
bool equiv(const Value& a, const Value& b);
// Clojure's hash (hasheq).
int32_t hash(const Value& v);

inline bool operator==(const Value& a, const Value& b) { return equiv(a, b); }
inline bool operator!=(const Value& a, const Value& b) { return !equiv(a, b); }

// Hash-table adaptors, so Values can key std::unordered_map.
struct ValueHash { size_t operator()(const Value& v) const { return static_cast<uint32_t>(hash(v)); } };
struct ValueEq { bool operator()(const Value& a, const Value& b) const { return equiv(a, b); } };

// Count of a collection, string or nil (0); -1 for values that have none.
int64_t count(const Value& v);
// The sequence of a collection (nil when empty); strings give their characters.
Value seq(const Value& v);
Value meta(const Value& v);
// v with metadata m; v itself when v cannot carry metadata.
Value with_meta(const Value& v, const Value& m);

// The type name used in messages ("clojure.lang.PersistentVector", "java.lang.Long", ...).
std::string_view type_name(const Value& v);

}  // namespace kelp
