// Persistent lists: cons cells that know their count.
#pragma once

#include <initializer_list>
#include <span>

#include "kelp/data/seq.hpp"

namespace kelp {

class List final : public SeqObject {
 public:
  // An empty list (count 0) or a cell.
  List(Value first, Value rest, int64_t count, Value meta);
  Value first() const override { return first_; }
  Value next() const override;
  int64_t count() const override { return count_; }
  bool each(FunctionRef<bool(const Value&)> f) const override;
  Value seq() const override;
  Value meta() const override { return meta_; }
  Value with_meta(const Value& m) const override;
  std::string_view type_name() const override;
  const Value& rest_list() const { return rest_; }  // a List (possibly empty), or nil for the empty list
  ~List() override;

 private:
  Value first_;
  Value rest_;
  int64_t count_;
  Value meta_;
};

Value empty_list();
Value make_list(std::span<const Value> items);
Value make_list(std::initializer_list<Value> items);
// conj onto a list: a new head.
Value list_conj(const Value& list, Value x);

}  // namespace kelp
