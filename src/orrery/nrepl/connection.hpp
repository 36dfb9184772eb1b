// The attach connection shared by every evaluator that talks to an nREPL server the user started: locating its
// port, connecting on demand with a handshake (describe, then clone a session), detaching, and one request at a
// time on the live session. Orrery never starts, stops or signals such a server.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "orrery/dialect.hpp"
#include "orrery/eval.hpp"
#include "orrery/evaluator.hpp"
#include "orrery/nrepl/client.hpp"

namespace orrery::nrepl {

// Satisfied by every attach evaluator; the window tests for it instead of a concrete type.
class Attached {
 public:
  virtual ~Attached() = default;
  // True while a live connection is held.
  virtual bool is_connected() = 0;
  // f(connected?) is called, from any thread, whenever the evaluator connects or loses its connection.
  virtual void on_connection(std::function<void(bool)> f) = 0;
};

// The sentences of a dialect's connect policy. `where` is the port, or host:port.
struct ConnectMessages {
  std::string no_project;
  std::function<std::string(const std::filesystem::path& project_dir)> not_running;
  std::string bad_port_file;
  std::function<std::string(const std::string& where)> refused;
  std::function<std::string(const std::string& where)> not_server;
  std::function<std::string(const std::string& where)> connecting;
};

struct Endpoint {
  std::string host = "127.0.0.1";
  std::optional<int> port;  // none: read the port file
};

struct ConnectPolicy {
  ConnectMessages messages;
  std::optional<Endpoint> endpoint;
  // The port file to read when the endpoint gives no port; none: the file isn't in a project.
  std::optional<std::filesystem::path> port_file;
  std::optional<std::filesystem::path> project_dir;
  // How a host and port are written in the sentences (the :clj policy names only the port).
  std::function<std::string(const std::string& host, int port)> where;
  // A sentence that ends every connect before it starts (a host Orrery won't connect to).
  std::optional<std::string> refusal;
};

struct Timings {
  std::chrono::milliseconds describe{5000};
  std::chrono::milliseconds clone{10000};
  std::chrono::milliseconds still_waiting{30000};
  std::chrono::milliseconds interrupt{1000};
  std::chrono::milliseconds help{300};
  std::chrono::milliseconds full_doc{30000};
  std::chrono::milliseconds inspect{5000};
  std::chrono::milliseconds connect{5000};
};

// A port file's text, trimmed, read as a port number; nullopt for anything else.
std::optional<int> parse_port(std::string_view text);
// The profile's port file in the project directory; nullopt without a project or a port file.
std::optional<std::filesystem::path> default_port_file(const dialect::Selection& selection);

// Where to connect, or the notice that ends the evaluation. Never writes or deletes the port file.
struct Located {
  std::string host;
  int port = 0;
};
std::variant<Located, eval::Result> locate_port(const ConnectPolicy& policy);

eval::Result notice(std::string text);

// What one request passes along while it waits.
struct RequestOptions {
  std::function<void(eval::OutputKind, std::string_view)> on_output;
  std::optional<std::string> still_waiting;  // said once on :system (as Err output) after Timings::still_waiting
  std::function<void(const Message&)> on_message;
  std::function<void(const std::string& id)> on_id;  // the request's id, once sent
};

// The connection state of one attach evaluator. Thread-safe; every change happens under one lock.
class Link {
 public:
  explicit Link(Timings timings);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Connects when there is no live connection: nullopt once connected, else the result to finish the evaluation
  // with (a notice, or Interrupted when stop_requested() turned true along the way). say writes a :system line.
  std::optional<eval::Result> connect(const ConnectPolicy& policy, const std::function<bool()>& stop_requested,
                                      const std::function<void(std::string_view)>& say);
  // Forgets the session and closes the socket (and a half-made one); pending requests get the client's
  // disconnected reply. Nothing is sent to the server.
  void detach();
  // Every reply of msg, sent on the live session, in order; the disconnected reply at once when not live.
  std::vector<Message> request(Message msg, const RequestOptions& opts);
  // A request bounded by timeout, without output routing; nullopt on timeout; the disconnected reply when not live.
  std::optional<std::vector<Message>> request_sync(Message msg, std::chrono::milliseconds timeout);
  // Sends msg on the live session without waiting for its replies; false when not live or the write failed.
  bool send(Message msg);

  bool is_live() const;
  std::set<std::string> ops() const;
  bool has_op(std::string_view op) const;
  std::optional<std::pair<int, int>> nrepl_version() const;
  std::optional<std::string> session_ns() const;
  // Has the current connection been marked with key (set once per connection: :auto-required?, ...)? Marks it.
  bool mark_once(const std::string& key);
  void on_connection(std::function<void(bool)> f);
  const Timings& timings() const { return timings_; }
  // The raw connection while live, for requests that must bypass the session bookkeeping.
  std::shared_ptr<Connection> connection() const;
  std::optional<std::string> session() const;

 private:
  void notify(bool connected);
  void watch(std::shared_ptr<Connection> conn);
  void lost(const std::shared_ptr<Connection>& conn);

  Timings timings_;
  mutable std::mutex mutex_;
  std::shared_ptr<Connection> conn_;        // the live connection
  std::shared_ptr<Connection> connecting_;  // published while the handshake runs
  std::optional<std::string> session_;
  std::set<std::string> ops_;
  std::optional<std::pair<int, int>> version_;
  std::optional<std::string> session_ns_;
  std::set<std::string> marks_;
  std::vector<std::function<void(bool)>> listeners_;
  // The loss watcher: one thread that polls the live connection until it closes or the link goes.
  std::condition_variable watch_cv_;
  bool closing_ = false;
  std::thread watcher_;
};

// The attach evaluator for a selection's dialect: :clj and :nrepl give the JVM evaluator; anything else throws
// "No attach evaluator for dialect " + id. allow_remote lets a :nrepl host other than this machine through.
evaluator::EvaluatorPtr make_attached(const dialect::Selection& selection, bool allow_remote = false);
// Registers make_attached as the factory of the :attach runtime. Idempotent; the app calls it at start-up.
void register_attach();

}  // namespace orrery::nrepl
