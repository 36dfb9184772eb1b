// What a result line in the console offers. A kept value has a kind decided where the code ran ("var", "ns",
// "exception" or "value"); each kind offers a fixed list of verbs, and each verb command checks it is offered
// before acting. Everything here is pure.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kelp/data/value.hpp"
#include "orrery/text.hpp"

namespace orrery::results {

enum class Verb { Inspect, Copy, Define, Jump, Doc, OpenLocation };

// "inspect", "copy", "define", "jump", "doc", "open-location".
std::string_view verb_name(Verb v);

// The verbs a value of that kind offers, in menu order.
std::span<const Verb> verbs(std::string_view kind);
bool is_offered(std::string_view kind, Verb verb);
// The menu label of a verb.
std::string_view label(Verb verb);

// Text to put on the console's input line, with the caret (in code points) where typing goes on.
struct EditInput {
  std::string text;
  Offset caret = 0;
  bool operator==(const EditInput&) const = default;
};

// "(def  (orrery.results-rt/value! EPOCH ID))" with the caret in the gap for the name, for a ref {:id :epoch}.
// Nothing for a ref without an :id. The value expression throws once the value has left its ring, so a gone
// value never silently becomes the var's value.
std::optional<EditInput> define_input(const kelp::Value& ref);

// The qualified name a var's result line ("=> #'user/f") shows; nothing for any other line.
std::optional<std::string> var_name(std::string_view line);

// A quick-doc text as console lines: each line after "; ", a blank line as a bare ";", ending in a newline.
std::string doc_console_text(std::string_view doc);

// A result line's value text: without the leading "=> " and the trailing newline.
std::string copy_text(std::string_view line);

}  // namespace orrery::results
