// clojure.core's protocol and type functions: extend, satisfies?, extends?, extenders, record?, and the natives
// the defprotocol, deftype, defrecord and reify macros expand into.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "kelp/data/list.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/data/compare.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/io.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/types.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib {

namespace {

using rt::Args;
namespace types = rt::types;

std::vector<Value> items_of(const Value& coll) {
  std::vector<Value> out;
  if (!coll.is_nil())
    coll.obj()->each([&](const Value& x) {
      out.push_back(x);
      return true;
    });
  return out;
}

Value extend_fn(Args a) {
  if (a.size() % 2 != 1) rt::throw_illegal_argument("extend expects a type followed by protocol and method map pairs");
  for (size_t i = 1; i < a.size(); i += 2) types::extend(types::protocol_of(a[i]), a[0], a[i + 1]);
  return Value();
}

types::TypeDesc::Of kind_of(const Value& k) {
  std::string_view n = k.is(Kind::Keyword) ? k.as<Keyword>().name() : "";
  if (n == "record") return types::TypeDesc::Of::Record;
  return types::TypeDesc::Of::Type;
}

Value field_fn(Args a) {
  const types::Instance* i = types::as_instance(a[0]);
  if (!i || !a[1].is_int() || a[1].as_int() < 0 || static_cast<size_t>(a[1].as_int()) >= i->fields().size())
    rt::throw_illegal_argument("No such field in " + pr_str(a[0]));
  return i->fields()[static_cast<size_t>(a[1].as_int())];
}

// Bumped by every change to any multimethod's methods or preferences and to the global hierarchy.
std::atomic<uint64_t> g_multi_epoch{1};

// A multimethod: its state (name, methods, preferences, hierarchy and the resolved dispatch values) is an atom the
// Clojure side keeps, and method-for resolves a dispatch value from it. This is the call path: the method for a
// dispatch value is remembered per thread until any multimethod or the global hierarchy changes. A multimethod
// over its own hierarchy asks method-for every time, since that hierarchy changes unseen.
class MultiFn final : public rt::Fn {
 public:
  MultiFn(std::string name, Value state, Value dispatch, Value method_for, bool own_hierarchy)
      : name_(std::move(name)),
        state_(std::move(state)),
        dispatch_(std::move(dispatch)),
        method_for_(std::move(method_for)),
        own_hierarchy_(own_hierarchy) {
    g_multi_epoch.fetch_add(1, std::memory_order_release);  // no entry may match a recycled address
  }

  Value invoke(Args args) const override {
    Value dv = rt::call(dispatch_, args);
    if (own_hierarchy_) return rt::call(rt::call(method_for_, {state_, dv}), args);
    uint64_t epoch = g_multi_epoch.load(std::memory_order_acquire);
    Entry& e = slot(dv);
    if (e.fn == this && e.epoch == epoch && (e.dv.identical(dv) || e.dv == dv)) return rt::call(e.method, args);
    Value m = rt::call(method_for_, {state_, dv});
    e.fn = this;
    e.epoch = epoch;
    e.dv = dv;
    e.method = m;
    return rt::call(m, args);
  }
  std::string display_name() const override { return name_; }
  std::string_view type_name() const override { return "clojure.lang.MultiFn"; }

 private:
  struct Entry {
    const void* fn = nullptr;
    uint64_t epoch = 0;
    Value dv, method;
  };
  Entry& slot(const Value& dv) const {
    thread_local std::unique_ptr<Entry[]> cache;
    constexpr size_t SIZE = 128;
    if (!cache) cache = std::make_unique<Entry[]>(SIZE);
    uintptr_t h = (reinterpret_cast<uintptr_t>(this) >> 4) ^ static_cast<uint32_t>(kelp::hash(dv));
    return cache[(h ^ (h >> 17)) & (SIZE - 1)];
  }

  std::string name_;
  Value state_, dispatch_, method_for_;
  bool own_hierarchy_;
};

}  // namespace

