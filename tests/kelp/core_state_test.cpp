// Atoms, volatiles, delays, promises, futures, locking and the ex-info family, called through their vars.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp {
namespace {

void install_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    rt::init_core_vars();
    lib::install_core_num();
    lib::install_core_state();
  });
}

Value core(const std::string& name) {
  install_once();
  Value var = rt::core_vars().core->find(symbol(name));
  EXPECT_TRUE(var.is(Kind::Var)) << name;
  return rt::as_var(var).deref();
}

Value invoke(const std::string& fn, std::initializer_list<Value> args) { return rt::call(core(fn), args); }

Value fn(std::function<Value(rt::Args)> body) { return rt::make_native("test/f", 0, -1, std::move(body)); }

Value kw(std::string_view k) { return keyword(k); }

// The exception a call throws (nil when it returns).
Value thrown_by(const std::function<void()>& f) {
  try {
    f();
  } catch (const rt::Thrown& t) {
    return t.value();
  }
  return NIL;
}

std::string class_of(const Value& ex) { return ex.is_nil() ? "nothing thrown" : rt::throwable(ex).cls().name; }
std::string message_of(const Value& ex) {
  return rt::throwable(ex).message().is_nil() ? "" : std::string(str_view(rt::throwable(ex).message()));
}

TEST(CoreState, AtomOperationsAnswerAsClojureDoes) {
  Value a = invoke("atom", {Value::integer(1)});
  Value inc = core("inc"), plus = core("+");
  EXPECT_EQ(pr_str(invoke("swap-vals!", {a, inc})), "[1 2]");
  EXPECT_EQ(pr_str(invoke("swap!", {a, plus, Value::integer(10), Value::integer(20), Value::integer(30),
                                    Value::integer(40)})),
            "102");
  EXPECT_EQ(pr_str(invoke("reset-vals!", {a, Value::integer(5)})), "[102 5]");
  EXPECT_FALSE(invoke("compare-and-set!", {a, Value::integer(4), Value::integer(6)}).truthy());
  EXPECT_TRUE(invoke("compare-and-set!", {a, Value::integer(5), Value::integer(6)}).truthy());
  EXPECT_EQ(pr_str(invoke("deref", {a})), "6");
  EXPECT_EQ(pr_str(invoke("reset!", {a, kw("x")})), ":x");
  EXPECT_EQ(type_name(a), "clojure.lang.Atom");

  Value m = invoke("atom", {Value::integer(0), kw("meta"), make_map({kw("tag"), Value::integer(1)})});
  EXPECT_EQ(pr_str(meta(m)), "{:tag 1}");
}

TEST(CoreState, ValidatorsRefuseBadStatesAndKeepTheOldValue) {
  Value pos = core("pos?");
  Value a = invoke("atom", {Value::integer(1), kw("validator"), pos});
  for (auto bad : std::vector<std::function<void()>>{
           [&] { invoke("reset!", {a, Value::integer(-1)}); },
           [&] { invoke("swap!", {a, core("-")}); },
           [&] { invoke("compare-and-set!", {a, Value::integer(1), Value::integer(0)}); },
           [&] { invoke("atom", {Value::integer(-1), kw("validator"), pos}); },
           [&] { invoke("set-validator!", {a, core("neg?")}); }}) {
    Value ex = thrown_by(bad);
    EXPECT_EQ(class_of(ex), "java.lang.IllegalStateException");
    if (!ex.is_nil()) {
      EXPECT_EQ(message_of(ex), "Invalid reference state");
    }
  }
  EXPECT_EQ(pr_str(invoke("deref", {a})), "1");
  EXPECT_TRUE(invoke("get-validator", {a}).identical(pos));
}

TEST(CoreState, WatchesSeeOldAndNewUntilRemoved) {
  Value a = invoke("atom", {Value::integer(1)});
  std::vector<std::string> seen;
  Value watch = fn([&](rt::Args args) {
    seen.push_back(pr_str(args[0]) + " " + pr_str(args[2]) + "->" + pr_str(args[3]));
    EXPECT_TRUE(args[1].identical(a));
    return NIL;
  });
  EXPECT_TRUE(invoke("add-watch", {a, kw("w"), watch}).identical(a));
  invoke("swap!", {a, core("inc")});
  invoke("reset!", {a, Value::integer(10)});
  invoke("remove-watch", {a, kw("w")});
  invoke("reset!", {a, Value::integer(11)});
  EXPECT_EQ(seen, (std::vector<std::string>{":w 1->2", ":w 2->10"}));
}

