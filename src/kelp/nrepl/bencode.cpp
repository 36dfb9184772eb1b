#include "kelp/nrepl/bencode.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/data/vector.hpp"
#include "kelp/print/printer.hpp"

namespace kelp::nrepl {

using kelp::Kind;
using kelp::Value;

namespace {

// A key's or name's text: a string's own, a keyword's or symbol's full name ("a/b").
std::optional<std::string> name_text(const Value& v) {
  if (v.is(Kind::String)) return std::string(kelp::str_view(v));
  if (kelp::is_keyword(v)) {
    const auto& k = v.as<kelp::Keyword>();
    return k.has_ns() ? std::string(k.ns()) + "/" + std::string(k.name()) : std::string(k.name());
  }
  if (kelp::is_symbol(v)) {
    const auto& s = v.as<kelp::Symbol>();
    return s.has_ns() ? std::string(s.ns()) + "/" + std::string(s.name()) : std::string(s.name());
  }
  return std::nullopt;
}

void put_string(std::string& out, std::string_view bytes) {
  out += std::to_string(bytes.size());
  out += ':';
  out += bytes;
}

void put(std::string& out, const Value& v, int depth) {
  if (depth > MAX_DEPTH) throw BencodeError("bencode: can't encode a value nested deeper than " +
                                            std::to_string(MAX_DEPTH) + " levels");
  if (std::optional<std::string> text = name_text(v)) return put_string(out, *text);
  if (v.is_int()) {
    out += 'i';
    out += std::to_string(v.as_int());
    out += 'e';
    return;
  }
  if (kelp::is_map(v)) {
    std::vector<std::pair<std::string, Value>> entries;
    v.obj()->each_entry([&](const Value& k, const Value& val) {
      std::optional<std::string> key = name_text(k);
      if (!key) throw BencodeError("bencode: unsupported key " + kelp::pr_str(k));
      if (!val.is_nil()) entries.emplace_back(std::move(*key), val);
      return true;
    });
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out += 'd';
    for (const auto& [key, val] : entries) {
      put_string(out, key);
      put(out, val, depth + 1);
    }
    out += 'e';
    return;
  }
  if (v.has(kelp::SEQUENTIAL)) {
    out += 'l';
    v.obj()->each([&](const Value& x) {
      put(out, x, depth + 1);
      return true;
    });
    out += 'e';
    return;
  }
  throw BencodeError("bencode: can't encode " + kelp::pr_str(v));
}

int take(ByteSource& in) {
  int b = in.next();
  if (b < 0) throw BencodeError("bencode: input ended inside a value", true);
  return b;
}

// Digits (a minus first at most) up to the terminator; first is the first byte, already taken.
int64_t read_number(ByteSource& in, int first, char terminator) {
  std::string digits;
  for (int b = first; b != terminator; b = take(in)) {
    bool minus_first = b == '-' && digits.empty();
    if (!minus_first && (b < '0' || b > '9'))
      throw BencodeError("bencode: unexpected byte " + std::to_string(b) + " in a number");
    if (digits.size() > 20) throw BencodeError("bencode: malformed integer");  // longer than any 64-bit number
    digits += static_cast<char>(b);
  }
  if (digits.empty() || digits == "-") throw BencodeError("bencode: malformed integer");
  errno = 0;
  char* end = nullptr;
  long long n = std::strtoll(digits.c_str(), &end, 10);
  if (errno == ERANGE || *end != '\0') throw BencodeError("bencode: malformed integer");
  return n;
}

Value read_value(ByteSource& in, int first, int depth) {
  if (depth > MAX_DEPTH) throw BencodeError("bencode: nested deeper than " + std::to_string(MAX_DEPTH) + " levels");
  switch (first) {
    case 'd': {
      std::vector<Value> kvs;
      for (int b = take(in); b != 'e'; b = take(in)) {
        // Keys are byte strings; a peer that sends anything else is not speaking bencode.
        if (b < '0' || b > '9') throw BencodeError("bencode: a dictionary key must be a byte string");
        Value key = read_value(in, b, depth + 1);
        Value val = read_value(in, take(in), depth + 1);
        kvs.push_back(std::move(key));
        kvs.push_back(std::move(val));
      }
      return kelp::make_map(kvs);
    }
    case 'l': {
      std::vector<Value> items;
      for (int b = take(in); b != 'e'; b = take(in)) items.push_back(read_value(in, b, depth + 1));
      return kelp::make_vector(items);
    }
    case 'i':
      return Value::integer(read_number(in, take(in), 'e'));
    default: {
      int64_t n = read_number(in, first, ':');
      if (n < 0 || n > MAX_BYTES) throw BencodeError("bencode: string length out of range");
      std::string bytes;
      bytes.reserve(static_cast<size_t>(std::min<int64_t>(n, 1 << 16)));  // grows with what really arrives
      for (int64_t i = 0; i < n; ++i) bytes += static_cast<char>(take(in));
      return kelp::make_string(bytes);  // invalid UTF-8 becomes U+FFFD
    }
  }
}

}  // namespace

std::string encode(const Value& v) {
  std::string out;
  put(out, v, 0);
  return out;
}

int FdSource::next() {
  if (pos_ == end_) {
    ssize_t n;
    do n = ::read(fd_, buf_.get(), BUFFER);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return -1;
#ifdef TCP_QUICKACK
    if (quickack_) {
      int on = 1;
      ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
#endif
    pos_ = 0;
    end_ = static_cast<size_t>(n);
  }
  return buf_[pos_++];
}

std::optional<Value> decode(ByteSource& in) {
  int first = in.next();
  if (first < 0) return std::nullopt;
  return read_from(in, first);
}

Value read_from(ByteSource& in, int first) { return read_value(in, first, 0); }

}  // namespace kelp::nrepl
