// Reads arbitrary bytes as EDN. A text that reads must print as text that reads back as an equal value, and
// editing keys of it must neither crash nor answer text that fails to read.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kelp/data/map.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"

namespace {

// NaN is never equal to itself, so values holding one cannot be compared after a round trip.
bool has_nan(const kelp::Value& v, int depth = 0) {
  if (v.is_double()) return std::isnan(v.as_double());
  if (depth > 200) return true;  // too deep to check cheaply: treat as incomparable
  bool nan = false;
  if (v.has(kelp::COLL) || v.has(kelp::MAP) || v.has(kelp::SET)) {
    v.obj()->each([&](const kelp::Value& x) {
      nan = has_nan(x, depth + 1);
      return !nan;
    });
  }
  return nan;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  kelp::Result<kelp::Value> r = kelp::read_edn(text);
  if (r.ok()) {
    std::string printed = kelp::print_edn(*r);
    kelp::Result<kelp::Value> back = kelp::read_edn(printed);
    if (!back.ok()) abort();
    if (!has_nan(*r) && !kelp::equiv(*r, *back)) abort();
    kelp::pr_str(*r, kelp::PrintOptions{3, 2});
  }
  static const kelp::Value m = kelp::make_map({kelp::keyword("a"), kelp::Value::integer(1), kelp::keyword("new"),
                                               kelp::make_map({kelp::keyword("x"), kelp::keyword("y")})});
  if (auto edited = kelp::edit_edn_keys(text, m)) {
    if (!kelp::read_edn(*edited).ok()) abort();
  }
  return 0;
}
