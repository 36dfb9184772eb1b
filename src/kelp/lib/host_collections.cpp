// java.util's mutable collections as Clojure code meets them in interop: ArrayList and HashMap, and the static
// helpers of java.util.Arrays. They count and seq like collections (so vec, into and count take them) but stay
// what Java makes them: mutable, and not Clojure collections.
#include <algorithm>
#include <mutex>
#include <vector>

#include "kelp/data/compare.hpp"
#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/host_detail.hpp"
#include "kelp/lib/seq_array.hpp"
#include "kelp/lib/seq_util.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::rt::host::detail {

namespace {

// java.util.ArrayList. Elements are copied out under the lock, so a seq is a snapshot of the list as it was.
class ArrayList final : public Object {
 public:
  ArrayList() : Object(Kind::Host, COUNTED) {}
  std::string_view type_name() const override { return "java.util.ArrayList"; }
  int64_t count() const override {
    std::lock_guard lock(mutex_);
    return static_cast<int64_t>(items_.size());
  }
  bool each(FunctionRef<bool(const Value&)> f) const override {
    for (const Value& x : snapshot())
      if (!f(x)) return false;
    return true;
  }
  Value seq() const override {
    std::vector<Value> items = snapshot();
    return items.empty() ? Value() : lib::seqs::seq_of(make_vector(items));
  }
  std::vector<Value> snapshot() const {
    std::lock_guard lock(mutex_);
    return items_;
  }
  template <class F>
  auto edit(F&& f) const {
    std::lock_guard lock(mutex_);
    return f(items_);
  }

 private:
  mutable std::mutex mutex_;
  mutable std::vector<Value> items_;
};

// java.util.HashMap, held as a persistent map swapped under the lock.
class HashMap final : public Object {
 public:
  HashMap() : Object(Kind::Host, COUNTED), map_(empty_map()) {}
  std::string_view type_name() const override { return "java.util.HashMap"; }
  int64_t count() const override { return snapshot().obj()->count(); }
  Value seq() const override { return lib::seqs::seq_of(snapshot()); }
  Value snapshot() const {
    std::lock_guard lock(mutex_);
    return map_;
  }
  template <class F>
  auto edit(F&& f) const {
    std::lock_guard lock(mutex_);
    return f(map_);
  }

 private:
  mutable std::mutex mutex_;
  mutable Value map_;
};

template <class T>
const T* as(const Value& v) {
  return v.is(Kind::Host) ? dynamic_cast<const T*>(v.obj()) : nullptr;
}

int64_t index_arg(const Value& v, std::string_view method, size_t nargs) {
  if (!v.is_int()) throw_no_method(method, nargs, "java.util.ArrayList");
  return v.as_int();
}

[[noreturn]] void out_of_bounds(int64_t i, size_t n) {
  throw_index_out_of_bounds("Index " + std::to_string(i) + " out of bounds for length " + std::to_string(n));
}

// Java's AbstractCollection.toString: "[1, 2]", elements as their toString.
std::string list_string(const std::vector<Value>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += to_string(items[i]);
  }
  return out + "]";
}

// List.sort and Collections.sort: stable, by compare or by the comparator function given.
void sort_list(const ArrayList& l, const Value& comparator) {
  std::vector<Value> items = l.snapshot();
  std::stable_sort(items.begin(), items.end(), [&](const Value& x, const Value& y) {
    if (comparator.is_nil()) return kelp::compare(x, y) < 0;
    Value r = rt::call(comparator, {x, y});
    return r.is_bool() ? r.truthy() : (r.is_int() ? r.as_int() < 0 : false);
  });
  l.edit([&](std::vector<Value>& v) { v = std::move(items); });
}

