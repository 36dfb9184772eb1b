// Persistent lists, vectors, maps and sets: contents against std containers under random edits, iteration order
// against what JVM Clojure 1.11 prints, and hashes against (hash x) there.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "kelp/data/error.hpp"
#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"

namespace kelp {
namespace {

Value I(int64_t i) { return Value::integer(i); }
Value S(std::string_view s) { return make_string(s); }
Value K(std::string_view k) { return keyword_from(k.substr(1)); }  // K(":a") is :a
std::vector<Value> vals(std::initializer_list<Value> xs) { return xs; }

// Enough of the printed form for keys and small collections.
std::string show(const Value& v) {
  if (v.is_nil()) return "nil";
  if (v.is_bool()) return v.as_bool() ? "true" : "false";
  if (v.is_int()) return std::to_string(v.as_int());
  if (v.is(Kind::String)) return "\"" + std::string(str_view(v)) + "\"";
  if (v.is(Kind::Keyword)) {
    const auto& k = v.as<Keyword>();
    return ":" + (k.has_ns() ? std::string(k.ns()) + "/" : "") + std::string(k.name());
  }
  std::string out = v.is(Kind::Vector) ? "[" : "(";
  bool first = true;
  v.obj()->each([&](const Value& x) {
    out += (first ? "" : " ") + show(x);
    first = false;
    return true;
  });
  return out + (v.is(Kind::Vector) ? "]" : ")");
}

std::string show_keys(const Value& m) { return keys(m).is_nil() ? "()" : show(keys(m)); }

Value map_of(const std::vector<Value>& ks) {
  std::vector<Value> kvs;
  for (const Value& k : ks) {
    kvs.push_back(k);
    kvs.push_back(I(0));
  }
  return make_map(kvs);
}

std::vector<Value> range(int64_t from, int64_t to) {
  std::vector<Value> out;
  for (int64_t i = from; i < to; ++i) out.push_back(I(i));
  return out;
}

// --- Lists

TEST(List, BasicsAndTypeNames) {
  Value l = make_list({I(1), I(2), I(3)});
  EXPECT_EQ(count(l), 3);
  EXPECT_EQ(show(l), "(1 2 3)");
  EXPECT_EQ(show(list_conj(l, I(0))), "(0 1 2 3)");
  EXPECT_EQ(show(next(l)), "(2 3)");
  EXPECT_TRUE(next(make_list({I(1)})).is_nil());
  EXPECT_TRUE(seq(empty_list()).is_nil());
  EXPECT_TRUE(first(empty_list()).is_nil());
  EXPECT_EQ(type_name(empty_list()), "clojure.lang.PersistentList$EmptyList");
  EXPECT_EQ(type_name(l), "clojure.lang.PersistentList");
  EXPECT_EQ(l, make_vector({I(1), I(2), I(3)}));
  EXPECT_EQ(hash(l), 736442005);  // (hash '(1 2 3))
  EXPECT_EQ(show(list_conj(NIL, I(5))), "(5)");
  Value m = with_meta(l, map_of({K(":tag")}));
  EXPECT_EQ(count(meta(list_conj(m, I(0)))), 1);
  EXPECT_THROW(list_conj(make_vector({}), I(1)), ValueError);
}

TEST(List, TenMillionCellsFreeWithoutRecursion) {
  Value l = empty_list();
  for (int64_t i = 0; i < 10'000'000; ++i) l = list_conj(l, I(i));
  Value shared_tail = next(next(l));  // the release must stop at a cell someone else holds
  EXPECT_EQ(count(l), 10'000'000);
  l = NIL;
  EXPECT_EQ(count(shared_tail), 9'999'998);
  EXPECT_EQ(first(shared_tail).as_int(), 9'999'997);
}

TEST(Seq, FirstAndNextOverSeqables) {
  EXPECT_TRUE(first(NIL).is_nil());
  EXPECT_EQ(first(make_vector({I(7), I(8)})).as_int(), 7);
  EXPECT_EQ(show(next(make_vector({I(7), I(8)}))), "(8)");
  EXPECT_EQ(show(first(map_of({K(":a")}))), "[:a 0]");
  EXPECT_TRUE(first(empty_map()).is_nil());
  EXPECT_EQ(first(make_set({I(5)})).as_int(), 5);
  // A sequence walked with the default first/next machinery still equals and hashes as its collection.
  Value m = make_map({I(1), I(2), I(3), I(4), I(5), I(6), I(7), I(8), I(9), I(10), I(11), I(12), I(13), I(14),
                      I(15), I(16), I(17), I(18)});
  Value s = seq(m);
  EXPECT_EQ(count(s), 9);
  std::vector<Value> entries;
  m.obj()->each([&](const Value& e) { entries.push_back(e); return true; });
  EXPECT_EQ(s, make_vector(entries));
  EXPECT_EQ(hash(s), hash(make_vector(entries)));
}

// --- Vectors

TEST(Vector, GrowsAndShrinksThroughEveryTrieDepth) {
  const int64_t n = 70'000;  // past 32, 1056 and 32800, where the tail, then the root, overflow
  Value v = empty_vector();
  std::vector<Value> versions;
  for (int64_t i = 0; i < n; ++i) {
    v = vector_conj(v, I(i));
    if (i == 31 || i == 32 || i == 1055 || i == 1056 || i == 32799 || i == 32800) versions.push_back(v);
  }
  ASSERT_EQ(count(v), n);
  for (int64_t i = 0; i < n; ++i) ASSERT_EQ(v.as<Vector>().nth(i).as_int(), i);
  TransientVector t;
  for (int64_t i = 0; i < n; ++i) t.conj(I(i));
  Value tv = t.persistent();
  EXPECT_EQ(tv, v);
  EXPECT_EQ(hash(tv), hash(v));
  int64_t seen = 0;
  tv.obj()->each([&](const Value& x) { return x.as_int() == seen++; });
  EXPECT_EQ(seen, n);
  for (int64_t i = n; i > 0; --i) {
    ASSERT_EQ(count(v), i);
    ASSERT_EQ(v.as<Vector>().nth(i - 1).as_int(), i - 1);
    if (i % 997 == 0) {
      ASSERT_EQ(v.as<Vector>().nth(i / 2).as_int(), i / 2);
    }
    v = vector_pop(v);
  }
  EXPECT_EQ(count(v), 0);
  for (const Value& old : versions) {  // earlier versions are untouched by everything since
    int64_t c = count(old);
    ASSERT_EQ(old.as<Vector>().nth(c - 1).as_int(), c - 1);
    ASSERT_EQ(old.as<Vector>().nth(0).as_int(), 0);
  }
}

TEST(Vector, RandomEditsMatchStdVector) {
  std::mt19937_64 rng(7);
  std::vector<int64_t> model;
  Value v = empty_vector();
  TransientVector t;
  for (int step = 0; step < 20'000; ++step) {
    int op = static_cast<int>(rng() % 10);
    int64_t x = static_cast<int64_t>(rng() % 1000);
    if (op < 5 || model.empty()) {
      v = vector_conj(v, I(x));
      t.conj(I(x));
      model.push_back(x);
    } else if (op < 8) {
      int64_t i = static_cast<int64_t>(rng() % model.size());
      Value before = v;
      int64_t old = model[i];
      v = vector_assoc(v, i, I(x));
      t.assoc(i, I(x));
      model[i] = x;
      ASSERT_EQ(before.as<Vector>().nth(i).as_int(), old);
    } else {
      v = vector_pop(v);
      model.pop_back();
      t = TransientVector(v);
    }
    ASSERT_EQ(count(v), static_cast<int64_t>(model.size()));
    if (!model.empty()) {
      ASSERT_EQ(v.as<Vector>().nth(model.size() - 1).as_int(), model.back());
    }
  }
  for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(v.as<Vector>().nth(i).as_int(), model[i]);
  Value tv = t.persistent();
  EXPECT_EQ(tv, v);
  EXPECT_THROW(t.conj(I(1)), ValueError);
}

TEST(Vector, BoundsAndHashes) {
  Value v = make_vector({I(1), I(2), I(3)});
  EXPECT_EQ(show(vector_assoc(v, 3, I(4))), "[1 2 3 4]");
  for (int64_t bad : {-1, 4}) {
    try {
      vector_assoc(v, bad, I(0));
      ADD_FAILURE() << bad;
    } catch (const ValueError& e) {
      EXPECT_EQ(e.java_class(), "java.lang.IndexOutOfBoundsException");
    }
  }
  EXPECT_THROW(vector_pop(empty_vector()), ValueError);
  EXPECT_EQ(vector_get(v, 3), nullptr);
  EXPECT_EQ(vector_get(v, 2)->as_int(), 3);
  EXPECT_EQ(hash(empty_vector()), -2017569654);
  EXPECT_EQ(hash(v), 736442005);
  EXPECT_EQ(show(seq(v)), "(1 2 3)");
  EXPECT_EQ(type_name(seq(v)), "clojure.lang.PersistentVector$ChunkedSeq");
  Value m = with_meta(v, map_of({K(":m")}));
  EXPECT_EQ(m, v);
  EXPECT_EQ(count(meta(vector_conj(m, I(4)))), 1);
  EXPECT_TRUE(meta(v).is_nil());
}

TEST(Vector, VersionsSharingATailStayApart) {
  Value base = make_vector({I(1), I(2)});
  Value a = vector_conj(base, I(3));  // may take the free slot of base's tail
  Value b = vector_conj(base, I(4));  // must not
  Value c = vector_conj(a, I(5));
  EXPECT_EQ(show(base), "[1 2]");
  EXPECT_EQ(show(a), "[1 2 3]");
  EXPECT_EQ(show(b), "[1 2 4]");
  EXPECT_EQ(show(c), "[1 2 3 5]");
  TransientVector t(base);  // a transient from a version whose tail others extended
  t.conj(I(6));
  EXPECT_EQ(show(t.persistent()), "[1 2 6]");
  EXPECT_EQ(show(a), "[1 2 3]");
  EXPECT_EQ(show(vector_pop(c)), "[1 2 3]");
  EXPECT_EQ(show(vector_assoc(b, 2, I(7))), "[1 2 7]");
  EXPECT_EQ(show(b), "[1 2 4]");
}

// --- Maps: iteration order

TEST(HashMapOrder, MatchesJvmClojure) {
  std::vector<Value> strs, neg;
  for (const char* s : {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "foo", "bar", "baz", "quux", "héllo", ""})
    strs.push_back(S(s));
  for (int64_t i : {-1, -2, -3, -100, 100, 1000, -1000, 99999, 123456789, -987654321}) neg.push_back(I(i));
  std::vector<Value> kws, qkws;
  for (const char* k : {":a", ":b", ":c", ":d", ":e", ":f", ":g", ":h", ":i", ":j", ":k", ":l"}) kws.push_back(K(k));
  for (const char* k : {":x/a", ":y/b", ":user/name", ":id", ":name", ":type", ":status", ":ns/k"})
    qkws.push_back(K(k));
  struct Case {
    const char* what;
    Value map;
    const char* jvm;  // (keys m) as JVM Clojure prints it
  } cases[] = {
      {"(range 20)", map_of(range(0, 20)), "(0 7 1 4 15 13 6 17 3 12 2 19 11 9 5 14 16 10 18 8)"},
      {"(range 9)", map_of(range(0, 9)), "(0 7 1 4 6 3 2 5 8)"},
      {"longs", map_of(neg), "(-987654321 -2 -1 1000 -3 99999 100 123456789 -1000 -100)"},
      {"keywords", map_of(kws), "(:e :l :k :g :c :j :h :b :d :f :i :a)"},
      {"strings", map_of(strs),
       "(\"\" \"d\" \"foo\" \"bar\" \"f\" \"e\" \"baz\" \"j\" \"a\" \"héllo\" \"i\" \"b\" \"g\" \"quux\" \"h\" \"c\")"},
      {"mixed with nil", map_of({NIL, I(1), K(":a"), S("a"), TRUE_V(), FALSE_V(), I(2), K(":b"), S("b"), I(3)}),
       "(nil 1 true \"a\" 3 2 false \"b\" :b :a)"},
      // Eight keys or fewer: an array map, in the order given.
      {"array map", map_of({I(3), I(1), I(2)}), "(3 1 2)"},
      {"qualified keywords", map_of(qkws), "(:x/a :y/b :user/name :id :name :type :status :ns/k)"},
  };
  for (const auto& c : cases) EXPECT_EQ(show_keys(c.map), c.jvm) << c.what;

  Value big = map_of(range(0, 1000));
  std::string first40;
  int n = 0;
  big.obj()->each_entry([&](const Value& k, const Value&) {
    first40 += (n ? " " : "") + show(k);
    return ++n < 40;
  });
  EXPECT_EQ(first40,
            "0 893 920 558 453 584 487 637 972 519 357 716 950 275 530 929 789 389 586 410 433 765 521 451 291 443 "
            "798 779 970 249 638 299 121 734 287 65 702 70 949 218");

  Value thinned = map_of(range(0, 100));
  for (int64_t i = 0; i < 100; i += 3) thinned = dissoc(thinned, I(i));
  EXPECT_EQ(show_keys(thinned),
            "(65 70 62 74 7 59 86 20 58 1 55 85 88 46 4 77 95 92 50 31 32 40 91 56 13 22 41 89 43 61 29 44 28 64 25 "
            "34 17 2 23 47 35 82 76 97 19 68 11 5 83 14 53 26 16 79 38 98 73 10 52 67 71 80 37 94 8 49)");
}

TEST(ArrayMap, KeepsInsertionOrderUpToEightKeys) {
  Value m = empty_map();
  for (int64_t k : {5, 3, 9, 1, 7, 2, 8, 4}) m = assoc(m, I(k), I(k));
  EXPECT_TRUE(m.is(Kind::ArrayMap));
  EXPECT_EQ(show_keys(m), "(5 3 9 1 7 2 8 4)");
  m = assoc(m, I(9), I(90));  // an existing key keeps its place
  EXPECT_EQ(show_keys(m), "(5 3 9 1 7 2 8 4)");
  EXPECT_EQ(get(m, I(9))->as_int(), 90);
  Value fewer = dissoc(m, I(1));
  EXPECT_EQ(show_keys(fewer), "(5 3 9 7 2 8 4)");
  EXPECT_EQ(show_keys(assoc(fewer, I(1), I(1))), "(5 3 9 7 2 8 4 1)");
  Value hashed = assoc(m, I(6), I(6));
  EXPECT_TRUE(hashed.is(Kind::HashMap));
  EXPECT_EQ(show_keys(hashed), show_keys(map_of(range(1, 10))));
  EXPECT_TRUE(dissoc(hashed, I(6)).is(Kind::HashMap));  // no way back
  EXPECT_EQ(type_name(m), "clojure.lang.PersistentArrayMap");
  EXPECT_EQ(type_name(hashed), "clojure.lang.PersistentHashMap");
  EXPECT_TRUE(make_map(std::vector<Value>(18, I(0))).is(Kind::HashMap));  // nine literal pairs
  EXPECT_EQ(show_keys(make_map({I(2), I(0), I(1), I(0), I(2), I(5)})), "(2 1)");
  EXPECT_EQ(get(make_map({I(2), I(0), I(1), I(0), I(2), I(5)}), I(2))->as_int(), 5);  // the last value wins
  EXPECT_EQ(show_keys(dissoc(make_map({I(1), I(1)}), I(1))), "()");
  // A transient starting empty stays insertion-ordered while small.
  TransientMap t;
  for (int64_t k : {4, 2, 3}) t.assoc(I(k), I(0));
  EXPECT_EQ(show_keys(t.persistent()), "(4 2 3)");
}

// Longs that hash alike, found by search: collision nodes need them. The hash of a long is one-to-one over the
// low 32 bits, so the candidates spread over all 64.
std::vector<std::pair<int64_t, int64_t>> colliding_longs(size_t wanted) {
  std::unordered_map<int32_t, int64_t> seen;
  std::vector<std::pair<int64_t, int64_t>> out;
  for (uint64_t j = 1; out.size() < wanted; ++j) {
    auto x = static_cast<int64_t>(j * 0x9E3779B97F4A7C15ull);
    auto [it, fresh] = seen.emplace(hash(I(x)), x);
    if (!fresh) out.emplace_back(it->second, x);
  }
  return out;
}

// JVM Clojure's order: ascending by the hash's 5-bit groups, low group first; equal hashes in insertion order.
uint64_t trie_rank(const Value& k) {
  auto h = static_cast<uint32_t>(hash(k));
  uint64_t r = 0;
  for (int shift = 0; shift < 35; shift += 5) r = (r << 5) | ((h >> shift) & 31);
  return r;
}

TEST(HashMap, CollisionNodesKeepInsertionOrder) {
  auto pairs = colliding_longs(1);
  int64_t a = pairs[0].first, b = pairs[0].second;
  ASSERT_EQ(hash(I(a)), hash(I(b)));
  // c shares a's low 15 bits but not its hash, so the collision node must move down under it.
  int64_t c = 0;
  while (!((hash(I(c)) & 0x7fff) == (hash(I(a)) & 0x7fff) && hash(I(c)) != hash(I(a)))) ++c;
  std::vector<Value> others = range(1'000'000, 1'000'020);
  Value m = map_of(others);
  m = assoc(m, I(b), I(1));
  m = assoc(m, I(a), I(2));
  Value with_c = assoc(m, I(c), I(3));
  for (const Value& mm : {m, with_c}) {
    EXPECT_EQ(get(mm, I(a))->as_int(), 2);
    EXPECT_EQ(get(mm, I(b))->as_int(), 1);
    std::vector<int64_t> order;
    mm.obj()->each_entry([&](const Value& k, const Value&) { order.push_back(k.as_int()); return true; });
    auto pos_a = std::find(order.begin(), order.end(), a), pos_b = std::find(order.begin(), order.end(), b);
    EXPECT_EQ(pos_b + 1, pos_a);  // b went in first
  }
  EXPECT_EQ(get(with_c, I(c))->as_int(), 3);
  Value without_b = dissoc(with_c, I(b));
  EXPECT_EQ(get(without_b, I(b)), nullptr);
  EXPECT_EQ(get(without_b, I(a))->as_int(), 2);
  EXPECT_EQ(count(without_b), count(with_c) - 1);
  Value back = assoc(without_b, I(b), I(1));  // now after a
  std::vector<int64_t> order;
  back.obj()->each_entry([&](const Value& k, const Value&) { order.push_back(k.as_int()); return true; });
  EXPECT_EQ(std::find(order.begin(), order.end(), a) + 1, std::find(order.begin(), order.end(), b));
  EXPECT_EQ(back, with_c);
  EXPECT_EQ(hash(back), hash(with_c));
  EXPECT_EQ(dissoc(dissoc(back, I(a)), I(b)), dissoc(dissoc(with_c, I(b)), I(a)));
}

// A map model: contents, plus the insertion stamp of each key, which fixes the expected order.
struct MapModel {
  std::map<std::string, std::pair<Value, int64_t>> vals;  // by shown key: value, value as int
  std::map<std::string, int64_t> stamp;
  std::map<std::string, Value> key;
  int64_t clock = 0;
  bool hashed = false;

