// Sorted maps and sets: ascending order through random inserts and deletes, range sequences, comparators.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "kelp/data/error.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/sorted.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/vector.hpp"

namespace kelp {
namespace {

Value I(int64_t i) { return Value::integer(i); }

// The elements of a sequence (a map's entries by their keys).
std::vector<int64_t> keys_of(Value s) {
  std::vector<int64_t> out;
  for (; !s.is_nil(); s = next(s)) {
    Value x = first(s);
    out.push_back(x.is(Kind::Vector) ? x.as<Vector>().nth(0).as_int() : x.as_int());
  }
  return out;
}

TEST(SortedMap, RandomInsertsAndDeletesStayOrdered) {
  std::mt19937_64 rng(3);
  std::map<int64_t, int64_t> model;
  Value m = empty_sorted_map();
  std::vector<std::pair<Value, std::vector<int64_t>>> snapshots;
  for (int step = 0; step < 20'000; ++step) {
    int64_t k = static_cast<int64_t>(rng() % 500);
    if (rng() % 10 < 6) {
      int64_t v = static_cast<int64_t>(rng() % 1000);
      m = assoc(m, I(k), I(v));
      model[k] = v;
    } else {
      m = dissoc(m, I(k));
      model.erase(k);
    }
    ASSERT_EQ(count(m), static_cast<int64_t>(model.size()));
    const Value* got = get(m, I(k));
    ASSERT_EQ(got != nullptr, model.count(k) == 1);
    if (got) {
      ASSERT_EQ(got->as_int(), model[k]);
    }
    if (step % 1000 == 0) {
      std::vector<int64_t> expected;
      for (auto [key, _] : model) expected.push_back(key);
      ASSERT_EQ(keys_of(seq(m)), expected);
      std::vector<int64_t> visited;
      m.obj()->each_entry([&](const Value& key, const Value& val) {
        visited.push_back(key.as_int());
        return val.as_int() == model[key.as_int()];
      });
      ASSERT_EQ(visited, expected);
      snapshots.emplace_back(m, expected);
    }
  }
  for (const auto& [snap, expected] : snapshots) ASSERT_EQ(keys_of(seq(snap)), expected);
  // Equal to a hash map of the same entries, with the same hash.
  Value h = empty_map();
  for (auto [k, v] : model) h = assoc(h, I(k), I(v));
  EXPECT_EQ(m, h);
  EXPECT_EQ(hash(m), hash(h));
  EXPECT_EQ(type_name(m), "clojure.lang.PersistentTreeMap");
}

TEST(SortedMap, LongAscendingRunsStayShallow) {
  // A tree that did not rebalance would turn into a list here and take quadratic time.
  Value s = empty_sorted_set();
  for (int64_t i = 0; i < 200'000; ++i) s = set_conj(s, I(i));
  for (int64_t i = 0; i < 200'000; i += 2) s = set_disj(s, I(i));
  EXPECT_EQ(count(s), 100'000);
  EXPECT_EQ(first(s).as_int(), 1);
  EXPECT_EQ(first(sorted_rseq(s)).as_int(), 199'999);
}

TEST(SortedSet, RangeSequences) {
  std::vector<Value> items;
  for (int64_t i : {50, 10, 40, 20, 30}) items.push_back(I(i));
  Value s = make_sorted_set(items);
  struct Case {
    int64_t key;
    bool ascending, inclusive;
    std::vector<int64_t> expected;
  } cases[] = {
      {30, true, true, {30, 40, 50}},  {30, true, false, {40, 50}}, {25, true, true, {30, 40, 50}},
      {30, false, true, {30, 20, 10}}, {30, false, false, {20, 10}}, {35, false, false, {30, 20, 10}},
      {60, true, true, {}},            {5, false, true, {}},         {5, true, false, {10, 20, 30, 40, 50}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(keys_of(sorted_seq_from(s, I(c.key), c.ascending, c.inclusive)), c.expected)
        << c.key << (c.ascending ? " up" : " down") << (c.inclusive ? " inclusive" : "");
  }
  EXPECT_EQ(keys_of(sorted_rseq(s)), (std::vector<int64_t>{50, 40, 30, 20, 10}));
  EXPECT_TRUE(sorted_rseq(empty_sorted_set()).is_nil());
  EXPECT_EQ(set_conj(s, I(30)).obj(), s.obj());  // already there: the same set
  EXPECT_EQ(s, make_set(items));
  EXPECT_EQ(hash(s), hash(make_set(items)));
  EXPECT_EQ(type_name(s), "clojure.lang.PersistentTreeSet");
  EXPECT_TRUE(contains(s, I(40)));
  EXPECT_FALSE(contains(set_disj(s, I(40)), I(40)));
}

TEST(SortedMap, CustomComparatorAndUncomparableKeys) {
  struct Descending final : Comparator {
    int compare(const Value& a, const Value& b) const override {
      return a.as_int() < b.as_int() ? 1 : a.as_int() > b.as_int() ? -1 : 0;
    }
  };
  std::vector<Value> kvs;
  for (int64_t i : {2, 3, 1}) {
    kvs.push_back(I(i));
    kvs.push_back(I(i * 10));
  }
  Value m = make_sorted_map(kvs, std::make_shared<Descending>());
  EXPECT_EQ(keys_of(seq(m)), (std::vector<int64_t>{3, 2, 1}));
  EXPECT_EQ(keys_of(assoc(m, I(5), I(0))), (std::vector<int64_t>{5, 3, 2, 1}));
  Value with_meta_m = with_meta(m, make_map({I(1), I(1)}));
  EXPECT_EQ(keys_of(seq(assoc(with_meta_m, I(0), I(0)))), (std::vector<int64_t>{3, 2, 1, 0}));
  EXPECT_EQ(count(meta(dissoc(with_meta_m, I(2)))), 1);
  Value plain = make_sorted_map(kvs);
  try {
    assoc(plain, make_string("x"), I(0));
    ADD_FAILURE() << "a string key among longs";
  } catch (const ValueError& e) {
    EXPECT_EQ(e.java_class(), "java.lang.ClassCastException");
  }
  EXPECT_EQ(count(plain), 3);
}

}  // namespace
}  // namespace kelp
