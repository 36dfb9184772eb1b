// Small helpers for looking at forms during analysis.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/symbol.hpp"
#include "kelp/data/value.hpp"

namespace kelp::compile {

// The elements of a list, seq or vector form.
std::vector<Value> form_items(const Value& form);
inline bool is_plain_symbol(const Value& v) { return is_symbol(v) && !v.as<Symbol>().has_ns(); }
inline std::string_view sym_name(const Value& v) { return v.as<Symbol>().name(); }
inline std::string_view sym_ns(const Value& v) { return v.as<Symbol>().ns(); }
inline const QualifiedName* sym_qname(const Value& v) { return &v.as<Symbol>().qname(); }
// A symbol without its metadata.
Value bare_symbol(const Value& sym);
// The :line and :column of a form's metadata (0 when missing).
bool form_position(const Value& form, int* line, int* column);
// Metadata without the reader's position keys; nil when nothing else is left.
Value user_meta(const Value& form);

// Throws a plain RuntimeException-family error for a malformed form; the analyzer wraps it as a compile error.
[[noreturn]] void syntax_error(std::string_view message);
[[noreturn]] void syntax_error(std::string_view cls, std::string_view message);

}  // namespace kelp::compile