TEST(CoreState, SwapFromTwoFuturesLosesNoUpdate) {
  Value a = invoke("atom", {Value::integer(0)});
  Value inc = core("inc");
  Value body = fn([&](rt::Args) {
    for (int i = 0; i < 100000; ++i) invoke("swap!", {a, inc});
    return NIL;
  });
  Value f1 = invoke("future-call", {body}), f2 = invoke("future-call", {body});
  invoke("deref", {f1});
  invoke("deref", {f2});
  EXPECT_EQ(pr_str(invoke("deref", {a})), "200000");
  EXPECT_TRUE(invoke("future-done?", {f1}).truthy());
}

TEST(CoreState, LockingSerialisesBodiesOnTheSameObject) {
  Value lockee = make_string("lock");
  int64_t counter = 0;  // deliberately unsynchronised: only the lock protects it
  Value bump = fn([&](rt::Args) { return Value::integer(++counter); });
  Value loop = fn([&](rt::Args) {
    for (int i = 0; i < 20000; ++i) invoke("locking*", {lockee, bump});
    return NIL;
  });
  Value f1 = invoke("future-call", {loop}), f2 = invoke("future-call", {loop});
  invoke("deref", {f1});
  invoke("deref", {f2});
  EXPECT_EQ(counter, 40000);
  EXPECT_EQ(class_of(thrown_by([&] { invoke("locking*", {NIL, bump}); })), "java.lang.NullPointerException");
}

TEST(CoreState, VolatilesAndDelays) {
  Value v = invoke("volatile!", {Value::integer(1)});
  EXPECT_EQ(pr_str(invoke("vreset!", {v, Value::integer(2)})), "2");
  EXPECT_EQ(pr_str(invoke("deref", {v})), "2");
  EXPECT_TRUE(invoke("volatile?", {v}).truthy());
  EXPECT_FALSE(invoke("volatile?", {invoke("atom", {NIL})}).truthy());

  int runs = 0;
  Value d = invoke("delay*", {fn([&](rt::Args) { return Value::integer(++runs * 10); })});
  EXPECT_FALSE(invoke("realized?", {d}).truthy());
  EXPECT_EQ(pr_str(invoke("force", {d})), "10");
  EXPECT_EQ(pr_str(invoke("deref", {d})), "10");
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(invoke("realized?", {d}).truthy());
  EXPECT_EQ(pr_str(invoke("force", {Value::integer(3)})), "3");

  // A throwing body is not run again: every deref rethrows the same exception.
  int failures = 0;
  Value bad = invoke("delay*", {fn([&](rt::Args) -> Value {
                       ++failures;
                       rt::throw_value(rt::make_ex_info("boom", make_map({})));
                     })});
  Value e1 = thrown_by([&] { invoke("deref", {bad}); });
  Value e2 = thrown_by([&] { invoke("deref", {bad}); });
  EXPECT_EQ(class_of(e1), "clojure.lang.ExceptionInfo");
  EXPECT_TRUE(e1.identical(e2));
  EXPECT_EQ(failures, 1);
  EXPECT_TRUE(invoke("realized?", {bad}).truthy());
}

