#include "orrery/nrepl/client.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelp/data/map.hpp"
#include "kelp/data/string.hpp"
#include "kelp/data/symbol.hpp"
#include "kelp/print/printer.hpp"
#include "kelp/read/edn.hpp"
#include "orrery/nrepl/bencode.hpp"

namespace orrery::nrepl {
namespace {

using namespace std::chrono_literals;
using kelp::Value;

Value edn(std::string_view text) { return kelp::read_edn(text).value(); }

// The server's end of a socket pair: reads what the client sent and writes raw replies.
struct FakeServer {
  int fd = -1;
  std::shared_ptr<Connection> client;
  std::unique_ptr<FdSource> in;  // one buffered source: a read may take several messages at once
  FakeServer() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    fd = fds[0];
    in = std::make_unique<FdSource>(fd);
    client = Connection::adopt(fds[1]);
  }
  ~FakeServer() {
    if (fd >= 0) ::close(fd);
  }
  Value received() {
    std::optional<Value> v = decode(*in);
    return v ? *v : Value();
  }
  void reply(std::string_view edn_text) {
    std::string bytes = encode(edn(edn_text));
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void hang_up() {
    ::close(fd);
    fd = -1;
  }
};

struct Replies {
  std::mutex mutex;
  std::vector<std::string> seen;
  Handler handler() {
    return [this](const Message& m) {
      std::lock_guard lock(mutex);
      seen.push_back(kelp::pr_str(m));
    };
  }
  std::vector<std::string> get() {
    std::lock_guard lock(mutex);
    return seen;
  }
};

TEST(NreplClient, RoutesRepliesByIdUntilDone) {
  FakeServer server;
  Replies a, b;
  std::string id_a = server.client->request(edn(R"x({:op "eval" :code "1"})x"), a.handler());
  std::string id_b = server.client->request(edn(R"x({:op "eval" :code "2"})x"), b.handler());
  EXPECT_EQ(id_a, "vq-1");
  EXPECT_EQ(id_b, "vq-2");
  EXPECT_EQ(kelp::pr_str(server.received()), R"x({"code" "1", "id" "vq-1", "op" "eval"})x");
  server.received();
  server.reply(R"x({"id" "vq-2" "value" "2"})x");
  server.reply(R"x({"id" "vq-9" "value" "nobody asked"})x");  // dropped without error
  server.reply(R"x({"id" "vq-1" "value" "1" "status" ["done"]})x");
  server.reply(R"x({"id" "vq-1" "value" "late"})x");  // after done: nobody listens any more
  server.reply(R"x({"id" "vq-2" "status" ["done"]})x");
  // Nobody answers vq-3 with done: request_sync gives up and drops the handler.
  ASSERT_FALSE(server.client->request_sync(edn(R"x({:op "describe"})x"), 200ms).has_value());
  for (int i = 0; i < 1000 && b.get().size() < 2; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(a.get(), (std::vector<std::string>{R"x({:id "vq-1", :status ["done"], :value "1"})x"}));
  EXPECT_EQ(b.get(), (std::vector<std::string>{R"x({:id "vq-2", :value "2"})x", R"x({:id "vq-2", :status ["done"]})x"}));
}

TEST(NreplClient, RequestSyncGathersRepliesInOrder) {
  FakeServer server;
  auto answer = std::async(std::launch::async, [&] {
    server.received();
    server.reply(R"x({"id" "vq-1" "out" "hi\n"})x");
    server.reply(R"x({"id" "vq-1" "value" "3" "ns" "user"})x");
    server.reply(R"x({"id" "vq-1" "status" ["done"] "nested" {"a" {"b" 1}}})x");
  });
  auto replies = server.client->request_sync(edn(R"x({:op "eval" :code "(+ 1 2)"})x"), 10s);
  answer.get();
  ASSERT_TRUE(replies.has_value());
  ASSERT_EQ(replies->size(), 3u);
  EXPECT_EQ(kelp::pr_str((*replies)[2]), R"x({:id "vq-1", :nested {"a" {"b" 1}}, :status ["done"]})x");
}

TEST(NreplClient, APeerThatGoesAwayFailsEachPendingRequestOnce) {
  FakeServer server;
  Replies r[3];
  for (auto& x : r) server.client->request(edn(R"x({:op "eval" :code "(loop [] (recur))"})x"), x.handler());
  server.hang_up();
  for (int i = 0; i < 500 && server.client->is_open(); ++i) std::this_thread::sleep_for(2ms);
  EXPECT_FALSE(server.client->is_open());
  server.client->close();  // failing again finds nothing left to fail
  for (int i = 0; i < 3; ++i) {
    std::string id = "vq-" + std::to_string(i + 1);
    EXPECT_EQ(r[i].get(), (std::vector<std::string>{"{:id \"" + id + "\", :status [\"done\" \"orrery-disconnected\"]}"}));
  }
  // A request on the dead connection is answered at once, and request_sync returns that one reply.
  auto replies = server.client->request_sync(edn(R"x({:op "describe"})x"), 5s);
  ASSERT_TRUE(replies.has_value());
  ASSERT_EQ(replies->size(), 1u);
  EXPECT_TRUE(has_status((*replies)[0], DISCONNECTED));
}

TEST(NreplClient, ConnectFailsWithASentence) {
  // A port nobody listens on (bound, then closed).
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
  int port = ntohs(addr.sin_port);
  ::close(probe);
  try {
    Connection::connect("127.0.0.1", port, 2s);
    ADD_FAILURE() << "connected to a closed port";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("couldn't connect to 127.0.0.1:" + std::to_string(port) + ": ", 0), 0u)
        << e.what();
  }
}

// A handler may hold the last owner of its connection (an evaluator whose reply callback keeps it alive). The
// reader then frees the connection only after its own last touch of it, while more bytes keep arriving.
TEST(NreplClient, AHandlerMayHoldTheLastOwner) {
  for (int round = 0; round < 100; ++round) {
    FakeServer server;
    std::promise<void> delivered;
    std::shared_ptr<Connection> owner = std::move(server.client);
    owner->request(edn(R"x({:op "eval" :code "1"})x"),
                   [keep = owner, &delivered](const Message&) { delivered.set_value(); });
    std::weak_ptr<Connection> watch = owner;
    owner.reset();  // only the handler owns it now
    server.received();
    std::string bytes = encode(edn(R"x({:id "vq-1" :status ["done"]})x"));
    for (int i = 0; i < 20; ++i) bytes += encode(edn(R"x({:id "vq-9" :out "late"})x"));
    for (size_t at = 0; at < bytes.size();) {  // the client may be gone before the end: no SIGPIPE for that
      ssize_t n = ::send(server.fd, bytes.data() + at, std::min<size_t>(64, bytes.size() - at), MSG_NOSIGNAL);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    ASSERT_EQ(delivered.get_future().wait_for(5s), std::future_status::ready);
    for (int i = 0; i < 500 && !watch.expired(); ++i) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(watch.expired()) << "the connection outlived its last owner";
  }
}

}  // namespace
}  // namespace orrery::nrepl