bool list_method(const ArrayList& l, std::string_view m, Args a, Value* out) {
  if (m == "add" && a.size() == 1) {
    l.edit([&](std::vector<Value>& v) { v.push_back(a[0]); });
    *out = TRUE_V();
  } else if (m == "add" && a.size() == 2) {
    int64_t i = index_arg(a[0], m, 2);
    l.edit([&](std::vector<Value>& v) {
      if (i < 0 || static_cast<size_t>(i) > v.size()) out_of_bounds(i, v.size());
      v.insert(v.begin() + i, a[1]);
    });
    *out = Value();
  } else if ((m == "get" || m == "remove") && a.size() == 1) {
    int64_t i = index_arg(a[0], m, 1);
    *out = l.edit([&](std::vector<Value>& v) {
      if (i < 0 || static_cast<size_t>(i) >= v.size()) out_of_bounds(i, v.size());
      Value x = v[static_cast<size_t>(i)];
      if (m == "remove") v.erase(v.begin() + i);
      return x;
    });
  } else if (m == "set" && a.size() == 2) {
    int64_t i = index_arg(a[0], m, 2);
    *out = l.edit([&](std::vector<Value>& v) {
      if (i < 0 || static_cast<size_t>(i) >= v.size()) out_of_bounds(i, v.size());
      return std::exchange(v[static_cast<size_t>(i)], a[1]);
    });
  } else if (m == "size" && a.empty()) {
    *out = Value::integer(l.count());
  } else if (m == "isEmpty" && a.empty()) {
    *out = Value::boolean(l.count() == 0);
  } else if (m == "contains" && a.size() == 1) {
    std::vector<Value> items = l.snapshot();
    *out = Value::boolean(std::any_of(items.begin(), items.end(), [&](const Value& x) { return equiv(x, a[0]); }));
  } else if (m == "clear" && a.empty()) {
    l.edit([](std::vector<Value>& v) { v.clear(); });
    *out = Value();
  } else if ((m == "indexOf" || m == "lastIndexOf") && a.size() == 1) {
    std::vector<Value> items = l.snapshot();
    int64_t at = -1;
    for (size_t i = 0; i < items.size(); ++i)
      if (equiv(items[i], a[0])) {
        at = static_cast<int64_t>(i);
        if (m == "indexOf") break;
      }
    *out = Value::integer(at);
  } else if (m == "addAll" && a.size() == 1) {
    std::vector<Value> more;
    for (Value s = rt::seq(a[0]); !s.is_nil(); s = rt::next(s)) more.push_back(rt::first(s));
    l.edit([&](std::vector<Value>& v) { v.insert(v.end(), more.begin(), more.end()); });
    *out = Value::boolean(!more.empty());
  } else if (m == "sort" && a.size() == 1) {
    sort_list(l, a[0]);
    *out = Value();
  } else if (m == "subList" && a.size() == 2) {
    int64_t from = index_arg(a[0], m, 2), to = index_arg(a[1], m, 2);
    std::vector<Value> items = l.snapshot();
    if (from < 0 || to > static_cast<int64_t>(items.size()) || from > to)
      throw_index_out_of_bounds("fromIndex: " + std::to_string(from) + ", toIndex: " + std::to_string(to) +
                                ", size: " + std::to_string(items.size()));
    *out = make_vector(std::span<const Value>(items.data() + from, static_cast<size_t>(to - from)));
  } else if (m == "toArray" && a.empty()) {
    *out = Value::adopt(new lib::JavaArray("[Ljava.lang.Object;", l.snapshot()));
  } else if (m == "toString" && a.empty()) {
    *out = make_string(list_string(l.snapshot()));
  } else {
    return false;
  }
  return true;
}

