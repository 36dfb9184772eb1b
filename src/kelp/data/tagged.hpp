// Tagged values: #inst (an instant, in milliseconds since the epoch, as java.util.Date holds it) and #uuid.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kelp/data/value.hpp"

namespace kelp {

class Inst final : public Object {
 public:
  explicit Inst(int64_t millis) : Object(Kind::Inst, 0), millis_(millis) {}
  int64_t millis() const { return millis_; }
  int32_t compute_hash() const override;
  bool equiv_same_category(const Object& other) const override;
  std::string_view type_name() const override { return "java.util.Date"; }

 private:
  int64_t millis_;
};

class Uuid final : public Object {
 public:
  Uuid(uint64_t hi, uint64_t lo) : Object(Kind::Uuid, 0), hi_(hi), lo_(lo) {}
  uint64_t hi() const { return hi_; }
  uint64_t lo() const { return lo_; }
  int32_t compute_hash() const override;
  bool equiv_same_category(const Object& other) const override;
  std::string_view type_name() const override { return "java.util.UUID"; }

 private:
  uint64_t hi_, lo_;
};

Value make_inst(int64_t millis);
Value make_uuid(uint64_t hi, uint64_t lo);

// RFC 3339 timestamps as the #inst reader takes them: "2020", "2020-01", ..., "2020-01-02T03:04:05.678+01:00".
// On failure answers nothing and sets `error` to a sentence.
std::optional<int64_t> parse_inst(std::string_view text, std::string* error);
// "2020-01-02T03:04:05.678-00:00", as JVM Clojure prints a Date.
std::string format_inst(int64_t millis);
// Canonical 8-4-4-4-12 hex form.
std::optional<Value> parse_uuid(std::string_view text);
std::string format_uuid(const Uuid& u);

}  // namespace kelp
