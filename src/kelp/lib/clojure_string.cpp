// clojure.string, native. Offsets are code-point indexes, as everywhere in kelp.
#include <fmt/format.h>
#include <locale.h>
#include <wctype.h>

#include <algorithm>

#include "kelp/data/map.hpp"
#include "kelp/data/pattern.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/lib/def.hpp"
#include "kelp/lib/install.hpp"
#include "kelp/lib/seq_util.hpp"
#include "kelp/lib/str_regex.hpp"
#include "kelp/lib/str_util.hpp"
#include "kelp/rt/fn.hpp"
#include "kelp/rt/loader.hpp"
#include "kelp/rt/namespace.hpp"
#include "kelp/rt/thread.hpp"

namespace kelp::lib {

namespace strs {

Value replace_pattern(const Value& sv, const Value& p, const Value& rep, bool all) {
  std::string_view s = str_view(sv);
  if (rep.is_nil()) rt::throw_null_pointer("");
  bool by_fn = !rep.is(Kind::String);
  std::string_view rep_text = by_fn ? std::string_view() : str_view(rep);
  RegexMatch m;
  std::string out;
  size_t copied = 0, from = 0;
  bool any = false;
  while (regex_find(p, s, from, m)) {
    any = true;
    out.append(s.substr(copied, m.start() - copied));
    if (by_fn) append_str(out, rt::call(rep, {match_groups(p, s, m)}));
    else append_replacement(out, p, s, m, rep_text);
    copied = m.end();
    if (!all) break;
    from = regex_resume(s, m);
    rt::safe_point();
  }
  if (!any) return sv;
  out.append(s.substr(copied));
  return make_string(out);
}

Value split_by(const Value& sv, const Value& p, int64_t limit) {
  std::string_view s = str_view(sv);
  std::vector<std::string_view> parts;
  RegexMatch m;
  size_t index = 0, from = 0;
  while ((limit <= 0 || static_cast<int64_t>(parts.size()) < limit - 1) && regex_find(p, s, from, m)) {
    from = regex_resume(s, m);
    if (m.end() == 0 && m.start() == 0) continue;  // zero-width at the very start: no leading ""
    parts.push_back(s.substr(index, m.start() - index));
    index = m.end();
  }
  if (parts.empty() && index == 0) return make_vector({sv});
  parts.push_back(s.substr(index));
  if (limit == 0)
    while (!parts.empty() && parts.back().empty()) parts.pop_back();
  TransientVector v;
  for (std::string_view part : parts) v.conj(make_string(part));
  return v.persistent();
}

}  // namespace strs

namespace {

using rt::Args;
using namespace strs;

// --- case mapping: Unicode simple case mapping from the C library's UTF-8 locale, plus ß -> SS as Java has it.

locale_t utf8_locale() {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return loc;
}

template <bool Upper>
std::string map_case(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool ascii = std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) {
    for (char c : s) out += static_cast<char>(Upper ? std::toupper(static_cast<unsigned char>(c)) : std::tolower(static_cast<unsigned char>(c)));
    return out;
  }
  locale_t loc = utf8_locale();
  for (size_t i = 0; i < s.size();) {
    char32_t c = decode_utf8(s, i);
    if (Upper && c == U'ß') {
      out += "SS";
      continue;
    }
    if (loc) c = static_cast<char32_t>(Upper ? towupper_l(static_cast<wint_t>(c), loc) : towlower_l(static_cast<wint_t>(c), loc));
    append_utf8(out, c);
  }
  return out;
}

// (.toString x) of an argument: nil is a NullPointerException.
std::string text_of(const Value& v) {
  if (v.is_nil()) rt::throw_null_pointer("");
  return to_str(v);
}

Value upper_case(Args a) { return make_string(map_case<true>(text_of(a[0]))); }
Value lower_case(Args a) { return make_string(map_case<false>(text_of(a[0]))); }

Value capitalize(Args a) {
  std::string s = text_of(a[0]);
  if (s.empty()) return make_string(s);
  size_t first = 0;
  decode_utf8(s, first);
  return make_string(map_case<true>(std::string_view(s).substr(0, first)) +
                     map_case<false>(std::string_view(s).substr(first)));
}

// --- whitespace

// The byte range of s without leading (when left) and trailing (when right) whitespace.
std::string_view trim_view(std::string_view s, bool left, bool right) {
  size_t b = 0, e = s.size();
  if (left) {
    while (b < e) {
      size_t i = b;
      if (!java_whitespace(decode_utf8(s, i))) break;
      b = i;
    }
  }
  if (right) {
    while (e > b) {
      size_t start = e - 1;
      while (start > b && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
      size_t i = start;
      if (!java_whitespace(decode_utf8(s, i))) break;
      e = start;
    }
  }
  return s.substr(b, e - b);
}

Value trimmed(const Value& v, bool left, bool right) {
  std::string_view s = string_arg(v);
  std::string_view t = trim_view(s, left, right);
  return t.size() == s.size() ? v : make_string(t);
}

Value trim(Args a) { return trimmed(a[0], true, true); }
Value triml(Args a) { return trimmed(a[0], true, false); }
Value trimr(Args a) { return trimmed(a[0], false, true); }

Value trim_newline(Args a) {
  std::string_view s = string_arg(a[0]);
  size_t e = s.size();
  while (e > 0 && (s[e - 1] == '\n' || s[e - 1] == '\r')) --e;
  return e == s.size() ? a[0] : make_string(s.substr(0, e));
}

Value blank(Args a) {
  if (a[0].is_nil()) return TRUE_V();
  std::string_view s = string_arg(a[0]);
  return Value::boolean(trim_view(s, true, false).empty());
}

// --- searching

Value starts_with(Args a) { return Value::boolean(string_arg(a[0]).starts_with(string_arg(a[1]))); }
Value ends_with(Args a) { return Value::boolean(string_arg(a[0]).ends_with(string_arg(a[1]))); }
Value includes(Args a) { return Value::boolean(string_arg(a[0]).find(text_of(a[1])) != std::string_view::npos); }

// The text an index-of looks for: a character or a string.
std::string needle_of(const Value& v) {
  if (v.is_char()) {
    std::string s;
    append_utf8(s, v.as_char());
    return s;
  }
  return std::string(string_arg(v));
}

Value index_of(Args a) {
  std::string_view s = string_arg(a[0]);
  std::string needle = needle_of(a[1]);
  const String& str = a[0].as<String>();
  size_t from = 0;
  if (a.size() > 2) {
    int64_t f = std::max<int64_t>(0, index_arg(a[2]));
    if (f > str.count()) return NIL;
    from = str.byte_offset(f);
  }
  size_t at = s.find(needle, from);
  return at == std::string_view::npos ? NIL : Value::integer(cp_index(a[0], at));
}

Value last_index_of(Args a) {
  std::string_view s = string_arg(a[0]);
  std::string needle = needle_of(a[1]);
  const String& str = a[0].as<String>();
  size_t from = std::string_view::npos;
  if (a.size() > 2) {
    int64_t f = index_arg(a[2]);
    if (f < 0) return NIL;
    from = str.byte_offset(std::min(f, str.count()));
  }
  size_t at = s.rfind(needle, from);
  return at == std::string_view::npos ? NIL : Value::integer(cp_index(a[0], at));
}

// --- building

Value join(Args a) {
  const Value& coll = a.size() == 1 ? a[0] : a[1];
  std::string sep = a.size() == 1 ? std::string() : to_str(a[0]);
  std::string out;
  bool first = true;
  size_t n = 0;
  seqs::each_of(coll, [&](const Value& x) {
    if (!first) out += sep;
    first = false;
    append_str(out, x);
    if ((++n & 4095) == 0) rt::safe_point();
    return true;
  });
  return make_string(out);
}

Value escape(Args a) {
  std::string_view s = string_arg(a[0]);
  const Value& cmap = a[1];
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    char32_t c = decode_utf8(s, i);
    Value r = rt::call(cmap, {Value::character(c)});
    if (r.is_nil()) append_utf8(out, c);
    else append_str(out, r);
  }
  return make_string(out);
}

Value reverse(Args a) {
  std::u32string t = to_u32(string_arg(a[0]));
  std::reverse(t.begin(), t.end());
  return make_string(std::u32string_view(t));
}

Value re_quote_replacement(Args a) {
  std::string_view s = string_arg(a[0]);
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '$') out += '\\';
    out += c;
  }
  return make_string(out);
}