  void assoc(const Value& k, int64_t v) {
    std::string s = show(k);
    if (!vals.count(s)) {
      if (vals.size() == static_cast<size_t>(ARRAY_MAP_MAX)) hashed = true;
      stamp[s] = clock++;
      key[s] = k;
    }
    vals[s] = {k, v};
  }
  void dissoc(const Value& k) {
    std::string s = show(k);
    vals.erase(s);
    stamp.erase(s);
  }
  std::vector<std::string> order() const {
    std::vector<std::string> ks;
    for (const auto& [s, _] : vals) ks.push_back(s);
    std::sort(ks.begin(), ks.end(), [&](const std::string& x, const std::string& y) {
      if (hashed) {
        const Value& kx = key.at(x);
        const Value& ky = key.at(y);
        if (kx.is_nil() != ky.is_nil()) return kx.is_nil();
        if (trie_rank(kx) != trie_rank(ky)) return trie_rank(kx) < trie_rank(ky);
      }
      return stamp.at(x) < stamp.at(y);
    });
    return ks;
  }
};

void expect_matches(const Value& m, const MapModel& model) {
  ASSERT_EQ(count(m), static_cast<int64_t>(model.vals.size()));
  std::vector<std::string> got;
  m.obj()->each_entry([&](const Value& k, const Value& v) {
    got.push_back(show(k));
    EXPECT_EQ(v.as_int(), model.vals.at(show(k)).second);
    return true;
  });
  ASSERT_EQ(got, model.order());
  for (const auto& [s, kv] : model.vals) ASSERT_EQ(get(m, kv.first)->as_int(), kv.second) << s;
}

TEST(HashMap, RandomEditsMatchModel) {
  std::vector<Value> pool = range(0, 150);
  for (auto [a, b] : colliding_longs(3)) {
    pool.push_back(I(a));
    pool.push_back(I(b));
  }
  for (const Value& k : {K(":a"), K(":b/c"), S("x"), S("yz"), NIL}) pool.push_back(k);
  for (size_t pool_size : {size_t{12}, pool.size()}) {  // a small pool lingers around the array map limit
    std::mt19937_64 rng(pool_size);
    MapModel model;
    Value m = empty_map();
    TransientMap t;
    std::vector<std::pair<Value, std::string>> snapshots;
    for (int step = 0; step < 6000; ++step) {
      const Value& k = pool[rng() % pool_size];
      if (rng() % 10 < 6) {
        int64_t v = static_cast<int64_t>(rng() % 100);
        m = assoc(m, k, I(v));
        t.assoc(k, I(v));
        model.assoc(k, v);
      } else {
        m = dissoc(m, k);
        t.dissoc(k);
        model.dissoc(k);
      }
      ASSERT_EQ(count(m), static_cast<int64_t>(model.vals.size()));
      ASSERT_EQ(t.count(), count(m));
      ASSERT_EQ(t.get(k) == nullptr, get(m, k) == nullptr);
      if (step % 97 == 0) {
        ASSERT_NO_FATAL_FAILURE(expect_matches(m, model)) << "step " << step;
        snapshots.emplace_back(m, show(m));
        // The same contents built in reverse: equal, same hash.
        Value rebuilt = empty_map();
        auto order = model.order();
        for (auto it = order.rbegin(); it != order.rend(); ++it)
          rebuilt = assoc(rebuilt, model.vals.at(*it).first, I(model.vals.at(*it).second));
        ASSERT_EQ(rebuilt, m);
        ASSERT_EQ(hash(rebuilt), hash(m));
      }
    }
    for (const auto& [snap, shown] : snapshots) ASSERT_EQ(show(snap), shown);  // persistence
    Value tm = t.persistent();
    EXPECT_EQ(tm, m);
    EXPECT_EQ(hash(tm), hash(m));
    EXPECT_EQ(show(tm), show(m));
  }
}

// Keys whose hashes share their low 15 bits (and some their low 20) meet only below the trie's first three hash
// groups, where its levels change shape: they must still land, go and iterate as everywhere else.
TEST(HashMap, KeysSharingLowHashBitsMatchModel) {
  auto low = [](int64_t x, uint32_t mask) { return static_cast<uint32_t>(hash(I(x))) & mask; };
  std::vector<Value> pool = range(0, 40);
  int shares_15 = 0, shares_20 = 0;
  for (uint64_t j = 1; shares_15 < 30 || shares_20 < 6; ++j) {
    auto x = static_cast<int64_t>(j * 0x9E3779B97F4A7C15ull);
    if (low(x, 0xFFFFF) == low(7, 0xFFFFF)) {
      if (shares_20++ < 6) pool.push_back(I(x));
    } else if (low(x, 0x7FFF) == low(7, 0x7FFF)) {
      if (shares_15++ < 30) pool.push_back(I(x));
    }
  }
  std::mt19937_64 rng(7);
  MapModel model;
  Value m = empty_map();
  TransientMap t;
  for (int step = 0; step < 3000; ++step) {
    const Value& k = pool[rng() % pool.size()];
    if (rng() % 10 < 6) {
      int64_t v = static_cast<int64_t>(rng() % 100);
      m = assoc(m, k, I(v));
      t.assoc(k, I(v));
      model.assoc(k, v);
    } else {
      m = dissoc(m, k);
      t.dissoc(k);
      model.dissoc(k);
    }
    if (step % 50 == 0) {
      ASSERT_NO_FATAL_FAILURE(expect_matches(m, model)) << "step " << step;
    }
  }
  EXPECT_EQ(t.persistent(), m);
}

TEST(HashMap, AssocOfAHandedOverMapEditsOnlyWhatNobodyElseHolds) {
  Value m = map_of(range(0, 100));
  Value kept = m;  // a second holder: the handed-over map must be copied, not edited
  Value m2 = assoc(std::move(m), I(5), I(50));
  EXPECT_EQ(get(kept, I(5))->as_int(), 0);
  EXPECT_EQ(get(m2, I(5))->as_int(), 50);
  Value only = map_of(range(0, 50));
  Value grown = assoc(std::move(only), I(99), I(99));
  EXPECT_TRUE(only.is_nil());  // the caller's handle never points at the emptied map
  EXPECT_EQ(count(grown), 51);
  Value sole = map_of(range(0, 100));
  Value inner = dissoc(sole, I(1));  // shares most of the trie with sole
  for (int64_t i = 100; i < 300; ++i) sole = assoc(std::move(sole), I(i), I(i));
  EXPECT_EQ(count(sole), 300);
  EXPECT_EQ(count(inner), 99);
  EXPECT_EQ(get(inner, I(150)), nullptr);
  EXPECT_EQ(get(sole, I(150))->as_int(), 150);
  EXPECT_EQ(sole, [] {
    Value expected = empty_map();
    for (int64_t i = 0; i < 300; ++i) expected = assoc(expected, I(i), I(i < 100 ? 0 : i));
    return expected;
  }());
}

TEST(Map, HashesAndEquality) {
  EXPECT_EQ(hash(empty_map()), -15128758);
  EXPECT_EQ(hash(make_map({I(1), I(2)})), 1952097988);
  Value big = map_of(range(0, 20));
  EXPECT_EQ(big, make_map([] {
              std::vector<Value> kvs;
              for (int64_t i = 19; i >= 0; --i) { kvs.push_back(I(i)); kvs.push_back(I(0)); }
              return kvs;
            }()));
  EXPECT_NE(big, assoc(big, I(3), I(1)));
  EXPECT_EQ(assoc(dissoc(big, I(0)), I(0), I(0)), big);
  Value entry = map_entry(K(":a"), I(1));
  EXPECT_EQ(entry, make_vector({K(":a"), I(1)}));
  EXPECT_EQ(show(seq(map_of({K(":a"), K(":b")}))), "([:a 0] [:b 0])");
  Value dup;
  EXPECT_FALSE(make_map_checked(vals({I(1), I(2), I(1), I(3)}), &dup).has_value());
  EXPECT_EQ(dup.as_int(), 1);
  std::vector<Value> many;
  for (int i = 0; i < 12; ++i) { many.push_back(I(i % 10)); many.push_back(I(i)); }
  EXPECT_FALSE(make_map_checked(many, &dup).has_value());
  EXPECT_EQ(dup.as_int(), 0);
  EXPECT_TRUE(make_map_checked(vals({I(1), I(2), NIL, I(3)}), &dup).has_value());
  EXPECT_THROW(make_map({I(1)}), ValueError);
}

TEST(Map, GenericOperationsAndErrors) {
  Value v = make_vector({I(10), I(20)});
  EXPECT_TRUE(contains(v, I(1)));
  EXPECT_FALSE(contains(v, I(2)));
  EXPECT_EQ(get(v, I(1))->as_int(), 20);
  EXPECT_EQ(show(assoc(v, I(2), I(30))), "[10 20 30]");
  EXPECT_EQ(show_keys(assoc(NIL, K(":a"), I(1))), "(:a)");
  EXPECT_EQ(get(NIL, K(":a")), nullptr);
  EXPECT_TRUE(dissoc(NIL, K(":a")).is_nil());
  EXPECT_TRUE(keys(empty_map()).is_nil());
  struct Bad {
    const char* what;
    std::function<void()> op;
    const char* java_class;
  } bad[] = {
      {"assoc on a string", [] { assoc(S("s"), I(0), I(1)); }, "java.lang.ClassCastException"},
      {"dissoc on a vector", [] { dissoc(make_vector({}), I(0)); }, "java.lang.ClassCastException"},
      {"contains? on a long", [] { contains(I(1), I(0)); }, "java.lang.IllegalArgumentException"},
      {"conj onto a map as a set", [] { set_conj(empty_map(), I(0)); }, "java.lang.ClassCastException"},
  };
  for (const auto& b : bad) {
    try {
      b.op();
      ADD_FAILURE() << b.what;
    } catch (const ValueError& e) {
      EXPECT_EQ(e.java_class(), b.java_class) << b.what;
    }
  }
}

// --- Sets

TEST(HashSet, OrderMatchesJvmClojure) {
  EXPECT_EQ(show(make_set({I(5), I(3), I(1), K(":k"), S("s"), NIL, I(100), I(42), I(7), I(-8)})),
            "(nil \"s\" 7 1 -8 :k 100 3 5 42)");
  EXPECT_EQ(show(make_set({I(1), I(2), I(3)})), "(1 3 2)");  // no insertion order even when small
  Value s = make_set(range(0, 1000));
  std::string first40;
  int n = 0;
  s.obj()->each([&](const Value& x) {
    first40 += (n ? " " : "") + show(x);
    return ++n < 40;
  });
  EXPECT_EQ(first40,
            "0 893 920 558 453 584 487 637 972 519 357 716 950 275 530 929 789 389 586 410 433 765 521 451 291 443 "
            "798 779 970 249 638 299 121 734 287 65 702 70 949 218");
  EXPECT_EQ(hash(empty_set()), -15128758);
  EXPECT_EQ(hash(make_set({I(1), I(2)})), 460223544);
  EXPECT_EQ(type_name(s), "clojure.lang.PersistentHashSet");
}

TEST(HashSet, RandomEditsMatchModel) {
  std::vector<Value> pool = range(0, 300);
  for (auto [a, b] : colliding_longs(2)) {
    pool.push_back(I(a));
    pool.push_back(I(b));
  }
  pool.push_back(NIL);
  std::mt19937_64 rng(11);
  std::map<std::string, Value> model;
  Value s = empty_set();
  for (int step = 0; step < 8000; ++step) {
    const Value& x = pool[rng() % pool.size()];
    if (rng() % 10 < 6) {
      s = set_conj(s, x);
      model[show(x)] = x;
    } else {
      s = set_disj(s, x);
      model.erase(show(x));
    }
    ASSERT_EQ(count(s), static_cast<int64_t>(model.size()));
    ASSERT_EQ(contains(s, x), model.count(show(x)) == 1);
    if (step % 101 == 0) {
      for (const auto& [_, m] : model) ASSERT_TRUE(get(s, m) && equiv(*get(s, m), m));
      std::vector<Value> members;
      for (const auto& [_, m] : model) members.push_back(m);
      std::shuffle(members.begin(), members.end(), rng);
      Value other = make_set(members);
      ASSERT_EQ(other, s);
      ASSERT_EQ(hash(other), hash(s));
    }
  }
  Value dup;
  EXPECT_FALSE(make_set_checked(vals({I(1), NIL, I(2), NIL}), &dup).has_value());
  EXPECT_TRUE(dup.is_nil());
  EXPECT_TRUE(make_set_checked(vals({I(1), NIL}), &dup).has_value());
}

}  // namespace
}  // namespace kelp