bool map_method(const HashMap& h, std::string_view m, Args a, Value* out) {
  auto found = [](const Value& map, const Value& k) {
    const Value* v = get(map, k);
    return v ? *v : Value();
  };
  if (m == "put" && a.size() == 2) {
    *out = h.edit([&](Value& map) {
      Value old = found(map, a[0]);
      map = assoc(map, a[0], a[1]);
      return old;
    });
  } else if (m == "get" && a.size() == 1) {
    *out = found(h.snapshot(), a[0]);
  } else if (m == "getOrDefault" && a.size() == 2) {
    const Value map = h.snapshot();
    const Value* v = get(map, a[0]);
    *out = v ? *v : a[1];
  } else if (m == "containsKey" && a.size() == 1) {
    *out = Value::boolean(get(h.snapshot(), a[0]) != nullptr);
  } else if (m == "remove" && a.size() == 1) {
    *out = h.edit([&](Value& map) {
      Value old = found(map, a[0]);
      map = dissoc(map, a[0]);
      return old;
    });
  } else if (m == "size" && a.empty()) {
    *out = Value::integer(h.count());
  } else if (m == "isEmpty" && a.empty()) {
    *out = Value::boolean(h.count() == 0);
  } else if (m == "clear" && a.empty()) {
    h.edit([](Value& map) { map = empty_map(); });
    *out = Value();
  } else if (m == "putIfAbsent" && a.size() == 2) {
    *out = h.edit([&](Value& map) {
      Value old = found(map, a[0]);
      if (old.is_nil()) map = assoc(map, a[0], a[1]);
      return old;
    });
  } else if (m == "putAll" && a.size() == 1) {
    for (Value s = rt::seq(a[0]); !s.is_nil(); s = rt::next(s)) {
      Value e = rt::first(s);
      h.edit([&](Value& map) { map = assoc(map, rt::first(e), rt::first(rt::next(e))); });
    }
    *out = Value();
  } else if ((m == "merge" && a.size() == 3) || (m == "computeIfAbsent" && a.size() == 2)) {
    // The function runs outside the lock; a change made meanwhile by another thread is run again.
    for (;;) {
      Value before = h.snapshot();
      Value old = found(before, a[0]);
      Value now;
      if (m == "merge") now = old.is_nil() ? a[1] : rt::call(a[2], {old, a[1]});
      else if (!old.is_nil()) return *out = old, true;
      else now = rt::call(a[1], {a[0]});
      bool done = h.edit([&](Value& map) {
        if (!map.identical(before)) return false;
        map = now.is_nil() ? dissoc(map, a[0]) : assoc(map, a[0], now);
        return true;
      });
      if (done) return *out = now, true;
    }
  } else if (m == "containsValue" && a.size() == 1) {
    bool any = false;
    for (Value s = rt::seq(h.snapshot()); !s.is_nil() && !any; s = rt::next(s))
      any = equiv(rt::first(rt::next(rt::first(s))), a[0]);
    *out = Value::boolean(any);
  } else if ((m == "keySet" || m == "values" || m == "entrySet") && a.empty()) {
    // Snapshots as the Clojure collections they print like: a set of keys or entries, a list of values.
    std::vector<Value> parts;
    for (Value s = rt::seq(h.snapshot()); !s.is_nil(); s = rt::next(s)) {
      Value e = rt::first(s);
      parts.push_back(m == "keySet" ? rt::first(e) : m == "values" ? rt::first(rt::next(e)) : e);
    }
    *out = m == "values" ? make_list(parts) : make_set(parts);
  } else if (m == "toString" && a.empty()) {
    std::string text;
    append_collection_string(text, Value::share(&h));
    *out = make_string(text);
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool append_collection_string(std::string& out, const Value& v) {
  if (const auto* l = as<ArrayList>(v)) {
    out += list_string(l->snapshot());
    return true;
  }
  if (const auto* h = as<HashMap>(v)) {  // AbstractMap.toString: "{k=v, k2=v2}"
    out += '{';
    bool first = true;
    for (Value s = rt::seq(h->snapshot()); !s.is_nil(); s = rt::next(s), first = false) {
      Value e = rt::first(s);
      if (!first) out += ", ";
      out += to_string(rt::first(e)) + "=" + to_string(rt::first(rt::next(e)));
    }
    out += '}';
    return true;
  }
  return false;
}

bool call_collection_method(const Value& target, std::string_view method, Args args, Value* out) {
  if (const auto* l = as<ArrayList>(target)) return list_method(*l, method, args, out);
  if (const auto* h = as<HashMap>(target)) return map_method(*h, method, args, out);
  return false;
}

Value construct_collection(const std::string& cls, Args a, bool* found) {
  *found = true;
  if (cls == "java.util.ArrayList") {
    auto* l = new ArrayList();
    Value v = Value::adopt(l);
    if (a.size() == 1 && !a[0].is_int())  // (ArrayList. coll) copies; (ArrayList. n) only sizes
      for (Value s = rt::seq(a[0]); !s.is_nil(); s = rt::next(s))
        l->edit([&](std::vector<Value>& items) { items.push_back(rt::first(s)); });
    if (a.size() <= 1) return v;
  } else if (cls == "java.util.HashMap") {
    auto* h = new HashMap();
    Value v = Value::adopt(h);
    if (a.size() == 1 && a[0].has(MAP)) h->edit([&](Value& map) { map = a[0]; });
    if (a.empty() || (a.size() == 1 && (a[0].is_int() || a[0].has(MAP)))) return v;
  }
  *found = false;
  return {};
}

// java.util.Collections: the helpers that sort, reverse and measure lists in place.
Value collections_static(std::string_view m, Args a) {
  const ArrayList* l = a.empty() ? nullptr : as<ArrayList>(a[0]);
  if ((m == "sort" && (a.size() == 1 || a.size() == 2)) && l) {
    sort_list(*l, a.size() == 2 ? a[1] : Value());
    return {};
  }
  if (m == "reverse" && a.size() == 1 && l) {
    l->edit([](std::vector<Value>& v) { std::reverse(v.begin(), v.end()); });
    return {};
  }
  if ((m == "max" || m == "min") && a.size() == 1) {
    Value best;
    bool first = true;
    for (Value s = rt::seq(a[0]); !s.is_nil(); s = rt::next(s), first = false) {
      Value x = rt::first(s);
      int c = first ? 0 : kelp::compare(x, best);
      if (first || (m == "max" ? c > 0 : c < 0)) best = x;
    }
    if (first) throw_error("java.util.NoSuchElementException", "");
    return best;
  }
  if (m == "frequency" && a.size() == 2) {
    int64_t n = 0;
    for (Value s = rt::seq(a[0]); !s.is_nil(); s = rt::next(s)) n += equiv(rt::first(s), a[1]);
    return Value::integer(n);
  }
  throw_no_method(m, a.size(), "java.util.Collections");
}

// java.util.Arrays/sort and /fill work on arrays in place.
Value arrays_sort(Args a) {
  const lib::JavaArray* arr = lib::as_array(a[0]);
  if (!arr) throw_no_method("sort", a.size(), "java.util.Arrays");
  std::stable_sort(arr->items().begin(), arr->items().end(),
                   [](const Value& x, const Value& y) { return kelp::compare(x, y) < 0; });
  return {};
}

Value arrays_fill(Args a) {
  const lib::JavaArray* arr = lib::as_array(a[0]);
  if (!arr) throw_no_method("fill", a.size(), "java.util.Arrays");
  std::fill(arr->items().begin(), arr->items().end(), a[1]);
  return {};
}

}  // namespace kelp::rt::host::detail

namespace kelp::rt::host {

std::optional<Value> printed_as(const Value& v) {
  if (const auto* l = detail::as<detail::ArrayList>(v)) return make_vector(l->snapshot());
  if (const auto* m = detail::as<detail::HashMap>(v)) return m->snapshot();
  return std::nullopt;
}

}  // namespace kelp::rt::host
