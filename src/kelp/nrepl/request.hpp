// One request as the server handles it: the decoded message, the connection that sent it (where every reply to
// it goes), and the replies built from it.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/data/value.hpp"

namespace kelp::nrepl {

// Where replies go: one client connection. send writes a whole message at once and may be called from any
// thread; a connection that has gone drops the message.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual void send(const Value& msg) = 0;
};
using TransportPtr = std::shared_ptr<Transport>;

struct Request {
  Value msg;              // the decoded message: a map with string keys
  TransportPtr transport;
  std::string id;         // the message's "id", echoed in every reply
  std::string session;    // the session the replies name (an ephemeral one for a session-less request)

  // The string under key, or "" when absent or not a string.
  std::string str(std::string_view key) const;
  bool has(std::string_view key) const;
};

// A reply to req: its id and session, then the given keys and values (string keys; nil values are left out).
Value response(const Request& req, std::initializer_list<Value> kvs);
// A status list, e.g. statuses({"done", "interrupted"}).
Value statuses(std::initializer_list<std::string_view> words);
// Sends {:status [words...]} for req.
void send_status(const Request& req, std::initializer_list<std::string_view> words);

}  // namespace kelp::nrepl
