// A reader conditional kept as read, #?(:cljs 1) or #?@(...), when reading with {:read-cond :preserve}.
#pragma once

#include "kelp/data/value.hpp"

namespace kelp::read {

class ReaderConditional final : public Object {
 public:
  ReaderConditional(Value form, bool splicing) : Object(Kind::Other, 0), form_(std::move(form)), splicing_(splicing) {}
  const Value& form() const { return form_; }  // the list of features and forms
  bool splicing() const { return splicing_; }
  int32_t compute_hash() const override;
  bool equiv_same_category(const Object& other) const override;
  std::string_view type_name() const override { return "clojure.lang.ReaderConditional"; }

 private:
  Value form_;
  bool splicing_;
};

Value make_reader_conditional(Value form, bool splicing);
// The reader conditional x is, or null.
const ReaderConditional* as_reader_conditional(const Value& x);

}  // namespace kelp::read
