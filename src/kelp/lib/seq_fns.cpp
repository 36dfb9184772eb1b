// clojure.core's function combinators: comp, partial, juxt, complement, constantly, identity, fnil, some-fn,
// every-pred, memoize. Each answers a native closure.
#include <algorithm>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kelp/data/vector.hpp"
#include "kelp/lib/seq_install.hpp"
#include "kelp/lib/seq_util.hpp"

namespace kelp::lib {

using namespace seqs;
using rt::Args;

namespace {

using Body = std::function<Value(Args)>;

Value closure(const char* of, int min_args, int max_args, Body body) {
  return rt::make_native(std::string("clojure.core/") + of + "/fn", min_args, max_args, std::move(body));
}

Value comp(Args fs) {
  if (fs.empty()) return closure("comp", 1, 1, [](Args a) { return a[0]; });
  if (fs.size() == 1) return fs[0];
  std::vector<Value> chain(fs.begin(), fs.end());
  return closure("comp", 0, -1, [chain](Args a) {
    Value v = rt::call(chain.back(), a);
    for (size_t i = chain.size() - 1; i-- > 0;) v = call1(chain[i], v);
    return v;
  });
}

Value partial(Args a) {
  if (a.size() == 1) return a[0];
  Value f = a[0];
  std::vector<Value> fixed(a.begin() + 1, a.end());
  return closure("partial", 0, -1, [f, fixed](Args more) {
    std::vector<Value> all = fixed;
    all.insert(all.end(), more.begin(), more.end());
    return rt::call(f, Args(all.data(), all.size()));
  });
}

Value juxt(Args fs) {
  std::vector<Value> each(fs.begin(), fs.end());
  return closure("juxt", 0, -1, [each](Args a) {
    std::vector<Value> out;
    out.reserve(each.size());
    for (const Value& f : each) out.push_back(rt::call(f, a));
    return make_vector(out);
  });
}

Value fnil(Args a) {
  Value f = a[0];
  std::vector<Value> defaults(a.begin() + 1, a.end());
  return closure("fnil", 0, -1, [f, defaults](Args args) {
    std::vector<Value> patched(args.begin(), args.end());
    for (size_t i = 0; i < defaults.size() && i < patched.size(); ++i)
      if (patched[i].is_nil()) patched[i] = defaults[i];
    return rt::call(f, Args(patched.data(), patched.size()));
  });
}

// every-pred: true when every predicate holds for every argument.
Value every_pred(Args ps) {
  std::vector<Value> all(ps.begin(), ps.end());
  return closure("every-pred", 0, -1, [all](Args args) -> Value {
    for (const Value& x : args)
      for (const Value& p : all)
        if (!call1(p, x).truthy()) return FALSE_V();
    return TRUE_V();
  });
}

// some-fn answers the first truthy result. When none is truthy, a call with up to three predicates and up to three
// arguments answers the last result it saw (false stays false), as an `or` of those calls would; past that, the
// search is a `some`, which answers nil.
Value some_fn(Args ps) {
  std::vector<Value> all(ps.begin(), ps.end());
  return closure("some-fn", 0, -1, [all](Args args) -> Value {
    size_t first_args = all.size() <= 3 ? std::min<size_t>(args.size(), 3) : args.size();
    Value last;
    for (const Value& p : all) {
      for (size_t i = 0; i < first_args; ++i) {
        Value r = call1(p, args[i]);
        if (r.truthy()) return r;
        last = std::move(r);
      }
    }
    if (all.size() > 3) return NIL;
    for (size_t i = first_args; i < args.size(); ++i) {
      for (const Value& p : all) {
        Value r = call1(p, args[i]);
        if (r.truthy()) return r;
      }
    }
    return args.size() > 3 ? NIL : last;
  });
}

struct MemoTable {
  std::mutex mutex;
  std::unordered_map<Value, Value, ValueHash, ValueEq> results;
};

Value memoize(const Value& f) {
  auto table = std::make_shared<MemoTable>();
  return closure("memoize", 0, -1, [f, table](Args a) {
    Value key = make_vector(a);
    {
      std::lock_guard<std::mutex> lock(table->mutex);
      auto it = table->results.find(key);
      if (it != table->results.end()) return it->second;
    }
    // Computed outside the lock, so a recursive memoized function can call itself.
    Value v = rt::call(f, a);
    std::lock_guard<std::mutex> lock(table->mutex);
    return table->results.emplace(std::move(key), v).first->second;
  });
}

}  // namespace

void install_core_fns(rt::Namespace* ns) {
  def_native(ns, "identity", 1, 1, [](Args a) { return a[0]; }, "([x])", "Returns its argument.");
  def_native(ns, "constantly", 1, 1, [](Args a) {
    Value x = a[0];
    return closure("constantly", 0, -1, [x](Args) { return x; });
  }, "([x])", "Returns a function that takes any arguments and returns x.");
  def_native(ns, "complement", 1, 1, [](Args a) {
    Value f = a[0];
    return closure("complement", 0, -1, [f](Args args) { return Value::boolean(!rt::call(f, args).truthy()); });
  }, "([f])", "Returns a function answering the opposite truth value of f.");
  def_native(ns, "comp", 0, -1, [](Args a) { return comp(a); }, "([] [f] [f g] [f g & fs])",
             "Returns the composition of the functions, applied right to left.");
  def_native(ns, "partial", 1, -1, [](Args a) { return partial(a); },
             "([f] [f arg1] [f arg1 arg2] [f arg1 arg2 arg3] [f arg1 arg2 arg3 & more])",
             "Returns f with its first arguments fixed.");
  def_native(ns, "juxt", 1, -1, [](Args a) { return juxt(a); }, "([f] [f g] [f g h] [f g h & fs])",
             "Returns a function answering the vector of each function's result.");
  def_native(ns, "fnil", 2, 4, [](Args a) { return fnil(a); }, "([f x] [f x y] [f x y z])",
             "Returns f with nil first arguments replaced by the given defaults.");
  def_native(ns, "some-fn", 1, -1, [](Args a) { return some_fn(a); }, "([p] [p1 p2] [p1 p2 p3] [p1 p2 p3 & ps])",
             "Returns a function answering the first logical true value of any predicate on any argument.");
  def_native(ns, "every-pred", 1, -1, [](Args a) { return every_pred(a); },
             "([p] [p1 p2] [p1 p2 p3] [p1 p2 p3 & ps])",
             "Returns a function answering true when every predicate holds for every argument.");
  def_native(ns, "memoize", 1, 1, [](Args a) { return memoize(a[0]); }, "([f])",
             "Returns a caching version of f: one call per distinct argument list.");
}

}  // namespace kelp::lib
