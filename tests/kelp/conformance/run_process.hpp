// Runs a command through the shell and collects what it printed, for the tests that drive the kelp tool and JVM
// Clojure as whole processes.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace kelp::testing {

struct ProcessResult {
  int status = -1;  // the exit status; 128+N when killed by signal N
  std::string out;
  std::string err;
};

// Single-quotes text for the shell.
inline std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs `command` (a shell command line) in folder dir with stdin_text as its standard input.
inline ProcessResult run_process(const std::string& command, const std::string& dir = ".",
                                 const std::string& stdin_text = "") {
  static int serial = 0;
  std::string base = ::testing::TempDir() + "kelp_proc_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
  std::string in_path = base + ".in", err_path = base + ".err";
  std::ofstream(in_path, std::ios::binary) << stdin_text;
  std::string line = "cd " + shell_quote(dir) + " && " + command + " <" + shell_quote(in_path) + " 2>" +
                     shell_quote(err_path);
  ProcessResult r;
  if (FILE* p = popen(line.c_str(), "r")) {
    std::array<char, 65536> buf;
    for (size_t n; (n = fread(buf.data(), 1, buf.size(), p)) > 0;) r.out.append(buf.data(), n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  std::ifstream err(err_path, std::ios::binary);
  std::stringstream ss;
  ss << err.rdbuf();
  r.err = ss.str();
  std::remove(in_path.c_str());
  std::remove(err_path.c_str());
  return r;
}

}  // namespace kelp::testing
