// main() of orrery-bin.
#include <cstdio>
#include <exception>
#include <string>

#include "orrery/main.hpp"
#include "orrery/session.hpp"
#include "orrery/shutdown.hpp"

int main(int argc, char** argv) {
  // Before any thread exists, so every thread inherits the blocked termination signals and only the signal thread
  // ever takes them.
  orrery::block_termination_signals();
  orrery::start_signal_thread();
  int status = 1;
  try {
    orrery::session::register_in_process();  // the runtime a selection of :in-process gets
    auto flags = orrery::plugin_flags(orrery::Args(argv + 1, argv + argc));
    status = orrery::run_main(flags.args, flags.plugins);
  } catch (const std::exception& e) {
    std::string line = std::string("orrery: ") + e.what() + "\n";
    std::fputs(line.c_str(), stderr);
  } catch (...) {
    std::fputs("orrery: an unknown error ended the program.\n", stderr);
  }
  orrery::shut_down_and_exit(status);
}
