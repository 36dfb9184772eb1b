// clojure.core's strings, names and regular expressions: str, subs, name, keyword, symbol, the ident predicates,
// char, and re-pattern re-find re-matches re-seq re-matcher re-groups. Printing lives in core_print.cpp.
#include <fmt/format.h>

#include <mutex>

#include "kelp/data/pattern.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/lib/str_regex.hpp"
#include "kelp/lib/str_util.hpp"
#include "kelp/rt/core_vars.hpp"
#include "kelp/rt/lazy.hpp"
#include "kelp/rt/thread.hpp"
#include "kelp/rt/var.hpp"

namespace kelp::lib {

void install_core_print();  // core_print.cpp

using rt::Args;
using namespace strs;

namespace strs {

Matcher::Matcher(Value pattern, Value text)
    : Object(Kind::Host, 0), pattern_(std::move(pattern)), text_(std::move(text)) {}

bool Matcher::find() const {
  std::lock_guard lock(mutex_);
  std::string_view s = str_view(text_);
  matched_ = pos_ <= s.size() && regex_find(pattern_, s, pos_, last_);
  pos_ = matched_ ? regex_resume(s, last_) : s.size() + 1;
  return matched_;
}

bool Matcher::find_from(int64_t start) const {
  const String& text = text_.as<String>();
  if (start < 0 || start > text.count())
    rt::throw_error("java.lang.IndexOutOfBoundsException", "Illegal start index");
  {
    std::lock_guard lock(mutex_);
    pos_ = text.byte_offset(start);
  }
  return find();
}

bool Matcher::matches() const {
  std::lock_guard lock(mutex_);
  matched_ = regex_matches(pattern_, str_view(text_), last_);
  return matched_;
}

bool Matcher::looking_at() const {
  std::lock_guard lock(mutex_);
  matched_ = regex_looking_at(pattern_, str_view(text_), last_);
  return matched_;
}

void Matcher::reset() const {
  std::lock_guard lock(mutex_);
  pos_ = 0;
  matched_ = false;
}

Value Matcher::groups() const {
  std::lock_guard lock(mutex_);
  if (!matched_) rt::throw_illegal_state("No match found");
  return match_groups(pattern_, str_view(text_), last_);
}

size_t Matcher::checked_group(int64_t g) const {
  if (!matched_) rt::throw_illegal_state("No match found");
  if (g < 0 || static_cast<size_t>(g) >= last_.groups())
    rt::throw_error("java.lang.IndexOutOfBoundsException", fmt::format("No group {}", g));
  return static_cast<size_t>(g);
}

Value Matcher::group(int64_t g) const {
  std::lock_guard lock(mutex_);
  size_t i = checked_group(g);
  return last_.matched(i) ? make_string(last_.group(str_view(text_), i)) : NIL;
}

Value Matcher::group(std::string_view name) const {
  int g = pattern_group_index(pattern_, name);
  if (g < 0) rt::throw_illegal_argument(fmt::format("No group with name <{}>", name));
  return group(g);
}

int64_t Matcher::start(int64_t g) const {
  std::lock_guard lock(mutex_);
  size_t i = checked_group(g);
  return last_.matched(i) ? cp_index(text_, last_.start(i)) : -1;
}

int64_t Matcher::end(int64_t g) const {
  std::lock_guard lock(mutex_);
  size_t i = checked_group(g);
  return last_.matched(i) ? cp_index(text_, last_.end(i)) : -1;
}

std::string Matcher::java_string() const {
  std::lock_guard lock(mutex_);
  std::string_view s = str_view(text_);
  return fmt::format("java.util.regex.Matcher[pattern={} region=0,{} lastmatch={}]", pattern_source(pattern_),
                     text_.as<String>().count(), matched_ ? last_.group(s) : std::string_view());
}

const Matcher* as_matcher(const Value& v) {
  return v.is(Kind::Host) ? dynamic_cast<const Matcher*>(v.obj()) : nullptr;
}

}  // namespace strs

namespace {

Value pattern_arg(const Value& v) {
  if (is_pattern(v)) return v;
  cannot_cast(v, "java.util.regex.Pattern");
}

// --- str and names

Value str(Args args) {
  if (args.size() == 1 && args[0].is(Kind::String)) return args[0];
  std::string out;
  for (size_t i = 0; i < args.size(); ++i) {
    append_str(out, args[i]);
    if ((i & 4095) == 4095) rt::safe_point();
  }
  return make_string(out);
}

Value subs(Args args) {
  std::string_view s = string_arg(args[0]);
  const int64_t len = args[0].as<String>().count();
  int64_t start = index_arg(args[1]);
  int64_t end = args.size() > 2 ? index_arg(args[2]) : len;
  if (start < 0 || end > len || start > end)
    rt::throw_error("java.lang.StringIndexOutOfBoundsException",
                    fmt::format("begin {}, end {}, length {}", start, end, len));
  if (args[0].as<String>().ascii()) return make_string(s.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
  return substring(args[0], start, end);
}

Value name(Args args) {
  const Value& x = args[0];
  if (x.is(Kind::String)) return x;
  if (is_keyword(x)) return make_string(x.as<Keyword>().name());
  if (is_symbol(x)) return make_string(x.as<Symbol>().name());
  cannot_cast(x, "clojure.lang.Named");
}

Value namespace_of(Args args) {
  const Value& x = args[0];
  if (is_keyword(x)) return x.as<Keyword>().has_ns() ? make_string(x.as<Keyword>().ns()) : NIL;
  if (is_symbol(x)) return x.as<Symbol>().has_ns() ? make_string(x.as<Symbol>().ns()) : NIL;
  cannot_cast(x, "clojure.lang.Named");
}

Value to_keyword(Args args) {
  if (args.size() == 2) {
    std::string_view name = string_arg(args[1]);
    return args[0].is_nil() ? keyword(name) : keyword(string_arg(args[0]), name);
  }
  const Value& x = args[0];
  if (is_keyword(x)) return x;
  if (is_symbol(x)) {
    const auto& s = x.as<Symbol>();
    return s.has_ns() ? keyword(s.ns(), s.name()) : keyword(s.name());
  }
  if (x.is(Kind::String)) return keyword_from(str_view(x));
  return NIL;
}

Value to_symbol(Args args) {
  if (args.size() == 2) {
    std::string_view name = string_arg(args[1]);
    return args[0].is_nil() ? symbol(name) : symbol(string_arg(args[0]), name);
  }
  const Value& x = args[0];
  if (is_symbol(x)) return x;
  if (x.is(Kind::String)) return symbol_from(str_view(x));
  if (is_keyword(x)) {
    const auto& k = x.as<Keyword>();
    return k.has_ns() ? symbol(k.ns(), k.name()) : symbol(k.name());
  }
  if (x.is(Kind::Var)) return symbol_from(x.as<rt::Var>().full_name());
  rt::throw_illegal_argument("no conversion to symbol");
}

Value to_char(Args args) {
  const Value& x = args[0];
  if (x.is_char()) return x;
  int64_t c;
  if (x.is_int()) c = x.as_int();
  else if (x.is_double()) c = static_cast<int64_t>(x.as_double());
  else cannot_cast(x, "java.lang.Number");
  if (c < 0 || c > 0x10FFFF) rt::throw_illegal_argument(fmt::format("Value out of range for char: {}", c));
  return Value::character(static_cast<char32_t>(c));
}

// The namespace part of a keyword or symbol, and whether there is one; false for other values.
bool ident_ns(const Value& x, bool& has_ns) {
  if (is_keyword(x)) has_ns = x.as<Keyword>().has_ns();
  else if (is_symbol(x)) has_ns = x.as<Symbol>().has_ns();
  else return false;
  return true;
}

template <Kind K, int Qualified>  // Qualified: -1 either, 0 simple only, 1 qualified only
Value ident_pred(Args args) {
  const Value& x = args[0];
  bool has_ns = false;
  if (K == Kind::Other ? !ident_ns(x, has_ns) : (!x.is(K) || !ident_ns(x, has_ns))) return FALSE_V();
  if (Qualified < 0) return TRUE_V();
  return Value::boolean(has_ns == (Qualified == 1));
}

// --- regular expressions

Value re_pattern(Args args) {
  if (is_pattern(args[0])) return args[0];
  return make_pattern(string_arg(args[0]));
}

Value re_matcher(Args args) {
  Value p = pattern_arg(args[0]);
  string_arg(args[1]);
  return Value::adopt(new Matcher(std::move(p), args[1]));
}

Value re_groups(Args args) {
  const Matcher* m = as_matcher(args[0]);
  if (!m) cannot_cast(args[0], "java.util.regex.Matcher");
  return m->groups();
}

Value re_find(Args args) {
  if (args.size() == 1) {
    const Matcher* m = as_matcher(args[0]);
    if (!m) cannot_cast(args[0], "java.util.regex.Matcher");
    return m->find() ? m->groups() : NIL;
  }
  Value p = pattern_arg(args[0]);
  std::string_view s = string_arg(args[1]);
  RegexMatch m;
  return regex_find(p, s, 0, m) ? match_groups(p, s, m) : NIL;
}

Value re_matches(Args args) {
  Value p = pattern_arg(args[0]);
  std::string_view s = string_arg(args[1]);
  RegexMatch m;
  return regex_matches(p, s, m) ? match_groups(p, s, m) : NIL;
}

// The matches from byte offset `from` on, found one at a time as the sequence is walked.
Value re_seq_from(Value p, Value s, size_t from) {
  return rt::make_lazy_seq(std::function<Value()>([p = std::move(p), s = std::move(s), from]() -> Value {
    std::string_view text = str_view(s);
    RegexMatch m;
    if (!regex_find(p, text, from, m)) return NIL;
    Value groups = match_groups(p, text, m);
    return rt::cons(std::move(groups), re_seq_from(p, s, regex_resume(text, m)));
  }));
}

// The first match is found at once, so no match at all answers nil, as JVM Clojure's re-seq does.
Value re_seq(Args args) {
  Value p = pattern_arg(args[0]);
  std::string_view text = string_arg(args[1]);
  RegexMatch m;
  if (!regex_find(p, text, 0, m)) return NIL;
  Value groups = match_groups(p, text, m);
  return rt::cons(std::move(groups), re_seq_from(std::move(p), args[1], regex_resume(text, m)));
}

}  // namespace

void install_core_str() {
  rt::Namespace* core = rt::core_vars().core;
  defn(core, "str", 0, -1, str,
       {"([] [x] [x & ys])",
        "With no args, returns the empty string. With one arg x, returns\n  x.toString().  (str nil) returns the "
        "empty string. With more than\n  one arg, returns the concatenation of the str values of the args."});
  defn(core, "subs", 2, 3, subs,
       {"([s start] [s start end])",
        "Returns the substring of s beginning at start inclusive, and ending\n  at end (defaults to length of "
        "string), exclusive."});
  defn(core, "name", 1, 1, name, {"([x])", "Returns the name String of a string, symbol or keyword."});
  defn(core, "namespace", 1, 1, namespace_of, {"([x])", "Returns the namespace String of a symbol or keyword, or nil if not present."});
  defn(core, "keyword", 1, 2, to_keyword,
       {"([name] [ns name])",
        "Returns a Keyword with the given namespace and name.  Do not use :\n  in the keyword strings, it will be "
        "added automatically."});
  defn(core, "symbol", 1, 2, to_symbol, {"([name] [ns name])", "Returns a Symbol with the given namespace and name."});
  defn(core, "char", 1, 1, to_char, {"([x])", "Coerce to char"});
  defn(core, "string?", 1, 1, +[](Args a) { return Value::boolean(a[0].is(Kind::String)); },
       {"([x])", "Return true if x is a String"});
  defn(core, "char?", 1, 1, +[](Args a) { return Value::boolean(a[0].is_char()); },
       {"([x])", "Return true if x is a Character"});
  defn(core, "keyword?", 1, 1, +[](Args a) { return Value::boolean(is_keyword(a[0])); },
       {"([x])", "Return true if x is a Keyword"});
  defn(core, "symbol?", 1, 1, +[](Args a) { return Value::boolean(is_symbol(a[0])); },
       {"([x])", "Return true if x is a Symbol"});
  defn(core, "ident?", 1, 1, ident_pred<Kind::Other, -1>, {"([x])", "Return true if x is a symbol or keyword"});
  defn(core, "simple-ident?", 1, 1, ident_pred<Kind::Other, 0>,
       {"([x])", "Return true if x is a symbol or keyword without a namespace"});
  defn(core, "qualified-ident?", 1, 1, ident_pred<Kind::Other, 1>,
       {"([x])", "Return true if x is a symbol or keyword with a namespace"});
  defn(core, "simple-symbol?", 1, 1, ident_pred<Kind::Symbol, 0>,
       {"([x])", "Return true if x is a symbol without a namespace"});
  defn(core, "qualified-symbol?", 1, 1, ident_pred<Kind::Symbol, 1>,
       {"([x])", "Return true if x is a symbol with a namespace"});
  defn(core, "simple-keyword?", 1, 1, ident_pred<Kind::Keyword, 0>,
       {"([x])", "Return true if x is a keyword without a namespace"});
  defn(core, "qualified-keyword?", 1, 1, ident_pred<Kind::Keyword, 1>,
       {"([x])", "Return true if x is a keyword with a namespace"});

  defn(core, "re-pattern", 1, 1, re_pattern,
       {"([s])", "Returns an instance of java.util.regex.Pattern, for use, e.g. in\n  re-matcher."});
  defn(core, "re-matcher", 2, 2, re_matcher,
       {"([re s])", "Returns an instance of java.util.regex.Matcher, for use, e.g. in\n  re-find."});
  defn(core, "re-groups", 1, 1, re_groups,
       {"([m])",
        "Returns the groups from the most recent match/find. If there are no\n  nested groups, returns a string of "
        "the entire match. If there are\n  nested groups, returns a vector of the groups, the first element\n  "
        "being the entire match."});
  defn(core, "re-find", 1, 2, re_find,
       {"([m] [re s])",
        "Returns the next regex match, if any, of string to pattern, using\n  java.util.regex.Matcher.find().  "
        "Uses re-groups to return the\n  groups."});
  defn(core, "re-matches", 2, 2, re_matches,
       {"([re s])",
        "Returns the match, if any, of string to pattern, using\n  java.util.regex.Matcher.matches().  Uses "
        "re-groups to return the\n  groups."});
  defn(core, "re-seq", 2, 2, re_seq,
       {"([re s])",
        "Returns a lazy sequence of successive matches of pattern in string,\n  using java.util.regex.Matcher.find(),"
        " each such match processed with\n  re-groups."});
  install_core_print();
}

}  // namespace kelp::lib
