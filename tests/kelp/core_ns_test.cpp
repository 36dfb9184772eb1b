// Namespaces, vars, refer and resolve, called through clojure.core's vars; and the loader's search of source
// roots. Expected messages are what JVM Clojure 1.11 gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/kelp.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/host.hpp"
#include "kelp/rt/loader.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"
#include "kelp/rt/var.hpp"

namespace kelp {
namespace {

void boot_kelp() { boot(); }  // natives call each other through clojure.core's vars, so the whole runtime

Value core(const char* name, std::vector<Value> args) {
  boot_kelp();
  Value var = rt::core_vars().core->find_interned(symbol(name));
  EXPECT_FALSE(var.is_nil()) << name;
  return rt::call(rt::as_var(var).deref(), rt::Args(args));
}

Value sym(const char* s) { return symbol_from(s); }

template <class F>
std::string thrown(F f) {
  try {
    f();
  } catch (const rt::Thrown& t) {
    const rt::Throwable& e = rt::throwable(t.value());
    return std::string(e.cls().simple_name()) + ": " + rt::host::to_string(e.message());
  }
  return "no throw";
}

// Runs body with *ns* bound to a fresh namespace, as loading a file does.
template <class F>
void in_fresh_ns(const char* name, F body) {
  boot_kelp();
  rt::remove_ns(sym(name));
  Value ns = rt::ns_value(rt::create_ns(sym(name)));
  rt::BindingScope scope({{&rt::as_var(rt::core_vars().ns), ns}});
  body();
}

TEST(CoreNs, InNsSwitchesTheBoundNamespace) {
  in_fresh_ns("t.start", [] {
    core("in-ns", {sym("t.other")});
    EXPECT_EQ(rt::current_ns().name_str(), "t.other");
    EXPECT_EQ(pr_str(core("ns-name", {core("the-ns", {sym("t.other")})})), "t.other");
  });
  EXPECT_EQ(thrown([] { core("in-ns", {Value::integer(3)}); }),
            "ClassCastException: class java.lang.Long cannot be cast to class clojure.lang.Symbol");
  EXPECT_EQ(thrown([] { core("the-ns", {sym("t.nope")}); }), "Exception: No namespace: t.nope found");
  EXPECT_TRUE(core("find-ns", {sym("t.nope")}).is_nil());
}

Value get_or(const Value& m, const Value& k) {
  const Value* v = get(m, k);
  return v ? *v : Value();
}

TEST(CoreNs, InternFindVarAndTheMappingQueries) {
  in_fresh_ns("t.maps", [] {
    Value ns = core("the-ns", {sym("t.maps")});
    Value pub = core("intern", {ns, sym("pub"), Value::integer(1)});
    Value priv = core("intern", {ns, with_meta(sym("priv"), make_map({keyword("private"), TRUE_V()}))});
    EXPECT_EQ(pr_str(rt::as_var(pub).deref()), "1");
    EXPECT_TRUE(rt::as_var(priv).is_private());  // the name's metadata becomes the var's
    EXPECT_TRUE(core("find-var", {sym("t.maps/pub")}).identical(pub));
    core("alias", {sym("m"), sym("t.maps")});
    EXPECT_EQ(count(core("ns-interns", {ns})), 2);
    EXPECT_EQ(count(core("ns-publics", {ns})), 1);
    EXPECT_EQ(pr_str(core("ns-aliases", {ns})).substr(0, 3), "{m ");
    // Every namespace sees java.lang's classes without an import, as ns-map and ns-imports show, and none of
    // them is an intern or a refer.
    for (const char* q : {"ns-map", "ns-imports"})
      EXPECT_EQ(pr_str(get_or(core(q, {ns}), sym("String"))), "java.lang.String") << q;
    EXPECT_TRUE(get_or(core("ns-map", {ns}), sym("priv")).is(Kind::Var));
    EXPECT_TRUE(get_or(core("ns-refers", {ns}), sym("String")).is_nil());
    core("ns-unmap", {ns, sym("pub")});
    EXPECT_TRUE(core("find-var", {sym("t.maps/pub")}).is_nil());
  });
  EXPECT_EQ(thrown([] { core("find-var", {sym("x")}); }),
            "IllegalArgumentException: Symbol must be namespace-qualified");
  EXPECT_EQ(thrown([] { core("find-var", {sym("t.nope/x")}); }), "IllegalArgumentException: No such namespace: t.nope");
}

TEST(CoreNs, ReferHonoursOnlyExcludeAndRename) {
  boot_kelp();
  rt::remove_ns(sym("t.lib"));
  rt::Namespace* lib = rt::create_ns(sym("t.lib"));
  for (const char* n : {"a", "b", "c"}) rt::as_var(lib->intern(sym(n))).bind_root(keyword(n));
  rt::as_var(lib->intern(sym("hidden"))).set_meta(make_map({keyword("private"), TRUE_V()}));

  in_fresh_ns("t.user1", [] {
    core("refer", {sym("t.lib"), keyword("exclude"), make_vector({sym("a")}), keyword("rename"),
                   make_map({sym("b"), sym("bee")})});
    rt::Namespace& here = rt::current_ns();
    EXPECT_TRUE(here.find(sym("a")).is_nil());
    EXPECT_TRUE(here.find(sym("b")).is_nil());
    EXPECT_FALSE(here.find(sym("bee")).is_nil());
    EXPECT_FALSE(here.find(sym("c")).is_nil());
    EXPECT_TRUE(here.find(sym("hidden")).is_nil());
  });
  in_fresh_ns("t.user2", [] {
    core("refer", {sym("t.lib"), keyword("only"), make_vector({sym("c")})});
    EXPECT_EQ(count(core("ns-refers", {core("the-ns", {sym("t.user2")})})), 1);
    EXPECT_EQ(thrown([] { core("refer", {sym("t.lib"), keyword("only"), make_vector({sym("zz")})}); }),
              "IllegalAccessError: zz does not exist");
    EXPECT_EQ(thrown([] { core("refer", {sym("t.lib"), keyword("only"), make_vector({sym("hidden")})}); }),
              "IllegalAccessError: hidden is not public");
  });
  EXPECT_EQ(thrown([] { core("refer", {sym("t.nope")}); }), "Exception: No namespace: t.nope");
}

TEST(CoreNs, ResolveFindsVarsAliasesAndClasses) {
  boot_kelp();
  rt::remove_ns(sym("t.target"));
  Value var = rt::create_ns(sym("t.target"))->intern(sym("f"));
  in_fresh_ns("t.resolver", [&] {
    core("alias", {sym("tt"), sym("t.target")});
    struct Case {
      const char* sym;
      std::string expected;
    } cases[] = {
        {"tt/f", "#'t.target/f"},
        {"t.target/f", "#'t.target/f"},
        {"tt/nope", "nil"},
        {"nope/f", "nil"},
        {"String", "class java.lang.String"},
        {"java.util.UUID", "class java.util.UUID"},
        {"Nope.X", "null"},
        {"UUID", "null"},
    };
    for (const Case& c : cases) {
      Value r = core("resolve", {sym(c.sym)});
      std::string got = r.is_nil() && c.expected == "nil" ? "nil" : rt::host::to_string(r);
      EXPECT_EQ(got, c.expected) << c.sym;
    }
    // A local of that name hides everything.
    EXPECT_TRUE(core("resolve", {make_map({sym("String"), NIL}), sym("String")}).is_nil());
  });
}

TEST(CoreNs, ThreadBindingsPushPopAndSet) {
  boot_kelp();
  rt::remove_ns(sym("t.dyn"));
  Value v = rt::create_ns(sym("t.dyn"))->intern(sym("d"));
  rt::as_var(v).bind_root(Value::integer(1));
  Value plain = rt::find_ns(sym("t.dyn"))->intern(sym("plain"));
  EXPECT_EQ(thrown([&] { core("var-set", {v, Value::integer(2)}); }),
            "IllegalStateException: Can't change/establish root binding of: d with set");
  rt::as_var(v).set_dynamic(true);
  core("push-thread-bindings", {make_map({v, Value::integer(5)})});
  EXPECT_EQ(pr_str(core("var-get", {v})), "5");
  EXPECT_TRUE(core("thread-bound?", {v}).truthy());
  core("var-set", {v, Value::integer(6)});
  EXPECT_EQ(pr_str(core("var-get", {v})), "6");
  core("pop-thread-bindings", {});
  EXPECT_EQ(pr_str(core("var-get", {v})), "1");
  EXPECT_FALSE(core("thread-bound?", {v}).truthy());
  EXPECT_EQ(thrown([] { core("pop-thread-bindings", {}); }), "IllegalStateException: Pop without matching push");
  EXPECT_EQ(thrown([&] { core("push-thread-bindings", {make_map({plain, Value::integer(1)})}); }),
            "IllegalStateException: Can't dynamically bind non-dynamic var: t.dyn/plain");
}

TEST(CoreNs, MetadataOfVarsAndValues) {
  boot_kelp();
  rt::remove_ns(sym("t.meta"));
  Value v = rt::create_ns(sym("t.meta"))->intern(sym("m"));
  core("reset-meta!", {v, make_map({keyword("a"), Value::integer(1)})});
  EXPECT_EQ(pr_str(core("meta", {v})), "{:a 1}");
  EXPECT_EQ(thrown([] { core("with-meta", {Value::integer(1), empty_map()}); }),
            "ClassCastException: class java.lang.Long cannot be cast to class clojure.lang.IObj");
  Value tagged = core("with-meta", {make_vector({Value::integer(1)}), make_map({keyword("type"), keyword("t")})});
  EXPECT_EQ(pr_str(core("type", {tagged})), ":t");
  EXPECT_EQ(rt::host::to_string(core("type", {Value::integer(1)})), "class java.lang.Long");
}

TEST(Loader, LibPathsAndTheSearchOrderOfRoots) {
  boot_kelp();
  EXPECT_EQ(rt::loader::lib_path("a.b-c.d_e"), "a/b_c/d_e");
  std::string data = std::string(ORRERY_SOURCE_DIR) + "/tests/data/kelp/";
  rt::loader::set_source_roots({data + "src", data + "roots2"});
  // .cljc in an earlier root beats .clj in a later one; the extension order applies within a root.
  auto found = rt::loader::find_source("app/util");
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->path.ends_with("src/app/util.cljc")) << found->path;
  EXPECT_TRUE(rt::loader::find_source("app/broken")->path.ends_with(".kelp"));
  rt::loader::set_source_roots({data + "roots2", data + "src"});
  EXPECT_TRUE(rt::loader::find_source("app/util")->path.ends_with("roots2/app/util.clj"));
  EXPECT_FALSE(rt::loader::find_source("app/none"));
  EXPECT_EQ(thrown([] { rt::loader::load_lib(symbol("app.no-such"), false); }),
            "FileNotFoundException: Could not locate app/no_such__init.class, app/no_such.clj or "
            "app/no_such.cljc on classpath. Please check that namespaces with dashes use underscores in the "
            "Clojure file name.");
  EXPECT_FALSE(rt::loader::is_loaded(symbol("app.no-such")));
  rt::loader::set_source_roots({});
}

TEST(Loader, RequireLoadsDashedLibsOnceAndReportsCycles) {
  boot_kelp();
  std::string data = std::string(ORRERY_SOURCE_DIR) + "/tests/data/kelp/";
  rt::loader::set_source_roots({data + "src"});
  auto eval = [](const char* src) {
    try {
      return pr_str(eval_string(src, "NO_SOURCE_PATH", "t.loader"));
    } catch (const rt::Thrown& t) {
      return "threw: " + rt::host::to_string(rt::throwable(t.value()).message());
    }
  };
  // app.dash-name lives in app/dash_name.clj and requires app.util with an alias and a refer.
  EXPECT_EQ(eval("(require 'app.dash-name) (app.dash-name/quad 3)"), "12");
  EXPECT_EQ(eval("(:doc (meta (find-ns 'app.dash-name)))"), "\"A lib whose name has a dash.\"");
  EXPECT_EQ(eval("(require 'app.cycle-a)"),
            "threw: Cyclic load dependency: [ /app/cycle_a ]->/app/cycle_b->[ /app/cycle_a ]");
  EXPECT_FALSE(rt::loader::is_loaded(symbol("app.cycle-a")));
  // A file need not create the namespace its name suggests.
  EXPECT_EQ(eval("(require 'app.no-ns) (some? (find-ns 'app.elsewhere))"), "true");
  rt::loader::set_source_roots({});
}

}  // namespace
}  // namespace kelp
