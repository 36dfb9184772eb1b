// clojure.core's sequence functions: seq access, the lazy transformers, reduce and its relatives, sorting.
#include <algorithm>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <unordered_set>

#include "kelp/data/compare.hpp"
#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/lib/seq_install.hpp"
#include "kelp/lib/seq_array.hpp"
#include "kelp/lib/seq_lazy.hpp"
#include "kelp/lib/seq_util.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::lib {

using namespace seqs;
using rt::Args;

void def_native(rt::Namespace* ns, const char* name, int min_args, int max_args, rt::NativeBody body,
                const char* arglists, const char* doc) {
  defn(ns, name, min_args, max_args, body, NativeDoc{arglists, doc});
}

int64_t long_arg(const Value& v) {
  if (v.is_int()) return v.as_int();
  if (v.is_double()) return static_cast<int64_t>(v.as_double());
  if (v.is(Kind::BigInt)) return to_mpz(v).get_si();
  if (v.is(Kind::Ratio)) {
    mpz_class q = v.as<Ratio>().value().get_num() / v.as<Ratio>().value().get_den();
    return q.get_si();
  }
  rt::throw_class_cast("class " + std::string(type_name(v)) + " cannot be cast to class java.lang.Number");
}

void throw_index_oob() {
  rt::throw_value(rt::make_throwable(rt::exception_class("java.lang.IndexOutOfBoundsException"), NIL));
}

namespace {

// --- Reducing

// Folds coll into acc with f, honouring reduced. With has_init false the first element seeds acc, and an empty
// coll answers (f).
Value reduce_with(const Value& f, bool has_init, Value acc, const Value& coll) {
  size_t steps = 0;
  bool have = has_init;
  fold(coll, [&](const Value& x) {
    if ((++steps & 1023) == 0) rt::safe_point();
    if (!have) {
      acc = x;
      have = true;
      return true;
    }
    Value args[2] = {std::move(acc), x};
    acc = rt::call(f, Args(args, 2));
    if (is_reduced(acc)) {
      Value v = reduced_value(acc);
      acc = std::move(v);
      return false;
    }
    return true;
  });
  return have ? acc : rt::call(f);
}

Value reduce_kv(const Value& f, Value acc, const Value& coll) {
  if (coll.is_nil()) return acc;
  auto step = [&](const Value& k, const Value& v) {
    Value args[3] = {std::move(acc), k, v};
    acc = rt::call(f, Args(args, 3));
    if (!is_reduced(acc)) return true;
    Value r = reduced_value(acc);
    acc = std::move(r);
    return false;
  };
  if (coll.has(MAP)) {
    coll.obj()->each_entry(step);
  } else if (coll.is(Kind::Vector)) {
    int64_t i = 0;
    coll.obj()->each([&](const Value& x) { return step(Value::integer(i++), x); });
  } else {
    rt::throw_illegal_argument("No implementation of method: :kv-reduce of protocol: #'clojure.core.protocols/IKVReduce "
                               "found for class: " + std::string(type_name(coll)));
  }
  return acc;
}

// --- Seq access helpers

Value nthnext(Value s, int64_t n) {
  s = seq_of(s);
  for (int64_t i = 0; i < n && !s.is_nil(); ++i) {
    rt::safe_point();
    s = next_of(s);
  }
  return s;
}

Value nth_of(const Value& coll, const Value& index, const Value* not_found) {
  int64_t i = long_arg(index);
  if (coll.is_nil()) return not_found ? *not_found : NIL;
  auto missing = [&]() -> Value {
    if (not_found) return *not_found;
    throw_index_oob();
  };
  if (coll.is(Kind::Vector)) {
    const Value* v = i >= 0 ? vector_get(coll, i) : nullptr;
    return v ? *v : missing();
  }
  if (coll.is(Kind::String)) {
    if (i >= 0 && i < coll.obj()->count()) return Value::character(coll.as<String>().at(i));
    if (not_found) return *not_found;
    rt::throw_error("java.lang.StringIndexOutOfBoundsException", "String index out of range: " + std::to_string(i));
  }
  if (const JavaArray* arr = as_array(coll)) {
    if (not_found && (i < 0 || i >= arr->count())) return *not_found;
    return arr->at(i);
  }
  if (coll.has(SEQ) || (coll.is(Kind::Host) && coll.has(COUNTED))) {  // a seq, or a java.util list
    if (i < 0) return missing();
    Value s = nthnext(coll, i);
    return s.is_nil() ? missing() : first_of(s);
  }
  if (auto t = transient_vector_get(coll, i)) return *t ? **t : missing();
  rt::throw_unsupported("nth not supported on this type: " + std::string(simple_type_name(coll)));
}

}  // namespace

