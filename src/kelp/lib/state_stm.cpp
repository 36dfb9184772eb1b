// Refs and transactions: ref, dosync, alter, commute, ref-set, ensure.
//
// One process-wide lock serialises transactions, so none ever has to retry. A transaction keeps its new values to
// itself until the body returns; only then are they validated, installed together and the watches told. A body that
// throws leaves every ref as it was.
#include <mutex>
#include <string>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/state_refs.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::lib {

namespace {

using rt::Args;

struct Transaction {
  std::vector<std::pair<Value, Value>> writes;  // ref, value as this transaction sees it

  Value* find(const Ref* r) {
    for (auto& [ref, v] : writes)
      if (ref.obj() == r) return &v;
    return nullptr;
  }
};

thread_local Transaction* tl_tx = nullptr;

std::recursive_mutex& commit_lock() {
  static auto* m = new std::recursive_mutex;
  return *m;
}

Transaction& running_tx() {
  if (!tl_tx) rt::throw_illegal_state("No transaction running");
  return *tl_tx;
}

}  // namespace

Ref::Ref(Value v, Value meta, Value validator)
    : Reference(Type::Ref, std::move(meta)), val_(std::move(v)), validator_(std::move(validator)) {
  validate_state(validator_, val_);
}

Value Ref::deref() const {
  if (tl_tx)
    if (Value* v = tl_tx->find(this)) return *v;
  std::lock_guard lock(mutex_);
  return val_;
}

Value Ref::status_map() const { return make_map({keyword("status"), keyword("ready"), keyword("val"), deref()}); }

Value Ref::set(Value v) const {
  Transaction& tx = running_tx();
  if (Value* cur = tx.find(this)) *cur = v;
  else tx.writes.emplace_back(Value::share(this), v);
  return v;
}

Value Ref::alter(const Value& f, Args args) const {
  std::vector<Value> argv;
  argv.reserve(args.size() + 1);
  running_tx();
  argv.push_back(deref());
  argv.insert(argv.end(), args.begin(), args.end());
  return set(rt::call(f, Args(argv.data(), argv.size())));
}

void Ref::add_watch(Value key, Value fn) const {
  std::lock_guard lock(mutex_);
  watches_ = assoc(watches_.is_nil() ? empty_map() : watches_, std::move(key), std::move(fn));
}

void Ref::remove_watch(const Value& key) const {
  std::lock_guard lock(mutex_);
  if (!watches_.is_nil()) watches_ = dissoc(watches_, key);
}

void Ref::set_validator(Value fn) const {
  validate_state(fn, deref());
  std::lock_guard lock(mutex_);
  validator_ = std::move(fn);
}

Value Ref::validator() const {
  std::lock_guard lock(mutex_);
  return validator_;
}

bool in_transaction() { return tl_tx != nullptr; }

Value run_in_transaction(const Value& thunk) {
  if (tl_tx) return rt::call(thunk);  // nested dosync joins the outer transaction
  std::lock_guard serial(commit_lock());
  Transaction tx;
  tl_tx = &tx;
  Value result;
  try {
    result = rt::call(thunk);
  } catch (...) {
    tl_tx = nullptr;
    throw;
  }
  tl_tx = nullptr;
  struct Change {
    const Ref* ref;
    Value old_v, new_v, watches;
  };
  std::vector<Change> changes;
  for (auto& [ref, v] : tx.writes) validate_state(ref.as<Ref>().validator(), v);
  for (auto& [ref, v] : tx.writes) {
    const Ref& r = ref.as<Ref>();
    std::lock_guard lock(r.mutex_);
    changes.push_back({&r, r.val_, v, r.watches_});
    r.val_ = v;
  }
  for (const Change& c : changes) notify_watches(c.watches, Value::share(c.ref), c.old_v, c.new_v);
  return result;
}

namespace {

const Ref& ref_of(const Value& v) {
  if (const Reference* r = as_reference(v, Reference::Type::Ref)) return static_cast<const Ref&>(*r);
  rt::throw_class_cast("class " + std::string(type_name(v)) + " cannot be cast to class clojure.lang.Ref");
}

// (ref x & options): :meta m, :validator f (:min-history and :max-history are accepted and have no use here).
Value make_ref(Args a) {
  if (a.size() % 2 == 0) rt::throw_illegal_argument("No value supplied for key: " + std::string(type_name(a.back())));
  Value meta, validator;
  for (size_t i = 1; i + 1 < a.size(); i += 2) {
    if (a[i].identical(keyword("meta"))) meta = a[i + 1];
    else if (a[i].identical(keyword("validator"))) validator = a[i + 1];
  }
  return Value::adopt(new Ref(a[0], std::move(meta), std::move(validator)));
}

void def(rt::Namespace* ns, std::string_view name, int min, int max, rt::NativeBody body, const char* arglists) {
  defn(ns, name, min, max, body, NativeDoc{arglists, nullptr});
}

}  // namespace

void install_refs(rt::Namespace* core) {
  def(core, "ref", 1, -1, make_ref, "([x] [x & options])");
  def(core, "sync*", 1, 1, [](Args a) { return run_in_transaction(a[0]); }, "([f])");
  def(core, "alter", 2, -1, [](Args a) { return ref_of(a[0]).alter(a[1], a.subspan(2)); }, "([ref fun & args])");
  // Transactions never overlap, so a commute is an alter.
  def(core, "commute", 2, -1, [](Args a) { return ref_of(a[0]).alter(a[1], a.subspan(2)); }, "([ref fun & args])");
  def(core, "ref-set", 2, 2, [](Args a) { return ref_of(a[0]).set(a[1]); }, "([ref val])");
  def(core, "ensure", 1, 1,
      [](Args a) {
        running_tx();
        return ref_of(a[0]).deref();
      },
      "([ref])");
  def(core, "ref-history-count", 1, 1, [](Args a) { ref_of(a[0]); return Value::integer(0); }, "([ref])");
}

}  // namespace kelp::lib
