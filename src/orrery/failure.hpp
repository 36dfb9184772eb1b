// The one-line message of an exception caught at a module's edge, whatever threw it.
#pragma once

#include <exception>
#include <string>

namespace orrery {

// A kelp exception's message (or its class and message when it has none), a C++ exception's what(), or
// "an unknown error". Never throws.
std::string failure_message(std::exception_ptr failure) noexcept;

}  // namespace orrery
