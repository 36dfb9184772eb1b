// clojure.core's protocol and type functions: extend, satisfies?, extends?, extenders, record?, and the natives
// the defprotocol, deftype, defrecord and reify macros expand into.
#include <string>
#include <vector>

#include "kelp/data/list.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/types.hpp"

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

}  // namespace

void install_types() {
  rt::Namespace* core = rt::create_ns("clojure.core");
  defn(core, "-protocol", 3, 3,
       [](Args a) { return types::define_protocol(a[0], a[1], items_of(a[2])); });
  defn(core, "-protocol-method", 2, 2, [](Args a) { return types::protocol_method(a[0], a[1]); });
  defn(core, "-deftype", 4, 4, [](Args a) {
    if (!a[0].is(Kind::String)) rt::throw_illegal_argument("-deftype expects a class name");
    return types::define_type(str_view(a[0]), a[1], kind_of(a[2]), a[3]);
  });
  defn(core, "-field", 2, 2, field_fn);
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
