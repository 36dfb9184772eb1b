// Bencode, the encoding of nREPL messages: byte strings, integers, lists and dictionaries, to and from our values.
// Pure: no state beyond the byte source being read.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "kelp/data/value.hpp"

namespace kelp::nrepl {

// The largest byte string the decoder accepts: a bad length prefix must never drive an unbounded allocation.
inline constexpr int64_t MAX_BYTES = int64_t{64} << 20;
// Lists and dictionaries nested deeper than this are refused rather than recursed into.
inline constexpr int MAX_DEPTH = 256;

class BencodeError : public std::runtime_error {
 public:
  BencodeError(const std::string& message, bool truncated = false)
      : std::runtime_error(message), truncated_(truncated) {}
  // The input ended inside a value (the peer went away mid-message).
  bool truncated() const { return truncated_; }

 private:
  bool truncated_;
};

// Strings (UTF-8), keywords and symbols (their full name) as byte strings; integers; vectors, lists and seqs as
// lists; maps as dictionaries with keys sorted by their string form and nil-valued entries left out. Anything else
// throws BencodeError "bencode: can't encode " + the value printed; a key that is not a string, keyword or symbol
// throws "bencode: unsupported key " + the key printed.
std::string encode(const kelp::Value& v);

// Bytes to decode, one at a time: next() answers 0..255, or -1 at the end of input.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual int next() = 0;
};

// Over text held in memory.
class StringSource final : public ByteSource {
 public:
  explicit StringSource(std::string bytes) : bytes_(std::move(bytes)) {}
  int next() override { return pos_ < bytes_.size() ? static_cast<unsigned char>(bytes_[pos_++]) : -1; }

 private:
  std::string bytes_;
  size_t pos_ = 0;
};

// Over a file descriptor (a socket), through a 64 KiB buffer so a message costs a few reads. A read error reads as
// the end of input. quickack re-arms TCP_QUICKACK after each read: a peer that leaves Nagle on (a JVM nREPL server)
// would otherwise wait for our delayed ACK before sending the rest of a multi-message reply.
class FdSource final : public ByteSource {
 public:
  explicit FdSource(int fd, bool quickack = false) : fd_(fd), quickack_(quickack), buf_(new unsigned char[BUFFER]) {}
  int next() override;

 private:
  static constexpr size_t BUFFER = 64 * 1024;
  int fd_;
  bool quickack_;
  std::unique_ptr<unsigned char[]> buf_;
  size_t pos_ = 0, end_ = 0;
};

// The next value: strings (invalid UTF-8 replaced), integers, vectors, maps with string keys in the order read.
// nullopt when the input ends before a value starts; BencodeError for anything malformed, or input that ends inside
// a value (truncated()).
std::optional<kelp::Value> decode(ByteSource& in);
// The same, with the value's first byte already taken from the source.
kelp::Value read_from(ByteSource& in, int first);

}  // namespace kelp::nrepl
