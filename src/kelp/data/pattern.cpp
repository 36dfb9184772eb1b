// Regular expressions on PCRE2, taking Java's syntax.
//
// PCRE2 and java.util.regex agree on most syntax. The differences users meet are rewritten before compiling:
// \uXXXX escapes, Java's \p{Alpha}-style POSIX and java* classes, \p{IsLatin} property names, nested classes
// written as unions ([a-c[x-z]]), and inline flags PCRE2 spells differently ((?U) is Unicode classes in Java but
// ungreedy in PCRE2). Line terminators are Java's (\n, \r\n, \r, \u0085, \u2028, \u2029) for '.', '^' and '$'.
#define PCRE2_CODE_UNIT_WIDTH 8
#include "kelp/data/pattern.hpp"

#include <fmt/format.h>
#include <pcre2.h>

#include <cstring>
#include <string>

#include "kelp/data/error.hpp"
#include "kelp/data/string.hpp"

namespace kelp {

class Pattern final : public Object {
 public:
  Pattern(std::string source, pcre2_code* code) : Object(Kind::Pattern, 0), source_(std::move(source)), code_(code) {
    uint32_t n = 0;
    pcre2_pattern_info(code_, PCRE2_INFO_CAPTURECOUNT, &n);
    groups_ = n;
  }
  ~Pattern() override { pcre2_code_free(code_); }
  std::string_view type_name() const override { return "java.util.regex.Pattern"; }

