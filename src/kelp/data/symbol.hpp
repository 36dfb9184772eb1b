// Keywords and symbols. Their names are interned: one object per namespace and name, so comparing names is
// comparing pointers. Keywords are fully interned and immortal; a symbol carrying metadata is a separate
// object sharing the interned name.
#pragma once

#include <string_view>

#include "kelp/data/value.hpp"

namespace kelp {

// An interned namespace-and-name pair; lives for the whole process.
struct QualifiedName {
  std::string_view ns;  // empty when there is no namespace
  std::string_view name;
  bool has_ns;
  int32_t symbol_hash;  // hasheq of the symbol with this name
};

class Keyword final : public Object {
 public:
  explicit Keyword(const QualifiedName* qn);
  const QualifiedName& qname() const { return *qn_; }
  std::string_view ns() const { return qn_->ns; }
  std::string_view name() const { return qn_->name; }
  bool has_ns() const { return qn_->has_ns; }
  int32_t compute_hash() const override;
  std::string_view type_name() const override { return "clojure.lang.Keyword"; }

 private:
  const QualifiedName* qn_;
};

class Symbol final : public Object {
 public:
  Symbol(const QualifiedName* qn, Value meta);
  const QualifiedName& qname() const { return *qn_; }
  std::string_view ns() const { return qn_->ns; }
  std::string_view name() const { return qn_->name; }
  bool has_ns() const { return qn_->has_ns; }
  int32_t compute_hash() const override { return qn_->symbol_hash; }
  bool equiv_same_category(const Object& other) const override;
  Value meta() const override { return meta_; }
  Value with_meta(const Value& m) const override;
  std::string_view type_name() const override { return "clojure.lang.Symbol"; }

 private:
  const QualifiedName* qn_;
  Value meta_;
};

const QualifiedName* intern_name(std::string_view ns, std::string_view name, bool has_ns);

// keyword("a") is :a; keyword("user", "a") is :user/a.
Value keyword(std::string_view name);
Value keyword(std::string_view ns, std::string_view name);
// Parses "ns/name" or "name" (a lone "/" is a name).
Value keyword_from(std::string_view text);
Value symbol(std::string_view name);
Value symbol(std::string_view ns, std::string_view name);
Value symbol_from(std::string_view text);

inline bool is_keyword(const Value& v) { return v.is(Kind::Keyword); }
inline bool is_symbol(const Value& v) { return v.is(Kind::Symbol); }

}  // namespace kelp
