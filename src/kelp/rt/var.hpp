// Vars: named, namespaced cells with a root value, metadata and optional per-thread bindings.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "kelp/data/value.hpp"

namespace kelp::rt {

class Namespace;

// A library that defines some clojure.core vars for real the first time one of them is used (called, expanded,
// or its metadata read), so a start does not pay for reading and compiling them. Loads once; a thread that
// arrives while another loads waits for it; the loading thread itself passes straight through.
class Autoload {
 public:
  explicit Autoload(Value lib) : lib_(std::move(lib)) {}
  void ensure();
  const Value& lib() const { return lib_; }

 private:
  Value lib_;
  std::recursive_mutex mutex_;
  std::atomic<bool> done_{false};
  bool loading_ = false;
};

class Var final : public Object {
 public:
  // ns may be null for a var that belongs to no namespace (with-local-vars).
  Var(Namespace* ns, Value sym);
  Namespace* ns() const { return ns_; }
  const Value& sym() const { return sym_; }    // the unqualified name
  std::string full_name() const;               // "user/f"

  // The value seen by this thread: its innermost binding when the var is dynamic and bound here, else the root.
  // An unbound var answers an Unbound marker value (see is_unbound); call sites report "Attempting to call
  // unbound fn: #'user/f", reads of the value print as #object[clojure.lang.Var$Unbound ...].
  Value deref() const;
  Value root() const;
  bool has_root() const;
  bool is_bound() const;                         // bound?: a root or a binding on this thread
  void bind_root(Value v);
  void unbind_root();
  // (alter-var-root v f args): atomically, under the var's lock.
  Value alter_root(const Value& f, std::span<const Value> args);

  bool is_dynamic() const { return dynamic_.load(std::memory_order_relaxed); }
  void set_dynamic(bool d) { dynamic_.store(d, std::memory_order_relaxed); }
  bool is_macro() const { return macro_.load(std::memory_order_relaxed); }      // :macro true in the metadata
  bool is_private() const { return private_.load(std::memory_order_relaxed); }  // :private true
  // set! of a thread binding. Throws IllegalStateException "Can't change/establish root binding of: NAME with
  // set" when this thread has no binding.
  void set(Value v);

  Value meta() const override;
  void set_meta(Value m);   // reset-meta!; def replaces the metadata
  // Metadata whose :arglists is read from text only when someone asks for the metadata (natives defined at boot).
  void set_meta(Value m, const char* arglists_text);
  std::string_view type_name() const override { return "clojure.lang.Var"; }
  int32_t compute_hash() const override;

  // Watches on the root: each fn is called (fn key var old new) after every change of the root (def, alter-var-root).
  void add_watch(Value key, Value fn);
  void remove_watch(const Value& key);

  // Makes the var's first use load the library that defines it (see Autoload).
  void set_autoload(Autoload* a) { autoload_.store(a, std::memory_order_release); }

  // How many threads hold a binding of this var right now; 0 lets deref skip the binding lookup.
  std::atomic<int32_t> thread_bound{0};

 private:
  Namespace* ns_;
  Value sym_;
  mutable std::atomic_flag lock_ = ATOMIC_FLAG_INIT;  // guards root_ (short critical sections only)
  Value root_;
  bool has_root_ = false;
  std::atomic<bool> dynamic_{false};
  mutable std::mutex meta_mutex_;
  mutable Value meta_;
  mutable const char* pending_arglists_ = nullptr;
  std::atomic<bool> macro_{false}, private_{false};
  std::atomic<Autoload*> autoload_{nullptr};
  Value swap_root(Value v);
  void notify_watches(const Value& old, const Value& now);
  Value watches_;                       // a map of key to fn, under meta_mutex_
  std::atomic<bool> has_watches_{false};  // lets a root change skip the lock when nobody watches
};

Value make_var(Namespace* ns, Value sym);
inline Var& as_var(const Value& v) { return const_cast<Var&>(v.as<Var>()); }
bool is_unbound(const Value& v);
// What an unbound marker says of itself (its Java toString): "Unbound: #'user/x".
std::string unbound_text(const Value& marker);
Value unbound_marker(const Var& v);

}  // namespace kelp::rt
