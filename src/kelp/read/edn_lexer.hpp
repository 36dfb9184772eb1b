// Character classes and token boundaries of EDN text, shared by the reader and the key editor so both agree
// on where every form begins and ends. The text is valid UTF-8 by the time these run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kelp::edn {

// ASCII classes. Non-ASCII bytes are constituents unless they start one of Java's whitespace code points.
enum CharClass : uint8_t {
  C_CONST = 0,   // token constituent
  C_WS = 1,      // whitespace or comma
  C_MACRO = 2,   // ends any token: " ; ^ ( ) [ ] { } backslash
  C_HASH = 3,    // # ends a number but not a symbol
};

struct ClassTable {
  uint8_t c[256];
  constexpr ClassTable() : c{} {
    for (int i = 0; i < 256; ++i) c[i] = C_CONST;
    for (unsigned char w : {' ', '\t', '\n', '\v', '\f', '\r', ',', '\x1c', '\x1d', '\x1e', '\x1f'}) c[w] = C_WS;
    for (unsigned char m : {'"', ';', '^', '(', ')', '[', ']', '{', '}', '\\'}) c[m] = C_MACRO;
    c[static_cast<unsigned char>('#')] = C_HASH;
  }
};
inline constexpr ClassTable CLASSES{};

inline uint8_t ascii_class(unsigned char b) { return CLASSES.c[b]; }

// Java's Character.isWhitespace beyond ASCII: the space separators except the non-breaking ones, and the line
// and paragraph separators.
inline bool unicode_space(char32_t c) {
  return c == 0x1680 || (c >= 0x2000 && c <= 0x200A && c != 0x2007) || c == 0x2028 || c == 0x2029 || c == 0x205F ||
         c == 0x3000;
}

// Decodes the (valid) UTF-8 sequence at text[i] without advancing.
inline char32_t peek_cp(std::string_view t, size_t i, size_t* len) {
  auto b = static_cast<unsigned char>(t[i]);
  if (b < 0x80) { *len = 1; return b; }
  auto cont = [&](size_t k) -> char32_t { return i + k < t.size() ? (static_cast<unsigned char>(t[i + k]) & 0x3F) : 0; };
  if (b < 0xE0) { *len = 2; return (char32_t(b & 0x1F) << 6) | cont(1); }
  if (b < 0xF0) { *len = 3; return (char32_t(b & 0x0F) << 12) | (cont(1) << 6) | cont(2); }
  *len = 4;
  return (char32_t(b & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
}

// Whether a whitespace code point (or comma) starts at text[i]; *len is its length in bytes.
inline bool whitespace_at(std::string_view t, size_t i, size_t* len) {
  auto b = static_cast<unsigned char>(t[i]);
  if (b < 0x80) { *len = 1; return ascii_class(b) == C_WS; }
  char32_t c = peek_cp(t, i, len);
  return (b == 0xE1 || b == 0xE2 || b == 0xE3) && unicode_space(c);
}

// The end of a token starting at `start`: the first whitespace or terminating macro. A number also ends at '#'.
inline size_t token_end(std::string_view t, size_t start, bool number) {
  size_t i = start;
  while (i < t.size()) {
    auto b = static_cast<unsigned char>(t[i]);
    if (b < 0x80) {
      uint8_t k = ascii_class(b);
      if (k == C_WS || k == C_MACRO || (number && k == C_HASH)) return i;
      ++i;
    } else {
      size_t len;
      if (whitespace_at(t, i, &len)) return i;
      i += len;
    }
  }
  return i;
}

// The end of whitespace, commas and comments starting at i.
inline size_t skip_trivia(std::string_view t, size_t i) {
  while (i < t.size()) {
    size_t len;
    if (t[i] == ';') {
      while (i < t.size() && t[i] != '\n' && t[i] != '\r') ++i;
    } else if (whitespace_at(t, i, &len)) {
      i += len;
    } else {
      return i;
    }
  }
  return i;
}

// The end of a string literal whose opening quote is at `start`, or npos when it is never closed.
inline size_t string_end(std::string_view t, size_t start) {
  for (size_t i = start + 1; i < t.size(); ++i) {
    if (t[i] == '\\') ++i;
    else if (t[i] == '"') return i + 1;
  }
  return std::string_view::npos;
}

// The end of a character literal whose backslash is at `start`: one code point, whatever it is, then the rest
// of the token.
inline size_t char_end(std::string_view t, size_t start) {
  if (start + 1 >= t.size()) return t.size();
  size_t len;
  peek_cp(t, start + 1, &len);
  return token_end(t, start + 1 + len, false);
}

inline bool ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Whether a form starting with c at i is a number (a digit, or a sign before a digit).
inline bool number_start(std::string_view t, size_t i) {
  if (ascii_digit(t[i])) return true;
  return (t[i] == '+' || t[i] == '-') && i + 1 < t.size() && ascii_digit(t[i + 1]);
}

}  // namespace kelp::edn
