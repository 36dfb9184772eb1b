// Clojure's Murmur3-based hashing (clojure.lang.Murmur3), bit for bit, so hash-ordered collections iterate and
// print in the order JVM Clojure gives them.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelp::murmur3 {

int32_t hash_int(int32_t input);
int32_t hash_long(int64_t input);
// Over UTF-16 code units, as Murmur3.hashUnencodedChars.
int32_t hash_unencoded_chars(std::u16string_view chars);
int32_t hash_unencoded_chars_utf8(std::string_view utf8);
int32_t mix_coll_hash(int32_t hash, int32_t count);

// Incremental forms of hashOrdered / hashUnordered.
struct Ordered {
  int32_t h = 1;
  int32_t n = 0;
  void add(int32_t element_hash) { h = static_cast<int32_t>(31u * static_cast<uint32_t>(h) + static_cast<uint32_t>(element_hash)); ++n; }
  int32_t finish() const { return mix_coll_hash(h, n); }
};
struct Unordered {
  int32_t h = 0;
  int32_t n = 0;
  void add(int32_t element_hash) { h = static_cast<int32_t>(static_cast<uint32_t>(h) + static_cast<uint32_t>(element_hash)); ++n; }
  int32_t finish() const { return mix_coll_hash(h, n); }
};

// Util.hashCombine.
int32_t hash_combine(int32_t seed, int32_t hash);

}  // namespace kelp::murmur3
