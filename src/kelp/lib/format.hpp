// Java's String.format (java.util.Formatter) over kelp values: what format and printf answer.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "kelp/data/value.hpp"

namespace kelp::lib {

// Formats the arguments by the directives of `pattern` (%s %d %x %o %f %e %g %b %c %h %n %%, with argument
// indexes n$ and <, flags - # + space 0 , ( , width and precision). Throws the runtime's exceptions with the JVM's
// classes and messages: IllegalFormatConversionException "d != java.lang.String", MissingFormatArgumentException
// "Format specifier '%s'", UnknownFormatConversionException "Conversion = 'q'".
std::string format_java(std::string_view pattern, std::span<const Value> args);

}  // namespace kelp::lib