// compare on a deftype or reify with its own compareTo.
bool compare_by_method(const Value& a, const Value& b, int* result) {
  const Value* f = types::instance_method(a, "compareTo");
  if (!f) return false;
  Value c = rt::call(*f, {a, b});
  if (!c.is_int()) rt::throw_error("java.lang.ClassCastException", "compareTo must answer an int");
  *result = c.as_int() < 0 ? -1 : (c.as_int() > 0 ? 1 : 0);
  return true;
}

// A print-method the program defined for x's type: it writes x into a string writer whose text goes in place.
bool print_by_method(const Value& x, std::string& out, const PrintOptions& opts) {
  Value find = rt::core_vars().core->find(symbol("-user-print-method"));
  if (find.is_nil()) return false;
  Value m = rt::call(find, {x});
  if (m.is_nil()) return false;
  auto* writer = new rt::StringWriter();
  Value w = Value::adopt(writer);
  rt::BindingScope readably({{&rt::as_var(rt::core_vars().print_readably), Value::boolean(opts.readably)}});
  rt::call(m, {x, w});
  out += writer->str();
  return true;
}

void install_types() {
  set_compare_fallback(compare_by_method);
  defn(rt::core_vars().core, "-print-methods-on", 0, 0, [](Args) {
    set_print_hook(print_by_method);
    return Value();
  });
  rt::Namespace* core = rt::create_ns("clojure.core");
  defn(core, "-protocol", 4, 4,
       [](Args a) { return types::define_protocol(a[0], a[1], items_of(a[2]), a[3].truthy()); });
  defn(core, "-protocol-method", 2, 2, [](Args a) { return types::protocol_method(a[0], a[1]); });
  defn(core, "-deftype", 4, 4, [](Args a) {
    if (!a[0].is(Kind::String)) rt::throw_illegal_argument("-deftype expects a class name");
    return types::define_type(str_view(a[0]), a[1], kind_of(a[2]), a[3]);
  });
  defn(core, "-field", 2, 2, field_fn);
  defn(core, "-mfield", 2, 2, [](Args a) {
    return types::mutable_field(a[0], a[1].is_int() ? static_cast<size_t>(a[1].as_int()) : SIZE_MAX);
  });
  defn(core, "-set-mfield!", 3, 3, [](Args a) {
    return types::set_mutable_field(a[0], a[1].is_int() ? static_cast<size_t>(a[1].as_int()) : SIZE_MAX, a[2]);
  });
  defn(core, "-multifn", 5, 5, [](Args a) {
    return Value::adopt(new MultiFn(std::string(str_view(a[0])), a[1], a[2], a[3], a[4].truthy()));
  });
  defn(core, "-multi-changed", 0, -1, [](Args) {
    g_multi_epoch.fetch_add(1, std::memory_order_release);
    return Value();
  });
  defn(core, "-map->record", 2, 2, [](Args a) { return types::record_from_map(a[0], a[1]); });
  defn(core, "-reify", 2, 2, [](Args a) { return types::reify(str_view(a[0]), a[1]); });
  defn(core, "extend", 1, -1, extend_fn,
       {"([atype & proto+mmaps])",
        "Implementations of protocol methods can be provided using the extend construct: (extend AType AProtocol "
        "{:foo an-existing-fn}). The type may be a class or nil."});
  defn(core, "satisfies?", 2, 2,
       [](Args a) { return Value::boolean(types::satisfies(types::protocol_of(a[0]), a[1])); },
       {"([protocol x])", "Returns true if x satisfies the protocol"});
  defn(core, "extends?", 2, 2,
       [](Args a) { return Value::boolean(types::extends(types::protocol_of(a[0]), a[1])); },
       {"([protocol atype])", "Returns true if atype extends protocol"});
  defn(core, "extenders", 1, 1,
       [](Args a) {
         std::vector<Value> cs = types::extenders(types::protocol_of(a[0]));
         return cs.empty() ? Value() : make_list(cs);
       },
       {"([protocol])", "Returns a collection of the types explicitly extending protocol"});
  defn(core, "record?", 1, 1,
       [](Args a) {
         const types::Instance* i = types::as_instance(a[0]);
         return Value::boolean(i && i->record());
       },
       {"([x])", "Returns true if x is a record"});
}

}  // namespace kelp::lib
