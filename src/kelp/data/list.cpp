#include "kelp/data/list.hpp"

#include <atomic>
#include <string>

#include "kelp/data/error.hpp"

namespace kelp {

List::List(Value first, Value rest, int64_t count, Value meta)
    : SeqObject(Kind::List, COUNTED | META),
      first_(std::move(first)),
      rest_(std::move(rest)),
      count_(count),
      meta_(std::move(meta)) {}

// Frees the cells this one alone holds one after another: releasing them recursively would overflow the stack on
// a long list. Stops at the first cell someone else still holds.
List::~List() {
  Value rest = std::move(rest_);
  while (rest.is(Kind::List) && rest.obj()->ref_count() == 1) {
    std::atomic_thread_fence(std::memory_order_acquire);  // pairs with the release of the last other holder
    auto& cell = const_cast<List&>(rest.as<List>());
    Value after = std::move(cell.rest_);
    rest = std::move(after);  // frees the cell, whose rest is now nil
  }
}

Value List::next() const { return count_ <= 1 ? NIL : rest_; }

bool List::each(FunctionRef<bool(const Value&)> f) const {
  for (const List* cell = this; cell->count_ > 0; cell = &cell->rest_.as<List>()) {
    if (!f(cell->first_)) return false;
    if (cell->count_ == 1) break;
  }
  return true;
}

Value List::seq() const { return count_ == 0 ? NIL : Value::share(this); }

Value List::with_meta(const Value& m) const {
  return Value::adopt(new List(first_, rest_, count_, m));
}

std::string_view List::type_name() const {
  return count_ == 0 ? "clojure.lang.PersistentList$EmptyList" : "clojure.lang.PersistentList";
}

Value empty_list() {
  static const Value empty = [] {
    auto* l = new List(NIL, NIL, 0, NIL);
    l->make_immortal();
    return Value::adopt(l);
  }();
  return empty;
}

Value make_list(std::span<const Value> items) {
  Value out = empty_list();
  for (size_t i = items.size(); i-- > 0;) out = list_conj(out, items[i]);
  return out;
}

Value make_list(std::initializer_list<Value> items) { return make_list(std::span(items.begin(), items.size())); }

Value list_conj(const Value& list, Value x) {
  if (list.is_nil()) return Value::adopt(new List(std::move(x), empty_list(), 1, NIL));
  if (!list.is(Kind::List)) {
    throw ValueError("java.lang.ClassCastException",
                     std::string(type_name(list)) + " cannot be cast to clojure.lang.PersistentList");
  }
  const auto& l = list.as<List>();
  Value rest = l.count() == 0 ? empty_list() : list;
  return Value::adopt(new List(std::move(x), std::move(rest), l.count() + 1, l.meta()));
}

}  // namespace kelp