// --- replace

// Every (or the first) literal occurrence of `from` replaced by `to`.
Value replace_literal(const Value& sv, std::string_view from, std::string_view to, bool all) {
  std::string_view s = str_view(sv);
  std::string out;
  size_t at = 0, hit;
  bool any = false;
  while ((hit = s.find(from, at)) != std::string_view::npos) {
    out.append(s.substr(at, hit - at));
    out += to;
    at = hit + from.size();
    any = true;
    if (!all) break;
    if (from.empty()) {  // "" matches between every character, as Java's String.replace has it
      if (at >= s.size()) {
        at = s.size();
        break;
      }
      size_t next = at;
      decode_utf8(s, next);
      out.append(s.substr(at, next - at));
      at = next;
      if (at == s.size()) {
        out += to;
        break;
      }
    }
  }
  if (!any) return sv;
  out.append(s.substr(std::min(at, s.size())));
  return make_string(out);
}

Value replace_any(Args a, bool all) {
  const Value& s = a[0];
  string_arg(s);
  const Value& match = a[1];
  const Value& rep = a[2];
  if (match.is_char() && rep.is_char()) {
    std::string from, to;
    append_utf8(from, match.as_char());
    append_utf8(to, rep.as_char());
    return replace_literal(s, from, to, all);
  }
  if (match.is(Kind::String) && rep.is(Kind::String)) return replace_literal(s, str_view(match), str_view(rep), all);
  if (is_pattern(match)) return replace_pattern(s, match, rep, all);
  rt::throw_illegal_argument("Invalid match arg: " + pr_str(match));
}