  std::string source_;
  pcre2_code* code_;
  size_t groups_ = 0;
  int32_t flags_ = 0;
};

namespace {

[[noreturn]] void syntax_error(std::string_view what, size_t index, std::string_view source) {
  std::string msg = fmt::format("{} near index {}\n{}", what, index, source);
  if (index < source.size()) msg += "\n" + std::string(index, ' ') + "^";
  throw ValueError("java.util.regex.PatternSyntaxException", msg);
}

// Java's named character classes that PCRE2 lacks, as PCRE2 class contents (no brackets).
const char* java_class_body(std::string_view name) {
  struct Named {
    const char* java;
    const char* pcre;
  };
  static const Named table[] = {
      {"Lower", "[:lower:]"},         {"Upper", "[:upper:]"},       {"ASCII", "\\x00-\\x7F"},
      {"Alpha", "[:alpha:]"},         {"Digit", "0-9"},             {"Alnum", "[:alnum:]"},
      {"Punct", "[:punct:]"},         {"Graph", "[:graph:]"},       {"Print", "[:print:]"},
      {"Blank", " \\t"},              {"Cntrl", "[:cntrl:]"},       {"XDigit", "0-9a-fA-F"},
      {"Space", " \\t\\n\\x0B\\f\\r"}, {"javaLowerCase", "\\p{Ll}"}, {"javaUpperCase", "\\p{Lu}"},
      {"javaWhitespace", "\\t\\n\\x0B\\f\\r\\x1C-\\x1F\\p{Zs}\\p{Zl}\\p{Zp}"},
      {"javaLetter", "\\p{L}"},       {"javaDigit", "\\p{Nd}"},     {"javaLetterOrDigit", "\\p{L}\\p{Nd}"},
      {"javaAlphabetic", "\\p{L}\\p{Nl}"},
  };
  for (const Named& n : table)
    if (name == n.java) return n.pcre;
  return nullptr;
}

// The JVM's words for the syntax errors people make most; PCRE2's own sentence for the rest.
std::string java_wording(std::string what, std::string_view compiled, size_t offset) {
  if (what.starts_with("missing closing parenthesis")) return "Unclosed group";
  if (what.starts_with("missing terminating ] for character class")) return "Unclosed character class";
  if (what.starts_with("unmatched closing parenthesis")) return "Unmatched closing ')'";
  if (what.starts_with("quantifier does not follow a repeatable item")) {
    char c = '?';
    for (size_t at : {offset, offset - 1})
      if (at < compiled.size() && std::strchr("*+?{", compiled[at])) {
        c = compiled[at];
        break;
      }
    return fmt::format("Dangling meta character '{}'", c);
  }
  if (!what.empty()) what[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(what[0])));
  return what;
}

struct Translation {
  std::string text;
  uint32_t options = 0;
};

// Rewrites Java's syntax into PCRE2's. Unknown constructs pass through for PCRE2 to judge.
Translation translate(std::string_view src, bool comments = false) {
  Translation t;
  std::string& out = t.text;
  out.reserve(src.size() + 8);
  int class_depth = 0;  // 1 inside [...]; more inside a nested union class
  // comments, under (?x) or COMMENTS: # starts a comment running to the end of the line
  size_t i = 0;
  auto at = [&](size_t k) { return k < src.size() ? src[k] : '\0'; };
  while (i < src.size()) {
    char c = src[i];
    if (c == '\\' && i + 1 < src.size()) {
      char e = src[i + 1];
      if (e == 'Q') {  // quoted run: copy through \E untouched
        size_t end = src.find("\\E", i + 2);
        size_t stop = end == std::string_view::npos ? src.size() : end + 2;
        out.append(src.substr(i, stop - i));
        i = stop;
        continue;
      }
      if (e == 'u' && std::isxdigit(static_cast<unsigned char>(at(i + 2))) &&
          std::isxdigit(static_cast<unsigned char>(at(i + 3))) && std::isxdigit(static_cast<unsigned char>(at(i + 4))) &&
          std::isxdigit(static_cast<unsigned char>(at(i + 5)))) {
        out += "\\x{";
        out.append(src.substr(i + 2, 4));
        out += '}';
        i += 6;
        continue;
      }
      if ((e == 'p' || e == 'P') && at(i + 2) == '{') {
        size_t close = src.find('}', i + 3);
        if (close != std::string_view::npos) {
          std::string_view name = src.substr(i + 3, close - i - 3);
          bool negated = e == 'P';
          if (const char* body = java_class_body(name)) {
            std::string_view b = body;
            if (class_depth == 0) out += fmt::format("[{}{}]", negated ? "^" : "", b);
            else if (!negated) out += b;
            else if (b.starts_with("[:")) out += fmt::format("[:^{}", b.substr(2));
            else if (b.starts_with("\\p{") && b.find('\\', 1) == std::string_view::npos) out += fmt::format("\\P{}", b.substr(2));
            else syntax_error("Negated class not supported inside a character class", i, src);
            i = close + 1;
            continue;
          }
          if (name.starts_with("Is") || name.starts_with("In")) name.remove_prefix(2);
          // Java's binary properties, as the general categories PCRE2 knows.
          static const std::pair<std::string_view, std::string_view> BINARY[] = {
              {"Alphabetic", "L"}, {"Letter", "L"},      {"Digit", "Nd"},     {"Lowercase", "Ll"},
              {"Uppercase", "Lu"}, {"Punctuation", "P"}, {"Control", "Cc"},   {"Titlecase", "Lt"}};
          for (auto [java, category] : BINARY)
            if (name == java) name = category;
          out += '\\';
          out += e;
          out += '{';
          out += name;
          out += '}';
          i = close + 1;
          continue;
        }
      }
      out += c;
      out += e;
      i += 2;
      continue;
    }
    if (class_depth > 0) {
      if (c == '[' && at(i + 1) != ':') {  // a union: [a-c[x-z]] is [a-cx-z]
        ++class_depth;
        ++i;
        continue;
      }
      if (c == ']') {
        if (--class_depth > 0) {
          ++i;
          continue;
        }
      }
      out += c;
      ++i;
      continue;
    }
    if (c == '#' && comments) {
      size_t eol = src.find('\n', i);
      size_t stop = eol == std::string_view::npos ? src.size() : eol;
      out.append(src.substr(i, stop - i));
      i = stop;
      continue;
    }
    if (c == '{') {  // Java reads { only as a counted repetition
      size_t k = i + 1;
      while (at(k) >= '0' && at(k) <= '9') ++k;
      if (k == i + 1) syntax_error("Illegal repetition", i + 1, src);
      if (at(k) == ',')
        for (++k; at(k) >= '0' && at(k) <= '9';) ++k;
      if (at(k) != '}') syntax_error("Unclosed counted closure", std::max(k, src.size()), src);
    }
    if (c == '[') {
      class_depth = 1;
      out += c;
      ++i;
      if (at(i) == '^') out += src[i++];
      if (at(i) == ']') out += src[i++];  // a leading ] is a member
      continue;
    }
    if (c == '(' && at(i + 1) == '?') {  // inline flags: keep the ones PCRE2 reads the same way
      size_t k = i + 2;
      std::string flags;
      while (k < src.size() && std::strchr("idmsuxU-", src[k])) flags += src[k++];
      if (!flags.empty() && (at(k) == ')' || at(k) == ':')) {
        std::string kept;
        size_t minus = flags.find('-');
        if (flags.find('x') < minus) comments = true;
        else if (minus != std::string::npos && flags.find('x', minus) != std::string::npos) comments = false;
        for (char f : flags) {
          if (f == 'U') t.options |= PCRE2_UCP;
          else if (f != 'u' && f != 'd') kept += f;
        }
        if (kept.empty() || kept == "-") {
          out += at(k) == ':' ? "(?:" : "";
        } else {
          out += "(?" + kept + at(k);
        }
        i = k + 1;
        continue;
      }
    }
    out += c;
    ++i;
  }
  return t;
}

// Per-thread match data, grown to the largest group count seen.
struct MatchData {
  pcre2_match_data* data = nullptr;
  uint32_t pairs = 0;
  ~MatchData() {
    if (data) pcre2_match_data_free(data);
  }
  pcre2_match_data* get(uint32_t need) {
    if (need > pairs) {
      if (data) pcre2_match_data_free(data);
      pairs = std::max<uint32_t>(need, 16);
      data = pcre2_match_data_create(pairs, nullptr);
    }
    return data;
  }
};

const Pattern& as_pattern(const Value& p) { return static_cast<const Pattern&>(*p.obj()); }

bool run_match(const Value& p, std::string_view subject, size_t from, uint32_t options, RegexMatch& m) {
  const Pattern& pat = as_pattern(p);
  thread_local MatchData md;
  pcre2_match_data* data = md.get(static_cast<uint32_t>(pat.groups_ + 1));
  int rc = pcre2_match(pat.code_, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), from,
                       options | PCRE2_NO_UTF_CHECK, data, nullptr);
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  if (rc < 0) {
    PCRE2_UCHAR buf[256];
    pcre2_get_error_message(rc, buf, sizeof buf);
    throw ValueError("java.lang.IllegalStateException",
                     fmt::format("Regular expression failed: {}", reinterpret_cast<const char*>(buf)));
  }
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data);
  size_t n = 2 * (pat.groups_ + 1);
  m.offsets.assign(ov, ov + n);
  return true;
}

}  // namespace