TEST(CoreState, PromisesDeliverOnceAndWaitInterruptibly) {
  Value p = invoke("promise", {});
  EXPECT_EQ(pr_str(invoke("deref", {p, Value::integer(10), kw("timeout")})), ":timeout");
  EXPECT_FALSE(invoke("realized?", {p}).truthy());
  std::thread deliverer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(invoke("deliver", {p, Value::integer(1)}).identical(p));
  });
  EXPECT_EQ(pr_str(invoke("deref", {p})), "1");  // blocks until the other thread delivers
  deliverer.join();
  EXPECT_TRUE(invoke("deliver", {p, Value::integer(2)}).is_nil());
  EXPECT_EQ(pr_str(invoke("deref", {p, Value::integer(10), kw("timeout")})), "1");

  // A Stop fired from another thread ends a wait on a promise nobody delivers.
  auto token = std::make_shared<rt::InterruptToken>();
  rt::TokenScope scope(token);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    token->fire();
  });
  auto start = std::chrono::steady_clock::now();
  Value ex = thrown_by([&] { invoke("deref", {invoke("promise", {})}); });
  stopper.join();
  EXPECT_TRUE(!ex.is_nil() && rt::is_interrupted_exception(ex)) << class_of(ex);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(CoreState, FuturesWrapFailuresConveyBindingsAndCancel) {
  Value boom = invoke("future-call", {fn([](rt::Args) -> Value { rt::throw_arithmetic("Divide by zero"); })});
  Value ex = thrown_by([&] { invoke("deref", {boom}); });
  EXPECT_EQ(class_of(ex), "java.util.concurrent.ExecutionException");
  EXPECT_EQ(message_of(ex), "java.lang.ArithmeticException: Divide by zero");
  EXPECT_EQ(class_of(rt::throwable(ex).cause()), "java.lang.ArithmeticException");

  Value dyn = rt::core_vars().core->intern(symbol("*numstate-test*"));
  rt::as_var(dyn).set_dynamic(true);
  rt::as_var(dyn).bind_root(Value::integer(1));
  Value seen;
  {
    rt::BindingScope binding({{&rt::as_var(dyn), Value::integer(42)}});
    seen = invoke("deref", {invoke("future-call", {fn([&](rt::Args) { return rt::as_var(dyn).deref(); })})});
  }
  EXPECT_EQ(pr_str(seen), "42");

  // Cancelling interrupts the body: its sleep ends with the interrupted exception.
  std::promise<bool> interrupted;
  Value sleeper = invoke("future-call", {fn([&](rt::Args) {
                           try {
                             rt::interruptible_sleep(std::chrono::milliseconds(100000));
                           } catch (const rt::Thrown& t) {
                             interrupted.set_value(rt::is_interrupted_exception(t.value()));
                             throw;
                           }
                           return NIL;
                         })});
  EXPECT_FALSE(invoke("future-done?", {sleeper}).truthy());
  EXPECT_TRUE(invoke("future-cancel", {sleeper}).truthy());
  EXPECT_FALSE(invoke("future-cancel", {sleeper}).truthy());
  EXPECT_TRUE(invoke("future-cancelled?", {sleeper}).truthy());
  EXPECT_EQ(class_of(thrown_by([&] { invoke("deref", {sleeper}); })), "java.util.concurrent.CancellationException");
  auto woke = interrupted.get_future();
  ASSERT_EQ(woke.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(woke.get());
}

TEST(CoreState, DerefAndRealizedRefuseOtherValues) {
  EXPECT_EQ(message_of(thrown_by([] { invoke("deref", {Value::integer(1)}); })),
            "class java.lang.Long cannot be cast to class java.util.concurrent.Future");
  EXPECT_EQ(message_of(thrown_by([] { invoke("realized?", {Value::integer(1)}); })),
            "class java.lang.Long cannot be cast to class clojure.lang.IPending");
  EXPECT_EQ(class_of(thrown_by([] { invoke("deref", {invoke("atom", {NIL}), Value::integer(1), NIL}); })),
            "java.lang.ClassCastException");
}

TEST(CoreState, ExInfoAndThrowableMap) {
  Value cause = rt::make_throwable("java.lang.ArithmeticException", "Divide by zero");
  Value ex = invoke("ex-info", {make_string("boom"), make_map({kw("a"), Value::integer(1)}), cause});
  EXPECT_EQ(pr_str(invoke("ex-data", {ex})), "{:a 1}");
  EXPECT_EQ(pr_str(invoke("ex-message", {ex})), "\"boom\"");
  EXPECT_TRUE(invoke("ex-cause", {ex}).identical(cause));
  for (const char* f : {"ex-data", "ex-message", "ex-cause"}) EXPECT_TRUE(invoke(f, {Value::integer(1)}).is_nil()) << f;
  EXPECT_TRUE(invoke("ex-data", {cause}).is_nil());

  Value m = invoke("Throwable->map", {ex});
  EXPECT_EQ(pr_str(*get(m, kw("cause"))), "\"Divide by zero\"");
  EXPECT_EQ(get(m, kw("data")), nullptr);  // the root cause carries no data
  EXPECT_EQ(pr_str(*get(m, kw("via"))),
            "[{:type clojure.lang.ExceptionInfo, :message \"boom\", :data {:a 1}} "
            "{:type java.lang.ArithmeticException, :message \"Divide by zero\"}]");

  EXPECT_EQ(message_of(thrown_by([] { invoke("ex-info", {make_string("m"), NIL}); })),
            "Additional data must be non-nil.");
  EXPECT_EQ(message_of(thrown_by([] { invoke("ex-info", {make_string("m"), Value::integer(1)}); })),
            "class java.lang.Long cannot be cast to class clojure.lang.IPersistentMap");
}

}  // namespace
}  // namespace kelp
