// kelp's nREPL server: listens on the loopback address, reads bencode messages on one thread per connection, and
// answers them with replies shaped like JVM nREPL 1.0's.
//
// A plain server offers describe, clone, close, ls-sessions, eval, load-file and completions, and evaluates on the
// connection's thread. With nREPL's default middleware (ServerOptions::sessions) each session evaluates on a
// worker of its own, and interrupt, stdin and lookup are offered too.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kelp::nrepl {

struct ServerOptions {
  bool sessions = false;  // nREPL's default middleware: threaded sessions, interrupt, stdin, lookup
};

class Server {
 public:
  // Listens on 127.0.0.1:port (0: any free port). Throws the runtime's IOException "bind() failed: ..." when the
  // port cannot be had.
  static std::shared_ptr<Server> start(int port, ServerOptions opts);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  int port() const;
  // The op names describe advertises, sorted.
  std::vector<std::string> ops() const;
  // Stops listening, closes every connection and session (their running evaluations are interrupted). Safe twice.
  void stop();

  struct State;

 private:
  explicit Server(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

// The line the server prints once it listens: "nREPL server started on port P on host 127.0.0.1 -
// nrepl://127.0.0.1:P".
std::string started_line(int port);

}  // namespace kelp::nrepl
