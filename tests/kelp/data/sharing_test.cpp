// Values are immutable and reference counted atomically: threads share them freely. Run under the tsan preset
// to check for races.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"

namespace kelp {
namespace {

TEST(Sharing, ThreadsCopyHashAndInternConcurrently) {
  TransientMap builder;
  for (int i = 0; i < 1000; ++i) builder.assoc(Value::integer(i), make_string(std::to_string(i)));
  Value shared = make_vector({builder.persistent(), make_string("text")});
  int32_t expected_hash = 0;
  std::vector<int32_t> seen(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      int32_t h = 0;
      for (int round = 0; round < 200; ++round) {
        Value copy = shared;                            // counts up and down from four threads
        h = hash(copy);                                 // the cached hash is written once, read by all
        Value k = keyword("shared", std::to_string(round % 50));  // interning races on the same names
        Value more = assoc(copy.as<Vector>().nth(0), k, copy);
        EXPECT_EQ(count(more), 1001);
      }
      seen[static_cast<size_t>(t)] = h;
    });
  }
  for (auto& th : threads) th.join();
  expected_hash = hash(shared);
  for (int32_t h : seen) EXPECT_EQ(h, expected_hash);
  EXPECT_EQ(shared.obj()->ref_count(), 1u);
  EXPECT_EQ(keyword("shared", "7").obj(), keyword_from("shared/7").obj());
}

}  // namespace
}  // namespace kelp
