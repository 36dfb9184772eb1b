// Reads arbitrary bytes as Clojure source with every reader feature on. Any input must end in forms or a
// ReadError: never a crash, a hang or another exception. Forms read are printed, to walk everything built.
#include <cstdint>
#include <string_view>

#include "kelp/print/printer.hpp"
#include "kelp/read/reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  kelp::read::ReadOptions options;
  options.file = "fuzz.clj";
  try {
    kelp::read::Reader reader(text, options);
    while (std::optional<kelp::Value> form = reader.next()) kelp::pr_str(*form, kelp::PrintOptions{8, 8});
  } catch (const kelp::read::ReadError&) {
  }
  return 0;
}
