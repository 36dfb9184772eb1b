// The natives behind the libraries loaded on require (clojure.edn, clojure.java.io, clojure.java.shell, ...).
// They live in the namespace kelp.libs, which those libraries call into.
#pragma once

#include <string>

#include "kelp/rt/namespace.hpp"

namespace kelp::lib {

void install_lib_edn(rt::Namespace* ns);  // lib_edn.cpp
void install_lib_io(rt::Namespace* ns);   // lib_io.cpp
void install_lib_repl(rt::Namespace* ns); // lib_repl.cpp
void install_libs();

// A whole file's bytes, reading in steps that Stop can interrupt; a missing, unreadable or folder path throws
// FileNotFoundException (other failures IOException) naming the path, as JVM Clojure does.
std::string read_file(const std::string& path);  // lib_io.cpp                      // lib_install.cpp: all of the above into kelp.libs

}  // namespace kelp::lib
