#include "kelp/rt/var.hpp"

#include <fmt/format.h>

#include "kelp/data/hash.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/read/reader.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/loader.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::rt {

namespace {

class SpinGuard {
 public:
  explicit SpinGuard(std::atomic_flag& f) : f_(f) {
    while (f_.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~SpinGuard() { f_.clear(std::memory_order_release); }

 private:
  std::atomic_flag& f_;
};

class Unbound final : public Object {
 public:
  explicit Unbound(std::string name) : Object(Kind::Other, 0), name_(std::move(name)) {}
  std::string_view type_name() const override { return "clojure.lang.Var$Unbound"; }
  std::string name_;
};

bool meta_flag(const Value& meta, std::string_view key) {
  if (!is_map(meta)) return false;
  const Value* v = get(meta, keyword(key));
  return v && v->truthy();
}

}  // namespace

Var::Var(Namespace* ns, Value sym) : Object(Kind::Var, META), ns_(ns), sym_(std::move(sym)) {}

std::string Var::full_name() const {
  std::string out;
  if (ns_) {
    out += ns_->name_str();
    out += '/';
  }
  out += sym_.as<Symbol>().name();
  return out;
}

Value Var::deref() const {
  if (thread_bound.load(std::memory_order_relaxed) > 0) {
    if (BindingFrame::Entry* e = find_binding(this)) return e->val;
  }
  {
    SpinGuard g(lock_);
    if (has_root_) return root_;
  }
  return unbound_marker(*this);
}

Value Var::root() const {
  {
    SpinGuard g(lock_);
    if (has_root_) return root_;
  }
  return unbound_marker(*this);
}

bool Var::has_root() const {
  SpinGuard g(lock_);
  return has_root_;
}

bool Var::is_bound() const {
  if (has_root()) return true;
  return thread_bound.load(std::memory_order_relaxed) > 0 && find_binding(this) != nullptr;
}

Value Var::swap_root(Value v) {
  SpinGuard g(lock_);
  Value old = std::move(root_);
  root_ = std::move(v);
  has_root_ = true;
  return old;  // released outside the lock: its destructor may run arbitrary frees
}

void Var::notify_watches(const Value& old, const Value& now) {
  if (!has_watches_.load(std::memory_order_acquire)) return;
  Value watches;
  {
    std::lock_guard<std::mutex> g(meta_mutex_);
    watches = watches_;
  }
  if (watches.is_nil()) return;
  const Value self = Value::share(this);
  watches.obj()->each_entry([&](const Value& key, const Value& fn) {
    call(fn, {key, self, old, now});
    return true;
  });
}

void Var::bind_root(Value v) {
  Value old = swap_root(v);
  notify_watches(old, v);
}

void Var::add_watch(Value key, Value fn) {
  std::lock_guard<std::mutex> g(meta_mutex_);
  watches_ = assoc(watches_.is_nil() ? empty_map() : watches_, std::move(key), std::move(fn));
  has_watches_.store(true, std::memory_order_release);
}

void Var::remove_watch(const Value& key) {
  std::lock_guard<std::mutex> g(meta_mutex_);
  if (watches_.is_nil()) return;
  watches_ = dissoc(watches_, key);
  if (watches_.obj()->count() == 0) has_watches_.store(false, std::memory_order_release);
}

void Var::unbind_root() {
  Value old;
  SpinGuard g(lock_);
  old = std::move(root_);
  has_root_ = false;
}

Value Var::alter_root(const Value& f, std::span<const Value> args) {
  Value old, result;
  {
    // Serialised through the meta mutex (the root's spin lock cannot be held across a call into Clojure).
    std::lock_guard<std::mutex> serial(meta_mutex_);
    std::vector<Value> all;
    all.reserve(args.size() + 1);
    all.push_back(root());
    all.insert(all.end(), args.begin(), args.end());
    result = call(f, Args(all.data(), all.size()));
    old = swap_root(result);
  }
  notify_watches(old, result);  // outside the lock: a watch may read or change the var
  return result;
}


void Var::set(Value v) {
  BindingFrame::Entry* e = thread_bound.load(std::memory_order_relaxed) > 0 ? find_binding(this) : nullptr;
  if (!e)
    throw_illegal_state(fmt::format("Can't change/establish root binding of: {} with set",
                                    std::string(sym_.as<Symbol>().name())));
  e->val = std::move(v);
}

void Autoload::ensure() {
  if (done_.load(std::memory_order_acquire)) return;
  std::lock_guard g(mutex_);
  if (done_.load(std::memory_order_relaxed) || loading_) return;
  loading_ = true;
  try {
    loader::load_lib(lib_, false);
  } catch (...) {
    loading_ = false;  // a later use tries again and reports the failure again
    throw;
  }
  loading_ = false;
  done_.store(true, std::memory_order_release);
}

Value Var::meta() const {
  // The docs and arglists of an autoloaded var are its library's; the stub has neither.
  if (Autoload* a = autoload_.load(std::memory_order_acquire)) a->ensure();
  std::lock_guard<std::mutex> g(meta_mutex_);
  if (pending_arglists_) {
    const char* text = pending_arglists_;
    pending_arglists_ = nullptr;
    if (auto form = read::read_one(text)) meta_ = assoc(meta_, keyword("arglists"), *form);
  }
  return meta_;
}

void Var::set_meta(Value m) { set_meta(std::move(m), nullptr); }

void Var::set_meta(Value m, const char* arglists_text) {
  Value old;
  macro_.store(meta_flag(m, "macro"), std::memory_order_relaxed);
  private_.store(meta_flag(m, "private"), std::memory_order_relaxed);
  std::lock_guard<std::mutex> g(meta_mutex_);
  old = std::move(meta_);
  meta_ = std::move(m);
  pending_arglists_ = arglists_text;
}

int32_t Var::compute_hash() const {
  return static_cast<int32_t>(reinterpret_cast<uintptr_t>(this) >> 4);
}

Value make_var(Namespace* ns, Value sym) { return Value::adopt(new Var(ns, std::move(sym))); }

bool is_unbound(const Value& v) { return v.is(Kind::Other) && v.obj()->type_name() == "clojure.lang.Var$Unbound"; }

std::string unbound_text(const Value& marker) {
  return "Unbound: #'" + static_cast<const Unbound&>(*marker.obj()).name_;
}

Value unbound_marker(const Var& v) { return Value::adopt(new Unbound(v.full_name())); }

}  // namespace kelp::rt
