// Takes the characters of exactly one form from a character stream, so `read` consumes no more of *in* than the
// form it answers.
#pragma once

#include <string>

#include "kelp/rt/io.hpp"

namespace kelp::compile {

// The text of the next form (prefixes such as ' ^meta #_ and #? included), or empty when the input ends before a
// form starts. Unbalanced input ends the text where the stream ends; the reader then reports it.
std::string scan_form(rt::InputReader& in);

}  // namespace kelp::compile