Value replace(Args a) { return replace_any(a, true); }
Value replace_first(Args a) { return replace_any(a, false); }

// --- split

Value split(Args a) {
  string_arg(a[0]);
  if (!is_pattern(a[1])) cannot_cast(a[1], "java.util.regex.Pattern");
  return split_by(a[0], a[1], a.size() > 2 ? index_arg(a[2]) : 0);
}

Value split_lines(Args a) {
  string_arg(a[0]);
  static const Value lines = make_pattern("\\r?\\n");
  return split_by(a[0], lines, 0);
}

}  // namespace

void install_clojure_string() {
  rt::Namespace* ns = rt::create_ns("clojure.string");
  ns->set_meta(make_map({keyword("doc"), make_string("Clojure String utilities")}));
  defn(ns, "upper-case", 1, 1, upper_case, {"([s])", "Converts string to all upper-case."});
  defn(ns, "lower-case", 1, 1, lower_case, {"([s])", "Converts string to all lower-case."});
  defn(ns, "capitalize", 1, 1, capitalize,
       {"([s])", "Converts first character of the string to upper-case, all other\n  characters to lower-case."});
  defn(ns, "trim", 1, 1, trim, {"([s])", "Removes whitespace from both ends of string."});
  defn(ns, "triml", 1, 1, triml, {"([s])", "Removes whitespace from the left side of string."});
  defn(ns, "trimr", 1, 1, trimr, {"([s])", "Removes whitespace from the right side of string."});
  defn(ns, "trim-newline", 1, 1, trim_newline,
       {"([s])", "Removes all trailing newline \\n or return \\r characters from\n  string.  Similar to Perl's chomp."});
  defn(ns, "blank?", 1, 1, blank, {"([s])", "True if s is nil, empty, or contains only whitespace."});
  defn(ns, "starts-with?", 2, 2, starts_with, {"([s substr])", "True if s starts with substr."});
  defn(ns, "ends-with?", 2, 2, ends_with, {"([s substr])", "True if s ends with substr."});
  defn(ns, "includes?", 2, 2, includes, {"([s substr])", "True if s includes substr."});
  defn(ns, "index-of", 2, 3, index_of,
       {"([s value] [s value from-index])",
        "Return index of value (string or char) in s, optionally searching\n  forward from from-index. Return nil "
        "if value not found."});
  defn(ns, "last-index-of", 2, 3, last_index_of,
       {"([s value] [s value from-index])",
        "Return last index of value (string or char) in s, optionally\n  searching backward from from-index. Return "
        "nil if value not found."});
  defn(ns, "join", 1, 2, join,
       {"([coll] [separator coll])",
        "Returns a string of all elements in coll, as returned by (seq coll),\n   separated by an optional "
        "separator."});
  defn(ns, "escape", 2, 2, escape,
       {"([s cmap])",
        "Return a new string, using cmap to escape each character ch\n   from s as follows:\n   \n   If (cmap ch) "
        "is nil, append ch to the new string.\n   If (cmap ch) is non-nil, append (str (cmap ch)) instead."});
  defn(ns, "reverse", 1, 1, reverse, {"([s])", "Returns s with its characters reversed."});
  defn(ns, "re-quote-replacement", 1, 1, re_quote_replacement,
       {"([replacement])",
        "Given a replacement string that you wish to be a literal\n   replacement for a pattern match in replace "
        "or replace-first, do the\n   necessary escaping of special characters in the replacement."});
  defn(ns, "replace", 3, 3, replace,
       {"([s match replacement])",
        "Replaces all instance of match with replacement in s.\n\n   match/replacement can be:\n\n   string / "
        "string\n   char / char\n   pattern / (string or function of match)."});
  defn(ns, "replace-first", 3, 3, replace_first,
       {"([s match replacement])",
        "Replaces the first instance of match with replacement in s.\n\n   match/replacement can be:\n\n   char / "
        "char\n   string / string\n   pattern / (string or function of match)."});
  defn(ns, "split", 2, 3, split,
       {"([s re] [s re limit])",
        "Splits string on a regular expression.  Optional argument limit is\n  the maximum number of parts. Not "
        "lazy. Returns vector of the parts.\n  Trailing empty strings are not returned - pass limit of -1 to return "
        "all."});
  defn(ns, "split-lines", 1, 1, split_lines, {"([s])", "Splits s on \\n or \\r\\n. Trailing empty lines are not returned."});
  rt::loader::mark_loaded(symbol("clojure.string"));
}

}  // namespace kelp::lib
