// User-defined types: protocols and their dispatch, and the instances of deftype, defrecord and reify.
//
// A protocol's functions dispatch on the type of their first argument: the methods an instance's own type (or
// reify form) implements inline come first; otherwise the protocol's extensions by class, the most specific class
// winning, with Object last. The answer for a type is cached per thread, keyed by protocol function and type, and
// any change to any protocol retires every cached answer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/value.hpp"
#include "kelp/rt/fn.hpp"

namespace kelp::rt::types {

class Protocol;

// The methods a type or a reify form implements: protocol methods by protocol and method index, and every method
// (protocol and interface ones alike) by name, for (.method x) and the host's interfaces (deref, invoke, toString).
struct Methods {
  struct ProtocolImpl {
    const Protocol* protocol;
    std::vector<Value> fns;  // by method index; nil where the method is not implemented
  };
  std::vector<ProtocolImpl> protocols;
  std::vector<std::pair<std::string, Value>> named;

  const Value* find(const Protocol* p, size_t index) const {
    for (const ProtocolImpl& impl : protocols)
      if (impl.protocol == p) return impl.fns[index].is_nil() ? nullptr : &impl.fns[index];
    return nullptr;
  }
  bool implements(const Protocol* p) const {
    for (const ProtocolImpl& impl : protocols)
      if (impl.protocol == p) return true;
    return false;
  }
  const Value* find(std::string_view name) const {
    for (const auto& [n, f] : named)
      if (n == name) return &f;
    return nullptr;
  }
};

// A deftype, defrecord or reify form's type. Never freed: instances and caches point at it.
struct TypeDesc {
  std::string name;                 // "user.Point"
  enum class Of { Type, Record, Reify } of = Of::Type;
  std::vector<Value> field_syms;    // the field symbols, in order
  std::vector<Value> field_keys;    // the same as keywords (records' map keys)
  std::vector<std::string> munged;  // the fields as the host names them: my-field is my_field
  std::vector<bool> mutable_fields; // ^:volatile-mutable and ^:unsynchronized-mutable fields of a deftype
  Value cls;                        // the class (user.Point), as (class x) answers
  std::unique_ptr<Methods> methods;  // deftype and defrecord: the inline methods
};

// An instance of a deftype, a defrecord (a map) or a reify form.
class Instance final : public ExtensionMap {
 public:
  Instance(const TypeDesc* desc, const Methods* methods, std::vector<Value> fields, const Value& ext,
           const Value& meta, std::shared_ptr<const Methods> own = {});

  const TypeDesc& desc() const { return *desc_; }
  const Methods& methods() const { return *methods_; }
  const std::vector<Value>& fields() const { return fields_; }
  bool record() const { return desc_->of == TypeDesc::Of::Record; }
  const Value& ext() const { return ext_; }

  std::string_view type_name() const override { return desc_->name; }
  int32_t compute_hash() const override;
  bool equiv_same_category(const Object& other) const override;
  int64_t count() const override;
  bool each(FunctionRef<bool(const Value&)> f) const override;
  bool each_entry(FunctionRef<bool(const Value&, const Value&)> f) const override;
  const Value* lookup(const Value& key) const override;
  Value seq() const override;
  Value meta() const override { return meta_; }
  Value with_meta(const Value& m) const override;
  Value assoc(Value key, Value val) const override;
  Value dissoc(const Value& key) const override;

 private:
  const TypeDesc* desc_;
  const Methods* methods_;
  std::shared_ptr<const Methods> own_;  // a reify instance's methods, closed over its locals
  std::vector<Value> fields_;
  Value ext_;   // a record's keys beyond its fields: nil or a map
  Value meta_;
};

inline const Instance* as_instance(const Value& v) {
  if (!v.is(Kind::Other)) return nullptr;
  const Object* o = v.obj();
  return typeid(*o) == typeid(Instance) ? static_cast<const Instance*>(o) : nullptr;
}

inline bool is_record(const Value& v) {
  const Instance* i = as_instance(v);
  return i && i->record();
}
inline bool is_deftype(const Value& v) {
  const Instance* i = as_instance(v);
  return i && i->desc().of == TypeDesc::Of::Type;
}

// --- Protocols

// (defprotocol P ...): a new protocol for the var, described by sigs ({:f {:name f :arglists ([x]) ...}}), in
// method order. With via_metadata, a value's metadata may implement a method under its qualified symbol
// (user/f), ahead of the extensions. Answers the map the var holds.
Value define_protocol(const Value& var, const Value& sigs, const std::vector<Value>& method_keys, bool via_metadata);
// The protocol function for method key of the protocol held by var.
Value protocol_method(const Value& var, const Value& key);
// The protocol a protocol map (the value of its var) stands for; throws for anything else.
Protocol* protocol_of(const Value& protocol_map);
// (extend cls P {:f fn ...}): cls a class or nil.
void extend(Protocol* p, const Value& cls, const Value& fn_map);
bool satisfies(const Protocol* p, const Value& x);
bool extends(const Protocol* p, const Value& cls);
// The classes the protocol is extended to, in extension order (nil for nil).
std::vector<Value> extenders(const Protocol* p);
// Builds a Methods from specs: [protocol-map-or-interface-name {"method" fn ...} ...].
std::unique_ptr<Methods> build_methods(const Value& specs);

// --- Types

// (deftype* "user.T" [fields] kind): a new type under that class name, imported into the current namespace.
// Answers the class.
Value define_type(std::string_view name, const Value& fields, TypeDesc::Of of, const Value& specs);
// The class's latest type, or null.
const TypeDesc* type_for_class(const Value& cls);
// (T. args): an instance of a deftype or defrecord class (a record also takes meta and ext after its fields).
// Sets found to false for classes kelp's types do not own.
Value construct(const Value& cls, Args args, bool* found);
// (map->R m)
Value record_from_map(const Value& cls, const Value& m);
Value reify(std::string_view name, const Value& specs);

// A deftype's mutable field i: its value, and set! of it (answering v).
Value mutable_field(const Value& target, size_t i);
Value set_mutable_field(const Value& target, size_t i, Value v);

// The host's view of an instance: (.-field x), (.method x args), toString; found false when x is not an instance
// or has no such member.
Value get_field(const Value& target, std::string_view field, bool* found);
Value invoke_method(const Value& target, std::string_view method, Args args, bool* found);
// Appends an instance's toString when its type defines one; false otherwise.
bool append_to_string(std::string& out, const Value& v);
// The named method of an instance (deref, invoke, ...), or null.
const Value* instance_method(const Value& v, std::string_view name);

}  // namespace kelp::rt::types
