// Strings: UTF-8 inside, indexed by Unicode code point everywhere.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"

namespace kelp {

class String final : public Object {
 public:
  explicit String(std::string utf8);
  std::string_view utf8() const { return utf8_; }
  const std::string& str() const { return utf8_; }
  // Length in code points.
  int64_t count() const override { return cp_count_; }
  bool ascii() const { return ascii_; }
  // The code point at index i (0 <= i < count()).
  char32_t at(int64_t i) const;
  // Byte offset of code point index i (0 <= i <= count()).
  size_t byte_offset(int64_t i) const;
  int32_t compute_hash() const override;
  bool equiv_same_category(const Object& other) const override;
  Value seq() const override;
  std::string_view type_name() const override { return "java.lang.String"; }

 private:
  std::string utf8_;
  int64_t cp_count_;
  bool ascii_;
  // For non-ASCII text: the byte offset of every STRIDE-th code point, so indexing is near constant time.
  static constexpr int64_t STRIDE = 64;
  std::vector<uint32_t> marks_;
};

// A string value from UTF-8 text; invalid UTF-8 sequences become U+FFFD.
Value make_string(std::string_view utf8);
Value make_string(std::u32string_view text);
// The UTF-8 text of a string value (the value must be a string).
inline std::string_view str_view(const Value& v) { return v.as<String>().utf8(); }
// A substring by code-point indices [start, end).
Value substring(const Value& s, int64_t start, int64_t end);

// UTF-8 helpers.
void append_utf8(std::string& out, char32_t c);
// Decodes one code point at bytes[i], advancing i; an invalid sequence gives U+FFFD and advances one byte.
char32_t decode_utf8(std::string_view bytes, size_t& i);
bool valid_utf8(std::string_view bytes);
// Valid UTF-8 with every invalid sequence replaced by U+FFFD.
std::string sanitize_utf8(std::string_view bytes);
std::u32string to_u32(std::string_view utf8);
// The UTF-16 code units of UTF-8 text (astral characters as surrogate pairs), appended to out: what Java's
// string hashing and ordering work on.
void append_utf16(std::u16string& out, std::string_view utf8);
std::string to_utf8(std::u32string_view text);

// Java's String.hashCode over the UTF-16 code units of the text.
int32_t java_string_hash(std::string_view utf8);

}  // namespace kelp
