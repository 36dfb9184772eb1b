#include "kelp/read/reader_conditional.hpp"

#include "kelp/data/hash.hpp"

namespace kelp::read {

int32_t ReaderConditional::compute_hash() const {
  return murmur3::hash_combine(kelp::hash(form_), splicing_ ? 1231 : 1237);
}

bool ReaderConditional::equiv_same_category(const Object& other) const {
  const auto* o = dynamic_cast<const ReaderConditional*>(&other);
  return o && o->splicing_ == splicing_ && equiv(o->form_, form_);
}

Value make_reader_conditional(Value form, bool splicing) {
  return Value::adopt(new ReaderConditional(std::move(form), splicing));
}

const ReaderConditional* as_reader_conditional(const Value& x) {
  return x.is(Kind::Other) ? dynamic_cast<const ReaderConditional*>(x.obj()) : nullptr;
}

}  // namespace kelp::read
