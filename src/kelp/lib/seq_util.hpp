// What the sequence and collection natives share: walking any seqable value, folding it (consuming it where nobody
// else can see it), reduced values, and a few calling shorthands.
#pragma once

#include <string_view>
#include <vector>

#include "kelp/data/seq.hpp"
#include "kelp/data/value.hpp"
#include "kelp/rt/fn.hpp"

namespace kelp::lib::seqs {

// "Don't know how to create ISeq from: java.lang.Long" (IllegalArgumentException).
[[noreturn]] void not_seqable(const Value& v);

// The sequence of any seqable value, or nil when it is empty.
Value seq_of(const Value& coll);
// first / rest / next of any seqable value. rest never realises more than the first element; () when none.
Value first_of(const Value& coll);
Value rest_of(const Value& coll);
Value next_of(const Value& coll);

// Visits the elements of any seqable value in order; stops when f answers false (and answers false).
bool each_of(const Value& coll, FunctionRef<bool(const Value&)> f);
// As each_of, for callers that use `coll` only this once: a lazy sequence nobody else holds is computed straight
// through into f without caching its cells.
bool fold(const Value& coll, FunctionRef<bool(const Value&)> f);

// Elements into a C++ vector (consumes coll as fold does).
std::vector<Value> to_vector(const Value& coll);

// count that errs as Clojure's: "count not supported on this type: Long".
int64_t count_of(const Value& coll);

// (reduced x)
Value make_reduced(Value x);
inline bool is_reduced(const Value& v) { return v.is(Kind::Reduced); }
const Value& reduced_value(const Value& r);

// Calls with one or two arguments without building a list.
inline Value call1(const Value& f, const Value& a) { return rt::call(f, rt::Args(&a, 1)); }
inline Value call2(const Value& f, const Value& a, const Value& b) {
  Value args[2] = {a, b};
  return rt::call(f, rt::Args(args, 2));
}

// Orders a and b with a comparator function (nil: Clojure's compare). A function answering a boolean is read as
// a "less than" predicate; one answering a number, by its sign.
int fn_compare(const Value& f, const Value& a, const Value& b);

// The short class name of a value, as Clojure's messages give it ("Long", "PersistentVector").
std::string_view simple_type_name(const Value& v);

}  // namespace kelp::lib::seqs
