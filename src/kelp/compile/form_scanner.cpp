#include "kelp/compile/form_scanner.hpp"

#include "kelp/data/string.hpp"
#include "kelp/rt/thread.hpp"

namespace kelp::compile {

namespace {

bool is_space(int32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == '\f'; }
bool is_delimiter(int32_t c) {
  return is_space(c) || c == '(' || c == ')' || c == '[' || c == ']' || c == '{' || c == '}' || c == '"' || c == ';';
}

class Scanner {
 public:
  explicit Scanner(rt::InputReader& in) : in_(in) {}

  // The first character of the next form, skipping blanks and comments; -1 at the end.
  // The blanks and comments skipped are kept in blank_, so that the text keeps the form's own layout.
  int32_t skip_blank() {
    blank_.clear();
    for (;;) {
      int32_t c = in_.read_char();
      if (c < 0) return c;
      if (c == ';') {
        blank_ += ';';
        while ((c = in_.read_char()) >= 0 && c != '\n') append_utf8(blank_, static_cast<char32_t>(c));
        if (c < 0) return c;
        blank_ += '\n';
        continue;
      }
      if (!is_space(c)) return c;
      blank_ += static_cast<char>(c);
    }
  }

  void put(int32_t c) { append_utf8(text, static_cast<char32_t>(c)); }

  // One form starting with c; false when the input ended inside it.
  bool form(int32_t c) {
    rt::safe_point();
    switch (c) {
      case '\'': case '`': case '@': put(c); return next_form();
      case '~': {
        put(c);
        int32_t d = in_.read_char();
        if (d == '@') {
          put(d);
          return next_form();
        }
        if (d < 0) return false;
        return form_after_blank(d);
      }
      case '^': put(c); return next_form() && next_form();
      case '(': case '[': case '{': return collection(c);
      case '"': put(c); return string_body();
      case '\\': return character(c);
      case '#': return dispatch();
      default: return atom(c);
    }
  }

  std::string text;

 private:
  std::string blank_;
  bool next_form() {
    int32_t c = skip_blank();
    if (c < 0) return false;
    text += blank_;
    return form(c);
  }
  bool form_after_blank(int32_t c) {
    if (is_space(c) || c == ';') {
      in_.unread(c);
      return next_form();
    }
    return form(c);
  }
  bool collection(int32_t open) {
    put(open);
    int32_t close = open == '(' ? ')' : open == '[' ? ']' : '}';
    for (;;) {
      int32_t c = skip_blank();
      if (c < 0) return false;
      if (c == close) {
        put(c);
        return true;
      }
      if (c == ')' || c == ']' || c == '}') {  // a stray closer: the reader names the error
        put(c);
        return true;
      }
      text += blank_;
      if (!form(c)) return false;
    }
  }
  bool string_body() {
    for (;;) {
      int32_t c = in_.read_char();
      if (c < 0) return false;
      put(c);
      if (c == '\\') {
        int32_t d = in_.read_char();
        if (d < 0) return false;
        put(d);
      } else if (c == '"') {
        return true;
      }
    }
  }
  bool character(int32_t c) {
    put(c);
    int32_t d = in_.read_char();
    if (d < 0) return false;
    put(d);
    return atom_rest();
  }
  bool atom(int32_t c) {
    put(c);
    return atom_rest();
  }
  bool atom_rest() {
    for (;;) {
      int32_t c = in_.read_char();
      if (c < 0) return true;
      if (is_delimiter(c)) {
        in_.unread(c);
        return true;
      }
      put(c);
    }
  }
  bool dispatch() {
    put('#');
    int32_t c = in_.read_char();
    if (c < 0) return false;
    switch (c) {
      case '{': case '(': return collection(c);
      case '"': put(c); return string_body();
      case '\'': put(c); return next_form();
      case '_': put(c); return next_form() && next_form();
      case '#': put(c); return atom_rest();
      case '?': {
        put(c);
        int32_t d = in_.read_char();
        if (d == '@') {
          put(d);
          return next_form();
        }
        if (d < 0) return false;
        return form_after_blank(d);
      }
      case ':': put(c); return atom_rest() && next_form();  // #:ns{...}
      case '^': put(c); return next_form() && next_form();
      default:  // #tag form
        put(c);
        return atom_rest() && next_form();
    }
  }

  rt::InputReader& in_;
};

}  // namespace

std::string scan_form(rt::InputReader& in) {
  Scanner s(in);
  int32_t c = s.skip_blank();
  if (c < 0) return {};
  s.form(c);
  return std::move(s.text);
}

}  // namespace kelp::compile
