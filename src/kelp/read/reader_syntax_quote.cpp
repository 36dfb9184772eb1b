// Syntax-quote: `form as code that builds the form, the way JVM Clojure's reader expands it, so macros written
// for Clojure see the same shapes. Symbols are resolved (special forms stay bare), x# names become one fresh
// gensym per syntax-quote, ~x is spliced in as code and ~@xs as a sequence.
#include <fmt/format.h>

#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "kelp/data/list.hpp"
#include "kelp/data/map.hpp"
#include "kelp/data/number.hpp"
#include "kelp/data/seq.hpp"
#include "kelp/data/set.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/read/reader_impl.hpp"

namespace kelp::read {
namespace {

struct Names {
  Value quote = symbol("quote");
  Value seq = symbol("clojure.core", "seq");
  Value concat = symbol("clojure.core", "concat");
  Value list = symbol("clojure.core", "list");
  Value apply = symbol("clojure.core", "apply");
  Value vector = symbol("clojure.core", "vector");
  Value hash_map = symbol("clojure.core", "hash-map");
  Value hash_set = symbol("clojure.core", "hash-set");
  Value with_meta = symbol("clojure.core", "with-meta");
  Value unquote = symbol("clojure.core", "unquote");
  Value unquote_splicing = symbol("clojure.core", "unquote-splicing");
  Value line = keyword("line");
  Value column = keyword("column");
  Value file = keyword("file");
};

const Names& names() {
  static const Names n;
  return n;
}

bool is_special(const Symbol& s) {
  static constexpr std::string_view SPECIALS[] = {
      "def", "loop*", "recur", "if", "case*", "let*", "letfn*", "do", "fn*", "quote", "var", ".", "set!",
      "deftype*", "reify*", "try", "throw", "monitor-enter", "monitor-exit", "catch", "finally", "new", "&"};
  if (s.has_ns()) return s.ns() == "clojure.core" && s.name() == "import*";
  for (std::string_view n : SPECIALS) {
    if (s.name() == n) return true;
  }
  return false;
}

// Whether form is (head x).
bool is_call_of(const Value& form, const Value& head) {
  return form.has(SEQ) && equiv(first(form), head);
}

class Expander {
 public:
  explicit Expander(ReaderContext& ctx) : ctx_(ctx) {}

  Value expand(const Value& form) {
    if (stack_nearly_full()) throw std::runtime_error("Nesting too deep to syntax-quote");
    const Names& n = names();
    Value ret;
    if (form.is(Kind::Symbol)) {
      const auto& s = form.as<Symbol>();
      ret = make_list({n.quote, is_special(s) ? form : resolve(s, form)});
    } else if (is_call_of(form, n.unquote)) {
      return second(form);
    } else if (is_call_of(form, n.unquote_splicing)) {
      throw std::runtime_error("splice not in list");
    } else if (form.has(MAP)) {
      std::vector<Value> items;
      form.obj()->each_entry([&](const Value& k, const Value& v) {
        items.push_back(k);
        items.push_back(v);
        return true;
      });
      ret = make_list({n.apply, n.hash_map, concatenation(items)});
    } else if (form.is(Kind::Vector)) {
      ret = make_list({n.apply, n.vector, concatenation(elements(form))});
    } else if (form.has(SET)) {
      ret = make_list({n.apply, n.hash_set, concatenation(elements(form))});
    } else if (form.has(SEQ)) {
      ret = count(form) == 0 ? make_list({n.list}) : concatenation(elements(form));
    } else if (form.is(Kind::Keyword) || form.is(Kind::String) || form.is_char() || is_number(form)) {
      ret = form;
    } else {
      ret = make_list({n.quote, form});
    }
    return with_source_meta(form, std::move(ret));
  }

 private:
  // A symbol as syntax-quote names it.
  Value resolve(const Symbol& s, const Value& form) {
    std::string_view name = s.name();
    if (!s.has_ns() && name.size() > 1 && name.ends_with('#')) return gensym(name.substr(0, name.size() - 1));
    if (!s.has_ns() && name.size() > 1 && name.ends_with('.')) {
      // Foo. constructs what Foo resolves to: keep the resolved class or var name, drop any namespace.
      Value base = ctx_.resolve_symbol(symbol(name.substr(0, name.size() - 1)));
      return symbol(std::string(base.as<Symbol>().name()) + ".");
    }
    if (!s.has_ns() && name.starts_with('.')) return symbol(name);
    // A dotted name is a class name, already as qualified as it gets.
    if (name.find('.', 1) != std::string_view::npos) return symbol_without_meta(s);
    return ctx_.resolve_symbol(s.meta().is_nil() ? form : symbol_without_meta(s));
  }

  static Value symbol_without_meta(const Symbol& s) { return s.has_ns() ? symbol(s.ns(), s.name()) : symbol(s.name()); }

  Value gensym(std::string_view prefix) {
    std::string key(prefix);
    auto it = gensyms_.find(key);
    if (it != gensyms_.end()) return it->second;
    Value sym = symbol(fmt::format("{}__{}__auto__", prefix, ctx_.next_id()));
    gensyms_.emplace(std::move(key), sym);
    return sym;
  }

  static std::vector<Value> elements(const Value& coll) {
    std::vector<Value> items;
    coll.obj()->each([&](const Value& x) {
      items.push_back(x);
      return true;
    });
    return items;
  }

  // (seq (concat part ...)): ~x as (list x), ~@xs as xs, anything else as (list `item).
  Value concatenation(const std::vector<Value>& items) {
    const Names& n = names();
    std::vector<Value> parts;
    parts.reserve(items.size() + 1);
    parts.push_back(n.concat);
    for (const Value& item : items) {
      if (is_call_of(item, n.unquote)) {
        parts.push_back(make_list({n.list, second(item)}));
      } else if (is_call_of(item, n.unquote_splicing)) {
        parts.push_back(second(item));
      } else {
        parts.push_back(make_list({n.list, expand(item)}));
      }
    }
    return make_list({n.seq, make_list(parts)});
  }

  // Metadata written on the form (not the reader's position) is rebuilt around the expansion.
  Value with_source_meta(const Value& form, Value ret) {
    const Names& n = names();
    if (!form.has(META)) return ret;
    Value m = meta(form);
    if (m.is_nil()) return ret;
    m = dissoc(dissoc(dissoc(m, n.line), n.column), n.file);
    if (count(m) == 0) return ret;
    return make_list({n.with_meta, std::move(ret), expand(m)});
  }

  static Value second(const Value& form) { return first(next(form)); }

  ReaderContext& ctx_;
  std::unordered_map<std::string, Value> gensyms_;
};

}  // namespace

Value syntax_quote(const Value& form, ReaderContext& ctx) { return Expander(ctx).expand(form); }

}  // namespace kelp::read