Value make_pattern(std::string_view source) { return make_pattern(source, 0); }

Value make_pattern(std::string_view source, int32_t java_flags) {
  static constexpr std::pair<int32_t, uint32_t> FLAG_OPTIONS[] = {
      {2, PCRE2_CASELESS}, {4, PCRE2_EXTENDED}, {8, PCRE2_MULTILINE}, {16, PCRE2_LITERAL}, {32, PCRE2_DOTALL},
      {256, PCRE2_UCP}};
  // A literal pattern is taken as it is, without Java's rewriting.
  Translation t = java_flags & 16 ? Translation{std::string(source), 0} : translate(source, java_flags & 4);
  for (auto [bit, option] : FLAG_OPTIONS)
    if (java_flags & bit) t.options |= option;
  int err = 0;
  PCRE2_SIZE erroff = 0;
  pcre2_compile_context* ctx = pcre2_compile_context_create(nullptr);
  pcre2_set_newline(ctx, PCRE2_NEWLINE_ANY);
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(t.text.data()), t.text.size(),
                                   PCRE2_UTF | PCRE2_NO_UTF_CHECK | t.options, &err, &erroff, ctx);
  pcre2_compile_context_free(ctx);
  if (!code) {
    PCRE2_UCHAR buf[256];
    pcre2_get_error_message(err, buf, sizeof buf);
    std::string what = java_wording(reinterpret_cast<const char*>(buf), t.text, erroff);
    // Java points at the quantifier itself.
    if (what.starts_with("Dangling") && erroff > 0 && !std::strchr("*+?{", t.text[std::min(erroff, t.text.size() - 1)])) --erroff;
    // Java points at the last character read: the end of an open class, the character before a stray ')'.
    if ((what.starts_with("Unclosed character") || what.starts_with("Unmatched closing")) && erroff > 0) --erroff;
    syntax_error(what, std::min<size_t>(erroff, source.size()), source);
  }
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);  // optional: without JIT support, matching interprets
  auto* pattern = new Pattern(std::string(source), code);
  pattern->flags_ = java_flags;
  return Value::adopt(pattern);
}

