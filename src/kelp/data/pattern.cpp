// Placeholder pattern values (source only) until the regular-expression engine lands.
#include "kelp/data/pattern.hpp"

#include <string>

namespace kelp {

namespace {
class PlainPattern final : public Object {
 public:
  explicit PlainPattern(std::string_view s) : Object(Kind::Pattern, 0), source_(s) {}
  std::string source_;
  std::string_view type_name() const override { return "java.util.regex.Pattern"; }
};
}  // namespace

Value make_pattern(std::string_view source) { return Value::adopt(new PlainPattern(source)); }
std::string_view pattern_source(const Value& p) { return static_cast<const PlainPattern&>(*p.obj()).source_; }

}  // namespace kelp
