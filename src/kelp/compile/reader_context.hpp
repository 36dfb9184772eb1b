// The reader's view of the running system: the current namespace's aliases and mappings for ::k and syntax-quote,
// gensym numbers, and tagged literals through *data-readers*.
#pragma once

#include "kelp/read/reader.hpp"

namespace kelp::compile {

class RuntimeReaderContext final : public read::ReaderContext {
 public:
  std::string current_ns() const override;
  std::optional<std::string> resolve_alias(std::string_view alias) const override;
  Value resolve_symbol(const Value& sym) const override;
  int64_t next_id() override;
  std::optional<Value> read_tagged(const Value& tag, const Value& form) const override;
};

}  // namespace kelp::compile