int32_t pattern_flags(const Value& p) { return as_pattern(p).flags_; }

std::string_view pattern_source(const Value& p) { return as_pattern(p).source_; }
size_t pattern_group_count(const Value& p) { return as_pattern(p).groups_; }

bool regex_find(const Value& p, std::string_view subject, size_t from, RegexMatch& m) {
  if (from > subject.size()) return false;
  return run_match(p, subject, from, 0, m);
}

bool regex_looking_at(const Value& p, std::string_view subject, RegexMatch& m) {
  return run_match(p, subject, 0, PCRE2_ANCHORED, m);
}

bool regex_matches(const Value& p, std::string_view subject, RegexMatch& m) {
  return run_match(p, subject, 0, PCRE2_ANCHORED | PCRE2_ENDANCHORED, m);
}

size_t regex_resume(std::string_view subject, const RegexMatch& m) {
  size_t end = m.end();
  if (end != m.start() || end >= subject.size()) return end == m.start() ? end + 1 : end;
  decode_utf8(subject, end);  // step over one whole character
  return end;
}

int pattern_group_index(const Value& p, std::string_view name) {
  std::string n(name);
  int r = pcre2_substring_number_from_name(as_pattern(p).code_, reinterpret_cast<PCRE2_SPTR>(n.c_str()));
  return r < 0 ? -1 : r;
}

void append_replacement(std::string& out, const Value& p, std::string_view subject, const RegexMatch& m,
                        std::string_view rep) {
  const size_t groups = pattern_group_count(p);
  size_t i = 0;
  while (i < rep.size()) {
    char c = rep[i];
    if (c == '\\') {
      if (++i == rep.size())
        throw ValueError("java.lang.IllegalArgumentException", "character to be escaped is missing");
      out += rep[i++];
      continue;
    }
    if (c != '$') {
      out += c;
      ++i;
      continue;
    }
    if (++i == rep.size())
      throw ValueError("java.lang.IllegalArgumentException", "Illegal group reference: group index is missing");
    size_t g;
    if (rep[i] == '{') {
      size_t close = rep.find('}', i + 1);
      if (close == std::string_view::npos)
        throw ValueError("java.lang.IllegalArgumentException", "named capturing group is missing trailing '}'");
      std::string_view name = rep.substr(i + 1, close - i - 1);
      if (name.empty())
        throw ValueError("java.lang.IllegalArgumentException", "named capturing group has 0 length name");
      int idx = pattern_group_index(p, name);
      if (idx < 0) throw ValueError("java.lang.IllegalArgumentException", fmt::format("No group with name {{{}}}", name));
      g = static_cast<size_t>(idx);
      i = close + 1;
    } else {
      if (rep[i] < '0' || rep[i] > '9') throw ValueError("java.lang.IllegalArgumentException", "Illegal group reference");
      g = static_cast<size_t>(rep[i++] - '0');
      // Further digits extend the number while it still names a group.
      while (i < rep.size() && rep[i] >= '0' && rep[i] <= '9') {
        size_t longer = g * 10 + static_cast<size_t>(rep[i] - '0');
        if (longer > groups) break;
        g = longer;
        ++i;
      }
      if (g > groups) throw ValueError("java.lang.IndexOutOfBoundsException", fmt::format("No group {}", g));
    }
    if (m.matched(g)) out += m.group(subject, g);
  }
}

}  // namespace kelp
