#include "kelp/data/string.hpp"

#include <cstring>

#include "kelp/data/error.hpp"
#include "kelp/data/hash.hpp"
#include "kelp/data/list.hpp"

namespace kelp {

// --- UTF-8

void append_utf8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

namespace {

// Length of the valid sequence starting at bytes[i], or 0 when it is invalid.
size_t valid_sequence_length(std::string_view bytes, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  unsigned char c = b(i);
  if (c < 0x80) return 1;
  size_t n = bytes.size() - i;
  auto cont = [&](size_t k) { return (b(i + k) & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return n >= 2 && cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (n < 3 || !cont(1) || !cont(2)) return 0;
    unsigned char c1 = b(i + 1);
    if (c == 0xE0 && c1 < 0xA0) return 0;   // overlong
    if (c == 0xED && c1 >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (n < 4 || !cont(1) || !cont(2) || !cont(3)) return 0;
    unsigned char c1 = b(i + 1);
    if (c == 0xF0 && c1 < 0x90) return 0;  // overlong
    if (c == 0xF4 && c1 >= 0x90) return 0;  // beyond U+10FFFF
    return 4;
  }
  return 0;
}

}  // namespace

char32_t decode_utf8(std::string_view bytes, size_t& i) {
  size_t len = valid_sequence_length(bytes, i);
  auto b = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(bytes[i + k])); };
  char32_t c;
  switch (len) {
    case 1: c = b(0); break;
    case 2: c = ((b(0) & 0x1F) << 6) | (b(1) & 0x3F); break;
    case 3: c = ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F); break;
    case 4: c = ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F); break;
    default: ++i; return 0xFFFD;
  }
  i += len;
  return c;
}

bool valid_utf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    size_t len = valid_sequence_length(bytes, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string sanitize_utf8(std::string_view bytes) {
  if (valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) append_utf8(out, decode_utf8(bytes, i));
  return out;
}

std::u32string to_u32(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) out.push_back(decode_utf8(utf8, i));
  return out;
}

void append_utf16(std::u16string& out, std::string_view utf8) {
  for (size_t i = 0; i < utf8.size();) {
    char32_t c = decode_utf8(utf8, i);
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
}

std::string to_utf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) append_utf8(out, c);
  return out;
}

int32_t java_string_hash(std::string_view utf8) {
  uint32_t h = 0;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c0 = static_cast<unsigned char>(utf8[i]);
    if (c0 < 0x80) {
      h = 31 * h + c0;
      ++i;
      continue;
    }
    char32_t c = decode_utf8(utf8, i);
    if (c >= 0x10000) {
      c -= 0x10000;
      h = 31 * h + (0xD800 + (c >> 10));
      h = 31 * h + (0xDC00 + (c & 0x3FF));
    } else {
      h = 31 * h + c;
    }
  }
  return static_cast<int32_t>(h);
}

// --- String

String::String(std::string utf8) : Object(Kind::String, 0), utf8_(std::move(utf8)) {
  ascii_ = true;
  for (unsigned char c : utf8_) {
    if (c >= 0x80) { ascii_ = false; break; }
  }
  if (ascii_) {
    cp_count_ = static_cast<int64_t>(utf8_.size());
    return;
  }
  int64_t n = 0;
  for (size_t i = 0; i < utf8_.size();) {
    if (n % STRIDE == 0) marks_.push_back(static_cast<uint32_t>(i));
    decode_utf8(utf8_, i);
    ++n;
  }
  cp_count_ = n;
}

size_t String::byte_offset(int64_t index) const {
  if (ascii_) return static_cast<size_t>(index);
  if (index >= cp_count_) return utf8_.size();
  size_t i = marks_[static_cast<size_t>(index / STRIDE)];
  for (int64_t k = index % STRIDE; k > 0; --k) decode_utf8(utf8_, i);
  return i;
}

char32_t String::at(int64_t index) const {
  if (ascii_) return static_cast<unsigned char>(utf8_[static_cast<size_t>(index)]);
  size_t i = byte_offset(index);
  return decode_utf8(utf8_, i);
}

int32_t String::compute_hash() const { return murmur3::hash_int(java_string_hash(utf8_)); }

bool String::equiv_same_category(const Object& other) const {
  return utf8_ == static_cast<const String&>(other).utf8_;
}

Value String::seq() const {
  if (cp_count_ == 0) return NIL;
  std::vector<Value> chars;
  chars.reserve(static_cast<size_t>(cp_count_));
  for (size_t i = 0; i < utf8_.size();) chars.push_back(Value::character(decode_utf8(utf8_, i)));
  return make_list(chars);
}

Value make_string(std::string_view utf8) { return Value::adopt(new String(sanitize_utf8(utf8))); }
Value make_string(std::u32string_view text) { return Value::adopt(new String(to_utf8(text))); }

Value substring(const Value& s, int64_t start, int64_t end) {
  const auto& str = s.as<String>();
  if (start < 0 || end > str.count() || start > end) {
    throw ValueError("java.lang.StringIndexOutOfBoundsException",
                     "begin " + std::to_string(start) + ", end " + std::to_string(end) + ", length " +
                         std::to_string(str.count()));
  }
  size_t b = str.byte_offset(start);
  size_t e = str.byte_offset(end);
  return Value::adopt(new String(std::string(str.utf8().substr(b, e - b))));
}

}  // namespace kelp
