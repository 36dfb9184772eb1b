#include "kelp/compile/forms.hpp"

#include "kelp/data/map.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/throwable.hpp"

namespace kelp::compile {

std::vector<Value> form_items(const Value& form) {
  std::vector<Value> items;
  if (form.is(Kind::Vector) || form.is(Kind::List)) {
    items.reserve(static_cast<size_t>(count(form)));
    form.obj()->each([&](const Value& x) {
      items.push_back(x);
      return true;
    });
    return items;
  }
  for (Value s = rt::seq(form); !s.is_nil(); s = rt::next(s)) items.push_back(rt::first(s));
  return items;
}

Value bare_symbol(const Value& sym) {
  const Symbol& s = sym.as<Symbol>();
  if (s.meta().is_nil()) return sym;
  return s.has_ns() ? symbol(s.ns(), s.name()) : symbol(s.name());
}

bool form_position(const Value& form, int* line, int* column) {
  if (!form.is_obj()) return false;
  Value m = meta(form);
  if (m.is_nil()) return false;
  static const Value LINE = keyword("line"), COLUMN = keyword("column");
  const Value* l = get(m, LINE);
  if (!l || !l->is_int()) return false;
  *line = static_cast<int>(l->as_int());
  const Value* c = get(m, COLUMN);
  *column = c && c->is_int() ? static_cast<int>(c->as_int()) : 0;
  return true;
}

Value user_meta(const Value& form) {
  Value m = meta(form);
  if (m.is_nil()) return m;
  static const Value LINE = keyword("line"), COLUMN = keyword("column"), FILE = keyword("file");
  m = dissoc(m, LINE);
  m = dissoc(m, COLUMN);
  m = dissoc(m, FILE);
  return count(m) == 0 ? Value() : m;
}

void syntax_error(std::string_view message) { rt::throw_error("java.lang.RuntimeException", message); }
void syntax_error(std::string_view cls, std::string_view message) { rt::throw_error(cls, message); }

}  // namespace kelp::compile
