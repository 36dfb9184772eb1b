#include "kelp/data/hash.hpp"

#include "kelp/data/string.hpp"

namespace kelp::murmur3 {
namespace {

constexpr uint32_t C1 = 0xcc9e2d51u;
constexpr uint32_t C2 = 0x1b873593u;

uint32_t rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

uint32_t mix_k1(uint32_t k1) {
  k1 *= C1;
  k1 = rotl(k1, 15);
  return k1 * C2;
}

uint32_t mix_h1(uint32_t h1, uint32_t k1) {
  h1 ^= k1;
  h1 = rotl(h1, 13);
  return h1 * 5 + 0xe6546b64u;
}

int32_t fmix(uint32_t h1, uint32_t length) {
  h1 ^= length;
  h1 ^= h1 >> 16;
  h1 *= 0x85ebca6bu;
  h1 ^= h1 >> 13;
  h1 *= 0xc2b2ae35u;
  h1 ^= h1 >> 16;
  return static_cast<int32_t>(h1);
}

}  // namespace

int32_t hash_int(int32_t input) {
  if (input == 0) return 0;
  return fmix(mix_h1(0, mix_k1(static_cast<uint32_t>(input))), 4);
}

int32_t hash_long(int64_t input) {
  if (input == 0) return 0;
  auto u = static_cast<uint64_t>(input);
  uint32_t h1 = mix_h1(0, mix_k1(static_cast<uint32_t>(u)));
  h1 = mix_h1(h1, mix_k1(static_cast<uint32_t>(u >> 32)));
  return fmix(h1, 8);
}

int32_t hash_unencoded_chars(std::u16string_view chars) {
  uint32_t h1 = 0;
  size_t n = chars.size();
  for (size_t i = 1; i < n; i += 2) {
    uint32_t k1 = static_cast<uint32_t>(chars[i - 1]) | (static_cast<uint32_t>(chars[i]) << 16);
    h1 = mix_h1(h1, mix_k1(k1));
  }
  if (n & 1) h1 ^= mix_k1(chars[n - 1]);
  return fmix(h1, static_cast<uint32_t>(2 * n));
}

int32_t hash_unencoded_chars_utf8(std::string_view utf8) {
  std::u16string units;
  units.reserve(utf8.size());
  append_utf16(units, utf8);
  return hash_unencoded_chars(units);
}

int32_t mix_coll_hash(int32_t hash, int32_t count) {
  return fmix(mix_h1(0, mix_k1(static_cast<uint32_t>(hash))), static_cast<uint32_t>(count));
}

int32_t hash_combine(int32_t seed, int32_t hash) {
  uint32_t s = static_cast<uint32_t>(seed);
  uint32_t mixed = static_cast<uint32_t>(hash) + 0x9e3779b9u + (s << 6) + static_cast<uint32_t>(seed >> 2);
  return static_cast<int32_t>(s ^ mixed);
}

}  // namespace kelp::murmur3
