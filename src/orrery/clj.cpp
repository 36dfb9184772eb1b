#include "orrery/clj.hpp"

namespace orrery::clj {

std::string not_running(const std::filesystem::path& dir) {
  return "; No nREPL server here. Start one in " + dir.string() +
         " with clojure -M:serve (clojure-cli.repl), or any nREPL server that writes .nrepl-port.";
}

std::string refused(std::string_view port) {
  return "; .nrepl-port says port " + std::string(port) + ", but nothing answers there. The server may have stopped.";
}

std::string not_server(std::string_view port) {
  return "; Port " + std::string(port) + " isn't an nREPL server Orrery can use.";
}

std::string connecting(std::string_view port) {
  return "; Connecting to the nREPL server on port " + std::string(port) + "...";
}

std::string not_loaded(std::string_view ns) {
  return "; " + std::string(ns) + " isn't loaded in the server yet. Run the file first.";
}

std::string docs_not_loaded(std::string_view ns) { return "No docs: " + std::string(ns) + " isn't loaded yet."; }

std::string eof_unsupported(int major, int minor) {
  return "; This server runs nREPL " + std::to_string(major) + "." + std::to_string(minor) +
         ", which can't close stdin. EOF needs nREPL 1.8 or later, so the read keeps waiting for a line.";
}

std::vector<std::string> limitations() {
  return {"Orrery attaches to a server you started: it never starts or stops the JVM.",
          "Reset on Run isn't available: this is your own JVM, so Orrery doesn't unload namespaces in it.",
          "Stdin closes only on nREPL 1.8.0 or later: on older servers a read waits for a line.",
          "Output printed from other threads after an evaluation finishes isn't shown."};
}

nrepl::ConnectPolicy connect_policy(const dialect::Selection& selection) {
  nrepl::ConnectPolicy p;
  p.messages.no_project = std::string(NO_PROJECT);
  p.messages.not_running = not_running;
  p.messages.bad_port_file = std::string(BAD_PORT_FILE);
  p.messages.refused = [](const std::string& w) { return refused(w); };
  p.messages.not_server = [](const std::string& w) { return not_server(w); };
  p.messages.connecting = [](const std::string& w) { return connecting(w); };
  p.project_dir = selection.project_dir;
  p.port_file = nrepl::default_port_file(selection);
  p.where = [](const std::string&, int port) { return std::to_string(port); };
  return p;
}

}  // namespace orrery::clj
