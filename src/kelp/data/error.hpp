// The error that data operations throw inside the runtime (a bad cast, an index out of range, an uncomparable
// pair). Module edges catch it and answer a value; it never crosses a thread's top or a callback.
#pragma once

#include <stdexcept>
#include <string>

namespace kelp {

class ValueError : public std::runtime_error {
 public:
  // The Java class name a Clojure programmer would catch ("java.lang.ClassCastException", ...).
  ValueError(std::string java_class, const std::string& message)
      : std::runtime_error(message), java_class_(std::move(java_class)) {}
  const std::string& java_class() const { return java_class_; }

 private:
  std::string java_class_;
};

}  // namespace kelp