int seqs::fn_compare(const Value& f, const Value& a, const Value& b) {
  if (f.is_nil()) {
    if (a.is_int() && b.is_int()) return a.as_int() < b.as_int() ? -1 : a.as_int() > b.as_int();
    return kelp::compare(a, b);
  }
  Value r = call2(f, a, b);
  if (r.is_bool()) {
    if (r.as_bool()) return -1;
    return call2(f, b, a).truthy() ? 1 : 0;
  }
  if (r.is_int()) return r.as_int() < 0 ? -1 : r.as_int() > 0;
  if (is_number(r)) return number_compare(r, Value::integer(0));
  if (r.is_nil()) return call2(f, b, a).truthy() ? 1 : 0;
  rt::throw_class_cast("class " + std::string(type_name(r)) + " cannot be cast to class java.lang.Number");
}

namespace {

Value sorted_seq(std::vector<Value> items, const Value& cmp, const Value& keyfn) {
  if (items.empty()) return empty_list();
  if (keyfn.is_nil()) {
    std::stable_sort(items.begin(), items.end(),
                     [&](const Value& a, const Value& b) { return fn_compare(cmp, a, b) < 0; });
  } else {
    std::vector<std::pair<Value, Value>> keyed;
    keyed.reserve(items.size());
    for (Value& x : items) keyed.emplace_back(call1(keyfn, x), std::move(x));
    std::stable_sort(keyed.begin(), keyed.end(),
                     [&](const auto& a, const auto& b) { return fn_compare(cmp, a.first, b.first) < 0; });
    for (size_t i = 0; i < keyed.size(); ++i) items[i] = std::move(keyed[i].second);
  }
  return seq_of(make_vector(items));
}

Value plus_fn() {
  Value v = rt::core_vars().core->find(symbol("+"));
  if (v.is(Kind::Var)) return rt::as_var(v).deref();
  rt::throw_illegal_state("clojure.core/+ is not defined");
}

void check_number(const Value& v) {
  if (!v.is_int() && !v.is_double() && !is_number(v))
    rt::throw_class_cast("class " + std::string(type_name(v)) + " cannot be cast to class java.lang.Number");
}

Value range_of(Args a) {
  if (a.empty()) return int_range(0, 0, 1, false);
  Value start = a.size() >= 2 ? a[0] : Value::integer(0);
  Value end = a.size() >= 2 ? a[1] : a[0];
  Value step = a.size() == 3 ? a[2] : Value::integer(1);
  if (start.is_int() && end.is_int() && step.is_int()) return int_range(start.as_int(), end.as_int(), step.as_int(), true);
  check_number(start);
  check_number(end);
  check_number(step);
  return num_range(start, end, step, true, plus_fn());
}


// --- Transducers: (map f), (filter pred), ... as functions of a reducing function.

using Step = std::function<Value(const Value& rf, Args)>;

// A transducer whose reducing step is `step(rf, [acc x])`; the 0- and 1-argument arities pass through to rf.
Value transducer(const char* name, std::function<Value(const Value& rf, const Value& acc, const Value& x)> step) {
  std::string fname = std::string("clojure.core/") + name + "/fn";
  return rt::make_native(fname, 1, 1, std::function<Value(Args)>([fname, step](Args a) {
    Value rf = a[0];
    return rt::make_native(fname, 0, 2, std::function<Value(Args)>([rf, step](Args b) -> Value {
      if (b.empty()) return rt::call(rf);
      if (b.size() == 1) return call1(rf, b[0]);
      return step(rf, b[0], b[1]);
    }));
  }));
}

// A transducer with per-use state: make() gives the step for one application to a reducing function.
template <class Make>
Value stateful_transducer(const char* name, Make make) {
  std::string fname = std::string("clojure.core/") + name + "/fn";
  return rt::make_native(fname, 1, 1, std::function<Value(Args)>([fname, make](Args a) {
    Value rf = a[0];
    auto step = make();
    return rt::make_native(fname, 0, 2, std::function<Value(Args)>([rf, step](Args b) mutable -> Value {
      if (b.empty()) return rt::call(rf);
      if (b.size() == 1) return call1(rf, b[0]);
      return step(rf, b[0], b[1]);
    }));
  }));
}

// A transducer that buffers: make() gives a state with step(rf, acc, x) and flush(rf, acc), which hands on what is
// still buffered when the reduction completes.
template <class Make>
Value buffering_transducer(const char* name, Make make) {
  std::string fname = std::string("clojure.core/") + name + "/fn";
  return rt::make_native(fname, 1, 1, std::function<Value(Args)>([fname, make](Args a) {
    Value rf = a[0];
    auto state = make();
    return rt::make_native(fname, 0, 2, std::function<Value(Args)>([rf, state](Args b) mutable -> Value {
      if (b.empty()) return rt::call(rf);
      if (b.size() == 1) return call1(rf, state.flush(rf, b[0]));
      return state.step(rf, b[0], b[1]);
    }));
  }));
}

// The buffer of partition-all and partition-by.
struct Batch {
  std::vector<Value> items;
  Value take() {
    Value v = make_vector(items);
    items.clear();
    return v;
  }
  Value flush(const Value& rf, const Value& acc) {
    if (items.empty()) return acc;
    Value r = call2(rf, acc, take());
    return is_reduced(r) ? reduced_value(r) : r;
  }
};

Value partition_all_xf(int64_t n) {
  struct State : Batch {
    int64_t n;
    Value step(const Value& rf, const Value& acc, const Value& x) {
      items.push_back(x);
      return static_cast<int64_t>(items.size()) >= n ? call2(rf, acc, take()) : acc;
    }
  };
  return buffering_transducer("partition-all", [n] { return State{{}, n}; });
}

Value partition_by_xf(Value f) {
  struct State : Batch {
    Value f, last;
    Value step(const Value& rf, const Value& acc, const Value& x) {
      Value key = call1(f, x);
      if (items.empty() || equiv(key, last)) {
        items.push_back(x);
        last = std::move(key);
        return acc;
      }
      Value r = call2(rf, acc, take());
      if (!is_reduced(r)) items.push_back(x);
      last = std::move(key);
      return r;
    }
  };
  return buffering_transducer("partition-by", [f] { return State{{}, f, {}}; });
}

Value preserving_reduced(const Value& rf, const Value& acc, const Value& x) {
  Value r = call2(rf, acc, x);
  return is_reduced(r) ? make_reduced(r) : r;
}

// map's step also takes several inputs at once, as (sequence (map f) c1 c2) hands them: f gets them all.
Value map_xf(Value f) {
  const std::string fname = "clojure.core/map/fn";
  return rt::make_native(fname, 1, 1, std::function<Value(Args)>([fname, f](Args a) {
    Value rf = a[0];
    return rt::make_native(fname, 0, -1, std::function<Value(Args)>([rf, f](Args b) -> Value {
      if (b.empty()) return rt::call(rf);
      if (b.size() == 1) return call1(rf, b[0]);
      if (b.size() == 2) return call2(rf, b[0], call1(f, b[1]));
      return call2(rf, b[0], rt::call(f, b.subspan(1)));
    }));
  }));
}
Value filter_xf(Value pred, bool keep) {
  return transducer(keep ? "filter" : "remove", [pred, keep](const Value& rf, const Value& acc, const Value& x) {
    return call1(pred, x).truthy() == keep ? call2(rf, acc, x) : acc;
  });
}
Value keep_xf(Value f) {
  return transducer("keep", [f](const Value& rf, const Value& acc, const Value& x) {
    Value v = call1(f, x);
    return v.is_nil() ? acc : call2(rf, acc, v);
  });
}
Value mapcat_xf(Value f) {
  return transducer("mapcat", [f](const Value& rf, const Value& acc, const Value& x) {
    Value out = acc;
    each_of(call1(f, x), [&](const Value& y) {
      out = preserving_reduced(rf, out, y);
      return !is_reduced(out);
    });
    return out;
  });
}
Value take_xf(int64_t n) {
  return stateful_transducer("take", [n] {
    return [left = n](const Value& rf, const Value& acc, const Value& x) mutable -> Value {
      if (left <= 0) return make_reduced(acc);
      Value r = call2(rf, acc, x);
      if (--left <= 0 && !is_reduced(r)) return make_reduced(r);
      return r;
    };
  });
}
Value drop_xf(int64_t n) {
  return stateful_transducer("drop", [n] {
    return [left = n](const Value& rf, const Value& acc, const Value& x) mutable -> Value {
      if (left > 0) {
        --left;
        return acc;
      }
      return call2(rf, acc, x);
    };
  });
}
Value take_while_xf(Value pred) {
  return transducer("take-while", [pred](const Value& rf, const Value& acc, const Value& x) {
    return call1(pred, x).truthy() ? call2(rf, acc, x) : make_reduced(acc);
  });
}
Value drop_while_xf(Value pred) {
  return stateful_transducer("drop-while", [pred] {
    return [pred, dropping = true](const Value& rf, const Value& acc, const Value& x) mutable -> Value {
      if (dropping && call1(pred, x).truthy()) return acc;
      dropping = false;
      return call2(rf, acc, x);
    };
  });
}
Value map_indexed_xf(Value f, bool keep) {
  return stateful_transducer(keep ? "keep-indexed" : "map-indexed", [f, keep] {
    return [f, keep, i = int64_t{0}](const Value& rf, const Value& acc, const Value& x) mutable -> Value {
      Value v = call2(f, Value::integer(i++), x);
      if (keep && v.is_nil()) return acc;
      return call2(rf, acc, v);
    };
  });
}
Value take_nth_xf(int64_t n) {
  return stateful_transducer("take-nth", [n] {
    return [n, i = int64_t{-1}](const Value& rf, const Value& acc, const Value& x) mutable -> Value {
      // n <= 0 keeps only the first item, as the lazy form repeats only the first.
      if (++i == 0 || (n > 0 && i % n == 0)) return call2(rf, acc, x);
      return acc;
    };
  });
}
Value interpose_xf(Value sep) {
  return stateful_transducer("interpose", [sep] {
    return [sep, started = false](const Value& rf, const Value& acc, const Value& x) mutable -> Value {
      if (!started) {
        started = true;
        return call2(rf, acc, x);
      }
      Value r = call2(rf, acc, sep);
      return is_reduced(r) ? r : call2(rf, r, x);
    };
  });
}
Value dedupe_xf() {
  return stateful_transducer("dedupe", [] {
    return [prev = Value(), has = false](const Value& rf, const Value& acc, const Value& x) mutable -> Value {
      if (has && equiv(prev, x)) return acc;
      prev = x;
      has = true;
      return call2(rf, acc, x);
    };
  });
}
Value distinct_xf() {
  return stateful_transducer("distinct", [] {
    auto seen = std::make_shared<std::unordered_set<Value, ValueHash, ValueEq>>();
    return [seen](const Value& rf, const Value& acc, const Value& x) -> Value {
      return seen->insert(x).second ? call2(rf, acc, x) : acc;
    };
  });
}

// --- Predicates over elements

Value some_of(const Value& pred, const Value& coll) {
  Value found;
  fold(coll, [&](const Value& x) {
    Value v = call1(pred, x);
    if (v.truthy()) {
      found = std::move(v);
      return false;
    }
    return true;
  });
  return found;
}

bool every_of(const Value& pred, const Value& coll) {
  return fold(coll, [&](const Value& x) { return call1(pred, x).truthy(); });
}

Value take_last(int64_t n, const Value& coll) {
  if (n <= 0) return NIL;
  std::deque<Value> window;
  fold(coll, [&](const Value& x) {
    window.push_back(x);
    if (static_cast<int64_t>(window.size()) > n) window.pop_front();
    return true;
  });
  if (window.empty()) return NIL;
  std::vector<Value> items(window.begin(), window.end());
  return seq_of(make_vector(items));
}

Value butlast(const Value& coll) {
  std::vector<Value> items = to_vector(coll);
  if (items.size() <= 1) return NIL;
  items.pop_back();
  return seq_of(make_vector(items));
}

Value reverse_of(const Value& coll) {
  Value out = empty_list();
  each_of(coll, [&](const Value& x) {
    out = list_conj(out, x);
    return true;
  });
  return out;
}

Value first_of_two() {
  static const Value f = rt::make_native("clojure.core/drop-last/fn", 2, 2, +[](Args a) -> Value { return a[0]; });
  return f;
}

Value key_pick(Args a, bool max) {
  const Value& k = a[0];
  Value best = a[1];
  Value best_key = call1(k, best);
  for (size_t i = 2; i < a.size(); ++i) {
    Value key = call1(k, a[i]);
    int c = number_compare(key, best_key);
    if (max ? c >= 0 : c <= 0) {
      best = a[i];
      best_key = std::move(key);
    }
  }
  return best;
}

thread_local std::mt19937_64 random_engine{std::random_device{}()};

Value walk(const Value& coll, int64_t limit) {
  Value s = seq_of(coll);
  for (int64_t i = 0; !s.is_nil() && (limit < 0 || i < limit); ++i) {
    rt::safe_point();
    s = next_of(s);
  }
  return s;
}

void install_access(rt::Namespace* ns) {
  def_native(ns, "seq", 1, 1, [](Args a) { return seq_of(a[0]); }, "([coll])",
             "Returns a seq on the collection, or nil when it is empty.");
  def_native(ns, "first", 1, 1, [](Args a) { return first_of(a[0]); }, "([coll])",
             "Returns the first item in the collection, or nil.");
  def_native(ns, "rest", 1, 1, [](Args a) { return a[0].is_nil() ? empty_list() : rest_of(a[0]); }, "([coll])",
             "Returns a possibly empty seq of the items after the first.");
  def_native(ns, "next", 1, 1, [](Args a) { return next_of(a[0]); }, "([coll])",
             "Returns a seq of the items after the first, or nil when there are none.");
  def_native(ns, "second", 1, 1, [](Args a) { return first_of(next_of(a[0])); }, "([x])",
             "Same as (first (next x)).");
  def_native(ns, "ffirst", 1, 1, [](Args a) { return first_of(first_of(a[0])); }, "([x])",
             "Same as (first (first x)).");
  def_native(ns, "fnext", 1, 1, [](Args a) { return first_of(next_of(a[0])); }, "([x])",
             "Same as (first (next x)).");
  def_native(ns, "nfirst", 1, 1, [](Args a) { return next_of(first_of(a[0])); }, "([x])",
             "Same as (next (first x)).");
  def_native(ns, "nnext", 1, 1, [](Args a) { return next_of(next_of(a[0])); }, "([x])",
             "Same as (next (next x)).");
  def_native(ns, "cons", 2, 2, [](Args a) { return rt::cons(a[0], a[1]); }, "([x seq])",
             "Returns a new seq with x first and seq the rest.");
  def_native(ns, "lazy-seq*", 1, 1, [](Args a) { return rt::make_lazy_seq(a[0]); }, "([thunk])",
             "A lazy seq realised by calling thunk once; the lazy-seq macro expands to this.");
  def_native(ns, "nth", 2, 3, [](Args a) { return nth_of(a[0], a[1], a.size() == 3 ? &a[2] : nullptr); },
             "([coll index] [coll index not-found])", "Returns the value at the index; not-found or an error when out of range.");
  def_native(ns, "nthnext", 2, 2, [](Args a) { return nthnext(a[0], long_arg(a[1])); }, "([coll n])",
             "Returns the nth next of coll, (seq coll) when n is 0.");
  def_native(ns, "nthrest", 2, 2, [](Args a) {
    Value s = a[0];
    for (int64_t i = 0, n = long_arg(a[1]); i < n; ++i) {
      rt::safe_point();
      Value sq = seq_of(s);
      if (sq.is_nil()) return sq.is_nil() && i == 0 ? s : empty_list();
      s = rest_of(sq);
    }
    return s;
  }, "([coll n])", "Returns the nth rest of coll, coll when n is 0.");
  def_native(ns, "last", 1, 1, [](Args a) {
    Value l;
    fold(a[0], [&](const Value& x) { l = x; return true; });
    return l;
  }, "([coll])", "Returns the last item in coll, in linear time.");
  def_native(ns, "butlast", 1, 1, [](Args a) { return butlast(a[0]); }, "([coll])",
             "Returns a seq of all but the last item in coll, in linear time.");
  def_native(ns, "take-last", 2, 2, [](Args a) { return take_last(long_arg(a[0]), a[1]); }, "([n coll])",
             "Returns a seq of the last n items in coll.");
  def_native(ns, "empty?", 1, 1, [](Args a) {
    const Value& c = a[0];
    if (c.is_obj() && (c.obj()->kind() == Kind::String || (c.obj()->has(COLL) && !c.obj()->has(SEQ))))
      return Value::boolean(c.obj()->count() == 0);
    return Value::boolean(seq_of(c).is_nil());
  }, "([coll])", "Returns true if coll has no items.");
  def_native(ns, "doall", 1, 2, [](Args a) {
    const Value& coll = a.size() == 2 ? a[1] : a[0];
    walk(coll, a.size() == 2 ? long_arg(a[0]) : -1);
    return coll;
  }, "([coll] [n coll])", "Realises the whole lazy seq (or its first n items) and returns it.");
  def_native(ns, "dorun", 1, 2, [](Args a) {
    walk(a.size() == 2 ? a[1] : a[0], a.size() == 2 ? long_arg(a[0]) : -1);
    return NIL;
  }, "([coll] [n coll])", "Realises the lazy seq (or its first n items) for side effects; returns nil.");
}

void install_lazy(rt::Namespace* ns) {
  def_native(ns, "map", 1, -1, [](Args a) -> Value {
    if (a.size() == 1) return map_xf(a[0]);
    if (a.size() == 2) return lazy_map(a[0], a[1]);
    return lazy_map_n(a[0], std::vector<Value>(a.begin() + 1, a.end()));
  }, "([f] [f coll] [f c1 c2] [f c1 c2 c3] [f c1 c2 c3 & colls])",
             "Returns a lazy seq of f applied to the first items of each coll, then the second, ...");
  def_native(ns, "filter", 1, 2, [](Args a) { return a.size() == 1 ? filter_xf(a[0], true) : lazy_filter(a[0], a[1], true); },
             "([pred] [pred coll])", "Returns a lazy seq of the items in coll for which pred is true.");
  def_native(ns, "remove", 1, 2, [](Args a) { return a.size() == 1 ? filter_xf(a[0], false) : lazy_filter(a[0], a[1], false); },
             "([pred] [pred coll])", "Returns a lazy seq of the items in coll for which pred is false.");
  def_native(ns, "keep", 1, 2, [](Args a) { return a.size() == 1 ? keep_xf(a[0]) : lazy_keep(a[0], a[1]); },
             "([f] [f coll])", "Returns a lazy seq of the non-nil results of (f item).");
  def_native(ns, "keep-indexed", 1, 2, [](Args a) {
    return a.size() == 1 ? map_indexed_xf(a[0], true) : lazy_keep_indexed(a[0], a[1]);
  }, "([f] [f coll])", "Returns a lazy seq of the non-nil results of (f index item).");
  def_native(ns, "map-indexed", 1, 2, [](Args a) {
    return a.size() == 1 ? map_indexed_xf(a[0], false) : lazy_map_indexed(a[0], a[1]);
  }, "([f] [f coll])", "Returns a lazy seq of (f index item) for the items of coll.");
  def_native(ns, "mapcat", 1, -1, [](Args a) -> Value {
    if (a.size() == 1) return mapcat_xf(a[0]);
    Value mapped = a.size() == 2 ? lazy_map(a[0], a[1]) : lazy_map_n(a[0], std::vector<Value>(a.begin() + 1, a.end()));
    return lazy_concat(mapped);
  }, "([f] [f & colls])", "Returns the concatenation of the results of mapping f over the colls.");
  def_native(ns, "concat", 0, -1, [](Args a) { return lazy_concat(make_list(a)); }, "([] [x] [x y] [x y & zs])",
             "Returns a lazy seq of the elements of each coll in turn.");
  def_native(ns, "take", 1, 2, [](Args a) {
    return a.size() == 1 ? take_xf(long_arg(a[0])) : lazy_take(long_arg(a[0]), a[1]);
  }, "([n] [n coll])", "Returns a lazy seq of the first n items in coll.");
  def_native(ns, "drop", 1, 2, [](Args a) {
    return a.size() == 1 ? drop_xf(long_arg(a[0])) : lazy_drop(long_arg(a[0]), a[1]);
  }, "([n] [n coll])", "Returns a lazy seq of all but the first n items in coll.");
  def_native(ns, "take-while", 1, 2, [](Args a) {
    return a.size() == 1 ? take_while_xf(a[0]) : lazy_take_while(a[0], a[1]);
  }, "([pred] [pred coll])", "Returns a lazy seq of the items of coll while pred is true.");
  def_native(ns, "drop-while", 1, 2, [](Args a) {
    return a.size() == 1 ? drop_while_xf(a[0]) : lazy_drop_while(a[0], a[1]);
  }, "([pred] [pred coll])", "Returns a lazy seq of the items of coll from the first for which pred is false.");
  def_native(ns, "take-nth", 1, 2, [](Args a) -> Value {
    int64_t n = long_arg(a[0]);
    if (a.size() == 1) return take_nth_xf(n);
    if (n <= 0) {
      Value s = seq_of(a[1]);
      return s.is_nil() ? empty_list() : lazy_repeat(first_of(s), -1);
    }
    return lazy_take_nth(n, a[1]);
  }, "([n] [n coll])", "Returns a lazy seq of every nth item in coll.");
  def_native(ns, "drop-last", 1, 2, [](Args a) {
    int64_t n = a.size() == 2 ? long_arg(a[0]) : 1;
    const Value& coll = a.size() == 2 ? a[1] : a[0];
    return lazy_map_n(first_of_two(), {coll, lazy_drop(n, coll)});
  }, "([coll] [n coll])", "Returns a lazy seq of all but the last n (default 1) items in coll.");
  def_native(ns, "split-at", 2, 2, [](Args a) {
    int64_t n = long_arg(a[0]);
    return make_vector({lazy_take(n, a[1]), lazy_drop(n, a[1])});
  }, "([n coll])", "Returns [(take n coll) (drop n coll)].");
  def_native(ns, "split-with", 2, 2, [](Args a) {
    return make_vector({lazy_take_while(a[0], a[1]), lazy_drop_while(a[0], a[1])});
  }, "([pred coll])", "Returns [(take-while pred coll) (drop-while pred coll)].");
  def_native(ns, "range", 0, 3, [](Args a) { return range_of(a); }, "([] [end] [start end] [start end step])",
             "Returns a lazy seq of numbers from start (inclusive) to end (exclusive) by step; infinite without end.");
  def_native(ns, "iterate", 2, 2, [](Args a) { return lazy_iterate(a[0], a[1]); }, "([f x])",
             "Returns a lazy seq of x, (f x), (f (f x)) ...");
  def_native(ns, "repeat", 1, 2, [](Args a) {
    return a.size() == 1 ? lazy_repeat(a[0], -1) : lazy_repeat(a[1], std::max<int64_t>(0, long_arg(a[0])));
  }, "([x] [n x])", "Returns a lazy seq of x, forever or n times.");
  def_native(ns, "repeatedly", 1, 2, [](Args a) {
    return a.size() == 1 ? lazy_repeatedly(a[0], -1) : lazy_repeatedly(a[1], std::max<int64_t>(0, long_arg(a[0])));
  }, "([f] [n f])", "Returns a lazy seq of calls to f (of no arguments), forever or n times.");
  def_native(ns, "cycle", 1, 1, [](Args a) { return lazy_cycle(a[0]); }, "([coll])",
             "Returns a lazy infinite seq of the items of coll repeated.");
  def_native(ns, "interleave", 0, -1, [](Args a) -> Value {
    if (a.empty()) return empty_list();
    if (a.size() == 1) return lazy_concat(make_list({a[0]}));
    return lazy_interleave(std::vector<Value>(a.begin(), a.end()));
  }, "([] [c1] [c1 c2] [c1 c2 & colls])", "Returns a lazy seq of the first item of each coll, then the second, ...");
  def_native(ns, "interpose", 1, 2, [](Args a) { return a.size() == 1 ? interpose_xf(a[0]) : lazy_interpose(a[0], a[1]); },
             "([sep] [sep coll])",
             "Returns a lazy seq of the items of coll separated by sep.");
  def_native(ns, "distinct", 0, 1, [](Args a) { return a.empty() ? distinct_xf() : lazy_distinct(a[0]); },
             "([] [coll])", "Returns a lazy seq of the items of coll without duplicates.");
  def_native(ns, "dedupe", 0, 1, [](Args a) { return a.empty() ? dedupe_xf() : lazy_dedupe(a[0]); },
             "([] [coll])", "Returns a lazy seq of the items of coll without consecutive duplicates.");
  def_native(ns, "partition", 2, 4, [](Args a) {
    int64_t n = long_arg(a[0]);
    int64_t step = a.size() >= 3 ? long_arg(a[1]) : n;
    if (a.size() == 4) return lazy_partition(n, step, true, a[2], a[3], false);
    return lazy_partition(n, step, false, NIL, a.back(), false);
  }, "([n coll] [n step coll] [n step pad coll])", "Returns a lazy seq of lists of n items each, at offsets step apart.");
  def_native(ns, "partition-all", 1, 3, [](Args a) {
    int64_t n = long_arg(a[0]);
    if (a.size() == 1) return partition_all_xf(n);
    return lazy_partition(n, a.size() == 3 ? long_arg(a[1]) : n, false, NIL, a.back(), true);
  }, "([n] [n coll] [n step coll])", "As partition, but the last partitions may hold fewer than n items.");
  def_native(ns, "partition-by", 1, 2, [](Args a) {
    return a.size() == 1 ? partition_by_xf(a[0]) : lazy_partition_by(a[0], a[1]);
  }, "([f] [f coll])",
             "Splits coll each time f answers a new value; returns a lazy seq of the runs.");
  def_native(ns, "reductions", 2, 3, [](Args a) {
    if (a.size() == 2) return lazy_reductions(a[0], false, NIL, a[1]);
    return lazy_reductions(a[0], true, a[1], a[2]);
  }, "([f coll] [f init coll])", "Returns a lazy seq of the intermediate values of (reduce f init coll).");
  def_native(ns, "tree-seq", 3, 3, [](Args a) { return lazy_tree_seq(a[0], a[1], a[2]); },
             "([branch? children root])", "Returns a lazy seq of the nodes of a tree, depth first.");
  def_native(ns, "flatten", 1, 1, [](Args a) { return lazy_flatten(a[0]); }, "([x])",
             "Returns the non-sequential things of a nested sequential structure as one flat lazy seq.");
}

void install_reduce(rt::Namespace* ns) {
  def_native(ns, "reduce", 2, 3, [](Args a) {
    return a.size() == 2 ? reduce_with(a[0], false, NIL, a[1]) : reduce_with(a[0], true, a[1], a[2]);
  }, "([f coll] [f val coll])", "Folds coll with f from val (or the first item); stops early at a reduced value.");
  def_native(ns, "reduce-kv", 3, 3, [](Args a) { return reduce_kv(a[0], a[1], a[2]); }, "([f init coll])",
             "Folds a map (or vector) with (f acc key value).");
  def_native(ns, "reduced", 1, 1, [](Args a) { return make_reduced(a[0]); }, "([x])",
             "Wraps x so that reduce stops with it.");
  def_native(ns, "reduced?", 1, 1, [](Args a) { return Value::boolean(is_reduced(a[0])); }, "([x])",
             "Returns true if x is the result of a call to reduced.");
  def_native(ns, "unreduced", 1, 1, [](Args a) { return is_reduced(a[0]) ? reduced_value(a[0]) : a[0]; }, "([x])",
             "The value inside x when it is reduced, else x.");
  def_native(ns, "ensure-reduced", 1, 1, [](Args a) { return is_reduced(a[0]) ? a[0] : make_reduced(a[0]); },
             "([x])", "x when it is reduced, else (reduced x).");
  def_native(ns, "run!", 2, 2, [](Args a) {
    fold(a[1], [&](const Value& x) { return !is_reduced(call1(a[0], x)); });
    return NIL;
  }, "([proc coll])", "Calls proc on each item of coll for side effects; returns nil.");
  def_native(ns, "some", 2, 2, [](Args a) { return some_of(a[0], a[1]); }, "([pred coll])",
             "Returns the first logical true value of (pred x) for x in coll, else nil.");
  def_native(ns, "every?", 2, 2, [](Args a) { return Value::boolean(every_of(a[0], a[1])); }, "([pred coll])",
             "Returns true if (pred x) is logical true for every x in coll.");
  def_native(ns, "not-every?", 2, 2, [](Args a) { return Value::boolean(!every_of(a[0], a[1])); }, "([pred coll])",
             "Returns false if (pred x) is logical true for every x in coll.");
  def_native(ns, "not-any?", 2, 2, [](Args a) { return Value::boolean(!some_of(a[0], a[1]).truthy()); },
             "([pred coll])", "Returns false if (pred x) is logical true for any x in coll.");
  def_native(ns, "apply", 2, -1, [](Args a) { return rt::apply(a[0], a.subspan(1, a.size() - 2), a.back()); },
             "([f args] [f x args] [f x y args] [f x y z args] [f a b c d & args])",
             "Calls f with the given arguments followed by the items of the last one.");
  def_native(ns, "max-key", 2, -1, [](Args a) { return key_pick(a, true); }, "([k x] [k x y] [k x y & more])",
             "Returns the x for which (k x) is greatest (the last of equals).");
  def_native(ns, "min-key", 2, -1, [](Args a) { return key_pick(a, false); }, "([k x] [k x y] [k x y & more])",
             "Returns the x for which (k x) is least (the last of equals).");
}

void install_ordering(rt::Namespace* ns) {
  def_native(ns, "sort", 1, 2, [](Args a) {
    return sorted_seq(to_vector(a.back()), a.size() == 2 ? a[0] : NIL, NIL);
  }, "([coll] [comp coll])", "Returns a sorted seq of the items in coll, by compare or comp; the sort is stable.");
  def_native(ns, "sort-by", 2, 3, [](Args a) {
    return sorted_seq(to_vector(a.back()), a.size() == 3 ? a[1] : NIL, a[0]);
  }, "([keyfn coll] [keyfn comp coll])", "Returns coll sorted by (keyfn item); the sort is stable.");
  def_native(ns, "reverse", 1, 1, [](Args a) { return reverse_of(a[0]); }, "([coll])",
             "Returns a seq of the items in coll in reverse order. Not lazy.");
  def_native(ns, "shuffle", 1, 1, [](Args a) {
    if (!a[0].has(COLL) || a[0].has(MAP))
      rt::throw_class_cast("class " + std::string(type_name(a[0])) + " cannot be cast to class java.util.Collection");
    std::vector<Value> items = to_vector(a[0]);
    std::shuffle(items.begin(), items.end(), random_engine);
    return make_vector(items);
  }, "([coll])", "Returns a random permutation of coll as a vector.");
  def_native(ns, "rand-nth", 1, 1, [](Args a) {
    int64_t n = count_of(a[0]);
    if (n == 0) throw_index_oob();
    std::uniform_int_distribution<int64_t> pick(0, n - 1);
    Value i = Value::integer(pick(random_engine));
    return nth_of(a[0], i, nullptr);
  }, "([coll])", "Returns a random item of the (sequential) collection.");
}

}  // namespace

void install_core_seq() {
  rt::Namespace* ns = rt::core_vars().core;
  install_access(ns);
  install_lazy(ns);
  install_reduce(ns);
  install_ordering(ns);
  install_core_coll(ns);
  install_core_fns(ns);
  install_arrays(ns);
}

}  // namespace kelp::lib
