// Decodes arbitrary bytes as bencode, as a connection's reader does with whatever a peer sends. Every message that
// decodes must encode to bytes that decode to an equal message; nothing may crash, hang or allocate without bound.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kelp/data/value.hpp"
#include "kelp/nrepl/bencode.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kelp::nrepl::StringSource in(std::string(reinterpret_cast<const char*>(data), size));
  for (int messages = 0; messages < 64; ++messages) {
    std::optional<kelp::Value> v;
    try {
      v = kelp::nrepl::decode(in);
    } catch (const kelp::nrepl::BencodeError&) {
      return 0;
    }
    if (!v) return 0;
    std::string bytes = kelp::nrepl::encode(*v);
    kelp::nrepl::StringSource again(bytes);
    std::optional<kelp::Value> back = kelp::nrepl::decode(again);
    if (!back || !kelp::equiv(*v, *back)) abort();
  }
  return 0;
}
